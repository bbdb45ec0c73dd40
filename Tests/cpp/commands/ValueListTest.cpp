// Block reads of VR and TABLE values: the request, the acknowledged value
// list, and how the connection stays in step (or is abandoned) afterwards.
#include "InStepCommandTest.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace Vantrel::HolvaneApi::Testing {
namespace {

class ValueList : public InStepCommandTest {
protected:
    Bytes blockRequest(const char* keyword, double first, double last)
    {
        return wire()
            .tok(keyword)
            .tok("OPENBRACKETS")
            .num(first)
            .tok("COMMA")
            .num(last)
            .tok("COMMA")
            .num(1)
            .tok("CLOSEBRACKETS")
            .zero();
    }
    Bytes ack() { return wire().tok("UNKNOWN"); }
    Bytes ok() { return wire().reply(0, 0); }
};

TEST_P(ValueList, DecodesRunsSubstitutesAndLineEnds)
{
    std::vector<double> v(4, -1);
    peer()
        .expect(blockRequest("VRVALUES", 1000, 1003), "VR block")
        .send(ok())
        .expect(ack(), "ack")
        .send(bytesOf("1,k2,7.5,-3,\r\n"));
    EXPECT_EQ(conn().ReadMultiVrValues(1000, 4, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{1, 7.5, 7.5, -3}));

    // Surplus repeats are dropped; '#' items stand for the substitute value.
    std::vector<double> t(3, -1);
    peer().expect(blockRequest("TABLEVALUES", 0, 2), "TABLE block").send(ok()).expect(ack()).send(bytesOf("k5,2,\r\n"));
    EXPECT_EQ(conn().ReadMultiTableValues(0, 3, t.data()), NoError);
    EXPECT_EQ(t, (std::vector<double>{2, 2, 2}));

    std::vector<double> s(2, -1);
    peer().expect(blockRequest("TABLEVALUES", 7, 8)).send(ok()).expect(ack()).send(bytesOf("#,1,\r\n"));
    EXPECT_EQ(conn().ReadMultiTableValues(7, 2, s.data()), NoError);
    EXPECT_NEAR(s[0], 3.40282343e+35, 1e28);
    EXPECT_EQ(s[1], 1.0);

    // Line ends between items.
    std::vector<double> l(3, -1);
    peer().expect(blockRequest("VRVALUES", 10, 12)).send(ok()).expect(ack()).send(bytesOf("\r\n1,\r\n2,\n3,\r\n"));
    EXPECT_EQ(conn().ReadMultiVrValues(10, 3, l.data()), NoError);
    EXPECT_EQ(l, (std::vector<double>{1, 2, 3}));

    // One TABLE value: first and last index are the same.
    double one = 0;
    peer()
        .expect(blockRequest("TABLEVALUES", 5, 5), "ReadTableValue")
        .send(ok())
        .expect(ack())
        .send(bytesOf("42.5,\r\n"));
    EXPECT_EQ(conn().ReadTableValue(5, one), NoError);
    EXPECT_EQ(one, 42.5);
    ctl->verifyScript();
    expectInStep();
}

TEST_P(ValueList, ANumberSplitAcrossCyclesContinues)
{
    // Each cycle is opened by one acknowledgement byte; the second half is
    // only sent after the second one, so the halves arrive in two reads.
    std::vector<double> v(2, -1);
    peer()
        .expect(blockRequest("VRVALUES", 0, 1))
        .send(ok())
        .expect(ack(), "ack 1")
        .send(bytesOf("12."))
        .expect(ack(), "ack 2")
        .send(bytesOf("5,k1,"))
        .expect(ack(), "ack 3")
        .send(bytesOf("-0.25,\r\n"));
    EXPECT_EQ(conn().ReadMultiVrValues(0, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{12.5, -0.25}));
    ctl->verifyScript();
    expectInStep();
}

TEST_P(ValueList, MalformedListsGiveBadResponseAndTheLineIsSkipped)
{
    for (const char* text : {"k0,5,\r\n", "1.5x,\r\n", "1, 2,\r\n", "1,\x01,\r\n"}) {
        std::vector<double> v(2, -1);
        peer().expect(blockRequest("VRVALUES", 1, 2), text).send(ok()).expect(ack()).send(bytesOf(text));
        EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), BadResponse) << text;
        ctl->verifyScript();
        EXPECT_TRUE(conn().IsConnected()) << text;
    }
    // The rest of a malformed line that comes later is skipped up to its end.
    std::vector<double> v(3, -1);
    peer()
        .expect(blockRequest("VRVALUES", 1, 3))
        .send(ok())
        .expect(ack())
        .send(bytesOf("1,x"))
        .pause(100)
        .send(bytesOf("yz,9,\r\n"));
    EXPECT_EQ(conn().ReadMultiVrValues(1, 3, v.data()), BadResponse);
    EXPECT_EQ(v[0], 1.0);
    ctl->verifyScript();
    expectInStep();
}

