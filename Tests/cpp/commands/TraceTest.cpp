// The hexadecimal trace lines on standard output: each command's own name and
// exactly its own bytes, in each direction.
#include "CommandFixture.h"
#include "TraceLines.h"

#include <functional>

namespace Vantrel::HolvaneApi::Testing {
namespace {

using Trace = TracedCommandTest;

TEST_P(Trace, EachLineShowsTheCommandsOwnBytes)
{
    const Bytes request = wire()
                              .tok("MOVEABSSP")
                              .tok("OPENBRACKETS")
                              .num(-2)
                              .tok("CLOSEBRACKETS")
                              .tok("MODIFIER")
                              .tok("AXIS")
                              .tok("OPENBRACKETS")
                              .num(0)
                              .tok("CLOSEBRACKETS")
                              .zero();
    const Bytes reply = wire().reply(1.5, 0);
    peer().expect(request).send(reply);

    // The value list's acknowledgement byte belongs to no line.
    const Bytes block = wire()
                            .tok("VRVALUES")
                            .tok("OPENBRACKETS")
                            .num(1)
                            .tok("COMMA")
                            .num(2)
                            .tok("COMMA")
                            .num(1)
                            .tok("CLOSEBRACKETS")
                            .zero();
    Bytes list = wire().reply(0, 0);
    const Bytes text = bytesOf("5,6,\r\n");
    peer().expect(block).send(list).expect(wire().tok("UNKNOWN")).send(text);
    append(list, text);

    const Bytes setVr = wire().tok("VR").tok("OPENBRACKETS").num(3).tok("CLOSEBRACKETS").tok("ASSIGN").num(4).zero();
    peer().expect(setVr).send(wire().reply(0, 0));

    testing::internal::CaptureStdout();
    EXPECT_EQ(conn().MoveAbsSp(-2, 0), NoError);
    std::vector<double> v(2);
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(conn().WriteVrValue(3, 4), NoError);
    const auto lines = linesOf(testing::internal::GetCapturedStdout());
    ctl->verifyScript();

    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], traceLine("CmdMoveAbsSp", " >> ", request));
    EXPECT_EQ(lines[1], traceLine("CmdMoveAbsSp", " << ", reply));
    EXPECT_EQ(lines[2], traceLine("CmdGetMultiVr", " >> ", block));
    EXPECT_EQ(lines[3], traceLine("CmdGetMultiVr", " << ", list));
    EXPECT_EQ(lines[4], traceLine("CmdSetVr", " >> ", setVr));
    EXPECT_EQ(lines[5], traceLine("CmdSetVr", " << ", wire().reply(0, 0)));
}

TEST_P(Trace, BytesReadPastAListAreTracedWithTheReplyTheyBelongTo)
{
    const Bytes block = wire()
                            .tok("VRVALUES")
                            .tok("OPENBRACKETS")
                            .num(1)
                            .tok("COMMA")
                            .num(2)
                            .tok("COMMA")
                            .num(1)
                            .tok("CLOSEBRACKETS")
                            .zero();
    const Bytes getVr = wire().tok("VR").tok("OPENBRACKETS").num(9).tok("CLOSEBRACKETS").zero();
    const Bytes setVr = wire().tok("VR").tok("OPENBRACKETS").num(3).tok("CLOSEBRACKETS").tok("ASSIGN").num(4).zero();
    Bytes listReply = wire().reply(0, 0);
    append(listReply, bytesOf("5,6,\r\n"));
    const Bytes first = wire().reply(-7.25, 0);
    const Bytes second = wire().reply(0, 0);
    // The list's end and both following replies arrive in one read; the
    // second reply only partly.
    Bytes burst = bytesOf("5,6,\r\n");
    append(burst, first);
    append(burst, Bytes(second.begin(), second.begin() + 3));
    peer()
        .expect(block)
        .send(wire().reply(0, 0))
        .expect(wire().tok("UNKNOWN"))
        .send(burst)
        .expect(getVr)
        .expect(setVr)
        .send(Bytes(second.begin() + 3, second.end()));

    testing::internal::CaptureStdout();
    std::vector<double> v(2);
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    double value = 0;
    EXPECT_EQ(conn().ReadVrValue(9, value), NoError);
    EXPECT_EQ(conn().WriteVrValue(3, 4), NoError);
    const auto lines = linesOf(testing::internal::GetCapturedStdout());
    ctl->verifyScript();

    EXPECT_EQ(v, (std::vector<double>{5, 6}));
    EXPECT_EQ(value, -7.25);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], traceLine("CmdGetMultiVr", " >> ", block));
    EXPECT_EQ(lines[1], traceLine("CmdGetMultiVr", " << ", listReply));
    EXPECT_EQ(lines[2], traceLine("CmdGetVr", " >> ", getVr));
    EXPECT_EQ(lines[3], traceLine("CmdGetVr", " << ", first));
    EXPECT_EQ(lines[4], traceLine("CmdSetVr", " >> ", setVr));
    EXPECT_EQ(lines[5], traceLine("CmdSetVr", " << ", second));
}

