#include "Connection/Port/TCP/LinkLoss.h"

#include "SharedLib/ErrorText.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace Vantrel::HolvaneApi::LinkLoss {

namespace {

// " at 12:03:04", local time.
std::string atNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[16] = "";
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return std::string(" at ") + text;
}

std::string endpoint(std::string_view host, uint16_t port) { return std::string(host) + ":" + std::to_string(port); }

} // namespace

std::string closedByController() { return "the link was closed by the controller" + atNow(); }

std::string resetByController() { return "the link was reset by the controller" + atNow(); }

std::string failed(int err) { return "the link failed (" + errorText(systemError(err)) + ")" + atNow(); }

std::string fromSocketError(int err, bool keepalive)
{
    switch (err) {
    case ENOTCONN:
    case EPIPE: return closedByController();
    case ECONNRESET: return resetByController();
    case ETIMEDOUT:
        if (keepalive)
            return keepaliveExpired();
        return failed(err);
    default: return failed(err);
    }
}

std::string keepaliveExpired() { return "keepalive found the controller gone" + atNow(); }

std::string noReplyWithin(uint32_t timeout_ms)
{
    return "no reply within " + std::to_string(timeout_ms) + " ms (TCP_Timeout)" + atNow();
}

std::string requestNotTaken(uint32_t timeout_ms)
{
    return "the controller took no request within " + std::to_string(timeout_ms) + " ms (TCP_Timeout)" + atNow();
}

std::string malformedReply() { return "a reply did not have the expected form" + atNow(); }

std::string lineNotEnded(uint32_t timeout_ms)
{
    return "a value list's line did not end within " + std::to_string(timeout_ms) + " ms" + atNow();
}

std::string deadlinePassed(uint32_t deadline_ms)
{
    return "the call's deadline of " + std::to_string(deadline_ms) + " ms (TCP_Deadline) passed" + atNow();
}

std::string closedByCaller() { return "closed by the caller" + atNow(); }

std::string interruptedByCaller() { return "closed by the caller (a call was interrupted)" + atNow(); }

std::string refused(std::string_view host, uint16_t port)
{
    return "connection refused by " + endpoint(host, port) + atNow();
}

std::string noAnswer(std::string_view host, uint16_t port, uint32_t timeout_ms)
{
    return "no answer from " + endpoint(host, port) + " within " + std::to_string(timeout_ms) +
           " ms (TCP_ConnectTimeout)" + atNow();
}

std::string cannotConnect(std::string_view host, uint16_t port, int err)
{
    return "cannot connect to " + endpoint(host, port) + " (" + errorText(systemError(err)) + ")" + atNow();
}

std::string cannotResolve(std::string_view host) { return "cannot resolve host '" + std::string(host) + "'"; }

std::string ipv6NotSupported(std::string_view host)
{
    return "IPv6 addresses are not supported ('" + std::string(host) + "')";
}

std::string connectFailed(std::string_view host, uint16_t port, ErrorCode code)
{
    return "connecting to " + endpoint(host, port) + " failed (" + errorText(code) + ")" + atNow();
}

} // namespace Vantrel::HolvaneApi::LinkLoss
