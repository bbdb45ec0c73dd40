// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "SimFixture.h"

#include "HolvaneSim/MotionProfile.h"

#include <chrono>
#include <cmath>
#include <thread>

using namespace SimTest;
using namespace Vantrel::HolvaneApi::Sim;

namespace {
void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double readParam(Client& c, const char* name, double axis)
{
    const auto r = c.ask(c.sysVar(name) + c.axisMod(axis) + c.zero());
    EXPECT_EQ(r.second, 0.0) << name;
    return r.first;
}
double setParam(Client& c, const char* name, double axis, double value)
{
    return c.ask(c.sysVar(name) + c.axisMod(axis) + c.tok("ASSIGN") + c.num(value) + c.zero()).second;
}
std::string motion(const Client& c, const char* keyword, std::vector<double> values, double axis = -1)
{
    std::string r = c.tok(keyword);
    if (!values.empty()) {
        r += c.tok("OPENBRACKETS");
        for (size_t i = 0; i < values.size(); ++i)
            r += (i ? c.tok("COMMA") : std::string()) + c.num(values[i]);
        r += c.tok("CLOSEBRACKETS");
    }
    if (axis >= 0)
        r += c.axisMod(axis);
    return r + c.zero();
}
// Polls IDLE; generous, so that a loaded machine does not fail the test.
bool waitIdle(Client& c, double axis, int timeoutMs = 20000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (readParam(c, "IDLE", axis) == -1.0)
            return true;
        sleepMs(20);
    }
    return false;
}
void makeFast(Client& c, double axis)
{
    EXPECT_EQ(setParam(c, "SPEED", axis, 2000), 0.0);
    EXPECT_EQ(setParam(c, "ACCEL", axis, 50000), 0.0);
    EXPECT_EQ(setParam(c, "DECEL", axis, 50000), 0.0);
}
} // namespace

TEST(SimMotionProfile, TrapezoidsAndTrianglesEndExactlyAndAreContinuous)
{
    const auto trap = MotionProfile::move(0.3, 100.7, 100, 500, 250);
    EXPECT_NEAR(trap.duration(), 0.2 + 0.4 + (100.4 - 10 - 20) / 100, 1e-12);
    EXPECT_EQ(trap.position(trap.duration()), 100.7);
    EXPECT_EQ(trap.position(1e9), 100.7);
    double last = trap.position(0);
    for (double t = 0.001; t < trap.duration(); t += 0.001) {
        const double p = trap.position(t);
        ASSERT_GE(p, last);
        ASSERT_LE(p - last, 100 * 0.001 + 1e-9) << "never faster than SPEED";
        last = p;
    }
    const auto tri = MotionProfile::move(0, -2, 100, 500, 500); // too short to reach the speed
    EXPECT_NEAR(tri.duration(), 2 * std::sqrt(2.0 / 500), 1e-12);
    EXPECT_NEAR(std::fabs(tri.velocity(tri.duration() / 2)), std::sqrt(2.0 * 500), 1e-6);
    EXPECT_LT(tri.velocity(0.01), 0.0);
    EXPECT_EQ(tri.position(tri.duration()), -2.0);
    const auto stop = MotionProfile::stop(10, -50, 100);
    EXPECT_NEAR(stop.duration(), 0.5, 1e-12);
    EXPECT_NEAR(stop.target(), 10 - 12.5, 1e-12);
    EXPECT_EQ(MotionProfile::move(5, 5, 100, 1, 1).duration(), 0.0);
}

TEST(SimMotion, MoveTravelsInRealTimeAndEndsExactly)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    EXPECT_EQ(c->ask(motion(*c, "MOVE", {100}, 1)).second, 0.0); // defaults: about 1.2 s
    EXPECT_EQ(readParam(*c, "MTYPE", 1), mtMove);
    EXPECT_EQ(readParam(*c, "IDLE", 1), 0.0);
    std::vector<double> samples{0.0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (samples.back() != 100.0 && std::chrono::steady_clock::now() < deadline) {
        sleepMs(40);
        samples.push_back(readParam(*c, "DPOS", 1));
        const double mpos = readParam(*c, "MPOS", 1);
        EXPECT_GE(mpos, samples.back());
    }
    size_t travelling = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        EXPECT_GE(samples[i], samples[i - 1]) << "never backwards, sample " << i;
        travelling += samples[i] > 0.0 && samples[i] < 100.0 && samples[i] > samples[i - 1];
    }
    EXPECT_GE(travelling, 3u) << "seen on its way, rising";
    EXPECT_EQ(readParam(*c, "DPOS", 1), 100.0);
    EXPECT_EQ(readParam(*c, "MPOS", 1), 100.0);
    EXPECT_EQ(readParam(*c, "IDLE", 1), -1.0);
    EXPECT_EQ(readParam(*c, "REMAIN", 1), 0.0);
    EXPECT_EQ(readParam(*c, "DPOS", 0), 0.0) << "other axes stay put";
}

