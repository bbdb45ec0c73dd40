// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "SimFixture.h"

#include <chrono>
#include <cstring>

using namespace SimTest;
using namespace Vantrel::HolvaneApi::Sim;
using Clock = std::chrono::steady_clock;

namespace {
std::string vrRead(const Client& c, double index)
{
    return c.tok("VR") + c.tok("OPENBRACKETS") + c.num(index) + c.tok("CLOSEBRACKETS") + c.zero();
}
std::string ieeeBytes(double v)
{
    std::string out(8, '\0');
    std::memcpy(&out[0], &v, 8);
    return out;
}
std::unique_ptr<SimServer> simWith(const FaultPlan& faults)
{
    auto sim = startSim();
    sim->setFaults(faults);
    return sim;
}
} // namespace

TEST(SimFaultOptions, DelayedReplies)
{
    FaultPlan f;
    f.replyDelayMs = 120;
    auto sim = simWith(f);
    auto c = connectClient(*sim);
    const auto t0 = Clock::now();
    EXPECT_EQ(c->ask(vrRead(*c, 1)).second, 0.0);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(115));
}

TEST(SimFaultOptions, SilentAfterAndCloseAfterCountRequests)
{
    FaultPlan silent;
    silent.silentAfter = 3; // VERSION, CONTROL, one more
    auto sim = simWith(silent);
    auto c = connectClient(*sim);
    EXPECT_EQ(c->ask(vrRead(*c, 1)).second, 0.0);
    c->send(vrRead(*c, 2));
    EXPECT_EQ(c->readSome(300), "");
    EXPECT_FALSE(c->closedWithin(50));

    FaultPlan close;
    close.closeAfter = 3;
    auto sim2 = simWith(close);
    auto d = connectClient(*sim2);
    EXPECT_EQ(d->ask(vrRead(*d, 1)).second, 0.0);
    d->send(vrRead(*d, 2));
    EXPECT_TRUE(d->closedWithin(2000));
    // Faults are taken per connection: a new one starts counting again.
    auto e = connectClient(*sim2);
    EXPECT_EQ(e->ask(vrRead(*e, 1)).second, 0.0);
}

TEST(SimFaultOptions, CutAndCorruptReplies)
{
    FaultPlan cut;
    cut.cutReplyRequest = 3;
    cut.cutReplyBytes = 5;
    auto sim = simWith(cut);
    sim->state().writeVr(1, 3.5);
    auto c = connectClient(*sim);
    c->send(vrRead(*c, 1));
    std::string full;
    full += ieeeBytes(3.5);
    EXPECT_EQ(c->read(5), full.substr(0, 5));
    EXPECT_TRUE(c->closedWithin(2000));

    FaultPlan corrupt;
    corrupt.corruptReplyRequest = 3;
    auto sim2 = simWith(corrupt);
    sim2->state().writeVr(1, 3.5);
    auto d = connectClient(*sim2);
    d->send(vrRead(*d, 1));
    std::string expected;
    expected += ieeeBytes(3.5);
    expected += ieeeBytes(0.0);
    for (char& b : expected)
        b = static_cast<char>(~b);
    EXPECT_EQ(d->read(16), expected);
    EXPECT_EQ(d->ask(vrRead(*d, 1)), std::make_pair(3.5, 0.0)) << "only that reply is spoiled";
}

TEST(SimFaultOptions, TokenTableStopsPartWay)
{
    FaultPlan silent;
    silent.tableStopBytes = 100;
    auto sim = simWith(silent);
    Client c(sim->port());
    c.send(std::string("\x00\xc8", 2));
    const std::string part = c.read(100);
    EXPECT_EQ(part, sim->tokenTable().text().substr(0, 100));
    EXPECT_EQ(c.readSome(300), "");
    EXPECT_FALSE(c.closedWithin(50));

    FaultPlan close = silent;
    close.tableStopClose = true;
    auto sim2 = simWith(close);
    Client d(sim2->port());
    d.send(std::string("\x00\xc8", 2));
    EXPECT_EQ(d.read(100), sim2->tokenTable().text().substr(0, 100));
    EXPECT_TRUE(d.closedWithin(2000));
}

TEST(SimFaultOptions, DrippedRepliesArriveWholeButSlowly)
{
    FaultPlan drip;
    drip.dripMicros = 20000;
    auto sim = simWith(drip);
    sim->state().writeVr(9, -1.25);
    auto c = connectClient(*sim);
    c->send(vrRead(*c, 9));
    const auto t0 = Clock::now();
    const std::string first = c->readSome(1000);
    EXPECT_LT(first.size(), 16u);
    std::string rest = c->read(16 - first.size());
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(250)); // 15 gaps of 20 ms
    std::string expected;
    expected += ieeeBytes(-1.25);
    expected += ieeeBytes(0.0);
    EXPECT_EQ(first + rest, expected);
}

#endif // HOLVANE_HAVE_SIM
