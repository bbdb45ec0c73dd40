#include "SharedLib/ReaderPump.h"
#include "Harness.h"
#include "SharedLib/ObjectPool.h"
#include "SharedLib/SafeQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace Vantrel::HolvaneApi;
using Vantrel::HolvaneApi::CoreTesting::msSince;
using Clock = std::chrono::steady_clock;

namespace {

// A simulated link: send() puts the id on the wire, readReply() takes the
// oldest id off it as "the reply".
struct Wire {
    std::mutex mutex;
    std::deque<uint32_t> in_flight;
    std::vector<uint32_t> written, answered;
};

class WireCommand final : public ICommand {
public:
    WireCommand(Wire& wire, uint32_t id) : _wire(wire), _id(id) {}

    ErrorCode send()
    {
        ++sends;
        std::lock_guard<std::mutex> lock(_wire.mutex);
        _wire.in_flight.push_back(_id);
        _wire.written.push_back(_id);
        return NoError;
    }
    ErrorCode readReply() override
    {
        replying = true;
        std::unique_lock<std::mutex> gate(_mutex);
        _cv.wait(gate, [this] { return !blocked; });
        gate.unlock();
        if (throwInReply)
            throw std::runtime_error("reply reader failed");
        std::lock_guard<std::mutex> lock(_wire.mutex);
        reply = _wire.in_flight.front();
        _wire.in_flight.pop_front();
        _wire.answered.push_back(reply);
        return NoError;
    }
    void waitReady() override
    {
        std::unique_lock<std::mutex> lock(_mutex);
        _cv.wait(lock, [this] { return _ready; });
    }
    void setReady() override
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _ready = true;
        _cv.notify_all();
    }
    void clearReady() override
    {
        ++clears;
        _ready = false;
        _error = NoError;
    }
    uint32_t id() const override { return _id; }
    const char* name() const override { return "WireCommand"; }
    void setError(ErrorCode error) { _error = error; }
    ErrorCode error() const { return _error; }
    void release()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        blocked = false;
        _cv.notify_all();
    }

    std::atomic<bool> replying{false};
    std::atomic<int> sends{0}, clears{0};
    uint32_t reply = 0;
    bool blocked = false;
    bool throwInReply = false;

private:
    Wire& _wire;
    uint32_t _id;
    ErrorCode _error = NoError;
    std::mutex _mutex;
    std::condition_variable _cv;
    bool _ready = false;
};

// What a connection operation does with a command.
ErrorCode issue(ReaderPump& pump, WireCommand& cmd)
{
    const ErrorCode error = pump.queueCommand(&cmd, [&cmd] { return cmd.send(); });
    if (error != NoError)
        return error;
    cmd.waitReady();
    return cmd.error();
}

// The link's incoming side as the worker watches it: bytes "arrive" when the
// test says so; without that the watch ends quiet after its time-out, or at
// once when told to.
class ScriptedWatch final : public IReplyWatch {
public:
    Wake awaitBytes(int timeout_ms) override
    {
        std::unique_lock<std::mutex> lock(_mutex);
        ++calls;
        _cv.notify_all();
        if (alwaysBytes)
            return Wake::Bytes;
        const bool came = _cv.wait_for(lock, std::chrono::milliseconds(holdMs > 0 ? holdMs : timeout_ms),
                                       [this] { return _arrived; });
        _arrived = false;
        return came ? Wake::Bytes : Wake::Quiet;
    }
    void queuedDuringWatch(TimingPolicy::Clock::time_point queued) override
    {
        std::lock_guard<std::mutex> lock(_mutex);
        queuedTimes.push_back(queued);
    }
    void replyAwaitedSince(TimingPolicy::Clock::time_point since) override
    {
        std::lock_guard<std::mutex> lock(_mutex);
        awaitedSince.push_back(since);
    }
    void arrive()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _arrived = true;
        _cv.notify_all();
    }
    bool waitForCalls(int count)
    {
        std::unique_lock<std::mutex> lock(_mutex);
        return _cv.wait_for(lock, std::chrono::seconds(5), [&] { return calls >= count; });
    }
    int callCount()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return calls;
    }

    bool alwaysBytes = false;
    int holdMs = 0; // > 0: how long a watch lasts without bytes, whatever it was asked
    // What the worker told the watch, read once the worker is done with it.
    std::vector<TimingPolicy::Clock::time_point> queuedTimes, awaitedSince;