TEST_P(Trace, EveryCommandNamesItself)
{
    const Bytes ok = wire().reply(0, 0);
    Bytes ex = {'O', 'K', 29};
    append(ex, ok);
    struct stNamed {
        const char* name;
        std::function<ErrorCode(Connection_TCP&)> call;
        Bytes reply;
    };
    const double list[] = {1, 2};
    double value = 0;
    const std::vector<stNamed> commands = {
        {"CmdCancel", [](Connection_TCP& c) { return c.Cancel(1); }, ok},
        {"CmdDatum", [](Connection_TCP& c) { return c.Datum(1, 0); }, ok},
        {"CmdDefPos", [&](Connection_TCP& c) { return c.DefPos(list, 2); }, ok},
        {"CmdForward", [](Connection_TCP& c) { return c.Forward(0); }, ok},
        {"CmdReverse", [](Connection_TCP& c) { return c.Reverse(0); }, ok},
        {"CmdMoveRel", [](Connection_TCP& c) { return c.MoveRel(1, 0); }, ok},
        {"CmdMoveRelSp", [](Connection_TCP& c) { return c.MoveRelSp(1, 0); }, ok},
        {"CmdMoveAbs", [](Connection_TCP& c) { return c.MoveAbs(1, 0); }, ok},
        {"CmdBase", [](Connection_TCP& c) { return c.SetAxisBase(1); }, ok},
        {"CmdInvertIn", [](Connection_TCP& c) { return c.InvertIN(1, true); }, ok},
        {"CmdEx", [](Connection_TCP& c) { return c.Ex(); }, ex},
        {"CmdExecute", [](Connection_TCP& c) { return c.Execute("A"); }, ok},
        {"CmdSetAxisParam", [](Connection_TCP& c) { return c.WriteAxisParam("SPEED", 0, 1); }, ok},
        {"CmdGetAxisParam", [&](Connection_TCP& c) { return c.ReadAxisParam("SPEED", 0, value); }, ok},
        {"CmdGetVr", [&](Connection_TCP& c) { return c.ReadVrValue(1, value); }, ok},
        {"CmdSetVrString", [](Connection_TCP& c) { return c.WriteVrString(1, "s"); }, ok},
    };
    for (const auto& c : commands) {
        peer().expectAny(0).send(c.reply); // the request bytes are checked elsewhere
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.call(conn()), NoError) << c.name;
        const auto lines = linesOf(testing::internal::GetCapturedStdout());
        ASSERT_EQ(lines.size(), 2u) << c.name;
        EXPECT_EQ(lines[0].rfind(std::string(c.name) + " >> [", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1], traceLine(c.name, " << ", c.reply));
        peer().waitDone(2000);
    }
}

