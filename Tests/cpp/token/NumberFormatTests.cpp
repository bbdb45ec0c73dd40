#include "SharedLib/ControllerCapabilities.h"
#include "SharedLib/MemPort.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"
#include "TokenTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi {
namespace {

using TokenTest::bytesOf;
using TokenTest::EventLog;
using TokenTest::PiecewisePort;

class Probe : public ControllerCapabilities {
public:
    explicit Probe(const Token& token) : ControllerCapabilities(token) {}
    using ControllerCapabilities::FloatToTms;
    using ControllerCapabilities::ReadRawNumber;
    using ControllerCapabilities::TmsToFloat;
    void forceFormat(floating_point_formats format) { _floating_point_format = format; }
};

uint32_t bitsOf(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

TEST(Tms320, ConvertsTheReferenceVectorsBothWays)
{
    const struct {
        float value;
        uint32_t tms;
    } vectors[] = {
        {1.0f, 0x00000000},  {2.0f, 0x01000000},  {0.5f, 0xFF000000}, {-1.0f, 0xFF800000},
        {-1.5f, 0x00C00000}, {-2.0f, 0x00800000}, {3.0f, 0x01400000}, {-0.75f, 0xFFC00000},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(Probe::FloatToTms(v.value), v.tms) << v.value;
        EXPECT_EQ(bitsOf(Probe::TmsToFloat(v.tms)), bitsOf(v.value)) << v.value;
    }
    EXPECT_EQ(Probe::FloatToTms(0.0f), 0x80000000u);
    EXPECT_EQ(Probe::FloatToTms(-0.0f), 0x80000000u);
    // Exponent -128 is zero whatever the other bits hold.
    EXPECT_EQ(Probe::TmsToFloat(0x80123456), 0.0f);
    EXPECT_EQ(Probe::TmsToFloat(0x80000000), 0.0f);
}

TEST(Tms320, RoundTripsEveryNormalSingleAndMapsTheSpecialValues)
{
    // Negative powers of two take the M = 0 branch with its own exponent.
    for (int exponent = -126; exponent <= 127; ++exponent) {
        const float positive = std::ldexp(1.0f, exponent);
        const float negative = -positive;
        EXPECT_EQ(Probe::TmsToFloat(static_cast<uint32_t>(Probe::FloatToTms(positive))), positive) << exponent;
        EXPECT_EQ(Probe::TmsToFloat(static_cast<uint32_t>(Probe::FloatToTms(negative))), negative) << exponent;
    }
    const float samples[] = {3.14159274f,
                             -3.14159274f,
                             1e-30f,
                             -1e-30f,
                             123456.789f,
                             -98765.4321f,
                             std::numeric_limits<float>::max(),
                             std::numeric_limits<float>::lowest(),
                             std::numeric_limits<float>::min(),
                             -std::numeric_limits<float>::min()};
    for (float f : samples)
        EXPECT_EQ(bitsOf(Probe::TmsToFloat(static_cast<uint32_t>(Probe::FloatToTms(f)))), bitsOf(f)) << f;

    EXPECT_EQ(Probe::FloatToTms(std::numeric_limits<float>::infinity()), 0x7F7FFFFFu);
    EXPECT_EQ(Probe::FloatToTms(-std::numeric_limits<float>::infinity()), 0x7FFFFFFFu);
    EXPECT_EQ(Probe::FloatToTms(std::numeric_limits<float>::quiet_NaN()), 0x80000000u);
    EXPECT_EQ(Probe::FloatToTms(std::numeric_limits<float>::denorm_min()), 0x80000000u);
    EXPECT_EQ(Probe::FloatToTms(-std::numeric_limits<float>::denorm_min()), 0x80000000u);
    // The largest TMS values read back as the largest finite singles.
    EXPECT_EQ(Probe::TmsToFloat(0x7F7FFFFF), std::numeric_limits<float>::max());
    // Exponent 127 with a negative sign and no fraction is -2^128: -infinity.
    EXPECT_EQ(Probe::TmsToFloat(0x7F800000), -std::numeric_limits<float>::infinity());
}

TEST(Tms320, ValuesBelowTheSmallestNormalSingleKeepTheirMagnitude)
{
    // 1.0 x 2^-127 and 1.5 x 2^-127 are subnormal singles; the implied leading
    // one must not be lost.
    EXPECT_EQ(Probe::TmsToFloat(0x81000000), std::ldexp(1.0f, -127));
    EXPECT_EQ(Probe::TmsToFloat(0x81400000), std::ldexp(1.5f, -127));
    // -2 x 2^-127 = -2^-126, the negative of the smallest normal.
    EXPECT_EQ(Probe::TmsToFloat(0x81800000), -std::numeric_limits<float>::min());
    EXPECT_EQ(Probe::TmsToFloat(0x81C00000), -std::ldexp(1.5f, -127));
}

TEST(NumberEncoding, StoresEachFormatLittleEndianAndEscapesWhenAsked)
{
    Token token(nullptr);
    ControllerCapabilities& caps = token.controllerCapabilities();
    EXPECT_EQ(caps.GetFloatingPointFormat(), ControllerCapabilities::tms320_floating_point_format);
    EXPECT_FALSE(caps.IsCommunicationsEscaped());

    TokenBuffer tms(token);
    EXPECT_EQ(caps.StoreNumber(1.0, tms), NoError);
    EXPECT_EQ(caps.StoreNumber(-1.5, tms), NoError);
    EXPECT_EQ(bytesOf(tms), (std::vector<uint8_t>{0, 0, 0, 0, 0x00, 0x00, 0xC0, 0x00}));
    uint32_t size = 0;
    EXPECT_EQ(caps.NumberSize(size), NoError);
    EXPECT_EQ(size, 4u);

    ASSERT_TRUE(caps.SetControllerCapabilities(2.0, 464));
    TokenBuffer ieee(token);
    EXPECT_EQ(caps.StoreNumber(1.0, ieee), NoError);
    EXPECT_EQ(bytesOf(ieee), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
    EXPECT_EQ(caps.NumberSize(size), NoError);
    EXPECT_EQ(size, 8u);

    // 0x3FF0000000000001: the low byte 01 is escaped; so is a 1B.
    double withEscapes;
    const uint64_t bits = 0x3FF01B0000000001ull;
    std::memcpy(&withEscapes, &bits, sizeof bits);
    TokenBuffer escaped(token);
    EXPECT_EQ(caps.StoreNumber(withEscapes, escaped), NoError);
    EXPECT_EQ(bytesOf(escaped), (std::vector<uint8_t>{0x1B, 0x01, 0, 0, 0, 0, 0x1B, 0x1B, 0xF0, 0x3F}));
}

TEST(NumberEncoding, EscapingDoublesOnlyEscapeBytesAcrossChunks)
{
    Token token(nullptr);
    ControllerCapabilities& caps = token.controllerCapabilities();
    const uint8_t sample[] = {0x41, 0x1B, 0x01, 0x42};

    TokenBuffer plain(token);
    caps.StoreBytes(plain, sample, 4);
    EXPECT_EQ(bytesOf(plain), (std::vector<uint8_t>{0x41, 0x1B, 0x01, 0x42}));

    ASSERT_TRUE(caps.SetControllerCapabilities(1.51, 299));
    ASSERT_TRUE(caps.IsCommunicationsEscaped());
    TokenBuffer escaped(token);
    caps.StoreBytes(escaped, sample, 4);
    EXPECT_EQ(bytesOf(escaped), (std::vector<uint8_t>{0x41, 0x1B, 0x1B, 0x1B, 0x01, 0x42}));

    // A mixed run crosses two 64-byte chunk limits in order.
    std::vector<uint8_t> mixed(150);
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < mixed.size(); ++i) {
        mixed[i] = static_cast<uint8_t>(i % 3 == 0 ? 0x01 : i);
        if (mixed[i] == 0x01 || mixed[i] == 0x1B)
            expected.push_back(0x1B);
        expected.push_back(mixed[i]);
    }
    TokenBuffer mixedOut(token);
    caps.StoreBytes(mixedOut, mixed.data(), static_cast<uint32_t>(mixed.size()));
    EXPECT_EQ(bytesOf(mixedOut), expected);

    TokenBuffer empty(token);
    EXPECT_EQ(caps.StoreBytes(empty, mixed.data(), 0), NoError);
    EXPECT_EQ(empty.length(), 0u);
}

TEST(ControllerClassification, PicksProcessorFormatAndEscapingAndLogsEachStep)
{
    EventLog log;
    Token token(log.callback());
    ControllerCapabilities& caps = token.controllerCapabilities();

    const struct {
        int type;
        ControllerCapabilities::processor_types processor;
        const char* text;
    } table[] = {
        {266, ControllerCapabilities::mips, "Selected processor MIPS"},
        {265, ControllerCapabilities::tms320, "Selected processor TMS320"},
        {-5, ControllerCapabilities::tms320, "Selected processor TMS320"},
        {464, ControllerCapabilities::mips, "Selected processor MIPS"},
        {400, ControllerCapabilities::simulator, "Selected processor SIMULATOR"},
        {498, ControllerCapabilities::arm, "Selected processor ARM"},
        {499, ControllerCapabilities::quenta, "Selected processor QUENTA"},
        {503, ControllerCapabilities::quenta, "Selected processor QUENTA"},
        {504, ControllerCapabilities::arm, "Selected processor ARM"},
        {700, ControllerCapabilities::zelik, "Selected processor ZELIK"},
        {770, ControllerCapabilities::zelik, "Selected processor ZELIK"},
        {300, ControllerCapabilities::arm, "Selected processor ARM"},
    };
    for (const auto& row : table) {
        log.events.clear();
        EXPECT_TRUE(token.SetControllerCapabilities(2.0, row.type)) << row.type;
        EXPECT_EQ(caps.GetControllerType(), row.type);
        EXPECT_EQ(caps.GetProcessorType(), row.processor) << row.type;
        EXPECT_EQ(caps.GetFloatingPointFormat(), row.processor == ControllerCapabilities::tms320
                                                     ? ControllerCapabilities::tms320_floating_point_format
                                                     : ControllerCapabilities::ieee64_floating_point_format);
        ASSERT_EQ(log.events.size(), 3u) << row.type;
        EXPECT_EQ(log.events[0].text, "SetControllerType(" + std::to_string(row.type) + ")");
        EXPECT_EQ(log.events[1].text, "SetControllerVersion(2.000000)");
        EXPECT_EQ(log.events[2].text, row.text) << row.type;
        EXPECT_EQ(log.count(EventType::Message), 3u);
    }
}

TEST(ControllerClassification, EscapingThresholdAndRejectedInputs)
{
    EventLog log;
    Token token(log.callback());
    ControllerCapabilities& caps = token.controllerCapabilities();

    EXPECT_TRUE(caps.SetControllerCapabilities(1.50, 299));
    EXPECT_FALSE(caps.IsCommunicationsEscaped());
    EXPECT_TRUE(caps.SetControllerCapabilities(1.51, 299));
    EXPECT_TRUE(caps.IsCommunicationsEscaped());
    // The single-precision value nearest 1.51 is below the double 1.51.
    EXPECT_TRUE(caps.SetControllerCapabilities(static_cast<double>(1.51f), 299));
    EXPECT_FALSE(caps.IsCommunicationsEscaped());

    ASSERT_TRUE(caps.SetControllerCapabilities(2.0, 400));
    log.events.clear();
    EXPECT_FALSE(caps.SetControllerCapabilities(2.0, 0));
    EXPECT_FALSE(caps.SetControllerCapabilities(0.0, 299));
    // Nothing changed, and only the two lines of each call were logged.
    EXPECT_EQ(caps.GetProcessorType(), ControllerCapabilities::simulator);
    EXPECT_EQ(caps.GetFloatingPointFormat(), ControllerCapabilities::ieee64_floating_point_format);
    EXPECT_EQ(caps.GetControllerType(), 400);
    ASSERT_EQ(log.events.size(), 4u);
    EXPECT_EQ(log.events[0].text, "SetControllerType(0)");
    EXPECT_EQ(log.events[1].text, "SetControllerVersion(2.000000)");
    EXPECT_EQ(log.events[3].text, "SetControllerVersion(0.000000)");
}

TEST(NumberDecoding, ReadsEachFormatAndFailsCleanlyOnShortOrMissingData)
{
    EventLog log;
    Token token(log.callback());
    Probe probe(token);

    const char raw[] = {0x78, 0x56, 0x34, 0x12};
    MemPort rawPort;
    ASSERT_EQ(rawPort.Open(raw, sizeof raw), NoError);
    uint32_t value32 = 0;
    EXPECT_EQ(probe.ReadRawNumber(value32, rawPort), NoError);
    EXPECT_EQ(value32, 0x12345678u);

    // Pieces of one byte are assembled in order.
    PiecewisePort pieces(std::string("\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x00\xF0\x3F", 12), 1);
    double value = 0;
    EXPECT_EQ(probe.ReadNumber(value, pieces), NoError);
    EXPECT_EQ(value, -1.5);
    probe.forceFormat(ControllerCapabilities::ieee64_floating_point_format);
    EXPECT_EQ(probe.ReadNumber(value, pieces), NoError);
    EXPECT_EQ(value, 1.0);

    // A reply cut short at the end of a memory port ends as BadResponse and
    // leaves the value alone.
    const char shortReply[] = {0x00, 0x00, 0x00};
    MemPort shortPort;
    shortPort.Open(shortReply, sizeof shortReply);
    value = 42.0;
    log.events.clear();
    EXPECT_EQ(probe.ReadNumber(value, shortPort), BadResponse);
    EXPECT_EQ(value, 42.0);
    EXPECT_TRUE(log.has(EventType::Error, BadResponse, "Error reading 64 bit number from controller"));

    probe.forceFormat(ControllerCapabilities::tms320_floating_point_format);
    MemPort emptyPort;
    emptyPort.Open(shortReply, 0);
    EXPECT_EQ(probe.ReadNumber(value, emptyPort), BadResponse);
    EXPECT_TRUE(log.has(EventType::Error, BadResponse, "Error reading 32 bit number from controller"));

    // A time-out and a port error pass through unchanged; the time-out is 10 s.
    PiecewisePort silent("", 4);
    EXPECT_EQ(probe.ReadNumber(value, silent), Timeout);
    EXPECT_EQ(silent.lastTimeout, 10000u);
    PiecewisePort broken("\x01\x02", 4);
    broken.afterData = systemError(9);
    EXPECT_EQ(probe.ReadNumber(value, broken), systemError(9));
    EXPECT_EQ(value, 42.0);
    // Those are the port's to report (its link's loss), not the reader's.
    EXPECT_EQ(log.count(EventType::Error), 2u);

    probe.forceFormat(ControllerCapabilities::unknown_floating_point_format);
    uint32_t size = 99;
    log.events.clear();
    EXPECT_EQ(probe.NumberSize(size), UnknownFloatingPointFormat);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(probe.ReadNumber(value, silent), UnknownFloatingPointFormat);
    EXPECT_EQ(log.count(EventType::Error), 2u);
    EXPECT_TRUE(log.has(EventType::Error, UnknownFloatingPointFormat, "Unknown floating point format"));
}

TEST(ExactRead, EndsOnDataTimeoutErrorOrTwoEmptyReads)
{
    Token token(nullptr);
    char out[8] = {};

    // A single empty read (a peer's last gasp) is tolerated if data follows.
    PiecewisePort alternating("xxxxxx", 2);
    alternating.emptyReadsBetweenPieces = true;
    alternating.emptyReadResult = NoError;
    EXPECT_EQ(token.ReadBytes(out, 6, 100, alternating), NoError);
    EXPECT_EQ(std::string(out, 6), "xxxxxx");
    EXPECT_EQ(alternating.reads, 5u);

    const char data[] = "abcdef";
    MemPort port;
    port.Open(data, 6);
    EXPECT_EQ(token.ReadBytes(out, 4, 100, port), NoError);
    EXPECT_EQ(std::string(out, 4), "abcd");
    EXPECT_EQ(token.ReadBytes(out, 4, 100, port), BadResponse);
    EXPECT_EQ(port.remaining(), 0u);

    // The single-read form passes the count through, however short.
    MemPort single;
    single.Open(data, 6);
    size_t got = 0;
    EXPECT_EQ(token.ReadBytes(out, 8, got, 100, single), NoError);
    EXPECT_EQ(got, 6u);
    EXPECT_EQ(token.ReadBytes(out, 8, got, 100, single), NoError);
    EXPECT_EQ(got, 0u);

    EXPECT_EQ(token.ReadBytes(out, 0, 100, port), NoError);
}

} // namespace
} // namespace Vantrel::HolvaneApi
