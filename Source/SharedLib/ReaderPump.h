#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/Assert.h"
#include "SharedLib/ICommand.h"
#include "SharedLib/SafeQueue.h"

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
// Stopping never strands a caller: once the stop flag is set (under
// _mutexQueue, so no request can slip in behind it) nothing more is queued,
// and every command still queued when the worker ends is completed with Fail.
class ReaderPump {
public:
    // The idle worker looks at the stop flag at least this often.
    static constexpr int IdlePollMs = 10000;

    ReaderPump() = default;
    ReaderPump(const ReaderPump&) = delete;
    ReaderPump& operator=(const ReaderPump&) = delete;
    // Stops the worker if it still runs.
    ~ReaderPump();

    void start();
    // Not on the pump's own thread. Completes what is queued and joins.
    void stop();
    bool isRunning() const;
    bool isShuttingDown() const { return _shutdown.load(); }
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
    std::atomic<bool> _shutdown{false};
    // Guarded by _mutexQueue.
    RingFifo<stQueuedCommand> _queue;
    bool _workerWaiting = false;
    std::condition_variable _cvWork;
    mutable std::mutex _mutexQueue;
};

template <typename C, typename T>
ErrorCode ReaderPump::queueCommand(C* command, T&& send)
{
    static_assert(std::is_base_of_v<ICommand, C>, "only commands are queued");
    static_assert(HasSetError<C>::value, "a queued command must offer setError(ErrorCode)");

    ErrorCode result = Fail;
    std::lock_guard<std::mutex> lock(_mutexQueue);
    if (_shutdown.load())
        return result;
    HOLVANE_ASSERT(isRunning());
    command->clearReady();
    result = std::forward<T>(send)();
    if (result == NoError) {
        _queue.push(stQueuedCommand{command, &failCommand<C>});
        // Notified under the mutex: once it is released, stop() may complete
        // this command and the pump may go before a later notify could run.
        if (_workerWaiting)
            _cvWork.notify_one();
    }
    return result;
}

} // namespace Vantrel::HolvaneApi