TEST_P(Trace, LinesFollowEachCommandsRules)
{
    // A block read whose leading reply fails prints its request only.
    const Bytes block = wire()
                            .tok("TABLEVALUES")
                            .tok("OPENBRACKETS")
                            .num(3)
                            .tok("COMMA")
                            .num(3)
                            .tok("COMMA")
                            .num(1)
                            .tok("CLOSEBRACKETS")
                            .zero();
    peer().expect(block).send(wire().reply(0, 2));
    testing::internal::CaptureStdout();
    double value = 0;
    EXPECT_EQ(conn().ReadTableValue(3, value), static_cast<ErrorCode>(0x400000002));
    auto lines = linesOf(testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], traceLine("CmdGetTABLE", " >> ", block));
    ctl->verifyScript();

    // A request that cannot be built: CmdGetVr prints an empty request line,
    // CmdSetVr prints nothing.
    connectWith(TokenTableText::standard().remove("VR"), true);
    testing::internal::CaptureStdout();
    EXPECT_EQ(conn().ReadVrValue(1, value), Remote_UnknownToken);
    EXPECT_EQ(conn().WriteVrValue(1, 1), Remote_UnknownToken);
    lines = linesOf(testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "CmdGetVr >> [0]: ");

    // Switched off, nothing is printed.
    connectWith(TokenTableText::standard(), false);
    peer().expectAny(0).send(wire().reply(0, 0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(conn().SetAxisBase(1), NoError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_P(Trace, SwitchingTheTraceTakesEffectAtTheNextCommandWithWholeLines)
{
    const Bytes getVr = wire().tok("VR").tok("OPENBRACKETS").num(9).tok("CLOSEBRACKETS").zero();
    const Bytes block = wire()
                            .tok("VRVALUES")
                            .tok("OPENBRACKETS")
                            .num(1)
                            .tok("COMMA")
                            .num(2)
                            .tok("COMMA")
                            .num(1)
                            .tok("CLOSEBRACKETS")
                            .zero();
    Bytes list = wire().reply(0, 0);
    const Bytes text = bytesOf("5,6,\r\n");
    const Bytes reply = wire().reply(2.5, 0);
    double value = 0;
    std::vector<double> v(2);

    // Off: the same commands neither print nor lose a byte.
    conn().WriteIntAttribute("TCP_Trace", 0);
    peer().expect(getVr).send(reply).expect(block).send(list).expect(wire().tok("UNKNOWN")).send(text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(conn().ReadVrValue(9, value), NoError);
    EXPECT_EQ(value, 2.5);
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    EXPECT_EQ(v, (std::vector<double>{5, 6}));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    peer().waitDone(2000);

    // On again: every line whole and exact.
    conn().WriteIntAttribute("TCP_Trace", 1);
    peer().expect(getVr).send(reply).expect(block).send(list).expect(wire().tok("UNKNOWN")).send(text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(conn().ReadVrValue(9, value), NoError);
    EXPECT_EQ(conn().ReadMultiVrValues(1, 2, v.data()), NoError);
    const auto lines = linesOf(testing::internal::GetCapturedStdout());
    ctl->verifyScript();
    append(list, text);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], traceLine("CmdGetVr", " >> ", getVr));
    EXPECT_EQ(lines[1], traceLine("CmdGetVr", " << ", reply));
    EXPECT_EQ(lines[2], traceLine("CmdGetMultiVr", " >> ", block));
    EXPECT_EQ(lines[3], traceLine("CmdGetMultiVr", " << ", list));
}

TEST_P(Trace, ALongRequestIsTracedWhole)
{
    const std::string program(400, 'Q');
    peer().expectAny(0).send(wire().reply(0, 0));
    testing::internal::CaptureStdout();
    EXPECT_EQ(conn().Execute(program.c_str()), NoError);
    const auto lines = linesOf(testing::internal::GetCapturedStdout());
    peer().waitDone(2000);
    ASSERT_EQ(lines.size(), 2u);
    const std::string& line = lines[0];
    const std::string prefix = "CmdExecute >> [";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const size_t count = std::stoul(line.substr(prefix.size()));
    EXPECT_GT(count, program.size());
    EXPECT_EQ(line.size(), prefix.size() + std::to_string(count).size() + 3 + count * 3 - 1);
    EXPECT_NE(line.find(hexOf(bytesOf(program))), std::string::npos);
    EXPECT_EQ(lines[1], traceLine("CmdExecute", " << ", wire().reply(0, 0)));
}

INSTANTIATE_TEST_SUITE_P(Formats, Trace, testing::Values(Flavour::Tms320, Flavour::Ieee64), flavourName);

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
