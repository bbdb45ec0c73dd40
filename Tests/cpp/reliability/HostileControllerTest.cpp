// Bounds against a hostile controller: no reply can make the library
// allocate without limit, loop without end, or keep reading a stream whose
// place it has lost.

#include "Connection/Port/TCP/Commands/CmdDir.h"
#include "Connection/Port/TCP/Commands/CmdGetVrString.h"
#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/MemPort.h"
#include "SharedLib/Token.h"
#include "commands/CommandFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Testing;
using Clock = std::chrono::steady_clock;

namespace {

// Well inside the 10 s reply limit: a cap must end the read, not a time-out.
constexpr auto CapLimit = std::chrono::seconds(5);

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

ErrorCode downloadTable(const std::string& text, size_t* entries = nullptr)
{
    Token token(EventCallback{});
    MemPort port;
    EXPECT_EQ(port.Open(text.data(), text.size()), NoError);
    const ErrorCode result = token.ReadTokenTable(port, std::chrono::milliseconds(0));
    if (entries)
        *entries = token.tokenMap().size();
    return result;
}

const std::string TableEnd = "S200ZERO\r\nC0TOKENTABLE,0,0,0,0,0,0,c>\r\nS255EXTENDED_TOKEN\r\n[EOT]\r\n";

} // namespace

TEST(HostileController, DirListingLineBeyondTheCapEndsWithBadResponseAndClosesTheLink)
{
    ConnectedController link(ControllerProfile::ieee64());
    ASSERT_EQ(link.connectResult, NoError);
    // A header, then one "line" that never ends, followed by more than the cap.
    Bytes reply = bytesOf("RAM\r\n");
    reply.insert(reply.end(), TCP::CmdDir::MaxLineLength + 4096, 'A');
    link.peer->expectAny(1).send(reply).pause(8000);

    size_t calls = 0;
    const Clock::time_point t0 = Clock::now();
    const ErrorCode result =
        link.conn->Dir(&calls, [](void* c, const ControllerFileInfo&) { ++*static_cast<size_t*>(c); });
    EXPECT_EQ(result, BadResponse);
    EXPECT_LT(Clock::now() - t0, CapLimit);
    EXPECT_EQ(calls, 0u);
    // The rest of that line is unread: the link is given up, not resumed.
    EXPECT_FALSE(link.conn->IsConnected());
    double value = 0;
    const Clock::time_point t1 = Clock::now();
    EXPECT_NE(link.conn->ReadVrValue(1, value), NoError);
    EXPECT_LT(Clock::now() - t1, CapLimit);
}

TEST(HostileController, DirLineJustBelowTheCapIsStillAListingLine)
{
    ConnectedController link(ControllerProfile::ieee64());
    ASSERT_EQ(link.connectResult, NoError);
    std::string name(TCP::CmdDir::MaxLineLength - 64, 'N');
    Bytes reply = bytesOf("RAM\n" + name + ",1,2,3,4,1,0\nOK\n");
    const Bytes status = link.peer->wire().reply(0, 0);
    append(reply, status);
    link.peer->expectAny(1).send(reply);

    std::vector<std::string> names;
    EXPECT_EQ(link.conn->Dir(&names,
                             [](void* c, const ControllerFileInfo& info) {
                                 static_cast<std::vector<std::string>*>(c)->push_back(info.szName);
                             }),
              NoError);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], std::string(131, 'N'));
    EXPECT_TRUE(link.conn->IsConnected());
}

TEST(HostileController, VrStringLengthBeyondTheCapIsRefusedBeforeAnyData)
{
    const std::string lengths[] = {
        std::to_string(uint64_t{TCP::CmdGetVrString::MaxStringLength} + 1) + "#",
        "99999999999999999999999999#", // beyond 32 bits as well
        std::string(200, '7'),         // a length field that never ends
    };
    for (const std::string& field : lengths) {
        ConnectedController link(ControllerProfile::ieee64());
        ASSERT_EQ(link.connectResult, NoError);
        link.peer->expectAny(1).send(bytesOf(field + "abc")).pause(8000);

        struct {
            uint32_t calls = 0;
        } sink;
        std::vector<uint8_t> storage(sizeof(DataStreamPacket) + 64);
        auto* packet = new (storage.data()) DataStreamPacket();
        packet->buff_length = 64;
        const Clock::time_point t0 = Clock::now();
        const ErrorCode result = link.conn->ReadVrString(
            1, &sink, [](void* c, DataStreamPacket*) { ++static_cast<decltype(sink)*>(c)->calls; }, packet);
        EXPECT_EQ(result, BadResponse) << field.substr(0, 30);
        EXPECT_LT(Clock::now() - t0, CapLimit) << field.substr(0, 30);
        EXPECT_EQ(sink.calls, 0u);
        EXPECT_FALSE(link.conn->IsConnected()) << field.substr(0, 30);
    }
}

TEST(HostileController, ValueListRepeatCountFarBeyondTheRequestCostsOnlyTheRequest)
{
    ConnectedController link(ControllerProfile::ieee64());
    ASSERT_EQ(link.connectResult, NoError);
    // Repeat counts of 10^18 and more, which a loop over the count itself
    // could never finish.
    Bytes reply = link.peer->wire().reply(0, 0);
    const Bytes list = bytesOf("k999999999999999999,1.5,k18446744073709551615,2,\r\n");
    append(reply, list);
    link.peer->expectAny(1).send(reply);

    double values[3] = {0, 0, 0};
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(link.conn->ReadMultiVrValues(0, 3, values), NoError);
    EXPECT_LT(Clock::now() - t0, CapLimit);
    EXPECT_EQ(values[0], 1.5);
    EXPECT_EQ(values[2], 1.5);
}

