#include "SharedLib/ReaderPump.h"

#include <algorithm>
#include <chrono>

namespace Vantrel::HolvaneApi {

ReaderPump::~ReaderPump()
{
    if (isRunning())
        stop();
}

bool ReaderPump::isRunning() const { return _thread.get_id() != std::thread::id(); }

void ReaderPump::start(IReplyWatch* watch)
{
    HOLVANE_ASSERT(!isRunning());
    _watch = watch;
    _shutdown.store(false);
    _thread = std::thread(&ReaderPump::worker_proc, this);
}

void ReaderPump::stop(ErrorCode unanswered)
{
    HOLVANE_ASSERT(std::this_thread::get_id() != _thread.get_id());
    {
        // Under the write mutex: a caller inside queueCommand or queueBatch
        // finishes first, and none can queue after this point. Under the
        // queue mutex too, so the worker cannot miss the flag between looking
        // at it and going to sleep.
        std::lock_guard<std::mutex> writing(_mutexWrite);
        std::lock_guard<std::mutex> lock(_mutexQueue);
        _shutdown.store(true);
    }
    _cvWork.notify_all();
    if (_watch != nullptr)
        _watch->wake();
    if (isRunning())
        _thread.join();
    _thread = std::thread();

    // Whatever the worker did not reach would never be answered: complete it.
    // Nothing can be queued any more, so the queue is read under the mutex
    // and each command completed outside it.
    for (;;) {
        stQueuedCommand item;
        {
            std::lock_guard<std::mutex> lock(_mutexQueue);
            if (_queue.empty())
                break;
            item = _queue.pop();
        }
        completeWithError(item, unanswered);
    }
}

size_t ReaderPump::queuedCount() const
{
    std::lock_guard<std::mutex> lock(_mutexQueue);
    return _queue.size();
}

void ReaderPump::enqueue(stQueuedCommand item)
{
    item.queued = TimingPolicy::Clock::now();
    bool wake = false;
    bool watching = false;
    bool hotWatching = false;
    {
        std::lock_guard<std::mutex> lock(_mutexQueue);
        _queue.push(item);
        // One wake-up is enough for a run of pushes.
        wake = _workerWaiting;
        watching = _workerWatching;
        hotWatching = _workerHotWatching;
        _workerWaiting = false;
    }
    // The reply's arrival ends that watch, unless its limit ends first.
    if (hotWatching)
        _watch->queuedDuringWatch(item.queued);
    // Notified after the unlock, so the woken worker does not block at once on
    // the mutex still held here. The condition variable and the watch are the
    // pump's own, and the pump outlives every call of this function.
    if (wake) {
        if (watching)
            _watch->wake();
        else
            _cvWork.notify_one();
    }
}

void ReaderPump::worker_proc(ReaderPump* pump) { pump->worker(); }

void ReaderPump::worker()
{
    // Set after a reply: the next request probably follows soon.
    bool hot = false;
    // Whether the idle worker watches the link; not once the link is gone.
    bool watchIdle = _watch != nullptr;
    // When the last reply was read: the next one is awaited from then on.
    TimingPolicy::Clock::time_point lastDone{};
    for (;;) {
        stQueuedCommand item;
        {
            std::unique_lock<std::mutex> lock(_mutexQueue);
            if (hot && _watch != nullptr && _queue.empty() && !_shutdown.load()) {
                _workerHotWatching = true;
                lock.unlock();
                // Whatever the outcome, the queue decides next. Quiet or
                // closed with nothing queued: the burst is over. Bytes with
                // nothing queued answer no request (requests are queued as
                // they are written, under this mutex); they stay for the next
                // reply reader, and watching them again would only spin. In
                // both cases the worker sleeps on the queue below.
                static_cast<void>(_watch->awaitBytes(HotWatchMs));
                lock.lock();
                _workerHotWatching = false;
            }
            while (_queue.empty() && !_shutdown.load()) {
                _workerWaiting = true;
                if (watchIdle) {
                    _workerWatching = true;
                    lock.unlock();
                    const IReplyWatch::Wake wake = _watch->awaitIdle(IdlePollMs);
                    lock.lock();
                    _workerWatching = false;
                    if (wake == IReplyWatch::Wake::Closed) {
                        watchIdle = false;
                        // With a request queued meanwhile its reply may
                        // still be in the socket: the reply reader decides.
                        if (_queue.empty() && !_shutdown.load()) {
                            lock.unlock();
                            _watch->linkGone();
                            lock.lock();
                        }
                    }
                } else {
                    _cvWork.wait_for(lock, std::chrono::milliseconds(IdlePollMs));
                }
                _workerWaiting = false;
            }
            // Once stopping has begun, stop() fails what is still queued.
            if (_shutdown.load())
                return;
            item = _queue.pop();
        }
        if (_watch != nullptr)
            _watch->replyAwaitedSince(std::max(item.queued, lastDone));
        complete(item);
        lastDone = TimingPolicy::Clock::now();
        hot = true;
    }
}

void ReaderPump::complete(const stQueuedCommand& item)
{
    try {
        // The command keeps its own outcome; the result is not needed here.
        static_cast<void>(item.command->readReply());
    } catch (...) {
        // Nothing may leave the pump thread: the caller learns of it instead.
        item.fail(item.command, Fail);
    }
    item.command->setReady();
}

void ReaderPump::completeWithError(const stQueuedCommand& item, ErrorCode error)
{
    item.fail(item.command, error);
    item.command->setReady();
}

} // namespace Vantrel::HolvaneApi
