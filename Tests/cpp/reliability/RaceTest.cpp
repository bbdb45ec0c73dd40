// Disconnect, reconnect and destruction while eight threads are inside
// operations on one connection: every call returns with a code in bounded
// time, no reply reaches a request it does not answer, and no thread or
// descriptor is left behind.

#ifdef HOLVANE_HAVE_SIM

#include "Connection/Port/TCP/Connection_TCP.h"
#include "HolvaneSim/SimServer.h"
#include "support/Loopback.h"
#include "support/ProcessCounters.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Testing;
using Vantrel::HolvaneApi::Sim::FaultPlan;
using Vantrel::HolvaneApi::Sim::SimConfig;
using Vantrel::HolvaneApi::Sim::SimServer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Threads = 8;
// Far above any prompt return, far below the 10 s reply limit.
constexpr auto PromptLimit = std::chrono::seconds(5);

struct WorkerTally {
    std::atomic<uint64_t> succeeded{0};
    std::atomic<uint64_t> failed{0};
    std::atomic<uint64_t> misrouted{0};
    std::atomic<uint64_t> succeededAfterCut{0};
    std::atomic<int64_t> longestMicros{0};

    void noteDuration(Clock::duration d)
    {
        const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(d).count();
        int64_t seen = longestMicros.load();
        while (micros > seen && !longestMicros.compare_exchange_weak(seen, micros)) {
        }
    }
};

// One worker's mixed operations on its own VRs; values it writes carry its
// number and a counter, so a value read back that is not the one it wrote
// last is a reply delivered to the wrong request.
void work(Connection_TCP& connection, int worker, std::atomic<bool>& stop, std::atomic<bool>& cut, WorkerTally& tally)
{
    const uint32_t base = 1000 + static_cast<uint32_t>(worker) * 16;
    double lastWritten[4] = {-1, -1, -1, -1};
    for (uint64_t i = 0; !stop.load(); ++i) {
        const uint32_t slot = static_cast<uint32_t>(i % 4);
        const bool afterCut = cut.load();
        const Clock::time_point start = Clock::now();
        ErrorCode result = NoError;
        switch (i % 5) {
        case 0:
        case 3: {
            const double value = worker * 1000000.0 + static_cast<double>(i);
            result = connection.WriteVrValue(base + slot, value);
            // A write that failed may or may not have reached the controller.
            lastWritten[slot] = result == NoError ? value : -2;
            break;
        }
        case 1: {
            double value = 0;
            result = connection.ReadVrValue(base + slot, value);
            if (result == NoError && lastWritten[slot] >= 0 && value != lastWritten[slot])
                ++tally.misrouted;
            break;
        }
        case 2: {
            double values[4] = {0, 0, 0, 0};
            result = connection.ReadMultiVrValues(base, 4, values);
            if (result == NoError)
                for (int k = 0; k < 4; ++k)
                    if (lastWritten[k] >= 0 && values[k] != lastWritten[k])
                        ++tally.misrouted;
            break;
        }
        default: {
            double value = 0;
            result = connection.ReadAxisParam("SPEED", worker % 4, value);
            break;
        }
        }
        tally.noteDuration(Clock::now() - start);
        if (result == NoError) {
            ++tally.succeeded;
            if (afterCut)
                ++tally.succeededAfterCut;
        } else {
            ++tally.failed;
        }
    }
}

// Joins the workers, failing (not hanging) when one does not come back.
void joinBounded(std::vector<std::thread>& workers)
{
    auto joined = std::async(std::launch::async, [&workers] {
        for (auto& t : workers)
            t.join();
    });
    if (joined.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "a worker thread did not return";
        std::abort(); // a hung worker cannot be recovered from inside the test
    }
}

} // namespace

TEST(ReliabilityRace, ConcurrencyDisconnectWhileEightThreadsOperate)
{
    const size_t threadsBefore = threadBaseline();
    const size_t descriptorsBefore = openDescriptors();
    {
        auto sim = startSim();
        auto connection = makeConnection(sim->port());
        WorkerTally tally;
        for (int round = 0; round < 4; ++round) {
            ASSERT_EQ(connection->Connect(), NoError) << "round " << round;
            std::atomic<bool> stop{false}, cut{false};
            std::vector<std::thread> workers;
            for (int w = 0; w < Threads; ++w)
                workers.emplace_back(work, std::ref(*connection), w, std::ref(stop), std::ref(cut), std::ref(tally));
            std::this_thread::sleep_for(std::chrono::milliseconds(150));

            const Clock::time_point t0 = Clock::now();
            EXPECT_EQ(connection->Disconnect(), NoError);
            cut = true;
            EXPECT_LT(Clock::now() - t0, PromptLimit) << "Disconnect waited for the operations";
            EXPECT_FALSE(connection->IsConnected());
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            stop = true;
            joinBounded(workers);
        }
        EXPECT_GT(tally.succeeded.load(), 0u);
        EXPECT_GT(tally.failed.load(), 0u);
        EXPECT_EQ(tally.misrouted.load(), 0u);
        // Anything begun after Disconnect returned has no link to run on.
        EXPECT_EQ(tally.succeededAfterCut.load(), 0u);
        EXPECT_LT(std::chrono::microseconds(tally.longestMicros.load()), PromptLimit);

        // The same object connects again and works.
        ASSERT_EQ(connection->Connect(), NoError);
        EXPECT_EQ(connection->WriteVrValue(5, 42.5), NoError);
        double value = 0;
        EXPECT_EQ(connection->ReadVrValue(5, value), NoError);
        EXPECT_EQ(value, 42.5);
        connection.reset();
        sim->stop();
    }
    EXPECT_EQ(settle(threadCount, threadsBefore), threadsBefore);
    EXPECT_EQ(settle(openDescriptors, descriptorsBefore), descriptorsBefore);
}

