#pragma once

#include "SharedLib/ApiEnums.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace Vantrel::HolvaneApi::LinkLoss {

// Why a link was lost, or a Connect failed: one plain sentence, with the
// local wall-clock time (HH:MM:SS) of the loss, as the connection publishes
// it (attribute LinkLossCause) and as its one Error event for that link says
// it. A name that does not resolve and an IPv6 address are told without a
// time: nothing was tried on the network.

std::string closedByController();
std::string resetByController();
// The link failed for another reason the socket gave.
std::string failed(int err);
// A socket error as the cause it stands for: the controller closed (ENOTCONN,
// EPIPE), reset (ECONNRESET), keepalive found it gone (ETIMEDOUT while
// keepalive is on), or failed().
std::string fromSocketError(int err, bool keepalive);
std::string keepaliveExpired();
std::string noReplyWithin(uint32_t timeout_ms);
std::string requestNotTaken(uint32_t timeout_ms);
std::string malformedReply();
std::string lineNotEnded(uint32_t timeout_ms);
std::string deadlinePassed(uint32_t deadline_ms);
std::string closedByCaller();
std::string interruptedByCaller();

std::string refused(std::string_view host, uint16_t port);
std::string noAnswer(std::string_view host, uint16_t port, uint32_t timeout_ms);
std::string cannotConnect(std::string_view host, uint16_t port, int err);
std::string cannotResolve(std::string_view host);
std::string ipv6NotSupported(std::string_view host);
// A later step of the connect sequence failed with `code`.
std::string connectFailed(std::string_view host, uint16_t port, ErrorCode code);

} // namespace Vantrel::HolvaneApi::LinkLoss