TEST_P(ValueList, AMissingLineEndIsReadUpToTheNextOne)
{
    std::vector<double> v(2, -1);
    peer()
        .expect(blockRequest("VRVALUES", 1, 2))
        .send(ok())
        .expect(ack())
        .send(bytesOf("1,2,"))
        .pause(100)
        .send(bytesOf("\r\n"));
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{1, 2}));
    ctl->verifyScript();
    expectInStep();
}

TEST_P(ValueList, CountZeroAndALeadingControllerError)
{
    // A TABLE run of 0 entries: the last index wraps in 32 bits, one cycle is read.
    peer()
        .expect(blockRequest("TABLEVALUES", 0, 4294967295.0), "count 0")
        .send(ok())
        .expect(ack())
        .send(bytesOf("\r\n"));
    EXPECT_EQ(conn().ReadMultiTableValues(0, 0, nullptr), NoError);
    ctl->verifyScript();

    // A controller error in the leading reply ends the read: no acknowledgement,
    // the array untouched, the stream in step.
    std::vector<double> v(2, -1);
    peer().expect(blockRequest("VRVALUES", 5, 6)).send(wire().reply(0, 5));
    EXPECT_EQ(conn().ReadMultiVrValues(5, 2, v.data()), static_cast<ErrorCode>(0x400000005));
    EXPECT_EQ(v, (std::vector<double>{-1, -1}));
    ctl->verifyScript();
    expectInStep();
}

TEST_P(ValueList, ALeadingStatusThatIsNoNumberDropsTheLink)
{
    // The list may follow unacknowledged; it must never answer the next request.
    std::vector<double> v(3, -1);
    // TMS320 has no NaN; its minus infinity (exponent 127, sign, fraction 0) is no number either.
    Bytes reply = wire().number(0);
    append(reply, GetParam() == Flavour::Ieee64 ? wire().number(std::nan("")) : Bytes{0x00, 0x00, 0x80, 0x7F});
    append(reply, bytesOf("5,6,7,\r\n"));
    append(reply, wire().reply(42, 0));
    peer().expect(blockRequest("VRVALUES", 0, 2)).send(reply);
    EXPECT_EQ(conn().ReadMultiVrValues(0, 3, v.data()), BadResponse);
    EXPECT_FALSE(conn().IsConnected());
    double value = 0;
    const ErrorCode next = conn().ReadVrValue(1, value);
    EXPECT_NE(next, NoError);
    EXPECT_EQ(errorBand(next), SystemBand) << "the closed port's code, nothing made of the list's bytes";
}

TEST_P(ValueList, AcknowledgementTokenRules)
{
    // Code 0: no acknowledgement byte at all (the next request follows at once).
    connectWith(TokenTableText::standard().recode("UNKNOWN", 0));
    std::vector<double> v(2, -1);
    Bytes reply = ok();
    append(reply, bytesOf("3,4,\r\n"));
    peer().expect(blockRequest("VRVALUES", 1, 2)).send(reply);
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{3, 4}));
    expectInStep();

    // A code that does not fit one byte, or none: refused before anything is sent.
    for (int variant = 0; variant < 2; ++variant) {
        TokenTableText table = TokenTableText::standard();
        if (variant == 0)
            table.recode("UNKNOWN", 300);
        else
            table.remove("UNKNOWN");
        connectWith(table);
        double one = 0;
        EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), BadResponse);
        EXPECT_EQ(conn().ReadTableValue(1, one), BadResponse);
        peer().expectSilence(200);
        ctl->verifyScript();
        EXPECT_TRUE(conn().IsConnected());
    }
}

