#pragma once
// Raw loopback sockets for the connection-core tests: a listening socket on
// 127.0.0.1 and the accepted peer, every wait bounded.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::CoreTesting {

using Bytes = std::vector<uint8_t>;

class PeerSocket {
public:
    PeerSocket() = default;
    explicit PeerSocket(int fd) : _fd(fd) {}
    ~PeerSocket();
    PeerSocket(PeerSocket&& other) noexcept;
    PeerSocket& operator=(PeerSocket&& other) noexcept;
    PeerSocket(const PeerSocket&) = delete;
    PeerSocket& operator=(const PeerSocket&) = delete;

    bool valid() const { return _fd >= 0; }
    int fd() const { return _fd; }
    // Exactly count bytes within timeout_ms; false (with what came) otherwise.
    bool readExact(size_t count, Bytes& out, int timeout_ms);
    // Whatever arrives within timeout_ms (empty on time-out or close).
    Bytes readSome(int timeout_ms);
    // True when the other side closed (EOF) within timeout_ms.
    bool waitClosed(int timeout_ms);
    bool sendAll(const Bytes& bytes);
    bool sendAll(const std::string& text);
    void close();

private:
    int _fd = -1;
};

class Listener {
public:
    // port 0 picks a free one; fails (valid() false) when the port is taken.
    explicit Listener(uint16_t port = 0, int backlog = 8);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool valid() const { return _fd >= 0; }
    uint16_t port() const { return _port; }
    int fd() const { return _fd; }
    PeerSocket accept(int timeout_ms);
    void close();

private:
    int _fd = -1;
    uint16_t _port = 0;
};

// Number of open descriptors of this process.
size_t openDescriptorCount();

// Binary numbers as the controller sends them.
Bytes tmsBytes(double value);
Bytes ieeeBytes(double value);

} // namespace Vantrel::HolvaneApi::CoreTesting
