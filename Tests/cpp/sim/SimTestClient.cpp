#include "SimTestClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace SimTest {

std::vector<TableRecord> parseTable(const std::string& text)
{
    std::vector<TableRecord> records;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos)
            throw std::runtime_error("table line without CR LF");
        const std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty() || line[0] == '[')
            continue;
        TableRecord r;
        r.type = line[0];
        size_t i = 1;
        uint32_t code = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9')
            code = code * 10 + static_cast<uint32_t>(line[i++] - '0');
        r.code = static_cast<uint16_t>(code);
        const bool hasFields = r.type != 'S' && r.type != 'E';
        const size_t comma = hasFields ? line.find(',', i) : std::string::npos;
        r.name = line.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
        if (comma != std::string::npos)
            r.rest = line.substr(comma + 1);
        records.push_back(r);
    }
    return records;
}

uint32_t tmsEncode(float value)
{
    if (value == 0.0f)
        return 0x80000000u;
    int exp = 0;
    const double m = std::frexp(static_cast<double>(value), &exp); // value = m * 2^exp, 0.5 <= |m| < 1
    if (m > 0) {
        // (1 + f/2^23) * 2^(exp-1)
        const uint32_t f = static_cast<uint32_t>(std::ldexp(2.0 * m - 1.0, 23));
        return static_cast<uint32_t>(static_cast<uint8_t>(exp - 1)) << 24 | f;
    }
    // (-2 + f/2^23) * 2^e with f in [0, 2^23): mantissa -2m in (1, 2] scaled.
    double mant = 2.0 * m; // in (-2, -1]
    int e = exp - 1;
    if (mant == -1.0) {
        mant = -2.0;
        e -= 1;
    }
    const uint32_t f = static_cast<uint32_t>(std::ldexp(mant + 2.0, 23));
    return static_cast<uint32_t>(static_cast<uint8_t>(e)) << 24 | 1u << 23 | f;
}

float tmsDecode(uint32_t bits)
{
    const int e = static_cast<int8_t>(bits >> 24);
    if (e == -128)
        return 0.0f;
    const double f = std::ldexp(static_cast<double>(bits & 0x7FFFFF), -23);
    const double mant = (bits & 0x800000) ? -2.0 + f : 1.0 + f;
    return static_cast<float>(std::ldexp(mant, e));
}

Client::Client(uint16_t port)
{
    _fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect failed");
    const int one = 1;
    ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Client::~Client() { ::close(_fd); }

std::string Client::downloadTable()
{
    send(std::string("\x00\xc8", 2));
    // Nothing follows the table until the next request, so chunks are safe here.
    std::string text;
    while (text.size() < 7 || text.compare(text.size() - 7, 7, "[EOT]\r\n") != 0) {
        const std::string chunk = readSome(5000);
        if (chunk.empty())
            throw std::runtime_error("token table incomplete");
        text += chunk;
    }
    for (const auto& r : parseTable(text))
        _byName.emplace(r.name, r);
    _zero = code("ZERO");
    _extended = code("EXTENDED_TOKEN");
    return text;
}

void Client::handshake()
{
    downloadTable();
    useFormat(false, false);
    const double version = ask(sysVar("VERSION") + zero()).first;
    const int type = static_cast<int>(ask(sysVar("CONTROL") + zero()).first);
    if (type <= 299 && type != 266)
        useFormat(false, version >= 1.51);
    else
        useFormat(true, true);
}

uint16_t Client::code(const std::string& name) const
{
    auto it = _byName.find(name);
    if (it == _byName.end())
        throw std::runtime_error("no token " + name);
    return it->second.code;
}

std::string Client::tokCode(uint16_t c) const
{
    if (c > _extended)
        return std::string{static_cast<char>(_extended), static_cast<char>(c - _extended)};
    return std::string(1, static_cast<char>(c));
}

std::string Client::tok(const std::string& name) const { return tokCode(code(name)); }

std::string Client::escape(const std::string& bytes) const
{
    if (!_escaped)
        return bytes;
    std::string out;
    for (char b : bytes) {
        if (b == 0x1B || b == 0x01)
            out += '\x1b';
        out += b;
    }
    return out;
}

std::string Client::num(double value) const
{
    std::string data;
    if (_ieee) {
        uint64_t bits = 0;
        std::memcpy(&bits, &value, 8);
        for (int i = 0; i < 8; ++i)
            data += static_cast<char>(bits >> (8 * i));
    } else {
        const uint32_t bits = tmsEncode(static_cast<float>(value));
        for (int i = 0; i < 4; ++i)
            data += static_cast<char>(bits >> (8 * i));
    }
    return tok("NUMBER") + escape(data) + tok("EOX");
}

std::string Client::str(const std::string& text) const { return tok("QUOTES") + escape(text) + tok("QUOTES"); }

std::string Client::sysVar(const std::string& name) const
{
    const uint16_t c = code(name);
    return c < 256 ? tok("SYSTEMVARIABLE") + tokCode(c)
                   : tok("SYSTEMVARIABLE2") + tokCode(static_cast<uint16_t>(c - 256));
}

std::string Client::axisMod(double axis) const
{
    return tok("MODIFIER") + tok("AXIS") + tok("OPENBRACKETS") + num(axis) + tok("CLOSEBRACKETS");
}

void Client::send(const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("send failed");
        sent += static_cast<size_t>(n);
    }
}

std::string Client::readSome(int timeoutMs)
{
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return {};
    char buffer[65536];
    const ssize_t n = ::recv(_fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string Client::read(size_t count, int timeoutMs)
{
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{_fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            throw std::runtime_error("read timed out after " + std::to_string(out.size()) + " bytes");
        char buffer[65536];
        const ssize_t n = ::recv(_fd, buffer, std::min(sizeof buffer, count - out.size()), 0);
        if (n <= 0)
            throw std::runtime_error("connection closed after " + std::to_string(out.size()) + " bytes");
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

std::string Client::readUntil(const std::string& marker, int timeoutMs)
{
    std::string out;
    while (out.size() < marker.size() || out.compare(out.size() - marker.size(), marker.size(), marker) != 0)
        out += read(1, timeoutMs);
    return out;
}

bool Client::closedWithin(int timeoutMs)
{
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    char b = 0;
    return ::recv(_fd, &b, 1, 0) <= 0;
}

double Client::readNumber(int timeoutMs)
{
    const std::string bytes = read(_ieee ? 8 : 4, timeoutMs);
    if (_ieee) {
        uint64_t bits = 0;
        for (int i = 7; i >= 0; --i)
            bits = bits << 8 | static_cast<uint8_t>(bytes[static_cast<size_t>(i)]);
        double v = 0;
        std::memcpy(&v, &bits, 8);
        return v;
    }
    uint32_t bits = 0;
    for (int i = 3; i >= 0; --i)
        bits = bits << 8 | static_cast<uint8_t>(bytes[static_cast<size_t>(i)]);
    return tmsDecode(bits);
}

std::pair<double, double> Client::readSimple(int timeoutMs)
{
    const double value = readNumber(timeoutMs);
    return {value, readNumber(timeoutMs)};
}

std::pair<double, double> Client::ask(const std::string& request)
{
    send(request);
    return readSimple();
}

void Client::ack() { send(tok("UNKNOWN")); }

} // namespace SimTest