private:
    std::mutex _mutex;
    std::condition_variable _cv;
    bool _arrived = false;
    int calls = 0;
};

} // namespace

TEST(SafeQueue, PopTimesOutEmptyAndKeepsOrder)
{
    SafeQueue<int*> queue;
    auto start = Clock::now();
    EXPECT_EQ(queue.Pop(150), nullptr);
    EXPECT_GE(msSince(start), 140);

    int a = 1, b = 2;
    queue.Push(&a);
    queue.Push(&b);
    EXPECT_EQ(queue.Pop(10), &a);
    EXPECT_EQ(queue.Pop(10), &b);

    std::thread pusher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        queue.Push(&b);
    });
    start = Clock::now();
    EXPECT_EQ(queue.Pop(10000), &b); // returned as soon as it is pushed
    EXPECT_LT(msSince(start), 5000);
    pusher.join();
}

TEST(RingFifo, KeepsOrderAcrossWrapAndGrowsOnlyPastItsPeak)
{
    RingFifo<int> fifo(4);
    // Steady traffic below the capacity wraps around without growing.
    int next = 0, expected = 0;
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 3; ++i)
            fifo.push(next++);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(fifo.pop(), expected++);
    }
    EXPECT_TRUE(fifo.empty());
    EXPECT_EQ(fifo.capacity(), 4u);

    // Growing while wrapped keeps the order: the head sits mid-ring here.
    for (int i = 0; i < 3; ++i)
        fifo.push(next++);
    EXPECT_EQ(fifo.pop(), expected++);
    for (int i = 0; i < 8; ++i)
        fifo.push(next++);
    EXPECT_EQ(fifo.size(), 10u);
    EXPECT_EQ(fifo.capacity(), 16u);
    while (!fifo.empty())
        EXPECT_EQ(fifo.pop(), expected++);
    EXPECT_EQ(expected, next);
    for (int i = 0; i < 16; ++i)
        fifo.push(i);
    EXPECT_EQ(fifo.capacity(), 16u);
}

TEST(ReaderPump, AnIdleWorkerIsWokenAndManyOutstandingCommandsKeepTheirOrder)
{
    Wire wire;
    ReaderPump pump;
    pump.start();
    // The worker is idle (waiting) well before this command: it must wake.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WireCommand lone(wire, 100);
    const auto start = Clock::now();
    EXPECT_EQ(issue(pump, lone), NoError);
    EXPECT_EQ(lone.reply, 100u);
    EXPECT_LT(msSince(start), ReaderPump::IdlePollMs / 2);

    // More outstanding than the ring first holds, held behind a blocked reader.
    WireCommand gate(wire, 0);
    gate.blocked = true;
    std::thread gateCaller([&] { issue(pump, gate); });
    while (!gate.replying.load())
        std::this_thread::yield();
    std::vector<std::unique_ptr<WireCommand>> cmds;
    for (uint32_t i = 1; i <= 40; ++i) {
        cmds.push_back(std::make_unique<WireCommand>(wire, i));
        ASSERT_EQ(pump.queueCommand(cmds.back().get(), [&c = *cmds.back()] { return c.send(); }), NoError);
    }
    EXPECT_EQ(pump.queuedCount(), 40u);
    gate.release();
    for (auto& c : cmds) {
        c->waitReady();
        EXPECT_EQ(c->reply, c->id());
    }
    gateCaller.join();
    EXPECT_EQ(wire.answered, wire.written);
    pump.stop();
}

TEST(ObjectPool, GrowsPastItsSizeAndTakesEveryObjectBack)
{
    ObjectPool<std::mutex> pool(8);
    std::vector<std::mutex*> loans;
    for (int i = 0; i < 9; ++i)
        loans.push_back(pool.get_element());
    EXPECT_EQ(std::set<std::mutex*>(loans.begin(), loans.end()).size(), 9u);
    for (std::mutex* m : loans)
        pool.return_element(m); // the ninth must fit as well
    EXPECT_EQ(pool.idle(), 9u);
    EXPECT_EQ(pool.get_element(), loans.back()); // last in, first out
    pool.return_element(loans.back());

    std::vector<std::mutex*> many(100);
    for (auto& m : many)
        m = pool.get_element();
    for (auto* m : many)
        pool.return_element(m);
    EXPECT_EQ(pool.idle(), 100u);
}

