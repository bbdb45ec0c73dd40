#pragma once
// Loopback sockets, an event recorder and a step-by-step fake controller for
// the connection-core tests. Every wait is bounded.

#include "SharedLib/CreateParameters.h"
#include "support/Loopback.h"
#include "support/ProcessCounters.h"
#include "support/TokenTableText.h"
#include "support/WireFormat.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::CoreTesting {

using Testing::Bytes;

class PeerSocket {
public:
    explicit PeerSocket(int fd = -1) : _fd(fd) {}
    ~PeerSocket() { close(); }
    PeerSocket(PeerSocket&& other) noexcept : _fd(other._fd) { other._fd = -1; }
    PeerSocket& operator=(PeerSocket&& other) noexcept;

    bool valid() const { return _fd >= 0; }
    int fd() const { return _fd; }
    bool readExact(size_t count, Bytes& out, int timeout_ms); // appends to out
    Bytes readSome(int timeout_ms);                           // empty on time-out
    bool waitClosed(int timeout_ms);                          // EOF seen in time
    bool send(const Bytes& bytes);
    void close();

private:
    int _fd;
};

class Listener {
public:
    explicit Listener(uint16_t port = 0, int backlog = 8); // valid() false if taken
    ~Listener() { close(); }
    bool valid() const { return _fd >= 0; }
    uint16_t port() const { return _port; }
    PeerSocket accept(int timeout_ms);
    void close();

private:
    int _fd = -1;
    uint16_t _port = 0;
};

using Testing::closedPort;
// A raw socket connecting to 127.0.0.1:`port` (SOCK_NONBLOCK in `flags`:
// without waiting for the connection); the caller closes it.
int connectRaw(uint16_t port, int flags = 0);
using Testing::openDescriptors;

// Milliseconds from `start` until now.
inline long long msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

struct RecordedEvent {
    EventType type;
    uint64_t code;
    std::string text;
};

class EventLog {
public:
    EventCallback callback();
    std::vector<RecordedEvent> ofType(EventType type) const;
    bool hasText(const std::string& text) const;

private:
    mutable std::mutex _mutex;
    std::vector<RecordedEvent> _events;
};

// The controller end of one test connection.
class FakeController {
public:
    uint16_t port() const { return _listener.port(); }
    Testing::TokenTableText& table() { return _table; }
    PeerSocket& peer() { return _peer; }

    // Accepts and checks the table request (00 c8, the default codes).
    bool accept();
    bool sendTable(bool complete = true); // complete=false stops before "[EOT]"
    // One VERSION/CONTROL query, answered in TMS320 as before the format is settled.
    bool answerSysVar(const std::string& name, double value, double status = 0.0);
    bool handshake(double version, double type);

    // In the format settled by the handshake.
    Testing::Wire wire() const;
    Bytes reply(double value, double status = 0.0) const { return wire().reply(value, status); }
    bool expect(const Bytes& request, int timeout_ms = 5000); // records a failure on mismatch
    bool send(const Bytes& bytes) { return _peer.send(bytes); }

private:
    Listener _listener;
    PeerSocket _peer;
    Testing::TokenTableText _table = Testing::TokenTableText::standard();
    Testing::NumberFormat _format = Testing::NumberFormat::Tms320;
    bool _escaping = false;
};

} // namespace Vantrel::HolvaneApi::CoreTesting
