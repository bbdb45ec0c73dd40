#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/Assert.h"
#include "SharedLib/ICommand.h"
#include "SharedLib/IReplyWatch.h"
#include "SharedLib/SafeQueue.h"
#include "SharedLib/TimingPolicy.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

namespace Vantrel::HolvaneApi {

// One worker thread per connection that reads every reply, in the order in
// which the requests went out. Callers write a request and enqueue its command
// as one step under _mutexQueue, then wait on the command; the worker pops the
// command, reads its reply and marks it ready. The queue is a ring guarded by
// _mutexQueue alone (one lock per request, no allocation per push), and a
// caller wakes the worker only when it really waits.
//
// Between bursts of requests the worker may watch the incoming bytes instead
// of the queue (start() with an IReplyWatch): right after a reply, for up to
// HotWatchMs, it waits for the next reply's bytes, so a caller that keeps
// issuing requests queues them without waking anyone; the reply's arrival
// wakes the worker. When that watch ends quiet, or brings bytes nobody asked
// for, the worker goes back to sleeping on the queue.
//
// While nothing is queued the worker watches the link itself when the watch
// can (IReplyWatch::awaitIdle): it sleeps in one wait on the socket and on a
// wake-up signal of the watch, so a peer that closes, or a socket that fails,
// is noticed at once with no call in progress, and a caller's request wakes
// it as the condition variable would. Bytes nobody asked for do not end that
// wait, so the worker never spins on them. Once the link is gone the worker
// sleeps on the queue.
//
// Stopping never strands a caller: once the stop flag is set (under
// _mutexQueue, so no request can slip in behind it) nothing more is queued,
// and every command still queued when the worker ends is completed with Fail.
class ReaderPump {
public:
    // The idle worker looks at the stop flag at least this often.
    static constexpr int IdlePollMs = TimingPolicy::PumpIdlePollMs;
    // How long after a reply the worker watches for the next one. Also the
    // longest a stop waits for a watching worker when the link stays open.
    static constexpr uint32_t HotWatchMs = TimingPolicy::PumpHotWatchMs;

    ReaderPump() = default;
    ReaderPump(const ReaderPump&) = delete;
    ReaderPump& operator=(const ReaderPump&) = delete;
    // Stops the worker if it still runs.
    ~ReaderPump();

    // With a watch, the worker watches it between bursts (see above); the
    // watch must outlive the worker.
    void start(IReplyWatch* watch = nullptr);
    // Not on the pump's own thread. Completes what is queued and joins.
    void stop();
    bool isRunning() const;
    // The worker's id; for the owner, between start() and stop().
    std::thread::id threadId() const { return _thread.get_id(); }

    // Clears the command, calls send() (writes the request) and, when that
    // succeeds, queues the command; all under _mutexQueue so wire order equals
    // queue order. Fail, without clearReady or send, once stopping has begun.
    // The command type must offer setError(ErrorCode), through which a
    // command still queued at stop is completed with Fail.
    template <typename C, typename T>
    ErrorCode queueCommand(C* command, T&& send);

    size_t queuedCount() const;

private:
    // A queue entry: the command and how to store an error in it.
    struct stQueuedCommand {
        ICommand* command = nullptr;
        void (*fail)(ICommand*, ErrorCode) = nullptr;
    };

    template <typename C, typename = void>
    struct HasSetError : std::false_type {};
    template <typename C>
    struct HasSetError<C, std::void_t<decltype(std::declval<C&>().setError(Fail))>> : std::true_type {};

    template <typename C>
    static void failCommand(ICommand* command, ErrorCode error)
    {
        static_cast<C*>(command)->setError(error);
    }

    static void worker_proc(ReaderPump* pump);
    void worker();
    static void complete(const stQueuedCommand& item);
    static void completeWithError(const stQueuedCommand& item, ErrorCode error);

    std::thread _thread;
    IReplyWatch* _watch = nullptr;
    std::atomic<bool> _shutdown{false};
    // Guarded by _mutexQueue.
    RingFifo<stQueuedCommand> _queue;
    bool _workerWaiting = false;
    bool _workerWatching = false; // waiting in the watch, not on _cvWork
    std::condition_variable _cvWork;
    mutable std::mutex _mutexQueue;
};

template <typename C, typename T>
ErrorCode ReaderPump::queueCommand(C* command, T&& send)
{
    static_assert(std::is_base_of_v<ICommand, C>, "only commands are queued");
    static_assert(HasSetError<C>::value, "a queued command must offer setError(ErrorCode)");

    ErrorCode result = Fail;
    bool wake = false;
    bool watching = false;
    {
        std::lock_guard<std::mutex> lock(_mutexQueue);
        if (_shutdown.load())
            return result;
        HOLVANE_ASSERT(isRunning());
        command->clearReady();
        result = std::forward<T>(send)();
        if (result == NoError) {
            _queue.push(stQueuedCommand{command, &failCommand<C>});
            wake = _workerWaiting;
            watching = _workerWatching;
        }
    }
    // Notified after the unlock, so the woken worker does not block at once on
    // the mutex still held here. The condition variable is the pump's own,
    // and the pump outlives every call of this function.
    if (wake) {
        if (watching)
            _watch->wake();
        else
            _cvWork.notify_one();
    }
    return result;
}

} // namespace Vantrel::HolvaneApi