TEST_P(ValueList, HostileListsCostNoMoreThanTheRequestedCount)
{
    // A repeat count beyond any integer type.
    std::vector<double> v(3, -1);
    peer()
        .expect(blockRequest("VRVALUES", 1, 3))
        .send(ok())
        .expect(ack())
        .send(bytesOf("k" + std::string(150, '9') + ",6,\r\n"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn().ReadMultiVrValues(1, 3, v.data()), NoError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(v, (std::vector<double>{6, 6, 6}));
    ctl->verifyScript();
    expectInStep();

    // An item that never ends: the list is given up and the stream abandoned.
    double one = 0;
    peer()
        .expect(blockRequest("TABLEVALUES", 1, 1))
        .send(ok())
        .expect(ack())
        .send(bytesOf("#" + std::string(80 * 1024, 'x')));
    EXPECT_EQ(conn().ReadTableValue(1, one), BadResponse);
    EXPECT_FALSE(conn().IsConnected());
}

TEST_P(ValueList, BytesReadPastTheListsLineEndAreNeverTakenForTheNextReply)
{
    // A line end between items in the last read does not end the list's line.
    std::vector<double> v(2, -1);
    peer()
        .expect(blockRequest("VRVALUES", 1, 2))
        .send(ok())
        .expect(ack())
        .send(bytesOf("1,\r\n2,"))
        .pause(100)
        .send(bytesOf("\r\n"));
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{1, 2}));
    expectInStep();

    // Text between the last item and a line feed that is followed by more
    // bytes: the list's own line end may be missing, so the line feed may be
    // part of the next reply. The link is dropped rather than the next
    // answer being read from the wrong place.
    Bytes list = bytesOf("3,4,x\r\n");
    append(list, wire().reply(55, 0));
    peer().expect(blockRequest("VRVALUES", 1, 2)).send(ok()).expect(ack()).send(list);
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{3, 4}));
    EXPECT_FALSE(conn().IsConnected());
    double value = 0;
    EXPECT_NE(conn().ReadVrValue(1, value), NoError);
    EXPECT_NE(value, 55.0);
}

Bytes vrRequest(Wire wire, double index)
{
    return wire.tok("VR").tok("OPENBRACKETS").num(index).tok("CLOSEBRACKETS").zero();
}

TEST_P(ValueList, RepliesReadWithTheListsEndAnswerTheRequestsTheyBelongTo)
{
    // One reply behind the list, whole.
    std::vector<double> v(2, -1);
    Bytes burst = bytesOf("3,4,\r\n");
    append(burst, wire().reply(55, 0));
    peer()
        .expect(blockRequest("VRVALUES", 1, 2))
        .send(ok())
        .expect(ack())
        .send(burst)
        .expect(vrRequest(wire(), 7), "request behind the list");
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{3, 4}));
    double value = 0;
    EXPECT_EQ(conn().ReadVrValue(7, value), NoError);
    EXPECT_EQ(value, 55.0);
    ctl->verifyScript();
    expectInStep();

    // Several replies behind the list: a value, a controller error, and one
    // that is completed later from the socket.
    const Bytes last = wire().reply(-0.5, 0);
    burst = bytesOf("k2,9,\n");
    append(burst, wire().reply(66, 0));
    append(burst, wire().reply(0, 31));
    append(burst, Bytes(last.begin(), last.begin() + 5));
    peer()
        .expect(blockRequest("VRVALUES", 1, 2))
        .send(ok())
        .expect(ack())
        .send(burst)
        .expect(vrRequest(wire(), 1))
        .expect(vrRequest(wire(), 2))
        .expect(vrRequest(wire(), 3))
        .pause(50)
        .send(Bytes(last.begin() + 5, last.end()));
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{9, 9}));
    EXPECT_EQ(conn().ReadVrValue(1, value), NoError);
    EXPECT_EQ(value, 66.0);
    EXPECT_EQ(conn().ReadVrValue(2, value), controllerError(31));
    EXPECT_EQ(conn().ReadVrValue(3, value), NoError);
    EXPECT_EQ(value, -0.5);
    ctl->verifyScript();
    expectInStep();

    // Another value list behind the list: its leading reply and its text are
    // both served from what the first one read.
    std::vector<double> t(3, -1);
    burst = bytesOf("1,2,\r\n");
    append(burst, ok());
    append(burst, bytesOf("7,k2,8,\r\n"));
    peer()
        .expect(blockRequest("VRVALUES", 1, 2))
        .send(ok())
        .expect(ack())
        .send(burst)
        .expect(blockRequest("TABLEVALUES", 4, 6))
        .expect(ack(), "second list's ack");
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{1, 2}));
    EXPECT_EQ(conn().ReadMultiTableValues(4, 3, t.data()), NoError);
    EXPECT_EQ(t, (std::vector<double>{7, 8, 8}));
    ctl->verifyScript();
    expectInStep();
}

