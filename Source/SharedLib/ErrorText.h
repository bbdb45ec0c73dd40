#pragma once

#include <cstdint>
#include <string>

namespace Vantrel::HolvaneApi {

// The one-line text of any result code, for logs and exceptions: the API
// codes from one table, the system band through strerror ("system error N:
// text"), the controller band as "controller error N" (a controller's error
// numbers mean what that controller says they mean, so no text is given for
// them here), and "unknown result code 0x..." for anything else.
std::string errorText(uint64_t code);

} // namespace Vantrel::HolvaneApi
