#include "SharedLib/ReaderPump.h"

namespace Vantrel::HolvaneApi {

ReaderPump::~ReaderPump()
{
    if (isRunning())
        stop();
}

bool ReaderPump::isRunning() const { return _thread.get_id() != std::thread::id(); }

void ReaderPump::start()
{
    HOLVANE_ASSERT(!isRunning());
    if (isRunning())
        return;
    _shutdown.store(false);
    _thread = std::thread(&ReaderPump::worker_proc, this);
}

void ReaderPump::stop()
{
    HOLVANE_ASSERT(std::this_thread::get_id() != _thread.get_id());
    {
        // Under the queue mutex: a caller inside queueCommand finishes first,
        // and none can queue after this point.
        std::lock_guard<std::mutex> lock(_mutexQueue);
        _shutdown.store(true);
    }
    CommandVoid wake; // lives until every queued item is dealt with below
    if (isRunning()) {
        _queue.Push(stQueuedCommand{&wake, nullptr});
        _thread.join();
    }
    _thread = std::thread();

    // Whatever the worker did not reach would never be answered: complete it.
    stQueuedCommand item;
    while (_queue.TryPop(item))
        completeWithError(item, Fail);
}

void ReaderPump::worker_proc(ReaderPump* pump) { pump->worker(); }

void ReaderPump::worker()
{
    while (!_shutdown.load()) {
        const stQueuedCommand item = _queue.Pop(IdlePollMs);
        if (item.command)
            complete(item);
    }
}

void ReaderPump::complete(const stQueuedCommand& item)
{
    try {
        // The command keeps its own outcome; the result is not needed here.
        static_cast<void>(item.command->readReply());
    } catch (...) {
        // Nothing may leave the pump thread: the caller learns of it instead.
        if (item.fail)
            item.fail(item.command, Fail);
    }
    item.command->setReady();
}

void ReaderPump::completeWithError(const stQueuedCommand& item, ErrorCode error)
{
    if (item.fail)
        item.fail(item.command, error);
    item.command->setReady();
}

} // namespace Vantrel::HolvaneApi
