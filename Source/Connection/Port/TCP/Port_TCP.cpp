#include "Connection/Port/TCP/Port_TCP.h"

#include "Connection/Port/TCP/LinkLoss.h"
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

// The end of a wait of `timeout_ms` (NoLimit: none) from now.
struct WaitEnd {
    explicit WaitEnd(int timeout_ms)
        : unlimited(timeout_ms == TimingPolicy::NoLimit),
          at(Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeout_ms))
    {
    }
    // What is left of the wait, in the form every wait takes.
    int leftMs() const { return unlimited ? TimingPolicy::NoLimit : TimingPolicy::msUntil(at); }
    bool passed() const { return !unlimited && Clock::now() >= at; }

    bool unlimited;
    Clock::time_point at;
};

// Waits for `events` on fd until `end`. Returns >0 when ready, 0 on
// time-out, -1 on failure (errno set). Interrupted waits resume with the time
// that is left. On a caller's thread inside an operation the wait also ends
// (0, with *stopped set) at the operation's deadline or when the caller
// abandons it.
int waitFor(int fd, short events, const WaitEnd& end, ErrorCode* stopped = nullptr)
{
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int rc = ::poll(&pfd, 1, OperationScope::waitMs(end.leftMs()));
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
        if (end.passed())
            return 0;
    }
}

// The system's resolver, IPv4 only.
bool systemResolver(const std::string& hostname, uint32_t& address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const bool resolved = ::getaddrinfo(hostname.c_str(), nullptr, &hints, &found) == 0 && found != nullptr;
    if (resolved)
        address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    if (found)
        ::freeaddrinfo(found);
    return resolved;
}

// An IPv6 address as text, bare or in brackets, with or without a zone.
bool isIpv6Literal(const std::string& hostname)
{
    std::string text = hostname;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    text = text.substr(0, text.find('%'));
    in6_addr address{};
    return ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

// Dotted text first (no resolver asked), then the resolver, then the older
// numeric forms inet_addr reads ("127.1").
bool resolve(const std::string& hostname, Port_TCP::Resolver resolver, in_addr& address)
{
    if (::inet_pton(AF_INET, hostname.c_str(), &address) == 1)
        return true;
    uint32_t found = 0;
    if (resolver(hostname, found)) {
        address.s_addr = found;
        return true;
    }
    // inet_addr gives INADDR_NONE for text it cannot read; only the broadcast
    // address itself legitimately has that value.
    const in_addr_t parsed = ::inet_addr(hostname.c_str());
    if (parsed == INADDR_NONE)
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
};

Port_TCP::Port_TCP(EventCallback event_callback) : Port(std::move(event_callback)), _resolver(&systemResolver) {}

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

void Port_TCP::setResolver(Resolver resolver)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _resolver = resolver != nullptr ? resolver : &systemResolver;
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

IReplyWatch::Wake Port_TCP::awaitReadable(int wake_fd, int timeout_ms) const
{
    const std::shared_ptr<Socket> socket = acquire();
    if (!socket)
        return IReplyWatch::Wake::Closed;
    pollfd pfd[2] = {{socket->fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int rc = ::poll(pfd, 2, timeout_ms);
    if (rc <= 0)
        return IReplyWatch::Wake::Quiet; // time-out, or a signal: the queue decides
    if ((pfd[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0)
        return IReplyWatch::Wake::Bytes;
    uint64_t count = 0;
    static_cast<void>(::read(wake_fd, &count, sizeof count));
    return IReplyWatch::Wake::Quiet;
}

int Port_TCP::socketError() const
{
    const std::shared_ptr<Socket> socket = acquire();
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (socket && ::getsockopt(socket->fd, SOL_SOCKET, SO_ERROR, &pending, &length) == 0 && pending != 0)
        return pending;
    return ENOTCONN;
}

std::string Port_TCP::causeOf(int err) const
{
    bool keepalive = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        keepalive = _options.keepAliveS > 0;
    }
    return LinkLoss::fromSocketError(err, keepalive);
}

void Port_TCP::loseLink(ErrorCode code, const std::string& cause) { lose(acquire(), code, cause, true); }

void Port_TCP::closeLink(ErrorCode code, const std::string& cause) { lose(acquire(), code, cause, false); }

void Port_TCP::noteFailure(ErrorCode code, const std::string& cause)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_linkLost && !_lossCause.empty())
        return;
    _lossCode = code;
    _lossCause = cause;
}

std::string Port_TCP::lossCause() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _lossCause;
}

ErrorCode Port_TCP::lostLinkCode() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _linkLost ? _lossCode : systemError(EBADF);
}

