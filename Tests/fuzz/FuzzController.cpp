#include "FuzzController.h"

#include "SharedLib/Token.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace Vantrel::HolvaneApi::Fuzz {

namespace {

using Clock = std::chrono::steady_clock;

// Codes of the served table: every keyword the plug-in uses, with one-byte
// codes, plus ZERO, EXTENDED_TOKEN and one axis parameter.
constexpr uint8_t ZeroCode = 200;
constexpr uint8_t ExtendedCode = 255;

constexpr int AcceptLimitMs = 5000;
constexpr int RequestLimitMs = 5000;
constexpr int DrainLimitMs = 5000;

// TMS320 words of the connect answers: 2.0, 0, 206 (TMS320), 400 (IEEE 64).
const std::string TmsTwo("\x00\x00\x00\x01", 4);
const std::string TmsZero("\x00\x00\x00\x80", 4);
const std::string TmsType206("\x00\x00\x4e\x07", 4);
const std::string TmsType400("\x00\x00\x48\x08", 4);

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

bool waitReadable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

// Reads one request: bytes until the last one received is the ZERO code.
bool readRequest(int fd)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(RequestLimitMs);
    char buffer[4096];
    for (;;) {
        if (!waitReadable(fd, remainingMs(deadline)))
            return false;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        if (static_cast<uint8_t>(buffer[n - 1]) == ZeroCode)
            return true;
    }
}

bool sendAll(int fd, const std::string& bytes)
{
    size_t sent = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(RequestLimitMs);
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0)
            return false;
    }
    return true;
}

// Reads and drops whatever the host sends until it goes or the limit passes.
void drainUntilClosed(int fd, int limit_ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    char buffer[4096];
    while (waitReadable(fd, remainingMs(deadline))) {
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0)
            return;
    }
}

uint8_t knownTokenCode(int known_token)
{
    // TOKENTABLE keeps its default 0; the rest count up from 1.
    return known_token == Token::tTOKENTABLE ? 0 : static_cast<uint8_t>(known_token + 1);
}

std::string tokenTableText()
{
    std::string text;
    for (int i = 0; i < Token::__tLAST_TOKEN; ++i) {
        const Token::stTokenName& entry = Token::_token_names[i];
        const std::string code = std::to_string(knownTokenCode(i));
        const std::string name(entry.name);
        switch (entry.type) {
        case 'C': text += "C" + code + name + ",0,0,0,1,0,0,cf>\r\n"; break;
        case 'V': text += "V" + code + name + ",0,>\r\n"; break;
        case 'M': text += "M" + code + name + ",0,1,0\r\n"; break;
        default: text += "S" + code + name + "\r\n"; break;
        }
    }
    text += "S" + std::to_string(ZeroCode) + "ZERO\r\n";
    text += "S" + std::to_string(ExtendedCode) + "EXTENDED_TOKEN\r\n";
    text += "V120SPEED,0,w>\r\n";
    text += "[EOT]\r\n";
    return text;
}

} // namespace

FuzzController::FuzzController()
{
    _listen = ::socket(AF_INET, SOCK_STREAM, 0);
    if (_listen < 0)
        throw std::runtime_error("socket");
    const int one = 1;
    ::setsockopt(_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(_listen, 8) != 0 ||
        ::getsockname(_listen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(_listen);
        throw std::runtime_error("listen");
    }
    _port = ntohs(address.sin_port);
}

FuzzController::~FuzzController()
{
    finish();
    ::close(_listen);
}

std::unique_ptr<Connection_TCP> FuzzController::makeConnection(EventCallback callback) const
{
    CreateParams params;
    params.connectionType = ConnectionType::TCP;
    params.eventCallback = std::move(callback);
    auto connection = std::make_unique<Connection_TCP>(params);
    connection->WriteStringAttribute("TCP_HostName", "127.0.0.1");
    connection->WriteIntAttribute("TCP_Port", _port);
    connection->WriteIntAttribute("TCP_Trace", 0);
    return connection;
}

void FuzzController::serve(bool tms320, bool at_version, std::string reply, Ending ending)
{
    finish();
    _thread = std::thread(&FuzzController::run, this, tms320, at_version, std::move(reply), ending);
}

void FuzzController::finish()
{
    if (_thread.joinable())
        _thread.join();
}

void FuzzController::run(bool tms320, bool at_version, std::string reply, Ending ending)
{
    if (!waitReadable(_listen, AcceptLimitMs))
        return;
    const int fd = ::accept(_listen, nullptr, nullptr);
    if (fd < 0)
        return;

    bool served = false;
    if (readRequest(fd) && sendAll(fd, tokenTableText()) && readRequest(fd)) {
        if (at_version) {
            served = sendAll(fd, reply);
        } else if (sendAll(fd, TmsTwo + TmsZero) && readRequest(fd) &&
                   sendAll(fd, (tms320 ? TmsType206 : TmsType400) + TmsZero) && readRequest(fd)) {
            served = sendAll(fd, reply);
        }
    }

    if (served && ending == Ending::Reset) {
        const linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    } else {
        ::shutdown(fd, SHUT_WR);
        drainUntilClosed(fd, DrainLimitMs);
    }
    ::close(fd);
}

} // namespace Vantrel::HolvaneApi::Fuzz
