// holvane_delay_proxy: forwards TCP connections to a controller, delaying
// every byte by a set time in each direction. Prints "listening on HOST:PORT"
// once it accepts, and runs until SIGTERM or SIGINT.
#include "DelayProxy.h"
#include "Endpoint.h"

#include <sys/prctl.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t s_stop = 0;

void onSignal(int) { s_stop = 1; }

void usage()
{
    std::cerr << "usage: holvane_delay_proxy --target HOST:PORT [--listen HOST:PORT] [--delay-us N]\n"
                 "  --target HOST:PORT  where every connection is forwarded to\n"
                 "  --listen HOST:PORT  where to accept (127.0.0.1:0, a free port)\n"
                 "  --delay-us N        delay of every byte in each direction, microseconds (0)\n";
}

} // namespace

int main(int argc, char** argv)
{
    Vantrel::HolvaneApi::Bench::ProxyEndpoints ends;
    long delayUs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (ends.take(argc, argv, i))
            continue;
        if (option == "--delay-us" && i + 1 < argc) {
            delayUs = std::strtol(argv[++i], nullptr, 10);
        } else {
            usage();
            return 2;
        }
    }
    if (ends.targetHost.empty() || delayUs < 0) {
        usage();
        return 2;
    }
    // Sleeps end when asked, not up to 50 us later (the default timer slack).
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    Vantrel::HolvaneApi::Bench::DelayProxy proxy(ends.listenHost, ends.listenPort, ends.targetHost, ends.targetPort,
                                                 std::chrono::microseconds(delayUs));
    const std::string error = proxy.start();
    if (!error.empty()) {
        std::cerr << error << std::endl;
        return 1;
    }
    std::cout << "listening on " << ends.listenHost << ":" << proxy.port() << std::endl;
    while (s_stop == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    proxy.stop();
    return 0;
}
