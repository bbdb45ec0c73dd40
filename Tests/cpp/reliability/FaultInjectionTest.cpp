// Faults injected by the simulator, run in-process so that the sanitizer
// builds see every failure path: links closed during the token table, during
// a reply and between replies, corrupt replies. After each the connection
// says truthfully whether it is connected, later calls fail at once, and a
// new Connect works.

#ifdef HOLVANE_HAVE_SIM

#include "Connection/Port/TCP/Connection_TCP.h"
#include "HolvaneSim/SimServer.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Testing;
using Vantrel::HolvaneApi::Sim::FaultPlan;
using Vantrel::HolvaneApi::Sim::SimConfig;
using Vantrel::HolvaneApi::Sim::SimServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto Prompt = std::chrono::seconds(3);

struct Operation {
    const char* name;
    std::function<ErrorCode(Connection_TCP&)> run;
};

std::vector<Operation> operations()
{
    return {
        {"ReadVrValue",
         [](Connection_TCP& c) {
             double v = 0;
             return c.ReadVrValue(3, v);
         }},
        {"ReadMultiVrValues",
         [](Connection_TCP& c) {
             double v[20];
             return c.ReadMultiVrValues(0, 20, v);
         }},
        {"Dir", [](Connection_TCP& c) { return c.Dir(nullptr, [](void*, const ControllerFileInfo&) {}); }},
        {"ReadVrString",
         [](Connection_TCP& c) {
             DataStreamPacket packet;
             packet.buff_length = sizeof packet.buff;
             return c.ReadVrString(
                 2, nullptr, [](void*, DataStreamPacket*) {}, &packet);
         }},
        {"Ex", [](Connection_TCP& c) { return c.Ex(0); }},
        {"Execute", [](Connection_TCP& c) { return c.Execute("VR(1)=1"); }},
    };
}

class SimFaults : public testing::Test {
protected:
    void SetUp() override
    {
        sim = startSim();
        sim->state().writeVrString(2, "a string long enough to be cut part-way");
        conn = makeConnection(sim->port());
    }
    void TearDown() override
    {
        conn.reset();
        sim->stop();
    }

    // The link is gone and says so; later calls fail at once; once the
    // controller behaves, the same object connects and reads correctly.
    void expectRecovery(const std::string& what)
    {
        EXPECT_FALSE(conn->IsConnected()) << what;
        double value = 0;
        const Clock::time_point t0 = Clock::now();
        EXPECT_NE(conn->ReadVrValue(1, value), NoError) << what;
        EXPECT_LT(Clock::now() - t0, Prompt) << what;
        sim->setFaults(FaultPlan{});
        ASSERT_EQ(conn->Connect(), NoError) << what;
        EXPECT_EQ(conn->WriteVrValue(7, 3.25), NoError) << what;
        EXPECT_EQ(conn->ReadVrValue(7, value), NoError) << what;
        EXPECT_EQ(value, 3.25) << what;
        conn->Disconnect();
    }

    void corruptReplyOf(const Operation& op);

    std::unique_ptr<SimServer> sim;
    std::unique_ptr<Connection_TCP> conn;
};

} // namespace

TEST_F(SimFaults, LinkClosedDuringTheTokenTable)
{
    for (int64_t stop : {0, 1, 50, 300}) {
        FaultPlan plan;
        plan.tableStopBytes = stop;
        plan.tableStopClose = true;
        sim->setFaults(plan);
        const Clock::time_point t0 = Clock::now();
        EXPECT_NE(conn->Connect(), NoError) << stop;
        EXPECT_LT(Clock::now() - t0, Prompt) << stop;
        expectRecovery("table cut at " + std::to_string(stop));
    }
}

TEST_F(SimFaults, LinkClosedDuringAReplyOfEveryKind)
{
    for (const Operation& op : operations()) {
        for (int64_t cut : {0, 3, 9, 15}) {
            FaultPlan plan;
            plan.cutReplyRequest = 3; // the first request after VERSION and CONTROL
            plan.cutReplyBytes = cut;
            sim->setFaults(plan);
            const std::string what = std::string(op.name) + " cut at " + std::to_string(cut);
            ASSERT_EQ(conn->Connect(), NoError) << what;
            const Clock::time_point t0 = Clock::now();
            const ErrorCode result = op.run(*conn);
            EXPECT_LT(Clock::now() - t0, Prompt) << what;
            // Every reply here is longer than the largest cut (a simple reply
            // alone is 16 bytes).
            EXPECT_NE(result, NoError) << what;
            expectRecovery(what);
        }
    }
}

TEST_F(SimFaults, LinkClosedBetweenReplies)
{
    FaultPlan plan;
    plan.closeAfter = 3;
    sim->setFaults(plan);
    ASSERT_EQ(conn->Connect(), NoError);
    EXPECT_EQ(conn->WriteVrValue(4, 8.5), NoError);
    for (const Operation& op : operations()) {
        const Clock::time_point t0 = Clock::now();
        EXPECT_NE(op.run(*conn), NoError) << op.name;
        EXPECT_LT(Clock::now() - t0, Prompt) << op.name;
    }
    expectRecovery("closed after three requests");
}

// Request 3 is answered with every byte inverted. Whatever the reader makes
// of it, the connection either stays in step (the next reply is right) or
// says it is not connected and fails at once.
void SimFaults::corruptReplyOf(const Operation& op)
{
    FaultPlan plan;
    plan.corruptReplyRequest = 3;
    sim->setFaults(plan);
    ASSERT_EQ(conn->Connect(), NoError) << op.name;
    const Clock::time_point t0 = Clock::now();
    op.run(*conn);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(13)) << op.name;
    if (conn->IsConnected()) {
        double value = 0;
        EXPECT_EQ(conn->WriteVrValue(9, 6.5), NoError) << op.name;
        EXPECT_EQ(conn->ReadVrValue(9, value), NoError) << op.name;
        EXPECT_EQ(value, 6.5) << op.name;
        conn->Disconnect();
    }
    expectRecovery(std::string("corrupt ") + op.name);
}

TEST_F(SimFaults, CorruptRepliesLeaveATruthfulState)
{
    for (const Operation& op : operations()) {
        const std::string name = op.name;
        // An inverted listing has no line end and waits out its limit (below).
        if (name != "Dir")
            corruptReplyOf(op);
    }
}

TEST_F(SimFaults, CorruptListingWaitsOutItsLimitAndLeavesATruthfulState)
{
    conn->WriteIntAttribute("TCP_Timeout", 2000); // the limit, not its default, is under test
    for (const Operation& op : operations())
        if (std::string(op.name) == "Dir")
            corruptReplyOf(op);
}

#endif // HOLVANE_HAVE_SIM
