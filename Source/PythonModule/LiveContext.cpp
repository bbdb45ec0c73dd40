#include "PythonModule/LiveContext.h"

#include "SharedLib/ConnectionFactory.h"

namespace Vantrel::HolvaneApi {

LiveContext::~LiveContext()
{
    // Every owner closes before letting go; this covers the paths that cannot
    // (a failed module shutdown, for instance), so no socket or thread is left.
    close();
}

LiveContext::Lease::~Lease()
{
    if (_context)
        _context->leave();
}

LiveContext::Lease LiveContext::enter(const std::shared_ptr<LiveContext>& context)
{
    if (!context)
        return {};
    std::lock_guard<std::mutex> lock(context->_mutex);
    if (context->_closing || context->_connection == nullptr)
        return {};
    ++context->_inFlight;
    return Lease(context);
}

int64_t LiveContext::interfaceLevel()
{
    int64_t level = _interfaceLevel.load();
    if (level != 0)
        return level;
    // A plug-in that does not know the attribute has the first table only.
    if (_connection->ReadIntAttribute("InterfaceLevel", level) != NoError || level < 1)
        level = 1;
    _interfaceLevel.store(level);
    return level;
}

void LiveContext::leave()
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (--_inFlight == 0)
        _idle.notify_all();
}

ErrorCode LiveContext::close()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_closing || _connection == nullptr)
            return ConnectionContext;
        _closing = true;
    }
    IConnection* const connection = _connection;
    ErrorCode result = NoError;
    if (connection->IsConnected())
        result = connection->Disconnect();

    const auto deadline = std::chrono::steady_clock::now() + InFlightLimit;
    std::unique_lock<std::mutex> lock(_mutex);
    while (_inFlight > 0) {
        if (_idle.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() + InFlightRetry),
                             [this] { return _inFlight == 0; }))
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            return Timeout; // still in use: leaving it alive is the only safe choice
        // A Connect still in flight may have opened the link again.
        lock.unlock();
        if (connection->IsConnected())
            connection->Disconnect();
        lock.lock();
    }
    lock.unlock();

    const ErrorCode destroyed = ConnectionFactory::Destroy(_connection);
    return result != NoError ? result : destroyed;
}

} // namespace Vantrel::HolvaneApi
