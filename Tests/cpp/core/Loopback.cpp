#include "Loopback.h"

#include "support/WireFormat.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Vantrel::HolvaneApi::CoreTesting {

namespace {

using Clock = std::chrono::steady_clock;

int leftMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

bool waitReadable(int fd, int timeout_ms)
{
    pollfd pfd{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&pfd, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

} // namespace

PeerSocket::~PeerSocket() { close(); }

PeerSocket::PeerSocket(PeerSocket&& other) noexcept : _fd(other._fd) { other._fd = -1; }

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept
{
    if (this != &other) {
        close();
        _fd = other._fd;
        other._fd = -1;
    }
    return *this;
}

void PeerSocket::close()
{
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
}

bool PeerSocket::readExact(size_t count, Bytes& out, int timeout_ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < count) {
        if (!waitReadable(_fd, leftMs(deadline)))
            return false;
        uint8_t buffer[4096];
        const size_t want = std::min(sizeof(buffer), count - out.size());
        const ssize_t got = ::recv(_fd, buffer, want, 0);
        if (got <= 0)
            return false;
        out.insert(out.end(), buffer, buffer + got);
    }
    return true;
}

Bytes PeerSocket::readSome(int timeout_ms)
{
    Bytes out;
    if (!waitReadable(_fd, timeout_ms))
        return out;
    uint8_t buffer[4096];
    const ssize_t got = ::recv(_fd, buffer, sizeof(buffer), 0);
    if (got > 0)
        out.assign(buffer, buffer + got);
    return out;
}

bool PeerSocket::waitClosed(int timeout_ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!waitReadable(_fd, leftMs(deadline)))
            return false;
        uint8_t buffer[4096];
        const ssize_t got = ::recv(_fd, buffer, sizeof(buffer), 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
            return true;
    }
}

bool PeerSocket::sendAll(const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool PeerSocket::sendAll(const std::string& text) { return sendAll(Bytes(text.begin(), text.end())); }

Listener::Listener(uint16_t port, int backlog)
{
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_fd < 0)
        return;
    int on = 1;
    ::setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(_fd, backlog) != 0) {
        close();
        return;
    }
    socklen_t length = sizeof(address);
    ::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length);
    _port = ntohs(address.sin_port);
}

Listener::~Listener() { close(); }

void Listener::close()
{
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
}

PeerSocket Listener::accept(int timeout_ms)
{
    if (_fd < 0 || !waitReadable(_fd, timeout_ms))
        return PeerSocket();
    return PeerSocket(::accept4(_fd, nullptr, nullptr, SOCK_CLOEXEC));
}

size_t openDescriptorCount()
{
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        ::closedir(dir);
    }
    return count;
}

Bytes tmsBytes(double value) { return Testing::numberBytes(Testing::NumberFormat::Tms320, value); }
Bytes ieeeBytes(double value) { return Testing::numberBytes(Testing::NumberFormat::Ieee64, value); }

} // namespace Vantrel::HolvaneApi::CoreTesting
