#include "SharedLib/ObjectPool.h"
#include "SharedLib/ReaderPump.h"
#include "SharedLib/SafeQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace Vantrel::HolvaneApi;
using Clock = std::chrono::steady_clock;

namespace {

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A simulated link: requests "written" in order, replies read in order.
struct FakeWire {
    std::mutex mutex;
    std::deque<uint32_t> in_flight; // ids written, replies not yet read
    std::vector<uint32_t> written;
    std::vector<uint32_t> answered;
};

// A queued command whose "reply" is the id of the oldest request in flight.
class WireCommand final : public ICommand {
public:
    WireCommand(FakeWire& wire, uint32_t id) : _wire(wire), _id(id) {}

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
        if (blockReply) {
            std::unique_lock<std::mutex> lock(gateMutex);
            gate.wait(lock, [this] { return released; });
        }
        if (throwInReply)
            throw std::runtime_error("reply reader failed");
        std::lock_guard<std::mutex> lock(_wire.mutex);
        reply = _wire.in_flight.front();
        _wire.in_flight.pop_front();
        _wire.answered.push_back(reply);
        _error = NoError;
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
    bool ready()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _ready;
    }

    void release()
    {
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            released = true;
        }
        gate.notify_all();
    }

    std::atomic<bool> replying{false};
    std::atomic<int> sends{0};
    std::atomic<int> clears{0};
    uint32_t reply = 0;
    bool blockReply = false;
    bool throwInReply = false;
    std::mutex gateMutex;
    std::condition_variable gate;
    bool released = false;

private:
    FakeWire& _wire;
    uint32_t _id;
    ErrorCode _error = NoError;
    std::mutex _mutex;
    std::condition_variable _cv;
    bool _ready = false;
};

// Issues one command the way a connection operation does.
ErrorCode issue(ReaderPump& pump, WireCommand& cmd)
{
    const ErrorCode error = pump.queueCommand(&cmd, [&cmd] { return cmd.send(); });
    if (error != NoError)
        return error;
    cmd.waitReady();
    return cmd.error();
}

} // namespace

TEST(SafeQueue, PopTimesOutEmptyAndKeepsOrder)
{
    SafeQueue<int*> queue;
    auto start = Clock::now();
    EXPECT_EQ(queue.Pop(150), nullptr);
    EXPECT_GE(msSince(start), 140);

    int a = 1, b = 2, c = 3;
    queue.Push(&a);
    queue.Push(&b);
    queue.Push(&c);
    EXPECT_EQ(queue.Size(), 3u);
    EXPECT_EQ(queue.Pop(10), &a);
    EXPECT_EQ(queue.Pop(10), &b);
    int* item = nullptr;
    EXPECT_TRUE(queue.TryPop(item));
    EXPECT_EQ(item, &c);
    EXPECT_FALSE(queue.TryPop(item));

    // An item pushed during a long wait is returned at once.
    std::thread pusher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        queue.Push(&b);
    });
    start = Clock::now();
    EXPECT_EQ(queue.Pop(10000), &b);
    EXPECT_LT(msSince(start), 5000);
    pusher.join();
}

TEST(ObjectPool, GrowsPastItsSizeAndTakesEveryObjectBack)
{
    ObjectPool<std::mutex> pool(8);
    EXPECT_EQ(pool.idle(), 8u);
    EXPECT_EQ(pool.capacity(), 8u);

    std::vector<std::mutex*> loans;
    for (int i = 0; i < 9; ++i)
        loans.push_back(pool.get_element());
    EXPECT_EQ(std::set<std::mutex*>(loans.begin(), loans.end()).size(), 9u);
    EXPECT_EQ(pool.idle(), 0u);
    EXPECT_GE(pool.capacity(), 9u);

    for (std::mutex* m : loans)
        pool.return_element(m);
    EXPECT_EQ(pool.idle(), 9u);

    // Last returned, first handed out.
    std::mutex* again = pool.get_element();
    EXPECT_EQ(again, loans.back());
    pool.return_element(again);

    // Many simultaneous borrowers, all returned.
    std::vector<std::mutex*> many;
    for (int i = 0; i < 100; ++i)
        many.push_back(pool.get_element());
    for (std::mutex* m : many)
        pool.return_element(m);
    EXPECT_EQ(pool.idle(), 100u);
}

