#include "Connection/Port/TCP/Port_TCP.h"

#include "SharedLib/Assert.h"
#include "SharedLib/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Vantrel::HolvaneApi {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, never negative.
int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits for `events` on fd. Returns >0 when ready, 0 on time-out, -1 on
// failure (errno set). timeout_ms < 0 waits without limit. Interrupted waits
// resume with the time that is left. On a caller's thread inside an operation
// the wait also ends (0, with *stopped set) at the operation's deadline or
// when the caller abandons it.
int waitFor(int fd, short events, int timeout_ms, ErrorCode* stopped = nullptr)
{
    const bool unlimited = timeout_ms < 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeout_ms);
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int rc = ::poll(&pfd, 1, OperationScope::waitMs(unlimited ? -1 : remainingMs(deadline)));
        if (rc > 0)
            return rc;
        if (rc < 0 && errno != EINTR)
            return -1;
        const ErrorCode stop = OperationScope::currentStopReason();
        if (stop != NoError) {
            if (stopped)
                *stopped = stop;
            return 0;
        }
        if (!unlimited && Clock::now() >= deadline)
            return 0;
    }
}

// Resolves hostname to an IPv4 address: resolver first, then dotted text.
bool resolve(const std::string& hostname, in_addr& address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(hostname.c_str(), nullptr, &hints, &found) == 0 && found) {
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
        return true;
    }
    if (found)
        ::freeaddrinfo(found);
    // inet_addr gives INADDR_NONE for text it cannot read; only the broadcast
    // address itself legitimately has that value.
    const in_addr_t parsed = ::inet_addr(hostname.c_str());
    if (parsed == INADDR_NONE && hostname != "255.255.255.255")
        return false;
    address.s_addr = parsed;
    return true;
}

} // namespace

// The descriptor, released when the last user lets go of it.
struct Port_TCP::Socket {
    explicit Socket(int descriptor) : fd(descriptor) {}
    ~Socket() { ::close(fd); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    const int fd;
    // The link's loss has been reported: one Error event per link.
    std::atomic<bool> lossReported{false};
};

Port_TCP::Port_TCP(EventCallback event_callback) : Port(std::move(event_callback)) {}

Port_TCP::~Port_TCP() { Close(); }

std::shared_ptr<Port_TCP::Socket> Port_TCP::acquire() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _socket;
}

bool Port_TCP::isOpened() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _socket != nullptr;
}

uint16_t Port_TCP::portNumber() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _portNumber;
}

std::string Port_TCP::hostName() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _hostName;
}

void Port_TCP::setSocketOptions(const SocketOptions& options)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _options = options;
}

