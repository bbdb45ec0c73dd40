#include "ScriptedConnection.h"

namespace Vantrel::HolvaneApi::Testing {

ScriptedConnection::ScriptedConnection(int64_t level) : _level(level)
{
    _completer = std::thread([this] { completeInOrder(); });
}

ScriptedConnection::~ScriptedConnection()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stop = true;
    }
    _cv.notify_all();
    _completer.join();
}

void ScriptedConnection::setReplyDelay(std::chrono::microseconds delay)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _delay = delay;
}

void ScriptedConnection::stallUntil(Clock::time_point until)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _stallUntil = until;
}

void ScriptedConnection::loseLink()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _connected = false;
    _cv.notify_all();
}

void ScriptedConnection::restoreLink()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _connected = true;
}

std::vector<ScriptedConnection::Clock::time_point> ScriptedConnection::starts() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _starts;
}

bool ScriptedConnection::IsConnected() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _connected;
}

ErrorCode ScriptedConnection::Disconnect()
{
    loseLink();
    return NoError;
}

ErrorCode ScriptedConnection::ReadStringAttribute(const std::string_view& name, std::string_view& value)
{
    if (name != "LinkLossCause")
        return ConnectionUnknownAttrib;
    value = "the link was reset by the controller at 12:03:04";
    return NoError;
}

ErrorCode ScriptedConnection::ReadIntAttribute(const std::string_view& name, int64_t& value)
{
    if (name != "InterfaceLevel")
        return ConnectionUnknownAttrib;
    value = _level;
    return NoError;
}

void ScriptedConnection::answer(BatchItem* items, uint32_t count, uint64_t exchange) const
{
    for (uint32_t i = 0; i < count; ++i) {
        BatchItem& item = items[i];
        const bool refused = item.kind == BatchItemKind::ReadAxisParam && item.param_name == RefusedName;
        item.error = refused ? static_cast<ErrorCode>(0x400000004) : NoError;
        item.value = static_cast<double>(exchange) * 1000.0 + i;
    }
}

ErrorCode ScriptedConnection::Batch(BatchItem* items, uint32_t count)
{
    std::chrono::microseconds delay{};
    uint64_t exchange = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_connected)
            return Fail;
        delay = _delay;
        exchange = _exchanges++;
        _starts.push_back(Clock::now());
    }
    std::this_thread::sleep_for(delay);
    answer(items, count, exchange);
    return NoError;
}

ErrorCode ScriptedConnection::BatchStart(BatchItem* items, uint32_t count, BatchDone done, void* context)
{
    if (_level < 3)
        return Fail; // the engine must never call a slot the level lacks
    if (done == nullptr) {
        ErrorCode first = NoError;
        for (uint32_t i = 0; i < count; ++i) {
            items[i].error = items[i].param_name == "UNKNOWN" ? Remote_UnknownToken : NoError;
            first = first != NoError ? first : items[i].error;
        }
        return first;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_connected)
        return Fail;
    answer(items, count, _exchanges++);
    _starts.push_back(Clock::now());
    _pending.push_back({Clock::now() + _delay, items, count, done, context});
    _cv.notify_all();
    return NoError;
}

void ScriptedConnection::completeInOrder()
{
    std::unique_lock<std::mutex> lock(_mutex);
    while (!_stop || !_pending.empty()) {
        if (_pending.empty()) {
            _cv.wait(lock);
            continue;
        }
        const stPending next = _pending.front();
        const Clock::time_point due = std::max(next.due, _stallUntil);
        if (_connected && !_stop && Clock::now() < due) {
            _cv.wait_until(lock, due);
            continue;
        }
        _pending.pop_front();
        ErrorCode first = NoError;
        if (!_connected) {
            for (uint32_t i = 0; i < next.count; ++i)
                next.items[i].error = Reset;
            first = Reset;
        }
        lock.unlock();
        next.done(next.context, first);
        lock.lock();
    }
}

} // namespace Vantrel::HolvaneApi::Testing