TEST(ReaderPump, RepliesFollowWireOrderAcrossThreads)
{
    FakeWire wire;
    ReaderPump pump;
    pump.start();
    EXPECT_TRUE(pump.isRunning());

    constexpr int Threads = 4;
    constexpr int PerThread = 200;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i) {
                WireCommand cmd(wire, static_cast<uint32_t>(t * 1000 + i + 1));
                if (issue(pump, cmd) != NoError || cmd.reply != cmd.id())
                    ++mismatches;
            }
        });
    for (auto& t : threads)
        t.join();
    pump.stop();

    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(wire.written.size(), static_cast<size_t>(Threads * PerThread));
    EXPECT_EQ(wire.answered, wire.written);
    EXPECT_FALSE(pump.isRunning());
}

TEST(ReaderPump, StopIsPromptWhenIdleAndRefusesLaterCommands)
{
    FakeWire wire;
    ReaderPump pump;
    pump.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    pump.stop();
    EXPECT_LT(msSince(start), 1000);

    WireCommand late(wire, 7);
    EXPECT_EQ(pump.queueCommand(&late, [&late] { return late.send(); }), Fail);
    EXPECT_EQ(late.sends.load(), 0);
    EXPECT_EQ(late.clears.load(), 0);
    EXPECT_EQ(pump.queuedCount(), 0u);

    // Stopping twice, and stopping a pump that never ran, is harmless.
    pump.stop();
    ReaderPump never;
    never.stop();
    EXPECT_FALSE(never.isRunning());
}

TEST(ReaderPump, StopCompletesEveryQueuedCommandWithFail)
{
    FakeWire wire;
    ReaderPump pump;
    pump.start();

    WireCommand first(wire, 1);
    first.blockReply = true;
    ErrorCode first_result = Fail;
    std::thread first_caller([&] { first_result = issue(pump, first); });
    // The pump is now inside the first reply, with an empty queue.
    while (!first.replying.load())
        std::this_thread::yield();

    // Three more callers queue behind the blocked reply.
    std::vector<std::unique_ptr<WireCommand>> waiting;
    for (uint32_t id = 2; id <= 4; ++id)
        waiting.push_back(std::make_unique<WireCommand>(wire, id));
    std::vector<ErrorCode> results(waiting.size(), NoError);
    std::vector<std::thread> callers;
    for (size_t i = 0; i < waiting.size(); ++i)
        callers.emplace_back([&, i] { results[i] = issue(pump, *waiting[i]); });
    while (pump.queuedCount() < waiting.size())
        std::this_thread::yield();

    std::thread stopper([&] { pump.stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first.release();
    const auto start = Clock::now();
    stopper.join();
    for (auto& c : callers)
        c.join();
    first_caller.join();
    EXPECT_LT(msSince(start), 2000);

    EXPECT_EQ(first_result, NoError); // the oldest is read as usual
    for (size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i], Fail) << "command " << i + 2;
        EXPECT_TRUE(waiting[i]->ready());
    }
}

TEST(ReaderPump, FailedSendIsNotQueuedAndAThrowingReaderDoesNotStopThePump)
{
    FakeWire wire;
    ReaderPump pump;
    pump.start();

    WireCommand refused(wire, 1);
    const ErrorCode sent = pump.queueCommand(&refused, [] { return BadArgument; });
    EXPECT_EQ(sent, BadArgument);
    EXPECT_EQ(refused.clears.load(), 1);
    EXPECT_EQ(pump.queuedCount(), 0u);

    WireCommand throwing(wire, 2);
    throwing.throwInReply = true;
    EXPECT_EQ(issue(pump, throwing), Fail);

    // The pump still serves: the reply left in flight by the failed reader is
    // the next one read here, exactly as a real stream would behave.
    WireCommand next(wire, 3);
    EXPECT_EQ(issue(pump, next), NoError);
    pump.stop();
}
