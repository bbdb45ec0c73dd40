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
// keepalive expiry) or its owner gives it up (loseLink): the port then closes,
// remembers why (lossCause(), one LinkLoss sentence) and raises one Error
// event with that sentence for that link, whichever way it learned it. Once a
// link is lost, nothing more is reported: a write fails with the EBADF code
// (nothing was sent), and a read, which waits for the reply to a request
// already sent, with the loss's own code. A failed Open is told the same way.
// Close() by the owner is no loss and reports nothing.
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

    // Finds the IPv4 address (network byte order) of a host name; false when
    // it has none. The system's resolver unless replaced (setResolver).
    using Resolver = bool (*)(const std::string& hostname, uint32_t& address);

    explicit Port_TCP(EventCallback event_callback);
    Port_TCP(const Port_TCP&) = delete;
    Port_TCP& operator=(const Port_TCP&) = delete;

    void setSocketOptions(const SocketOptions& options);
    void setResolver(Resolver resolver);

    // Precondition: closed. Resolves, connects (within the connect limit), checks the socket's
    // pending error; on failure raises one Error event with the cause and leaves no socket.
    ErrorCode Open(const std::string& hostname, uint16_t port) override;
    // Always NoError; does nothing on a closed port.
    ErrorCode Close() override;
    // One send (MSG_NOSIGNAL); buffer_written is what the socket accepted. A
    // failed send loses the link.
    ErrorCode Write(const char* buffer, size_t buffer_length, size_t& buffer_written) override;
    // Waits up to timeout_milliseconds (as every wait: TimingPolicy) then one receive.
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
    // Gives the link up as lost for `code`, `cause` (a LinkLoss sentence):
    // closes it and raises its one Error event. Nothing when no link is open.
    void loseLink(ErrorCode code, const std::string& cause);
    // Closes the link as its owner, recording `cause`; reads waiting for a
    // reply then fail with `code`. No event: the caller knows.
    void closeLink(ErrorCode code, const std::string& cause);
    // Records why a connect sequence failed after Open (no event; a loss
    // this link met already is kept).
    void noteFailure(ErrorCode code, const std::string& cause);
    // Why the last link was lost or the last Open failed; empty while a link
    // is open and before any loss.
    std::string lossCause() const;
    // What a read of a reply meets on the closed port: the loss's code, or
    // EBADF when the port was never opened or was closed by Close().
    ErrorCode lostLinkCode() const;
    // For an idle reader: waits up to timeout_ms (as every wait) until the
    // peer closes or the socket fails (Closed; nothing is reported or closed
    // here), or wake_fd becomes readable (drained; Quiet). Bytes that arrive
    // do not end the wait, so bytes nobody asked for cannot make it spin.
    IReplyWatch::Wake awaitClose(int wake_fd, int timeout_ms) const;
    // Waits up to timeout_ms until there is something to read (Bytes: bytes,
    // or the peer's close, or a failure, which a read then finds), or
    // wake_fd becomes readable (drained; Quiet). Closed when no link is open.
    IReplyWatch::Wake awaitReadable(int wake_fd, int timeout_ms) const;
    // The errno of a socket found gone: its pending error, else ENOTCONN
    // (the peer's close).
    int socketError() const;
    // The sentence a socket error stands for on this link (LinkLoss).
    std::string causeOf(int err) const;

    // Writes all of buffer or fails, waiting for the socket to accept more for
    // at most timeout_ms in all; other writers are held off meanwhile, so a
    // request is never interleaved with another write. A link that fails or
    // does not take the bytes in time is lost; a write that sent nothing
    // because the link is gone (the controller closed it, even if no reader
    // has met that yet) gives the EBADF code, one cut short the loss's code.
    // A write that the caller's deadline or interrupt ends before any byte
    // went out leaves the link as it was. buffer_written tells how much was
    // sent. With sniff false the bytes are not shown to the write sniffer.
    ErrorCode WriteAll(const char* buffer, size_t buffer_length, size_t& buffer_written, uint32_t timeout_ms,
                       bool sniff = true);

private:
    struct Socket;
    std::shared_ptr<Socket> acquire() const;
    // The system-band code of err, raised as an Error event with text.
    ErrorCode raiseSystemError(int err, std::string_view text = {}) const;
    // An Open that fails for `code`, `cause`: recorded and reported.
    ErrorCode failOpen(ErrorCode code, const std::string& cause);
    // If the port still holds `socket`: closes it as lost, records the
    // cause and, with `report`, raises the loss's one Error event.
    void lose(const std::shared_ptr<Socket>& socket, ErrorCode code, const std::string& cause, bool report);
    // What Read (`reading`) and Write return on a closed port (see above); the
    // EBADF code of a port never opened or closed by Close() is raised as an
    // Error event.
    ErrorCode notOpen(bool reading) const;

    mutable std::mutex _mutex; // guards every member up to _options
    std::shared_ptr<Socket> _socket;
    // The last link ended by a loss (or closeLink), not by Close(); cleared by
    // Open, as are the code and cause.
    bool _linkLost = false;
    ErrorCode _lossCode = NoError;
    std::string _lossCause;
    uint16_t _portNumber = 0;
    std::string _hostName;
    SocketOptions _options;
    Resolver _resolver;
    std::atomic<ISniffer*> _readSniffer{nullptr};
    std::atomic<ISniffer*> _writeSniffer{nullptr};
    std::mutex _writeMutex; // one write at a time, so requests never interleave
};

} // namespace Vantrel::HolvaneApi
