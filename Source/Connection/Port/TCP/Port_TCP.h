#pragma once

#include "SharedLib/IReplyWatch.h"
#include "SharedLib/Port.h"
#include "SharedLib/TimingPolicy.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace Vantrel::HolvaneApi {

constexpr int INVALID_SOCKET_VALUE = -1;

// A TCP client socket as a byte port. Non-blocking socket, connect limit and
// socket options from SocketOptions, reads guarded by a wait for readability.
// On a caller's thread inside an operation (OperationScope) every wait also
// ends at the operation's deadline or when the caller abandons it.
//
// Threads: the pump thread reads while caller threads write, and a reading
// thread may close the port when the peer goes away. The descriptor is
// therefore held by a shared handle: every Read/Write takes a reference for
// the duration of its system calls, Close() shuts the socket down (waking
// every waiter) and drops the port's reference, and the descriptor is
// released when the last user lets go. A write that starts after Close() sees
// a closed port (EBADF code) and can never reach a reused descriptor number.
//
// The link is lost when the peer closes its end, the socket fails (reset,
// keepalive expiry) or its owner gives it up (loseLink): the port then closes
// and raises one Error event for that link, whichever way it learned it. A
// Close() by the owner raises none.
class Port_TCP : public Port {
public:
    static constexpr uint16_t NoDelayPort = 3240;

    // Applied by the next Open.
    struct SocketOptions {
        uint32_t connectTimeoutMs = static_cast<uint32_t>(TimingPolicy::DefaultConnectTimeoutMs);
        // Seconds of idle before keepalive probes; 0 = no keepalive.
        uint32_t keepAliveS = 0;
        // 1 = send coalescing off, 0 = on, -1 = off for NoDelayPort only.
        int noDelay = -1;
    };

    explicit Port_TCP(EventCallback event_callback);
    Port_TCP(const Port_TCP&) = delete;
    Port_TCP& operator=(const Port_TCP&) = delete;

    void setSocketOptions(const SocketOptions& options);

    // Precondition: closed. Resolves, connects (within the connect limit), checks the socket's
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

    // Open, and neither closed by the peer nor failed: asks the socket without
    // taking any byte from it (one poll, no wait).
    bool isAlive() const;
    // Gives the link up as lost for `code` (one Error event with `text` unless
    // this link was reported already) and closes the port.
    void loseLink(ErrorCode code, std::string_view text);
    // For an idle reader: waits up to timeout_ms (-1: no limit) until the
    // peer closes or the socket fails (Closed; nothing is reported or closed
    // here), or wake_fd becomes readable (drained; Quiet). Bytes that arrive
    // do not end the wait, so bytes nobody asked for cannot make it spin.
    IReplyWatch::Wake awaitClose(int wake_fd, int timeout_ms) const;
    // Why the socket is gone (its pending error, else the peer's close), as
    // loseLink takes it.
    ErrorCode lossCode() const;

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
    // Reports `socket` lost once and closes the port if it still holds it.
    void lose(const std::shared_ptr<Socket>& socket, ErrorCode code, std::string_view text);

    mutable std::mutex _mutex; // guards _socket, _portNumber, _hostName
    std::shared_ptr<Socket> _socket;
    uint16_t _portNumber = 0;
    std::string _hostName;
    SocketOptions _options;
    std::atomic<ISniffer*> _readSniffer{nullptr};
    std::atomic<ISniffer*> _writeSniffer{nullptr};
    std::mutex _writeMutex; // one write at a time, so requests never interleave
};

} // namespace Vantrel::HolvaneApi