void Port_TCP::lose(const std::shared_ptr<Socket>& socket, ErrorCode code, const std::string& cause, bool report)
{
    if (!socket)
        return;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        // Closed or replaced by the owner meanwhile: not a loss of this
        // link's, and a link opened since is not this one to close.
        if (_socket != socket)
            return;
        _socket.reset();
        _linkLost = true;
        _lossCode = code;
        _lossCause = cause;
    }
    // Wakes any thread still waiting on the socket (see Close).
    ::shutdown(socket->fd, SHUT_RDWR);
    // Reported with the port already closed, so whoever the event reaches
    // sees the link gone.
    if (report)
        AddLogEvent(EventType::Error, code, cause);
}

ErrorCode Port_TCP::notOpen(bool reading) const
{
    bool lost = false;
    ErrorCode code = NoError;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        lost = _linkLost;
        code = _lossCode;
    }
    if (lost)
        return reading ? code : systemError(EBADF);
    return raiseSystemError(EBADF, "Port is not open");
}

ErrorCode Port_TCP::failOpen(ErrorCode code, const std::string& cause)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _lossCode = code;
        _lossCause = cause;
    }
    AddLogEvent(EventType::Error, code, cause);
    return code;
}

ErrorCode Port_TCP::Open(const std::string& hostname, uint16_t port)
{
    {
        // The connection never opens an open port.
        const std::shared_ptr<Socket> current = acquire();
        const int socket = current ? current->fd : INVALID_SOCKET_VALUE;
        HOLVANE_ASSERT(INVALID_SOCKET_VALUE == socket);
    }
    SocketOptions options;
    Resolver resolver = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        options = _options;
        resolver = _resolver;
    }
    const auto cannotConnect = [&](int err) {
        return failOpen(systemError(err), err == ECONNREFUSED ? LinkLoss::refused(hostname, port)
                                                              : LinkLoss::cannotConnect(hostname, port, err));
    };

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (isIpv6Literal(hostname))
        return failOpen(systemError(EAFNOSUPPORT), LinkLoss::ipv6NotSupported(hostname));
    if (!resolve(hostname, resolver, address.sin_addr))
        return failOpen(systemError(EHOSTUNREACH), LinkLoss::cannotResolve(hostname));

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == INVALID_SOCKET_VALUE)
        return cannotConnect(platform::lastError());
    // From here on the descriptor is released on every failure path.
    auto handle = std::make_shared<Socket>(fd);

    int on = 1;
    if (::ioctl(fd, FIONBIO, &on) == -1)
        return cannotConnect(platform::lastError());

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == -1) {
        const int err = platform::lastError();
        // In progress is the normal answer of a non-blocking connect; anything
        // else failed at once and no wait would report it.
        if (err != EINPROGRESS && err != EINTR)
            return cannotConnect(err);
    }

    ErrorCode stopped = NoError;
    const int ready = waitFor(fd, POLLOUT, WaitEnd(TimingPolicy::limitOf(options.connectTimeoutMs)), &stopped);
    if (ready < 0)
        return cannotConnect(platform::lastError());
    if (ready == 0 && stopped == Timeout)
        return failOpen(stopped, LinkLoss::deadlinePassed(OperationScope::current()->deadlineMs()));
    if (ready == 0 && stopped != NoError)
        return failOpen(stopped, LinkLoss::interruptedByCaller());
    if (ready == 0)
        return failOpen(systemError(ETIMEDOUT), LinkLoss::noAnswer(hostname, port, options.connectTimeoutMs));

    // Writable also means "the attempt failed": the pending error tells.
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length) == -1)
        pending = platform::lastError();
    if (pending != 0)
        return cannotConnect(pending);

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
        _linkLost = false;
        _lossCode = NoError;
        _lossCause.clear();
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
        return notOpen(false);
    const size_t length = buffer_length > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : buffer_length;
    const ssize_t sent = ::send(socket->fd, buffer, length, MSG_NOSIGNAL);
    if (sent < 0) {
        const int err = platform::lastError();
        // A full socket buffer or a signal is no loss of the link.
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            return raiseSystemError(err);
        lose(socket, systemError(err), causeOf(err), true);
        return systemError(err);
    }
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
        return notOpen(false);
    // A link the controller has closed, or that failed, takes no request
    // (isAlive() says it is gone already): the loss is told now, as the idle
    // reader would tell it a moment later, and nothing is sent.
    pollfd gone{socket->fd, POLLRDHUP, 0};
    if (::poll(&gone, 1, 0) > 0 && (gone.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        int err = 0;
        socklen_t length = sizeof(err);
        if (::getsockopt(socket->fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0 || err == 0)
            err = ENOTCONN;
        lose(socket, systemError(err), causeOf(err), true);
        return systemError(EBADF);
    }

    // Why the write ended early, and the cause of the loss it means.
    enum class Ended { Failed, TimedOut, Stopped };
    Ended how = Ended::Failed;
    ErrorCode error = NoError;
    std::string cause;
    const WaitEnd end(TimingPolicy::limitOf(timeout_ms));
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
        int err = sent < 0 ? platform::lastError() : EAGAIN;
        if (err == EINTR)
            continue;
        ErrorCode stopped = NoError;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            const int ready = waitFor(socket->fd, POLLOUT, end, &stopped);
            if (ready > 0)
                continue;
            err = ready < 0 ? platform::lastError() : 0;
        }
        if (err != EAGAIN && err != EWOULDBLOCK && err != 0) {
            error = systemError(err);
            cause = causeOf(err);
        } else if (stopped != NoError) {
            how = Ended::Stopped;
            error = stopped;
            cause = stopped == Timeout ? LinkLoss::deadlinePassed(OperationScope::current()->deadlineMs())
                                       : LinkLoss::interruptedByCaller();
        } else {
            how = Ended::TimedOut;
            error = Timeout;
            cause = LinkLoss::requestNotTaken(timeout_ms);
        }
        break;
    }
    if (error == NoError)
        return NoError;
    switch (how) {
    case Ended::Stopped:
        // Abandoned by its caller before a byte went out: the link is as it
        // was. Cut short, the controller holds part of a request and nothing
        // sent later could be read in step with it.
        if (buffer_written > 0)
            lose(socket, error == Timeout ? Timeout : systemError(ECONNABORTED), cause, true);
        return error;
    case Ended::TimedOut:
        // A controller that takes no bytes for the whole limit reads none.
        lose(socket, Timeout, cause, true);
        return Timeout;
    case Ended::Failed:
    default:
        lose(socket, error, cause, true);
        // Nothing went out: the call found the link gone.
        return buffer_written == 0 ? systemError(EBADF) : error;
    }
}