TEST(SimMotion, AbsoluteListAndSpeedVariantsReachTheirTargets)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    for (double a : {3, 4, 6})
        makeFast(*c, a);
    EXPECT_EQ(setParam(*c, "FORCE_SPEED", 6, 3000), 0.0);
    EXPECT_EQ(c->ask(motion(*c, "MOVEABS", {-20.123}, 3)).second, 0.0);
    EXPECT_EQ(c->ask(motion(*c, "MOVE", {0.5}, 3)).second, 0.0); // buffered behind the first
    EXPECT_EQ(c->ask(c->tok("BASE") + c->tok("OPENBRACKETS") + c->num(4) + c->tok("COMMA") + c->num(6) +
                     c->tok("CLOSEBRACKETS") + c->zero())
                  .second,
              0.0);
    EXPECT_EQ(c->ask(motion(*c, "MOVE", {10, 20})).second, 0.0); // base axes 4 then 6
    EXPECT_EQ(c->ask(motion(*c, "MOVEABSSP", {7, 8})).second, 0.0);
    EXPECT_EQ(c->ask(motion(*c, "MOVESP", {1}, 9)).second, 0.0);
    for (double axis : {3, 4, 6, 9})
        EXPECT_TRUE(waitIdle(*c, axis));
    EXPECT_EQ(readParam(*c, "DPOS", 3), -20.123 + 0.5);
    EXPECT_EQ(readParam(*c, "DPOS", 4), 7.0);
    EXPECT_EQ(readParam(*c, "DPOS", 6), 8.0);
    EXPECT_EQ(readParam(*c, "DPOS", 5), 0.0);
    EXPECT_EQ(c->ask(motion(*c, "DEFPOS", {5}, 3)).second, 0.0);
    EXPECT_EQ(readParam(*c, "DPOS", 3), 5.0);
    EXPECT_EQ(c->ask(motion(*c, "DEFPOS", {1, 2})).second, 0.0);
    EXPECT_EQ(readParam(*c, "DPOS", 4), 1.0);
    EXPECT_EQ(readParam(*c, "DPOS", 6), 2.0);

    EXPECT_EQ(c->ask(motion(*c, "MOVE", {1}, 16)).second, eBadAxis);
    EXPECT_EQ(c->ask(motion(*c, "MOVE", {})).second, eSyntax);
    EXPECT_EQ(setParam(*c, "SPEED", 8, 0), 0.0);
    EXPECT_EQ(c->ask(motion(*c, "MOVE", {1}, 8)).second, eMotionParameters);
    EXPECT_EQ(setParam(*c, "AXIS_ENABLE", 7, 0), 0.0);
    EXPECT_EQ(c->ask(motion(*c, "MOVE", {1}, 7)).second, eAxisDisabled);
}

TEST(SimMotion, ForwardRunsUntilCancelledAndDatumReturnsHome)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    EXPECT_EQ(c->ask(motion(*c, "FORWARD", {}, 2)).second, 0.0);
    sleepMs(300);
    EXPECT_EQ(readParam(*c, "MTYPE", 2), mtForward);
    EXPECT_EQ(c->ask(motion(*c, "CANCEL", {0}, 2)).second, 0.0);
    EXPECT_TRUE(waitIdle(*c, 2)); // stops within SPEED/DECEL = 0.2 s
    const double stopped = readParam(*c, "DPOS", 2);
    EXPECT_GT(stopped, 5.0);
    EXPECT_EQ(readParam(*c, "VPSPEED", 2), 0.0);
    sleepMs(50);
    EXPECT_EQ(readParam(*c, "DPOS", 2), stopped);

    makeFast(*c, 2);
    EXPECT_EQ(setParam(*c, "SPEED", 2, 500), 0.0);
    EXPECT_EQ(setParam(*c, "CREEP", 2, 2000), 0.0);
    EXPECT_EQ(c->ask(motion(*c, "REVERSE", {}, 2)).second, 0.0);
    sleepMs(100);
    EXPECT_EQ(c->ask(motion(*c, "CANCEL", {2}, 2)).second, 0.0);
    EXPECT_EQ(c->ask(motion(*c, "DATUM", {1}, 2)).second, 0.0);
    EXPECT_TRUE(waitIdle(*c, 2));
    EXPECT_EQ(readParam(*c, "DPOS", 2), 0.0);
    EXPECT_EQ(c->ask(motion(*c, "DATUM", {9}, 2)).second, eBadMode);
    EXPECT_EQ(c->ask(motion(*c, "CANCEL", {7}, 2)).second, eBadMode);
}

#endif // HOLVANE_HAVE_SIM
