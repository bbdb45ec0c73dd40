#pragma once
// HOST:PORT as the proxies take it on their command lines.

#include <cstdint>
#include <string>

namespace Vantrel::HolvaneApi::Bench {

// Splits "HOST:PORT" at its last colon; false unless PORT is a number in 0..65535.
bool splitEndpoint(const std::string& text, std::string& host, uint16_t& port);

} // namespace Vantrel::HolvaneApi::Bench