bool Port_TCP::isAlive() const
{
    // Under the mutex the port's own reference keeps the descriptor valid.
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_socket)
        return false;
    pollfd pfd{_socket->fd, POLLRDHUP, 0};
    if (::poll(&pfd, 1, 0) <= 0)
        return true;
    return (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

IReplyWatch::Wake Port_TCP::awaitClose(int wake_fd, int timeout_ms) const
{
    const std::shared_ptr<Socket> socket = acquire();
    if (!socket)
        return IReplyWatch::Wake::Closed;
    pollfd pfd[2] = {{socket->fd, POLLRDHUP, 0}, {wake_fd, POLLIN, 0}};
    const int rc = ::poll(pfd, 2, timeout_ms);
    if (rc <= 0)
        return IReplyWatch::Wake::Quiet; // time-out, or a signal: look again
    if ((pfd[1].revents & POLLIN) != 0) {
        uint64_t count = 0;
        static_cast<void>(::read(wake_fd, &count, sizeof count));
    }
    if ((pfd[0].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0)
        return IReplyWatch::Wake::Closed;
    return IReplyWatch::Wake::Quiet;
}

ErrorCode Port_TCP::lossCode() const
{
    const std::shared_ptr<Socket> socket = acquire();
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (socket && ::getsockopt(socket->fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0)
        return systemError(pending);
    return systemError(ENOTCONN);
}

void Port_TCP::loseLink(ErrorCode code, std::string_view text) { lose(acquire(), code, text); }

void Port_TCP::lose(const std::shared_ptr<Socket>& socket, ErrorCode code, std::string_view text)
{
    if (!socket)
        return;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        // Closed or replaced by the owner meanwhile: not a loss to report.
        if (_socket != socket)
            return;
    }
    if (!socket->lossReported.exchange(true))
        AddLogEvent(EventType::Error, code, text);
    Close();
}

ErrorCode Port_TCP::Open(const std::string& hostname, uint16_t port)
{
    {
        // The connection never opens an open port.
        const std::shared_ptr<Socket> current = acquire();
        const int socket = current ? current->fd : INVALID_SOCKET_VALUE;
        HOLVANE_ASSERT(INVALID_SOCKET_VALUE == socket);
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!resolve(hostname, address.sin_addr))
        return raiseSystemError(EHOSTUNREACH, "Cannot resolve host " + hostname);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == INVALID_SOCKET_VALUE)
        return raiseSystemError(platform::lastError());
    // From here on the descriptor is released on every failure path.
    auto handle = std::make_shared<Socket>(fd);

    int on = 1;
    if (::ioctl(fd, FIONBIO, &on) == -1)
        return raiseSystemError(platform::lastError());

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == -1) {
        const int err = platform::lastError();
        // In progress is the normal answer of a non-blocking connect; anything
        // else failed at once and no wait would report it.
        if (err != EINPROGRESS && err != EINTR)
            return raiseSystemError(err);
    }

    SocketOptions options;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        options = _options;
    }
    ErrorCode stopped = NoError;
    const int ready = waitFor(fd, POLLOUT, static_cast<int>(options.connectTimeoutMs), &stopped);
    if (ready < 0)
        return raiseSystemError(platform::lastError());
    if (ready == 0 && stopped != NoError) {
        AddLogEvent(EventType::Error, stopped, "Connect abandoned");
        return stopped;
    }
    if (ready == 0)
        return raiseSystemError(EINPROGRESS, "Timeout connecting to the port");

    // Writable also means "the attempt failed": the pending error tells.
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == -1)
        pending = platform::lastError();
    if (pending != 0)
        return raiseSystemError(pending);

    if (options.noDelay == 1 || (options.noDelay < 0 && port == NoDelayPort)) {
        int nodelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof(nodelay));
    }
    if (options.keepAliveS > 0) {
        // A peer that vanishes without a word is found within idle + probes.
        int keepalive = 1;
        int idle = static_cast<int>(options.keepAliveS);
        int interval = TimingPolicy::KeepAliveIntervalS;
        int probes = TimingPolicy::KeepAliveProbes;
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepalive, sizeof(keepalive));
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
    }

    {
        std::lock_guard<std::mutex> lock(_mutex);
        _socket = std::move(handle);
        _portNumber = port;
        _hostName = hostname;
    }
    AddLogEvent(EventType::Message, 0, "Connected to " + hostname);
    return NoError;
}

ErrorCode Port_TCP::Close()
{
    std::shared_ptr<Socket> socket;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        socket.swap(_socket);
    }
    // Wakes any thread still waiting on the socket; the descriptor itself goes
    // when the last of them lets go of it.
    if (socket)
        ::shutdown(socket->fd, SHUT_RDWR);
    return NoError;
}

ErrorCode Port_TCP::raiseSystemError(int err, std::string_view text) const
{
    const ErrorCode error = systemError(err);
    AddLogEvent(EventType::Error, error, text);
    return error;
}

