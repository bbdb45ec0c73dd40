#pragma once

#include "SharedLib/IConnection.h"
#include "SharedLib/TimingPolicy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Vantrel::HolvaneApi {

// A connection made by the factory, shared by the Connection object that
// created it and by every operation in flight on it. Closing it disconnects
// first (which makes in-flight operations return), waits until none is left
// and only then hands the connection back to the factory.
class LiveContext {
public:
    // `interface_level`: the connection's "InterfaceLevel" when already read,
    // else 0 (it is then read when first needed).
    explicit LiveContext(IConnection* connection, int64_t interface_level = 0)
        : _connection(connection), _interfaceLevel(interface_level)
    {
    }
    ~LiveContext();
    LiveContext(const LiveContext&) = delete;
    LiveContext& operator=(const LiveContext&) = delete;

    // Keeps the connection usable for one operation.
    class Lease {
    public:
        Lease() = default;
        explicit Lease(std::shared_ptr<LiveContext> context) : _context(std::move(context)) {}
        Lease(Lease&&) = default;
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        ~Lease();
        explicit operator bool() const { return _context != nullptr; }
        IConnection& connection() const { return *_context->_connection; }
        // The connection's "InterfaceLevel" (1 when it does not know the
        // attribute), read once per context: it tells which slots exist.
        int64_t interfaceLevel() const { return _context->interfaceLevel(); }

    private:
        std::shared_ptr<LiveContext> _context;
    };

    // An empty lease once closing has begun.
    static Lease enter(const std::shared_ptr<LiveContext>& context);

    // Disconnect, wait for in-flight operations, destroy. The first caller
    // does the work and gets NoError or the Disconnect code; later callers get
    // ConnectionContext.
    ErrorCode close();

    // How long, and how often, close() waits out operations in flight
    // (TimingPolicy says why).
    static constexpr std::chrono::milliseconds InFlightLimit{TimingPolicy::ReleaseWaitLimitMs};
    static constexpr std::chrono::milliseconds InFlightRetry{TimingPolicy::ReleaseRetryMs};

private:
    void leave();
    int64_t interfaceLevel();

    std::mutex _mutex;
    std::condition_variable _idle;
    IConnection* _connection;
    int _inFlight = 0;
    bool _closing = false;
    std::atomic<int64_t> _interfaceLevel{0}; // 0: not read yet
};

} // namespace Vantrel::HolvaneApi
