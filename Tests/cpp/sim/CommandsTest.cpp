// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "SimFixture.h"

#include <cstring>

using namespace SimTest;
using namespace Vantrel::HolvaneApi::Sim;

namespace {
std::string simpleBytes(double value, double status)
{
    // IEEE replies of the default controller.
    std::string out(16, '\0');
    std::memcpy(&out[0], &value, 8);
    std::memcpy(&out[8], &status, 8);
    return out;
}
std::string execute(const Client& c, const std::string& line) { return c.tok("EXECUTE") + c.str(line) + c.zero(); }
// The host's VR string read: PRINT LEN(VRSTRING(vr))[0];"#";VRSTRING(vr);:
std::string printVrString(const Client& c, double vr)
{
    return c.tok("PRINT") + c.tok("LEN") + c.tok("OPENBRACKETS") + c.tok("VRSTRING") + c.tok("OPENBRACKETS") +
           c.num(vr) + c.tok("CLOSEBRACKETS") + c.tok("EOX") + c.tok("CLOSEBRACKETS") + c.tok("EOX") +
           c.tok("OPENSQUAREBRACKETS") + c.num(0) + c.tok("CLOSESQUAREBRACKETS") + c.tok("SEMICOLON") +
           c.tok("QUOTES") + "#" + c.tok("QUOTES") + c.tok("EOX") + c.tok("SEMICOLON") + c.tok("VRSTRING") +
           c.tok("OPENBRACKETS") + c.num(vr) + c.tok("CLOSEBRACKETS") + c.tok("EOX") + c.tok("SEMICOLON") +
           c.tok("COLON") + c.zero();
}
} // namespace

TEST(SimCommands, ExAndDirRepliesByteForByte)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    c->send(c->tok("EX") + c->tok("OPENBRACKETS") + c->num(0) + c->tok("CLOSEBRACKETS") + c->zero());
    EXPECT_EQ(c->read(19), "OK\x1d" + simpleBytes(0, 0));
    c->send(c->tok("EX") + c->tok("OPENBRACKETS") + c->num(9) + c->tok("CLOSEBRACKETS") + c->zero());
    EXPECT_EQ(c->read(19), "OK\x1d" + simpleBytes(0, eBadMode));

    c->send(c->tok("DIR") + c->tok("QUOTES") + "B" + c->tok("QUOTES") + c->zero());
    const std::string listing = "RAM,NAME,SIZE,COMPILED,PROCESS,TYPE,EDIT,AUTORUN\r\n"
                                "STARTUP,412,300,0,0,1,1\r\n"
                                "MAIN,2048,1720,1,0,1,1\r\n"
                                "HOMING,936,788,-1,0,1,0\r\n"
                                "PICKPLACE,5120,4410,-1,0,1,0\r\n"
                                "CONVEYOR,1460,1210,-1,0,1,0\r\n"
                                "RECIPE_A,256,0,-1,3,1,0\r\n"
                                "LIBRARY,3300,2904,-1,4,0,0\r\n"
                                "OK\r\n";
    EXPECT_EQ(c->read(listing.size() + 16), listing + simpleBytes(7, 0));
    sim->state().addFile({"CAMTABLE", 99, 0, -1, 3, true, false});
    c->send(c->tok("DIR") + c->zero());
    EXPECT_NE(c->readUntil("OK\r\n").find("CAMTABLE,99,0,-1,3,1,0\r\n"), std::string::npos);
    EXPECT_EQ(c->readSimple(), std::make_pair(8.0, 0.0));
}

