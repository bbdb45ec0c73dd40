#pragma once

#include "SharedLib/Port.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace Vantrel::HolvaneApi {

constexpr int INVALID_SOCKET_VALUE = -1;

// A TCP client socket as a byte port. Non-blocking socket, 5 s connect limit,
// reads guarded by a wait for readability.
//
// Threads: the pump thread reads while caller threads write, and a reading
// thread may close the port when the peer goes away. The descriptor is
// therefore held by a shared handle: every Read/Write takes a reference for
// the duration of its system calls, Close() shuts the socket down (waking
// every waiter) and drops the port's reference, and the descriptor is
// released when the last user lets go. A write that starts after Close() sees
// a closed port (EBADF code) and can never reach a reused descriptor number.
class Port_TCP : public Port {
public:
    static constexpr uint32_t ConnectTimeoutMs = 5000;
    static constexpr uint16_t NoDelayPort = 3240;

    explicit Port_TCP(EventCallback event_callback);
    Port_TCP(const Port_TCP&) = delete;
    Port_TCP& operator=(const Port_TCP&) = delete;

    // Precondition: closed. Resolves, connects (5 s), checks the socket's
    // pending error; on failure raises one Error event and leaves no socket.
    ErrorCode Open(const std::string& hostname, uint16_t port) override;
    // Always NoError; does nothing on a closed port.
    ErrorCode Close() override;
    // One send (MSG_NOSIGNAL); buffer_written is what the socket accepted.
    ErrorCode Write(const char* buffer, size_t buffer_length, size_t& buffer_written) override;
    // Waits up to timeout_milliseconds (0 = no limit) then one receive.
    // 0 bytes with NoError: the peer closed, and the port is now closed
    // (or buffer_size was 0).
    ErrorCode Read(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds) override;
    void setWriteSniffer(ISniffer* sniffer) override { _writeSniffer.store(sniffer); }
    void setReadSniffer(ISniffer* sniffer) override { _readSniffer.store(sniffer); }

    virtual ~Port_TCP();
    virtual bool isOpened() const;
    virtual uint16_t portNumber() const;
    virtual std::string hostName() const;

    // Writes all of buffer or fails, waiting for the socket to accept more for
    // at most timeout_ms in all; other writers are held off meanwhile, so a
    // request is never interleaved with another write. When only part of the
    // buffer went out the peer holds half a request: the port is closed.
    // buffer_written tells how much was sent. With sniff false the bytes are
    // not shown to the write sniffer.
    ErrorCode WriteAll(const char* buffer, size_t buffer_length, size_t& buffer_written, uint32_t timeout_ms,
                       bool sniff = true);

private:
    struct Socket;
    std::shared_ptr<Socket> acquire() const;
    // The system-band code of err, raised as an Error event with text.
    ErrorCode raiseSystemError(int err, std::string_view text = {}) const;

    mutable std::mutex _mutex; // guards _socket, _portNumber, _hostName
    std::shared_ptr<Socket> _socket;
    uint16_t _portNumber = 0;
    std::string _hostName;
    std::atomic<ISniffer*> _readSniffer{nullptr};
    std::atomic<ISniffer*> _writeSniffer{nullptr};
    std::mutex _writeMutex; // one write at a time, so requests never interleave
};

} // namespace Vantrel::HolvaneApi
