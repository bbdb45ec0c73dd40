#pragma once
// The endpoints a proxy takes on its command line: --listen and --target HOST:PORT.

#include <cstdint>
#include <string>

namespace Vantrel::HolvaneApi::Bench {

// Splits "HOST:PORT" at its last colon; false unless PORT is a number in 0..65535.
bool splitEndpoint(const std::string& text, std::string& host, uint16_t& port);

struct ProxyEndpoints {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 0; // 0: a free port
    std::string targetHost;  // empty until given
    uint16_t targetPort = 0;

    // Takes "--listen HOST:PORT" or "--target HOST:PORT" at argv[i], moving i
    // past its value; false (i unchanged) for any other option or a bad value.
    bool take(int argc, char** argv, int& i);
};

} // namespace Vantrel::HolvaneApi::Bench
