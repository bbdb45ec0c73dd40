// Every operation's request, byte for byte, and its simple reply, in each
// number format.
#include "CommandFixture.h"

#include <functional>

namespace Vantrel::HolvaneApi::Testing {
namespace {

struct stCase {
    std::string name;
    std::function<ErrorCode(Connection_TCP&)> call;
    Bytes request;
    Bytes reply;
    ErrorCode expected;
};

const Bytes OkGs = {'O', 'K', 29};

Bytes concat(Bytes a, const Bytes& b)
{
    append(a, b);
    return a;
}

class RequestBytes : public CommandTest {};

TEST_P(RequestBytes, EveryOperationWritesItsExactRequestAndReadsTheSimpleReply)
{
    Wire w = wire();
    auto W = [&] { return wire(); };
    const Bytes ok = w.reply(0, 0);
    std::vector<stCase> cases = {
        {"WriteVrValue", [](Connection_TCP& c) { return c.WriteVrValue(5, 12.5); },
         W().tok("VR").tok("OPENBRACKETS").num(5).tok("CLOSEBRACKETS").tok("ASSIGN").num(12.5).zero(), ok, NoError},
        // 2.0 has the byte 0x01 in TMS320 form, 6.75 the byte 0x1B in IEEE form.
        {"WriteVrValue escaped", [](Connection_TCP& c) { return c.WriteVrValue(2, 2.0); },
         W().tok("VR").tok("OPENBRACKETS").num(2).tok("CLOSEBRACKETS").tok("ASSIGN").num(2.0).zero(), ok, NoError},
        {"WriteAxisParam", [](Connection_TCP& c) { return c.WriteAxisParam("SPEED", 2, 100.0); },
         W().sysvar("SPEED")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(2)
             .tok("CLOSEBRACKETS")
             .tok("ASSIGN")
             .num(100)
             .zero(),
         ok, NoError},
        {"SetAxisBase", [](Connection_TCP& c) { return c.SetAxisBase(0); },
         W().tok("BASE").tok("OPENBRACKETS").num(0).tok("CLOSEBRACKETS").zero(), ok, NoError},
        {"InvertIN on", [](Connection_TCP& c) { return c.InvertIN(7, true); },
         W().tok("INVERT_IN").tok("OPENBRACKETS").num(7).tok("COMMA").num(4294967295.0).tok("CLOSEBRACKETS").zero(), ok,
         NoError},
        {"InvertIN off", [](Connection_TCP& c) { return c.InvertIN(7, false); },
         W().tok("INVERT_IN").tok("OPENBRACKETS").num(7).tok("COMMA").num(0).tok("CLOSEBRACKETS").zero(), ok, NoError},
        {"Cancel(mode)", [](Connection_TCP& c) { return c.Cancel(2); },
         W().tok("CANCEL").tok("OPENBRACKETS").num(2).tok("CLOSEBRACKETS").zero(), ok, NoError},
        {"Cancel(mode, -1)", [](Connection_TCP& c) { return c.Cancel(2, -1); },
         W().tok("CANCEL").tok("OPENBRACKETS").num(2).tok("CLOSEBRACKETS").zero(), ok, NoError},
        {"Cancel(mode, axis)", [](Connection_TCP& c) { return c.Cancel(1, 4); },
         W().tok("CANCEL")
             .tok("OPENBRACKETS")
             .num(1)
             .tok("CLOSEBRACKETS")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(4)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"Datum on axis 0", [](Connection_TCP& c) { return c.Datum(3, 0); },
         W().tok("DATUM")
             .tok("OPENBRACKETS")
             .num(3)
             .tok("CLOSEBRACKETS")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(0)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"DefPos one", [](Connection_TCP& c) { return c.DefPos(1.5, 2); },
         W().tok("DEFPOS")
             .tok("OPENBRACKETS")
             .num(1.5)
             .tok("CLOSEBRACKETS")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(2)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"DefPos list",
         [](Connection_TCP& c) {
             const double p[] = {1, -2.5};
             return c.DefPos(p, 2);
         },
         W().tok("DEFPOS").tok("OPENBRACKETS").num(1).tok("COMMA").num(-2.5).tok("CLOSEBRACKETS").zero(), ok, NoError},
        // FORWARD has a code above the extended prefix: two bytes.
        {"Forward", [](Connection_TCP& c) { return c.Forward(2); },
         W().tok("FORWARD").tok("MODIFIER").tok("AXIS").tok("OPENBRACKETS").num(2).tok("CLOSEBRACKETS").zero(), ok,
         NoError},
        {"Forward without axis", [](Connection_TCP& c) { return c.Forward(-1); }, W().tok("FORWARD").zero(), ok,
         NoError},
        {"Reverse", [](Connection_TCP& c) { return c.Reverse(1); },
         W().tok("REVERSE").tok("MODIFIER").tok("AXIS").tok("OPENBRACKETS").num(1).tok("CLOSEBRACKETS").zero(), ok,
         NoError},
        {"MoveRel", [](Connection_TCP& c) { return c.MoveRel(10.5, 1); },
         W().tok("MOVE")
             .tok("OPENBRACKETS")
             .num(10.5)
             .tok("CLOSEBRACKETS")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(1)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"MoveRel escaped", [](Connection_TCP& c) { return c.MoveRel(6.75, 1); },
         W().tok("MOVE")
             .tok("OPENBRACKETS")
             .num(6.75)
             .tok("CLOSEBRACKETS")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(1)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"MoveRel list",
         [](Connection_TCP& c) {
             const double p[] = {4, 5};
             return c.MoveRel(p, 2);
         },
         W().tok("MOVE").tok("OPENBRACKETS").num(4).tok("COMMA").num(5).tok("CLOSEBRACKETS").zero(), ok, NoError},
        {"MoveRelSp", [](Connection_TCP& c) { return c.MoveRelSp(-3, 0); },
         W().tok("MOVESP")
             .tok("OPENBRACKETS")
             .num(-3)
             .tok("CLOSEBRACKETS")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(0)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"MoveRelSp list",
         [](Connection_TCP& c) {
             const double p[] = {0.25};
             return c.MoveRelSp(p, 1);
         },
         W().tok("MOVESP").tok("OPENBRACKETS").num(0.25).tok("CLOSEBRACKETS").zero(), ok, NoError},
        {"MoveAbs list",
         [](Connection_TCP& c) {
             const double p[] = {1, 2, 3};
             return c.MoveAbs(p, 3);
         },
         W().tok("MOVEABS")
             .tok("OPENBRACKETS")
             .num(1)
             .tok("COMMA")
             .num(2)
             .tok("COMMA")
             .num(3)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"MoveAbs", [](Connection_TCP& c) { return c.MoveAbs(100, 5); },
         W().tok("MOVEABS")
             .tok("OPENBRACKETS")
             .num(100)
             .tok("CLOSEBRACKETS")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(5)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"MoveAbsSp", [](Connection_TCP& c) { return c.MoveAbsSp(-2, 0); },
         W().tok("MOVEABSSP")
             .tok("OPENBRACKETS")
             .num(-2)
             .tok("CLOSEBRACKETS")
             .tok("MODIFIER")
             .tok("AXIS")
             .tok("OPENBRACKETS")
             .num(0)
             .tok("CLOSEBRACKETS")
             .zero(),
         ok, NoError},
        {"MoveAbsSp empty list", [](Connection_TCP& c) { return c.MoveAbsSp(nullptr, 0); }, W().tok("MOVEABSSP").zero(),
         ok, NoError},
        {"Ex()", [](Connection_TCP& c) { return c.Ex(); },
         W().tok("EX").tok("OPENBRACKETS").num(0).tok("CLOSEBRACKETS").zero(), concat(OkGs, ok), NoError},
        {"Ex(3)", [](Connection_TCP& c) { return c.Ex(3); },
         W().tok("EX").tok("OPENBRACKETS").num(3).tok("CLOSEBRACKETS").zero(), concat(OkGs, ok), NoError},
        {"Execute", [](Connection_TCP& c) { return c.Execute("PRINT 1"); },
         W().tok("EXECUTE").tok("QUOTES").text("PRINT 1").tok("QUOTES").zero(), ok, NoError},
        {"Execute empty", [](Connection_TCP& c) { return c.Execute(""); },
         W().tok("EXECUTE").tok("QUOTES").tok("QUOTES").zero(), ok, NoError},
        {"Execute escaped", [](Connection_TCP& c) { return c.Execute("a\x1b\x01z"); },
         W().tok("EXECUTE").tok("QUOTES").text("a\x1b\x01z").tok("QUOTES").zero(), ok, NoError},
        {"WriteVrString", [](Connection_TCP& c) { return c.WriteVrString(12, "hi\x1b"); },
         W().tok("VR")
             .tok("OPENBRACKETS")
             .num(12)
             .tok("CLOSEBRACKETS")
             .tok("ASSIGN")
             .tok("QUOTES")
             .text("hi\x1b")
             .tok("QUOTES")
             .tok("EOX")
             .zero(),
         ok, NoError},
        // Controller error numbers: the status, truncated, in 16 bits.
        {"controller error 3", [](Connection_TCP& c) { return c.SetAxisBase(1); },
         W().tok("BASE").tok("OPENBRACKETS").num(1).tok("CLOSEBRACKETS").zero(), w.reply(0, 3),
         static_cast<ErrorCode>(0x400000003)},
        {"controller error 65539", [](Connection_TCP& c) { return c.Forward(0); },
         W().tok("FORWARD").tok("MODIFIER").tok("AXIS").tok("OPENBRACKETS").num(0).tok("CLOSEBRACKETS").zero(),
         w.reply(0, 65539), static_cast<ErrorCode>(0x400000003)},
        {"controller error 7.9", [](Connection_TCP& c) { return c.Execute("X"); },
         W().tok("EXECUTE").tok("QUOTES").text("X").tok("QUOTES").zero(), w.reply(0, 7.9),
         static_cast<ErrorCode>(0x400000007)},
    };

    for (const auto& c : cases) {
        peer().expect(c.request, c.name).send(c.reply);
        EXPECT_EQ(c.call(conn()), c.expected) << c.name;
        EXPECT_TRUE(peer().waitDone(5000)) << c.name;
    }
    ctl->verifyScript();
    EXPECT_TRUE(conn().IsConnected()) << "no reply above loses the stream";
}

TEST_P(RequestBytes, ReadOperationsReturnTheReplyValue)
{
    Wire w = wire();
    peer()
        .expect(wire().tok("VR").tok("OPENBRACKETS").num(1000).tok("CLOSEBRACKETS").zero(), "ReadVrValue")
        .send(w.reply(-7.5, 0));
    double value = 0;
    EXPECT_EQ(conn().ReadVrValue(1000, value), NoError);
    EXPECT_EQ(value, -7.5);

    // A controller error still hands over the reply's value.
    peer().expect(wire().tok("VR").tok("OPENBRACKETS").num(3).tok("CLOSEBRACKETS").zero()).send(w.reply(4.5, 9));
    EXPECT_EQ(conn().ReadVrValue(3, value), static_cast<ErrorCode>(0x400000009));
    EXPECT_EQ(value, 4.5);

    // UNITS is above 255 (second system-variable form), CREEP above 255 + 255
    // (its offset needs the extended prefix too).
    peer()
        .expect(
            wire().sysvar("UNITS").tok("MODIFIER").tok("AXIS").tok("OPENBRACKETS").num(3).tok("CLOSEBRACKETS").zero(),
            "ReadAxisParam UNITS")
        .send(w.reply(1.25, 0));
    double result = 0;
    EXPECT_EQ(conn().ReadAxisParam("UNITS", 3, result), NoError);
    EXPECT_EQ(result, 1.25);

    peer()
        .expect(
            wire().sysvar("CREEP").tok("MODIFIER").tok("AXIS").tok("OPENBRACKETS").num(0).tok("CLOSEBRACKETS").zero(),
            "ReadAxisParam CREEP")
        .send(w.reply(-0.5, 2));
    EXPECT_EQ(conn().ReadAxisParam("CREEP", 0, result), static_cast<ErrorCode>(0x400000002));
    EXPECT_EQ(result, -0.5);
    ctl->verifyScript();
}

TEST_P(RequestBytes, RefusedArgumentsSendNothing)
{
    double value = 1.0;
    EXPECT_EQ(conn().WriteAxisParam("NOSUCHPARAM", 0, 1.0), Remote_UnknownToken);
    EXPECT_EQ(conn().ReadAxisParam("NOSUCHPARAM", 0, value), Remote_UnknownToken);
    EXPECT_EQ(value, 1.0) << "nothing was queued, so the result is untouched";
    // Known keywords whose code is 0 are no parameter.
    EXPECT_EQ(conn().WriteAxisParam("NOCODE", 0, 1.0), BadArgument);
    EXPECT_EQ(conn().ReadAxisParam("TOKENTABLE", 0, value), BadArgument);
    EXPECT_EQ(conn().MoveAbs(nullptr, 2), BadArgument);
    EXPECT_EQ(conn().MoveRel(nullptr, -1), BadArgument);
    const double p[] = {1.0};
    EXPECT_EQ(conn().DefPos(p, -5), BadArgument);
    EXPECT_EQ(conn().ReadMultiVrValues(0, 3, nullptr), BadArgument);
    EXPECT_EQ(conn().ReadMultiTableValues(0, 3, nullptr), BadArgument);
    EXPECT_EQ(conn().Dir(nullptr, ReportControllerFileCallback()), BadArgument);
    // No block writes over TCP, and no request for these operations.
    const double values[] = {1, 2};
    EXPECT_EQ(conn().WriteTableValue(1, 2.0), Fail);
    EXPECT_EQ(conn().WriteMultiTableValues(1, 2, values), Fail);
    EXPECT_EQ(conn().WriteMultiVrValues(1, 2, values), Fail);
    EXPECT_EQ(conn().WriteMultiVrValues(1, 0, values), Fail);
    const int axes[] = {0, 1};
    char frame[16] = {};
    EXPECT_EQ(conn().SetMultiAxisBase(axes, 2), Fail);
    EXPECT_EQ(conn().StopProgram("PROG", 3), Fail);
    EXPECT_EQ(conn().StopProgramByName("PROG"), Fail);
    EXPECT_EQ(conn().FrameGroup(0, frame, sizeof frame), Fail);
    EXPECT_EQ(conn().SetFrameGroup(0, 0, axes, 2), Fail);
    // Count 0 of a VR block is done at once.
    EXPECT_EQ(conn().ReadMultiVrValues(0, 0, nullptr), NoError);

    peer().expectSilence(300);
    ctl->verifyScript();
    EXPECT_TRUE(conn().IsConnected());

    // The connection is still in step afterwards.
    peer().expect(wire().tok("BASE").tok("OPENBRACKETS").num(1).tok("CLOSEBRACKETS").zero()).send(wire().reply(0, 0));
    EXPECT_EQ(conn().SetAxisBase(1), NoError);
    ctl->verifyScript();
}

INSTANTIATE_TEST_SUITE_P(Formats, RequestBytes,
                         testing::Values(Flavour::Tms320, Flavour::Tms320Unescaped, Flavour::Ieee64), flavourName);

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
