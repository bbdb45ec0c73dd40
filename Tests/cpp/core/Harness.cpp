#include "Harness.h"

#include "support/FakePeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Vantrel::HolvaneApi::CoreTesting {

namespace {

bool readable(int fd, int timeout_ms)
{
    pollfd pfd{fd, POLLIN, 0};
    int rc;
    while ((rc = ::poll(&pfd, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return rc > 0;
}

} // namespace

int connectRaw(uint16_t port, int flags)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    return fd;
}

PeerSocket& PeerSocket::operator=(PeerSocket&& other) noexcept
{
    std::swap(_fd, other._fd);
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (size_t start = out.size(); out.size() - start < count;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        uint8_t buffer[65536];
        const size_t want = std::min(sizeof(buffer), count - (out.size() - start));
        const ssize_t got =
            readable(_fd, std::max<int>(0, static_cast<int>(left.count()))) ? ::recv(_fd, buffer, want, 0) : -1;
        if (got <= 0)
            return false;
        out.insert(out.end(), buffer, buffer + got);
    }
    return true;
}

Bytes PeerSocket::readSome(int timeout_ms)
{
    uint8_t buffer[4096];
    const ssize_t got = readable(_fd, timeout_ms) ? ::recv(_fd, buffer, sizeof(buffer), 0) : 0;
    return got > 0 ? Bytes(buffer, buffer + got) : Bytes();
}

bool PeerSocket::waitClosed(int timeout_ms)
{
    uint8_t buffer[4096];
    while (readable(_fd, timeout_ms))
        if (::recv(_fd, buffer, sizeof(buffer), 0) <= 0)
            return true;
    return false;
}

bool PeerSocket::send(const Bytes& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t sent = ::send(_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

Listener::Listener(uint16_t port, int backlog)
{
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(_fd, backlog) != 0)
        close();
    else if (::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        _port = ntohs(address.sin_port);
}

void Listener::close()
{
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
}

PeerSocket Listener::accept(int timeout_ms)
{
    return PeerSocket(valid() && readable(_fd, timeout_ms) ? ::accept4(_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1);
}

EventCallback EventLog::callback()
{
    return [this](EventType type, uint64_t code, const std::string_view& text) {
        std::lock_guard<std::mutex> lock(_mutex);
        _events.push_back({type, code, std::string(text)});
    };
}

std::vector<RecordedEvent> EventLog::ofType(EventType type) const
{
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<RecordedEvent> out;
    for (const RecordedEvent& e : _events)
        if (e.type == type)
            out.push_back(e);
    return out;
}

bool EventLog::hasText(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (const RecordedEvent& e : _events)
        if (e.text == text)
            return true;
    return false;
}

bool FakeController::accept()
{
    _peer = _listener.accept(5000);
    return _peer.valid() && expect(Bytes{0x00, 0xC8});
}

bool FakeController::sendTable(bool complete)
{
    const std::string text = _table.text();
    return send(Testing::bytesOf(complete ? text : text.substr(0, text.rfind("[EOT]"))));
}

bool FakeController::answerSysVar(const std::string& name, double value, double status)
{
    return expect(Testing::Wire(_table, Testing::NumberFormat::Tms320, false).sysvar(name).zero()) &&
           send(Testing::Wire(_table, Testing::NumberFormat::Tms320, false).reply(value, status));
}

bool FakeController::handshake(double version, double type)
{
    const Testing::ControllerProfile profile{_table, type, version};
    _format = profile.format();
    _escaping = profile.escaping();
    return accept() && sendTable() && answerSysVar("VERSION", version) && answerSysVar("CONTROL", type);
}

Testing::Wire FakeController::wire() const { return Testing::Wire(_table, _format, _escaping); }

bool FakeController::expect(const Bytes& request, int timeout_ms)
{
    Bytes got;
    const bool ok = _peer.readExact(request.size(), got, timeout_ms) && got == request;
    if (!ok)
        ADD_FAILURE() << "controller expected " << Testing::hexOf(request) << ", got " << Testing::hexOf(got);
    return ok;
}

} // namespace Vantrel::HolvaneApi::CoreTesting
