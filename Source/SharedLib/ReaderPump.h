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
// as one step under _mutexWrite, then wait on the command; the worker pops the
// command, reads its reply and marks it ready. The queue is a ring guarded by
// _mutexQueue (no allocation per push), which the worker alone also takes, so
// it goes on reading replies while a caller writes a long run of requests;
// a caller wakes the worker only when it really waits.
//
// Between bursts of requests the worker may watch the incoming bytes instead
// of the queue (start() with an IReplyWatch): right after a reply, for up to
// HotWatchMs, it waits for the next reply's bytes, so a caller that keeps
// issuing requests queues them without waking anyone; the reply's arrival
// wakes the worker. When that watch ends quiet, or brings bytes nobody asked
// for, the worker goes back to sleeping on the queue. A request queued during
// the watch has had its bytes awaited from the moment it was queued: the
// watch is told so (replyAwaitedSince), and the reply's time-out counts from
// then, not from the end of the watch.
//
// While nothing is queued the worker watches the link itself when the watch
// can (IReplyWatch::awaitIdle): it sleeps in one wait on the socket and on a
// wake-up signal of the watch, so a peer that closes, or a socket that fails,
// is noticed at once with no call in progress, and a caller's request wakes
// it as the condition variable would. Bytes nobody asked for do not end that
// wait, so the worker never spins on them. Once the link is gone the worker
// sleeps on the queue.
//
// Stopping never strands a caller: once the stop flag is set (under both
// mutexes, so no request can slip in behind it) nothing more is queued,
// and every command still queued when the worker ends is completed with the
// code stop() is given (its request went out; its reply never will come).
class ReaderPump {
public:
    // The idle worker looks at the stop flag at least this often.
    static constexpr int IdlePollMs = TimingPolicy::PumpIdlePollMs;
    // How long after a reply the worker watches for the next one. Also the
    // longest a stop waits for a watching worker when the link stays open.
    static constexpr int HotWatchMs = TimingPolicy::PumpHotWatchMs;

    ReaderPump() = default;
    ReaderPump(const ReaderPump&) = delete;
    ReaderPump& operator=(const ReaderPump&) = delete;
    // Stops the worker if it still runs.
    ~ReaderPump();

    // With a watch, the worker watches it between bursts (see above); the
    // watch must outlive the worker.
    void start(IReplyWatch* watch = nullptr);
    // Not on the pump's own thread. Joins the worker, then completes every
    // command it did not reach with `unanswered`.
    void stop(ErrorCode unanswered = Fail);
    bool isRunning() const;
    // The worker's id; for the owner, between start() and stop().
    std::thread::id threadId() const { return _thread.get_id(); }

    // Clears the command, calls send() (writes the request) and, when that
    // succeeds, queues the command; all under _mutexWrite so wire order equals
    // queue order. Fail, without clearReady or send, once stopping has begun.
    // The command type must offer setError(ErrorCode), through which a
    // command still queued at stop is completed.
    template <typename C, typename T>
    ErrorCode queueCommand(C* command, T&& send);

    // Handed to the writer of queueBatch: queues commands whose requests have
    // just been written, in the order they were written.
    class BatchQueue {
    public:
        // The command must have been cleared (clearReady) before its request
        // was written; the same rules as for queueCommand apply.
        template <typename C>
        void push(C* command)
        {
            static_assert(std::is_base_of_v<ICommand, C>, "only commands are queued");
            static_assert(HasSetError<C>::value, "a queued command must offer setError(ErrorCode)");
            _pump.enqueue(stQueuedCommand{command, &failCommand<C>, {}});
        }

    private:
        friend class ReaderPump;
        explicit BatchQueue(ReaderPump& pump) : _pump(pump) {}
        ReaderPump& _pump;
    };

    // Calls write(BatchQueue&) -> ErrorCode holding _mutexWrite throughout, so
    // that no other caller's request lands between the requests it writes.
    // The writer queues each command right after its request went out, so
    // the worker reads the first replies while later requests are written
    // (neither side then needs room for the whole run in its socket buffers).
    // Returns what write returns; Fail, without calling it, once stopping has
    // begun.
    template <typename W>
    ErrorCode queueBatch(W&& write);

    size_t queuedCount() const;

private:
    // A queue entry: the command, how to store an error in it, and when its
    // request went out.
    struct stQueuedCommand {
        ICommand* command = nullptr;
        void (*fail)(ICommand*, ErrorCode) = nullptr;
        TimingPolicy::Clock::time_point queued{};
    };

    template <typename C, typename = void>
    struct HasSetError : std::false_type {
    };
    template <typename C>
    struct HasSetError<C, std::void_t<decltype(std::declval<C&>().setError(Fail))>> : std::true_type {
    };

    template <typename C>
    static void failCommand(ICommand* command, ErrorCode error)
    {
        static_cast<C*>(command)->setError(error);
    }

    // Stamps the time, appends to the queue and wakes the worker if it
    // waits; the caller holds _mutexWrite.
    void enqueue(stQueuedCommand item);

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
    bool _workerWatching = false;    // waiting in the watch, not on _cvWork
    bool _workerHotWatching = false; // watching for the next reply's bytes
    std::condition_variable _cvWork;
    mutable std::mutex _mutexQueue;
    // Held across writing requests and queueing their commands; taken before
    // _mutexQueue, never after it.
    std::mutex _mutexWrite;
};

template <typename C, typename T>
ErrorCode ReaderPump::queueCommand(C* command, T&& send)
{
    static_assert(std::is_base_of_v<ICommand, C>, "only commands are queued");
    static_assert(HasSetError<C>::value, "a queued command must offer setError(ErrorCode)");

    std::lock_guard<std::mutex> lock(_mutexWrite);
    if (_shutdown.load())
        return Fail;
    HOLVANE_ASSERT(isRunning());
    command->clearReady();
    const ErrorCode result = std::forward<T>(send)();
    if (result == NoError)
        enqueue(stQueuedCommand{command, &failCommand<C>, {}});
    return result;
}

template <typename W>
ErrorCode ReaderPump::queueBatch(W&& write)
{
    std::lock_guard<std::mutex> lock(_mutexWrite);
    if (_shutdown.load())
        return Fail;
    HOLVANE_ASSERT(isRunning());
    BatchQueue queue(*this);
    return std::forward<W>(write)(queue);
}

} // namespace Vantrel::HolvaneApi