TEST(HostileController, TokenTableOfHundredsOfThousandsOfEntriesParsesInLinearTime)
{
    // Linear work on 300 000 entries takes well under a second; a quadratic
    // step (a list scan per entry) would take hours. The bound only has to
    // tell the two apart on a loaded machine.
    auto table = [](size_t count) {
        std::string text;
        text.reserve(count * 40);
        for (size_t i = 0; i < count; ++i)
            text += "C" + std::to_string(i % 60000) + "KEYWORD" + std::to_string(i) + ",0,0,0,1,0,0,c>\r\n";
        return text + TableEnd;
    };
    const std::string small = table(30000);
    const std::string large = table(300000);

    size_t entries = 0;
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(downloadTable(small, &entries), NoError);
    const double smallSeconds = secondsSince(t0);
    EXPECT_EQ(entries, 30003u);

    t0 = Clock::now();
    EXPECT_EQ(downloadTable(large, &entries), NoError);
    const double largeSeconds = secondsSince(t0);
    EXPECT_EQ(entries, 300003u);
    EXPECT_LT(largeSeconds, 60.0);
    // Ten times the entries: a quadratic parser would need a hundred times
    // as long; allow a wide margin for a busy machine.
    EXPECT_LT(largeSeconds, 40 * smallSeconds + 2.0) << "small " << smallSeconds << " s, large " << largeSeconds;
}

TEST(HostileController, TokenTableRecordWithAMegabyteFieldEndsPromptly)
{
    const std::string megabyte(1 << 20, '7');
    const std::string cases[] = {
        "C1" + std::string(1 << 20, 'N') + ",0,0,0,0,0,0,c>\r\n" + TableEnd,     // a name
        "C1NAME," + megabyte + ",0,0,0,0,0,c>\r\n" + TableEnd,                   // a numeric field
        "T7PI," + megabyte + "\r\n" + TableEnd,                                  // a constant
        "C1NAME,0,0,0,0,0,0," + std::string(1 << 20, 'c') + ">\r\n" + TableEnd,  // flags
        "C1NAME,0,0,0,0,0,0,c>" + std::string(1 << 20, 'x') + "\r\n" + TableEnd, // skipped tail
        "[" + std::string(1 << 20, 'E') + "]\r\n" + TableEnd,                    // bracketed line
        std::string(1 << 20, '\r') + TableEnd,                                   // no record at all
    };
    int index = 0;
    for (const std::string& text : cases) {
        const Clock::time_point t0 = Clock::now();
        const ErrorCode result = downloadTable(text);
        EXPECT_TRUE(result == NoError || result == TokenTable) << "case " << index << ": " << std::hex << result;
        EXPECT_LT(secondsSince(t0), 10.0) << "case " << index;
        ++index;
    }
    // A megabyte-long keyword is refused outright: no name is kept at that size.
    EXPECT_EQ(downloadTable(cases[0]), TokenTable);
}

// A block read whose leading status is not a number is no controller error:
// the controller goes on with the list (here it sends it at once; one that
// waits for the acknowledgement would block every later request instead).
// Left in the stream, the list text would be read as the next reply.
TEST(HostileController, BlockReadWithAnUnusableStatusNeverHandsTheListToTheNextRequest)
{
    ConnectedController link(ControllerProfile::ieee64());
    ASSERT_EQ(link.connectResult, NoError);
    const Wire wire = link.peer->wire();
    Bytes reply = wire.reply(0, std::numeric_limits<double>::quiet_NaN());
    const Bytes list = bytesOf("5,6,7,\r\n");
    append(reply, list);
    const Bytes next = wire.reply(42.0, 0);
    append(reply, next);
    link.peer->send(reply);

    double values[3] = {0, 0, 0};
    EXPECT_EQ(link.conn->ReadMultiVrValues(0, 3, values), BadResponse);
    double value = 0;
    const ErrorCode result = link.conn->ReadVrValue(1, value);
    // Either the real answer, or a failure of the link; never an answer or a
    // controller error made of the list's bytes.
    EXPECT_TRUE((result == NoError && value == 42.0) || (result != NoError && (result & __ControllerError) == 0))
        << "ReadVrValue was answered from the list's bytes: code " << std::hex << result << ", value " << value;
    EXPECT_FALSE(link.conn->IsConnected()) << "the link stayed open with a list pending";
}

// A healthy controller that answers a queued request right after a value list
// sends the list's tail and the next reply together; the value-list reader's
// last read takes both. The bytes past the list's end must reach the request
// queued behind it, and the link must stay up.
TEST(HostileController, ReplyQueuedBehindAValueListSurvivesArrivingInTheSameRead)
{
    ConnectedController link(ControllerProfile::ieee64());
    ASSERT_EQ(link.connectResult, NoError);
    const Wire wire = link.peer->wire();
    Bytes replies = wire.reply(0, 0);
    const Bytes list = bytesOf("1,2,3,\r\n");
    append(replies, list);
    const Bytes next = wire.reply(42.0, 0);
    append(replies, next);
    // Both requests are on their way before the controller answers them.
    link.peer->pause(400).send(replies);

    double values[3] = {0, 0, 0};
    ErrorCode blockResult = Fail;
    std::thread block([&] { blockResult = link.conn->ReadMultiVrValues(0, 3, values); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    double value = 0;
    const ErrorCode singleResult = link.conn->ReadVrValue(1, value);
    block.join();

    EXPECT_EQ(blockResult, NoError);
    EXPECT_EQ(values[0], 1.0);
    EXPECT_EQ(values[2], 3.0);
    EXPECT_EQ(singleResult, NoError);
    EXPECT_EQ(value, 42.0);
    EXPECT_TRUE(link.conn->IsConnected());
}