ErrorCode Port_TCP::Read(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds)
{
    buffer_read = 0;
    const std::shared_ptr<Socket> socket = acquire();
    if (!socket)
        return notOpen(true);
    // A receive of 0 bytes would read as "peer closed".
    if (buffer_size == 0)
        return NoError;

    const WaitEnd end(TimingPolicy::limitOf(timeout_milliseconds));
    const size_t size = buffer_size > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : buffer_size;
    // A look (limit 0) takes what is there without asking first.
    const bool look = timeout_milliseconds == 0;
    for (bool waited = false;; waited = true) {
        if (!look || waited) {
            ErrorCode stopped = NoError;
            const int ready = waitFor(socket->fd, POLLIN, end, &stopped);
            if (ready < 0)
                return raiseSystemError(platform::lastError());
            if (ready == 0)
                return stopped != NoError ? stopped : Timeout;
        }

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
            lose(socket, systemError(ENOTCONN), LinkLoss::closedByController(), true);
            return NoError;
        }
        const int err = platform::lastError();
        // Readiness can be spurious: wait again for what is left of the limit.
        if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK)
            continue;
        // A failed socket (reset, keepalive expiry) carries nothing more.
        const ErrorCode error = systemError(err);
        lose(socket, error, causeOf(err), true);
        return error;
    }
}

} // namespace Vantrel::HolvaneApi
