// holvane_fault_proxy: forwards TCP connections to a controller and injects
// link faults on command. Prints "listening on HOST:PORT", then reads one
// command per line on standard input and answers each with one line on
// standard output ("ok ..." or "error ..."); ends when its input ends.
#include "Endpoint.h"
#include "FaultProxy.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: holvane_fault_proxy --target HOST:PORT [--listen HOST:PORT]\n"
    "  --target HOST:PORT  where every connection is forwarded to\n"
    "  --listen HOST:PORT  where to accept (127.0.0.1:0, a free port)\n"
    "Commands, one per line on standard input:\n"
    "  arm reset-request          the next request is dropped and its link reset\n"
    "  arm reset-reply N          the next request goes through; N bytes of its reply, then a reset\n"
    "  arm blackhole-request      the next request and all after it on its link vanish, both ways\n"
    "  arm blackhole-reply        requests go through, every reply on the link vanishes\n"
    "  arm delay US               the reply to the next request is held US microseconds\n"
    "  arm split PIECES US CUTS   ... is cut into PIECES at points that CUTS picks, US apart\n"
    "  arm drip US BYTES          the next BYTES reply bytes travel one by one, US apart\n"
    "  disarm                     forgets a fault that has not gone off\n"
    "  settle                     the fault gone off stops waiting for more reply bytes\n"
    "  reset                      resets every link now\n"
    "  down | up                  closes every link and refuses connections | accepts again\n"
    "  status                     ok fired=0|1 fired_at=NS ended_at=NS (monotonic clock; 0: not yet)\n"
    "  stats                      ok accepted=N refused=N links=N\n"
    "  quit\n"
    "A black-holed link ends when the client closes it; the last fault armed or\n"
    "started (reset, down) is the one status reports.\n";

} // namespace

int main(int argc, char** argv)
{
    Vantrel::HolvaneApi::Bench::ProxyEndpoints ends;
    for (int i = 1; i < argc; ++i) {
        if (ends.take(argc, argv, i))
            continue;
        if (std::string(argv[i]) == "--help") {
            std::cout << kUsage;
            return 0;
        }
        std::cerr << kUsage;
        return 2;
    }
    if (ends.targetHost.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    // Timed pieces leave when due, not up to 50 us later (the default timer slack).
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    std::signal(SIGPIPE, SIG_IGN);

    Vantrel::HolvaneApi::Bench::FaultProxy proxy(ends.listenHost, ends.listenPort, ends.targetHost, ends.targetPort);
    const std::string error = proxy.start();
    if (!error.empty()) {
        std::cerr << error << std::endl;
        return 1;
    }
    std::cout << "listening on " << ends.listenHost << ":" << proxy.port() << std::endl;
    proxy.run(STDIN_FILENO, STDOUT_FILENO);
    return 0;
}
