#include "Endpoint.h"

#include <cstdlib>

namespace Vantrel::HolvaneApi::Bench {

bool splitEndpoint(const std::string& text, std::string& host, uint16_t& port)
{
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size())
        return false;
    char* end = nullptr;
    const long value = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || value < 0 || value > 65535)
        return false;
    host = text.substr(0, colon);
    port = static_cast<uint16_t>(value);
    return true;
}

} // namespace Vantrel::HolvaneApi::Bench
