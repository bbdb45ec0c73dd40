// The pieces several command classes share: the traced simple reply, the
// block read and the block write. Each command keeps its own name, its own
// trace rules and its own result through them.
#include "TraceLines.h"

#include <functional>

namespace Vantrel::HolvaneApi::Testing {
namespace {

class CommandBases : public TracedCommandTest {};

TEST_P(CommandBases, AControllerErrorIsTracedAndReportedByEverySimpleReplyCommand)
{
    const Bytes reply = wire().reply(2.5, 7);
    const auto controllerError = static_cast<ErrorCode>(0x400000007);
    double value = 0;
    struct stNamed {
        const char* name;
        std::function<ErrorCode(Connection_TCP&)> call;
    };
    const std::vector<stNamed> commands = {
        {"CmdSetVr", [](Connection_TCP& c) { return c.WriteVrValue(1, 2); }},
        {"CmdBase", [](Connection_TCP& c) { return c.SetAxisBase(1); }},
        {"CmdExecute", [](Connection_TCP& c) { return c.Execute("A"); }},
        {"CmdSetAxisParam", [](Connection_TCP& c) { return c.WriteAxisParam("SPEED", 0, 1); }},
        {"CmdGetAxisParam", [&](Connection_TCP& c) { return c.ReadAxisParam("SPEED", 0, value); }},
        {"CmdMoveAbs", [](Connection_TCP& c) { return c.MoveAbs(1, 0); }},
    };
    for (const auto& c : commands) {
        peer().expectAny(0).send(reply);
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.call(conn()), controllerError) << c.name;
        const auto lines = linesOf(testing::internal::GetCapturedStdout());
        ASSERT_EQ(lines.size(), 2u) << c.name;
        EXPECT_EQ(lines[0].rfind(std::string(c.name) + " >> [", 0), 0u) << lines[0];
        EXPECT_EQ(lines[1], traceLine(c.name, " << ", reply));
        peer().waitDone(2000);
    }
    EXPECT_EQ(value, 2.5) << "the value that came with the error is the reader's";
    ctl->verifyScript();
    EXPECT_TRUE(conn().IsConnected()) << "a controller error ends a complete reply";
}

TEST_P(CommandBases, AReplyCutShortIsTracedWithTheBytesThatCame)
{
    const Bytes reply = wire().reply(2.5, 0);
    const Bytes part(reply.begin(), reply.begin() + 3);
    peer().expectAny(0).send(part).pause(100).closeClient();
    testing::internal::CaptureStdout();
    double value = 0;
    EXPECT_NE(conn().ReadAxisParam("SPEED", 2, value), NoError);
    const auto lines = linesOf(testing::internal::GetCapturedStdout());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("CmdGetAxisParam >> [", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], traceLine("CmdGetAxisParam", " << ", part));
}

TEST_P(CommandBases, BlockReadsAndWritesKeepTheirOwnNamesAndRules)
{
    const Bytes table = wire()
                            .tok("TABLEVALUES")
                            .tok("OPENBRACKETS")
                            .num(4)
                            .tok("COMMA")
                            .num(5)
                            .tok("COMMA")
                            .num(1)
                            .tok("CLOSEBRACKETS")
                            .zero();
    const Bytes vr = wire()
                         .tok("VRVALUES")
                         .tok("OPENBRACKETS")
                         .num(4)
                         .tok("COMMA")
                         .num(5)
                         .tok("COMMA")
                         .num(1)
                         .tok("CLOSEBRACKETS")
                         .zero();
    const Bytes text = bytesOf("1.5,k1,-2,\r\n");
    Bytes list = wire().reply(0, 0);
    peer().expect(table).send(list).expect(wire().tok("UNKNOWN")).send(text);
    peer().expect(vr).send(list).expect(wire().tok("UNKNOWN")).send(text);
    append(list, text);

    const double values[] = {1, 2};
    std::vector<double> fromTable(2), fromVr(2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(conn().ReadMultiTableValues(4, 2, fromTable.data()), NoError);
    // Block writes send nothing and print nothing.
    EXPECT_EQ(conn().WriteMultiTableValues(4, 2, values), Fail);
    EXPECT_EQ(conn().WriteMultiVrValues(4, 2, values), Fail);
    EXPECT_EQ(conn().ReadMultiVrValues(4, 2, fromVr.data()), NoError);
    const auto lines = linesOf(testing::internal::GetCapturedStdout());
    ctl->verifyScript();

    EXPECT_EQ(fromTable, (std::vector<double>{1.5, -2}));
    EXPECT_EQ(fromVr, (std::vector<double>{1.5, -2}));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], traceLine("CmdGetTABLE", " >> ", table));
    EXPECT_EQ(lines[1], traceLine("CmdGetTABLE", " << ", list));
    EXPECT_EQ(lines[2], traceLine("CmdGetMultiVr", " >> ", vr));
    EXPECT_EQ(lines[3], traceLine("CmdGetMultiVr", " << ", list));
}

INSTANTIATE_TEST_SUITE_P(Formats, CommandBases, testing::Values(Flavour::Tms320, Flavour::Ieee64), flavourName);

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