TEST(SimCommands, VrStringsHoldAnyBytesAndPrintAsLengthHashBytes)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    const std::string data("A\x1b\x01\xc8\x02\x00z", 7); // escape, quotes, ZERO, UNKNOWN and NUL bytes
    const std::string write = c->tok("VR") + c->tok("OPENBRACKETS") + c->num(40) + c->tok("CLOSEBRACKETS") +
                              c->tok("ASSIGN") + c->str(data) + c->tok("EOX") + c->zero();
    EXPECT_EQ(c->ask(write).second, 0.0);
    std::string stored;
    ASSERT_EQ(sim->state().readVrString(40, stored), eOk);
    EXPECT_EQ(stored, data);
    c->send(printVrString(*c, 40));
    EXPECT_EQ(c->read(2 + data.size() + 16), "7#" + data + simpleBytes(0, 0));
    // Never written: empty.
    c->send(printVrString(*c, 41));
    EXPECT_EQ(c->read(2 + 16), "0#" + simpleBytes(0, 0));
    // A string longer than 256 bytes, and an index out of range.
    const std::string longText(1000, 'x');
    EXPECT_EQ(c->ask(c->tok("VR") + c->tok("OPENBRACKETS") + c->num(42) + c->tok("CLOSEBRACKETS") + c->tok("ASSIGN") +
                     c->str(longText) + c->tok("EOX") + c->zero())
                  .second,
              0.0);
    c->send(printVrString(*c, 42));
    EXPECT_EQ(c->read(5 + 1000 + 16), "1000#" + longText + simpleBytes(0, 0));
    c->send(printVrString(*c, 70000));
    EXPECT_EQ(c->read(16), simpleBytes(0, eIndexRange));
}

TEST(SimCommands, ExecuteAssignsFromExpressionsAndRejectsTheRest)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    auto status = [&](const std::string& line) { return c->ask(execute(*c, line)).second; };
    double v = 0;
    EXPECT_EQ(status("VR(3)=(2+3)*4/2"), 0.0);
    sim->state().readVr(3, v);
    EXPECT_EQ(v, 10.0);
    EXPECT_EQ(status("vr(4) = -VR(3) + 2.5e1 - 3 * -2"), 0.0);
    sim->state().readVr(4, v);
    EXPECT_EQ(v, 21.0);
    EXPECT_EQ(status("TABLE(7)=VR(4)/4"), 0.0);
    sim->state().readTable(7, v);
    EXPECT_EQ(v, 5.25);
    EXPECT_EQ(status("SPEED AXIS(2)=100*2"), 0.0);
    sim->state().readAxisParam(AxisParam::SPEED, 2, v);
    EXPECT_EQ(v, 200.0);
    EXPECT_EQ(status("SPEED=55"), 0.0) << "the base axis";
    sim->state().readAxisParam(AxisParam::SPEED, 0, v);
    EXPECT_EQ(v, 55.0);
    EXPECT_EQ(status("VR(20)=1:VR(21)=VR(20)+1"), 0.0);
    sim->state().readVr(21, v);
    EXPECT_EQ(v, 2.0);
    EXPECT_EQ(status("VR(5)=PI*2"), 0.0);
    sim->state().readVr(5, v);
    EXPECT_EQ(v, 6.2832);
    EXPECT_EQ(status(""), 0.0);

    EXPECT_EQ(status("MOVE(10)"), eUnsupported);
    EXPECT_EQ(status("FOO=1"), eUnknownToken);
    EXPECT_EQ(status("VR(1)="), eSyntax);
    EXPECT_EQ(status("VR(1)=(2"), eSyntax);
    EXPECT_EQ(status("VR(1)=2 3"), eSyntax);
    EXPECT_EQ(status("VR(1)=1/0"), eDivideByZero);
    EXPECT_EQ(status("MPOS AXIS(1)=3"), eReadOnly);
    EXPECT_EQ(status("SPEED AXIS(40)=3"), eBadAxis);
    EXPECT_EQ(status("VR(70000)=1"), eIndexRange);
    EXPECT_EQ(status(std::string(200, '(') + "1" + std::string(200, ')')), eSyntax) << "nesting is bounded";
    sim->state().readVr(1, v);
    EXPECT_EQ(v, 0.0) << "a rejected line changes nothing";
}

#endif // HOLVANE_HAVE_SIM