TEST(ReliabilityRace, ConcurrencyReconnectWhileEightThreadsOperate)
{
    const size_t threadsBefore = threadBaseline();
    const size_t descriptorsBefore = openDescriptors();
    {
        auto sim = startSim();
        auto connection = makeConnection(sim->port());
        ASSERT_EQ(connection->Connect(), NoError);
        WorkerTally tally;
        std::atomic<bool> stop{false}, cut{false};
        std::vector<std::thread> workers;
        for (int w = 0; w < Threads; ++w)
            workers.emplace_back(work, std::ref(*connection), w, std::ref(stop), std::ref(cut), std::ref(tally));
        // Each new host text makes Connect drop the old link and open another
        // one while the workers keep issuing requests.
        for (int round = 0; round < 6; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            connection->WriteStringAttribute("TCP_HostName", round % 2 ? "127.0.0.1" : "localhost");
            const Clock::time_point t0 = Clock::now();
            EXPECT_EQ(connection->Connect(), NoError) << "round " << round;
            EXPECT_LT(Clock::now() - t0, PromptLimit);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        stop = true;
        joinBounded(workers);
        EXPECT_GT(tally.succeeded.load(), 0u);
        EXPECT_EQ(tally.misrouted.load(), 0u);
        EXPECT_LT(std::chrono::microseconds(tally.longestMicros.load()), PromptLimit);
        EXPECT_TRUE(connection->IsConnected());
        connection.reset();
        sim->stop();
    }
    EXPECT_EQ(settle(threadCount, threadsBefore), threadsBefore);
    EXPECT_EQ(settle(openDescriptors, descriptorsBefore), descriptorsBefore);
}

TEST(ReliabilityRace, ConcurrencyDisconnectAndDestroyWhileRepliesAreOverdue)
{
    const size_t threadsBefore = threadBaseline();
    const size_t descriptorsBefore = openDescriptors();
    {
        SimConfig silent;
        silent.faults.silentAfter = 2; // VERSION and CONTROL, then nothing
        auto sim = startSim(silent);
        for (int round = 0; round < 3; ++round) {
            auto connection = makeConnection(sim->port());
            ASSERT_EQ(connection->Connect(), NoError);
            std::vector<ErrorCode> results(Threads, NoError);
            std::vector<Clock::duration> took(Threads);
            std::vector<std::thread> workers;
            for (int w = 0; w < Threads; ++w) {
                workers.emplace_back([&, w] {
                    const Clock::time_point start = Clock::now();
                    double value = 0;
                    results[w] = w % 2 ? connection->ReadVrValue(w, value)
                                       : connection->WriteVrValue(static_cast<uint32_t>(w), 1.0);
                    took[w] = Clock::now() - start;
                });
            }
            // Every request is written and waits for a reply that never comes.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const Clock::time_point t0 = Clock::now();
            if (round == 0) {
                EXPECT_EQ(connection->Disconnect(), NoError);
            } else {
                // Reconnecting replaces the link under the waiting operations.
                connection->WriteStringAttribute("TCP_HostName", "localhost");
                EXPECT_EQ(connection->Connect(), NoError);
            }
            EXPECT_LT(Clock::now() - t0, PromptLimit);
            joinBounded(workers);
            for (int w = 0; w < Threads; ++w) {
                EXPECT_NE(results[w], NoError) << "worker " << w;
                EXPECT_LT(took[w], PromptLimit) << "worker " << w << " sat out the reply limit";
            }
            const Clock::time_point t1 = Clock::now();
            connection.reset(); // destruction of a connected or disconnected link
            EXPECT_LT(Clock::now() - t1, PromptLimit);
        }
        sim->stop();
    }
    EXPECT_EQ(settle(threadCount, threadsBefore), threadsBefore);
    EXPECT_EQ(settle(openDescriptors, descriptorsBefore), descriptorsBefore);
}

TEST(ReliabilityRace, ConcurrencyManyConnectionsEachKeepTheirOwnReplies)
{
    const size_t threadsBefore = threadBaseline();
    {
        auto sim = startSim();
        constexpr int Connections = 6;
        std::vector<std::unique_ptr<Connection_TCP>> connections;
        for (int c = 0; c < Connections; ++c) {
            connections.push_back(makeConnection(sim->port()));
            ASSERT_EQ(connections.back()->Connect(), NoError);
        }
        std::atomic<uint64_t> wrong{0}, failed{0};
        std::vector<std::thread> workers;
        for (int c = 0; c < Connections; ++c) {
            for (int w = 0; w < 2; ++w) {
                workers.emplace_back([&, c, w] {
                    const uint32_t vr = 3000 + static_cast<uint32_t>(c * 2 + w);
                    for (int i = 0; i < 150; ++i) {
                        const double v = c * 10000.0 + w * 1000.0 + i;
                        double back = -1;
                        if (connections[c]->WriteVrValue(vr, v) != NoError ||
                            connections[c]->ReadVrValue(vr, back) != NoError)
                            ++failed;
                        else if (back != v)
                            ++wrong;
                    }
                });
            }
        }
        joinBounded(workers);
        EXPECT_EQ(failed.load(), 0u);
        EXPECT_EQ(wrong.load(), 0u);
        connections.clear();
        sim->stop();
    }
    EXPECT_EQ(settle(threadCount, threadsBefore), threadsBefore);
}

#endif // HOLVANE_HAVE_SIM