TEST_P(ValueList, ARequestPipelinedBehindAListKeepsTheLink)
{
    // Both requests are on the wire before the controller answers; it then
    // answers both at once, so one read holds the list's end and the reply.
    Bytes burst = bytesOf("1,2,3,\r\n");
    append(burst, wire().reply(42, 0));
    peer().expect(blockRequest("VRVALUES", 0, 2)).expect(vrRequest(wire(), 1)).send(ok()).expect(ack()).send(burst);

    std::vector<double> v(3, -1);
    ErrorCode blockResult = Fail;
    std::thread block([&] { blockResult = conn().ReadMultiVrValues(0, 3, v.data()); });
    // The single read is queued behind the block read once its request is out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (peer().received().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double value = 0;
    const ErrorCode singleResult = conn().ReadVrValue(1, value);
    block.join();

    EXPECT_EQ(blockResult, NoError);
    EXPECT_EQ(v, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(singleResult, NoError);
    EXPECT_EQ(value, 42.0);
    ctl->verifyScript();
    expectInStep();
}

TEST_P(ValueList, APeerThatClosesMidListEndsTheConnectionPromptly)
{
    std::vector<double> v(3, -1);
    peer().expect(blockRequest("VRVALUES", 1, 3)).send(ok()).expect(ack()).send(bytesOf("1,2")).pause(50).closeClient();
    const auto start = std::chrono::steady_clock::now();
    const ErrorCode error = conn().ReadMultiVrValues(1, 3, v.data());
    EXPECT_NE(error, NoError);
    EXPECT_NE(error, BadResponse) << "a cut reply is a read failure, not a malformed one";
    EXPECT_FALSE(conn().IsConnected());
    double value = 0;
    EXPECT_NE(conn().ReadVrValue(1, value), NoError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

INSTANTIATE_TEST_SUITE_P(Formats, ValueList, testing::Values(Flavour::Tms320, Flavour::Ieee64), flavourName);

// The slow path: a list that stops short ends with Timeout after one silent
// cycle, and the link is dropped instead of waiting a further minute.
class SlowValueList : public ValueList {};

TEST_P(SlowValueList, AShortListThenSilenceTimesOutAndAbandonsTheStream)
{
    conn().WriteIntAttribute("TCP_Timeout", 1000); // one silent cycle, not the default limit, is under test
    std::vector<double> v(3, -1);
    peer()
        .expect(blockRequest("VRVALUES", 1, 3))
        .send(ok())
        .expect(ack())
        .send(bytesOf("1,2,\r\n"))
        .expect(ack(), "second cycle");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn().ReadMultiVrValues(1, 3, v.data()), Timeout);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(950));
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(v[1], 2.0);
    EXPECT_FALSE(conn().IsConnected());
    ctl->verifyScript();
}

INSTANTIATE_TEST_SUITE_P(Formats, SlowValueList, testing::Values(Flavour::Ieee64), flavourName);

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