TEST(ReaderPump, RepliesFollowWireOrderAcrossThreads)
{
    Wire wire;
    ReaderPump pump;
    pump.start();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (uint32_t i = 1; i <= 200; ++i) {
                WireCommand cmd(wire, t * 1000 + i);
                if (issue(pump, cmd) != NoError || cmd.reply != cmd.id())
                    ++mismatches;
            }
        });
    for (auto& t : threads)
        t.join();
    pump.stop();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(wire.written.size(), 800u);
    EXPECT_EQ(wire.answered, wire.written);
}

TEST(ReaderPump, ABatchKeepsOtherRequestsOutWhileTheWorkerAlreadyReadsItsReplies)
{
    Wire wire;
    ReaderPump pump;
    pump.start();
    WireCommand first(wire, 1), second(wire, 2), other(wire, 99);
    std::thread intruder;
    std::atomic<bool> intruderDone{false};
    const ErrorCode queued = pump.queueBatch([&](ReaderPump::BatchQueue& queue) {
        first.clearReady();
        first.send();
        queue.push(&first);
        // Another caller's request must wait for the whole batch...
        intruder = std::thread([&] {
            EXPECT_EQ(issue(pump, other), NoError);
            intruderDone = true;
        });
        // ...while the worker already answers what the batch has queued:
        // a batch larger than the socket buffers would otherwise stall.
        first.waitReady();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(intruderDone.load());
        second.clearReady();
        second.send();
        queue.push(&second);
        return NoError;
    });
    EXPECT_EQ(queued, NoError);
    second.waitReady();
    intruder.join();
    EXPECT_EQ(first.reply, 1u);
    EXPECT_EQ(second.reply, 2u);
    EXPECT_EQ(other.reply, 99u);
    EXPECT_EQ(wire.written, (std::vector<uint32_t>{1, 2, 99}));
    pump.stop();
    // Once stopping has begun nothing is written.
    bool called = false;
    EXPECT_EQ(pump.queueBatch([&](ReaderPump::BatchQueue&) {
        called = true;
        return NoError;
    }),
              Fail);
    EXPECT_FALSE(called);
}

TEST(ReaderPump, StopIsPromptAndLaterCommandsAreRefusedUntouched)
{
    Wire wire;
    ReaderPump pump;
    pump.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    pump.stop();
    EXPECT_LT(msSince(start), 1000); // far below the 10 s idle poll
    EXPECT_FALSE(pump.isRunning());

    WireCommand late(wire, 7);
    EXPECT_EQ(pump.queueCommand(&late, [&late] { return late.send(); }), static_cast<ErrorCode>(0x100000001));
    EXPECT_EQ(late.sends.load(), 0);
    EXPECT_EQ(late.clears.load(), 0);
    pump.stop(); // harmless twice
}

