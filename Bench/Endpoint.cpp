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

bool ProxyEndpoints::take(int argc, char** argv, int& i)
{
    if (i + 1 >= argc)
        return false;
    const std::string option = argv[i];
    const bool taken = (option == "--listen" && splitEndpoint(argv[i + 1], listenHost, listenPort)) ||
                       (option == "--target" && splitEndpoint(argv[i + 1], targetHost, targetPort));
    if (taken)
        ++i;
    return taken;
}

} // namespace Vantrel::HolvaneApi::Bench
