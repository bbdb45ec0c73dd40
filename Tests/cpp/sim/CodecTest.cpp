// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "HolvaneSim/NumberCodec.h"
#include "SimTestClient.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <string>

using namespace Vantrel::HolvaneApi::Sim;

TEST(SimNumberCodec, TmsPatternsMatchTheFormatDefinition)
{
    EXPECT_EQ(floatToTms(1.0f), 0x00000000u);
    EXPECT_EQ(floatToTms(2.0f), 0x01000000u);
    EXPECT_EQ(floatToTms(0.5f), 0xFF000000u);
    EXPECT_EQ(floatToTms(-1.0f), 0xFF800000u);
    EXPECT_EQ(floatToTms(-1.5f), 0x00C00000u);
    EXPECT_EQ(floatToTms(0.0f), 0x80000000u);
    EXPECT_EQ(floatToTms(INFINITY), 0x7F7FFFFFu);
    EXPECT_EQ(floatToTms(-INFINITY), 0x7FFFFFFFu);
    EXPECT_EQ(floatToTms(NAN), 0x80000000u);
    EXPECT_EQ(tmsToFloat(0x80123456u), 0.0f);
    for (float v : {1.0f, 2.0f, 0.5f, -1.0f, -1.5f})
        EXPECT_EQ(tmsToFloat(floatToTms(v)), v);
}

TEST(SimNumberCodec, AgreesWithAnIndependentTmsConversion)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> mant(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exp(-100, 100);
    for (int i = 0; i < 20000; ++i) {
        const float v = std::ldexp(mant(rng), exp(rng));
        if (v == 0.0f)
            continue;
        ASSERT_EQ(floatToTms(v), SimTest::tmsEncode(v)) << v;
        ASSERT_EQ(tmsToFloat(SimTest::tmsEncode(v)), v) << v;
    }
}

TEST(SimNumberCodec, WireBytesAreLittleEndian)
{
    std::string out;
    appendNumber(out, 1.0, NumberFormat::Ieee64);
    EXPECT_EQ(out, std::string("\x00\x00\x00\x00\x00\x00\xf0\x3f", 8));
    out.clear();
    appendNumber(out, 2.0, NumberFormat::Tms320);
    EXPECT_EQ(out, std::string("\x00\x00\x00\x01", 4));
    // Beyond the single range a TMS320 reply saturates instead of wrapping.
    out.clear();
    appendNumber(out, 1e300, NumberFormat::Tms320);
    EXPECT_EQ(out, std::string("\xff\xff\x7f\x7f", 4));
    out.clear();
    appendNumber(out, -1e39, NumberFormat::Tms320);
    EXPECT_EQ(out, std::string("\xff\xff\xff\x7f", 4));
    const uint8_t raw[4] = {0x00, 0x00, 0xC0, 0x00};
    EXPECT_EQ(decodeNumber(raw, NumberFormat::Tms320), -1.5);
}

TEST(SimNumberCodec, ControllerFormatFollowsTypeAndVersion)
{
    EXPECT_EQ(controllerFormat(266, 2.0), (WireFormat{NumberFormat::Ieee64, true}));
    EXPECT_EQ(controllerFormat(265, 2.0), (WireFormat{NumberFormat::Tms320, true}));
    EXPECT_EQ(controllerFormat(299, 1.50), (WireFormat{NumberFormat::Tms320, false}));
    // 1.51 reaches the host as the single nearest to it, which is below 1.51.
    EXPECT_EQ(controllerFormat(299, 1.51), (WireFormat{NumberFormat::Tms320, false}));
    EXPECT_EQ(controllerFormat(299, 1.52), (WireFormat{NumberFormat::Tms320, true}));
    EXPECT_EQ(controllerFormat(300, 1.0), (WireFormat{NumberFormat::Ieee64, true}));
    EXPECT_EQ(controllerFormat(498, 1.0), (WireFormat{NumberFormat::Ieee64, true}));
    EXPECT_EQ(controllerFormat(0, 2.0), kHandshakeFormat);
    EXPECT_EQ(controllerFormat(400, 0.0), kHandshakeFormat);
}

#endif // HOLVANE_HAVE_SIM