TEST(ReaderPump, StopCompletesEveryQueuedCommandWithFail)
{
    Wire wire;
    ReaderPump pump;
    pump.start();
    WireCommand first(wire, 1);
    first.blocked = true;
    ErrorCode first_result = Fail;
    std::thread first_caller([&] { first_result = issue(pump, first); });
    while (!first.replying.load())
        std::this_thread::yield();

    std::vector<std::unique_ptr<WireCommand>> queued;
    std::vector<ErrorCode> results(3, NoError);
    std::vector<std::thread> callers;
    for (uint32_t i = 0; i < 3; ++i)
        queued.push_back(std::make_unique<WireCommand>(wire, i + 2));
    for (uint32_t i = 0; i < 3; ++i)
        callers.emplace_back([&, i] { results[i] = issue(pump, *queued[i]); });
    while (pump.queuedCount() < 3)
        std::this_thread::yield();

    std::thread stopper([&] { pump.stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first.release();
    stopper.join();
    for (auto& c : callers)
        c.join();
    first_caller.join();
    EXPECT_EQ(first_result, NoError); // the oldest is read as usual
    EXPECT_EQ(results, std::vector<ErrorCode>(3, Fail));
}

TEST(ReaderPump, FailedSendIsNotQueuedAndAThrowingReaderFailsOnlyItsCommand)
{
    Wire wire;
    ReaderPump pump;
    pump.start();
    WireCommand refused(wire, 1);
    EXPECT_EQ(pump.queueCommand(&refused, [] { return BadArgument; }), BadArgument);
    EXPECT_EQ(pump.queuedCount(), 0u);

    WireCommand throwing(wire, 2);
    throwing.throwInReply = true;
    EXPECT_EQ(issue(pump, throwing), Fail);
    WireCommand next(wire, 3);
    EXPECT_EQ(issue(pump, next), NoError);
    pump.stop();
}

TEST(ReaderPump, AfterAReplyTheWorkerWatchesTheLinkAndTakesTheNextRequestWhenItsBytesArrive)
{
    Wire wire;
    ScriptedWatch watch;
    watch.holdMs = 10000; // only arriving bytes end a watch here
    ReaderPump pump;
    pump.start(&watch);

    // An idle worker sleeps on the queue, not on the link.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(watch.callCount(), 0);
    WireCommand first(wire, 1);
    EXPECT_EQ(issue(pump, first), NoError);

    // Right after the reply it watches the link; a request queued meanwhile
    // wakes nobody and is read once its reply's bytes are there. The watch
    // learns of it (its reply's limit may end first), and the reply is taken
    // up as awaited since the request was queued, not since the watch ended.
    ASSERT_TRUE(watch.waitForCalls(1));
    WireCommand second(wire, 2);
    const auto beforeQueue = Clock::now();
    ASSERT_EQ(pump.queueCommand(&second, [&second] { return second.send(); }), NoError);
    const auto afterQueue = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(second.replying.load()) << "read before any byte of its reply came";
    watch.arrive();
    second.waitReady();
    EXPECT_EQ(second.reply, 2u);
    EXPECT_EQ(wire.answered, wire.written);
    ASSERT_EQ(watch.queuedTimes.size(), 1u);
    EXPECT_TRUE(watch.queuedTimes[0] >= beforeQueue && watch.queuedTimes[0] <= afterQueue);
    ASSERT_EQ(watch.awaitedSince.size(), 2u);
    EXPECT_EQ(watch.awaitedSince[1], watch.queuedTimes[0]);

    // Stopping while the worker watches: the link's close ends the watch.
    ASSERT_TRUE(watch.waitForCalls(2));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        watch.arrive();
    });
    pump.stop();
    closer.join();
    EXPECT_FALSE(pump.isRunning());
}

TEST(ReaderPump, AQuietWatchStillServesWhatWasQueuedAndStrayBytesDoNotMakeTheWorkerSpin)
{
    Wire wire;
    ScriptedWatch watch;
    ReaderPump pump;
    pump.start(&watch);
    WireCommand first(wire, 1);
    EXPECT_EQ(issue(pump, first), NoError);

    // A reply slower than the watch: the worker takes the request anyway and
    // its reader waits for the reply (the reply readers bound that wait).
    ASSERT_TRUE(watch.waitForCalls(1));
    WireCommand slow(wire, 2);
    EXPECT_EQ(issue(pump, slow), NoError);
    EXPECT_EQ(slow.reply, 2u);

    // Bytes nobody asked for: one look, then the worker sleeps on the queue.
    ASSERT_TRUE(watch.waitForCalls(2));
    pump.stop();
    ScriptedWatch stray;
    stray.alwaysBytes = true;
    ReaderPump second;
    second.start(&stray);
    WireCommand one(wire, 3);
    EXPECT_EQ(issue(second, one), NoError);
    ASSERT_TRUE(stray.waitForCalls(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(stray.callCount(), 1);
    WireCommand two(wire, 4);
    EXPECT_EQ(issue(second, two), NoError) << "a request still wakes the sleeping worker";
    EXPECT_EQ(two.reply, 4u);
    second.stop();
    EXPECT_EQ(wire.answered, wire.written);
}
