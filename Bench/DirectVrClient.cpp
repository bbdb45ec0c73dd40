#include "DirectVrClient.h"

#include "BlockingIo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace Vantrel::HolvaneApi::Bench {
namespace {

double tmsToDouble(uint32_t raw)
{
    int exponent = static_cast<int8_t>(raw >> 24);
    if (exponent == -128)
        return 0.0;
    const double fraction = static_cast<double>(raw & 0x7FFFFF) / 8388608.0;
    return std::ldexp((raw & 0x800000) ? -2.0 + fraction : 1.0 + fraction, exponent);
}

uint32_t littleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

DirectVrClient::~DirectVrClient()
{
    if (_fd >= 0)
        ::close(_fd);
}

bool DirectVrClient::sendAll(const uint8_t* data, size_t size) { return Bench::sendAll(_fd, data, size); }

// False on close, error or the 10 s receive time-out set on the socket.
bool DirectVrClient::recvAll(uint8_t* data, size_t size) { return Bench::recvAll(_fd, data, size); }

bool DirectVrClient::appendCode(std::vector<uint8_t>& out, const std::string& name) const
{
    const auto found = _codes.find(name);
    if (found == _codes.end())
        return false;
    appendRawCode(out, found->second);
    return true;
}

void DirectVrClient::appendRawCode(std::vector<uint8_t>& out, uint16_t code) const
{
    if (code > _extended) {
        out.push_back(static_cast<uint8_t>(_extended));
        out.push_back(static_cast<uint8_t>((code - _extended) & 0xFF));
    } else {
        out.push_back(static_cast<uint8_t>(code));
    }
}

void DirectVrClient::appendNumber(std::vector<uint8_t>& out, double value) const
{
    uint8_t raw[8];
    size_t size = 8;
    if (_ieee) {
        uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        for (size_t i = 0; i < 8; ++i)
            raw[i] = static_cast<uint8_t>(bits >> (8 * i));
    } else {
        // Only small non-negative integers (VR indices) are sent in TMS320 form here.
        uint32_t t = 0x80000000u;
        if (value > 0.0) {
            int exponent = 0;
            const double mantissa = std::frexp(value, &exponent); // 0.5 <= m < 1
            const auto fraction = static_cast<uint32_t>(std::lround((mantissa * 2.0 - 1.0) * 8388608.0)) & 0x7FFFFF;
            t = (static_cast<uint32_t>(exponent - 1) & 0xFF) << 24 | fraction;
        }
        for (size_t i = 0; i < 4; ++i)
            raw[i] = static_cast<uint8_t>(t >> (8 * i));
        size = 4;
    }
    for (size_t i = 0; i < size; ++i) {
        if (_escape && (raw[i] == 0x1B || raw[i] == 0x01))
            out.push_back(0x1B);
        out.push_back(raw[i]);
    }
}

bool DirectVrClient::readSimpleReply(double& value, uint32_t& status)
{
    uint8_t reply[16];
    const size_t size = _ieee ? 16 : 8;
    if (!recvAll(reply, size))
        return false;
    double statusValue = 0.0;
    if (_ieee) {
        std::memcpy(&value, reply, 8);
        std::memcpy(&statusValue, reply + 8, 8);
    } else {
        value = tmsToDouble(littleEndian32(reply));
        statusValue = tmsToDouble(littleEndian32(reply + 4));
    }
    status = static_cast<uint32_t>(static_cast<int32_t>(statusValue)) & 0xFFFF;
    return true;
}

bool DirectVrClient::systemVariable(const std::string& name, double& value)
{
    std::vector<uint8_t> request;
    const auto found = _codes.find("V:" + name);
    if (found == _codes.end())
        return false;
    if (!appendCode(request, found->second < 256 ? "SYSTEMVARIABLE" : "SYSTEMVARIABLE2"))
        return false;
    appendRawCode(request, found->second < 256 ? found->second : static_cast<uint16_t>(found->second - 256));
    if (!appendCode(request, "ZERO") || !sendAll(request.data(), request.size()))
        return false;
    uint32_t status = 0;
    return readSimpleReply(value, status) && status == 0;
}

std::string DirectVrClient::connect(const std::string& host, int port)
{
    _fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (_fd < 0)
        return "socket failed";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return "bad host " + host;
    if (::connect(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return "connect failed, errno " + std::to_string(errno);
    const int one = 1;
    ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval limit{10, 0};
    ::setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    const uint8_t tableRequest[] = {0x00, 0xC8}; // TOKENTABLE, ZERO with their default codes
    if (!sendAll(tableRequest, sizeof tableRequest))
        return "token table request failed";
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::recv(_fd, chunk, sizeof chunk, 0);
        if (got <= 0)
            return "token table download failed";
        text.append(chunk, static_cast<size_t>(got));
        const size_t end = text.find("[EOT]\r\n");
        if (end != std::string::npos && (end == 0 || text.compare(end - 2, 2, "\r\n") == 0)) {
            text.resize(end);
            break;
        }
    }
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find("\r\n", lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = text.size();
        const std::string line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (line.empty() || std::strchr("CSEVMT", line[0]) == nullptr)
            continue;
        size_t i = 1;
        uint16_t code = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9')
            code = static_cast<uint16_t>(code * 10 + (line[i++] - '0'));
        // Special records end their name at the line end, the others at a comma.
        const size_t nameEnd = (line[0] == 'S' || line[0] == 'E') ? line.size() : line.find(',', i);
        const std::string name = line.substr(i, (nameEnd == std::string::npos ? line.size() : nameEnd) - i);
        _codes.emplace(name, code);
        _codes.emplace(std::string(1, line[0]) + ":" + name, code);
    }
    if (const auto extended = _codes.find("EXTENDED_TOKEN"); extended != _codes.end())
        _extended = extended->second;

    double version = 0.0;
    double type = 0.0;
    if (!systemVariable("VERSION", version) || !systemVariable("CONTROL", type))
        return "VERSION/CONTROL failed";
    const int controllerType = static_cast<int>(type);
    if (controllerType <= 299 && controllerType != 266) {
        _escape = version >= 1.51;
    } else {
        _ieee = true;
        _escape = true;
    }
    _vrHead.clear();
    _vrTail.clear();
    if (!appendCode(_vrHead, "C:VR") || !appendCode(_vrHead, "OPENBRACKETS") || !appendCode(_vrHead, "NUMBER") ||
        !appendCode(_vrTail, "EOX") || !appendCode(_vrTail, "CLOSEBRACKETS") || !appendCode(_vrTail, "ZERO"))
        return "the token table lacks a code of the VR read";
    return "";
}

uint64_t DirectVrClient::readVr(uint32_t index, double& value)
{
    _request.assign(_vrHead.begin(), _vrHead.end());
    appendNumber(_request, static_cast<double>(index));
    _request.insert(_request.end(), _vrTail.begin(), _vrTail.end());
    if (!sendAll(_request.data(), _request.size()))
        return 1;
    uint32_t status = 0;
    if (!readSimpleReply(value, status))
        return 1;
    return status == 0 ? 0 : (0x400000000ull | status);
}

} // namespace Vantrel::HolvaneApi::Bench