ErrorCode Port_TCP::Write(const char* buffer, size_t buffer_length, size_t& buffer_written)
{
    std::lock_guard<std::mutex> writing(_writeMutex);
    const std::shared_ptr<Socket> socket = acquire();
    if (!socket)
        return raiseSystemError(EBADF, "Port is not open");
    const size_t length = buffer_length > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : buffer_length;
    const ssize_t sent = ::send(socket->fd, buffer, length, MSG_NOSIGNAL);
    if (sent < 0)
        return raiseSystemError(platform::lastError());
    buffer_written = static_cast<size_t>(sent);
    if (ISniffer* sniffer = _writeSniffer.load())
        sniffer->addData(buffer, buffer_written);
    return NoError;
}

ErrorCode Port_TCP::WriteAll(const char* buffer, size_t buffer_length, size_t& buffer_written, uint32_t timeout_ms,
                             bool sniff)
{
    buffer_written = 0;
    std::lock_guard<std::mutex> writing(_writeMutex);
    const std::shared_ptr<Socket> socket = acquire();
    if (!socket)
        return raiseSystemError(EBADF, "Port is not open");

    ErrorCode error = NoError;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (buffer_written < buffer_length) {
        size_t chunk = buffer_length - buffer_written;
        if (chunk > static_cast<size_t>(INT_MAX))
            chunk = static_cast<size_t>(INT_MAX);
        const ssize_t sent = ::send(socket->fd, buffer + buffer_written, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            if (sniff)
                if (ISniffer* sniffer = _writeSniffer.load())
                    sniffer->addData(buffer + buffer_written, static_cast<size_t>(sent));
            buffer_written += static_cast<size_t>(sent);
            continue;
        }
        const int err = sent < 0 ? platform::lastError() : EAGAIN;
        if (err == EINTR)
            continue;
        if (err != EAGAIN && err != EWOULDBLOCK) {
            error = raiseSystemError(err);
            break;
        }
        ErrorCode stopped = NoError;
        const int ready = waitFor(socket->fd, POLLOUT, remainingMs(deadline), &stopped);
        if (ready < 0) {
            error = raiseSystemError(platform::lastError());
            break;
        }
        if (ready == 0 && stopped != NoError) {
            error = stopped;
            break;
        }
        if (ready == 0) {
            error = Timeout;
            AddLogEvent(EventType::Error, error, "Timeout writing to the port");
            break;
        }
    }
    if (error != NoError && buffer_written > 0) {
        // The controller holds part of a request; nothing sent later could be
        // read in step with it.
        Close();
    }
    return error;
}

ErrorCode Port_TCP::Read(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds)
{
    buffer_read = 0;
    const std::shared_ptr<Socket> socket = acquire();
    if (!socket)
        return raiseSystemError(EBADF, "Port is not open");
    // A receive of 0 bytes would read as "peer closed".
    if (buffer_size == 0)
        return NoError;

    const bool unlimited = timeout_milliseconds == 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_milliseconds);
    const size_t size = buffer_size > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : buffer_size;
    for (;;) {
        ErrorCode stopped = NoError;
        const int ready = waitFor(socket->fd, POLLIN, unlimited ? -1 : remainingMs(deadline), &stopped);
        if (ready < 0)
            return raiseSystemError(platform::lastError());
        if (ready == 0)
            return stopped != NoError ? stopped : Timeout;

        const ssize_t received = ::recv(socket->fd, buffer, size, MSG_DONTWAIT);
        if (received > 0) {
            buffer_read = static_cast<size_t>(received);
            if (ISniffer* sniffer = _readSniffer.load())
                sniffer->addData(buffer, buffer_read);
            return NoError;
        }
        if (received == 0) {
            // Orderly shutdown by the peer, or this port was closed meanwhile
            // (then nothing is reported).
            lose(socket, systemError(ENOTCONN), "Connection closed by the controller");
            return NoError;
        }
        const int err = platform::lastError();
        // Readiness can be spurious: wait again for what is left of the limit.
        if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK)
            continue;
        // A failed socket (reset, keepalive expiry) carries nothing more.
        const ErrorCode error = systemError(err);
        lose(socket, error, "Connection failed");
        return error;
    }
}

} // namespace Vantrel::HolvaneApi
