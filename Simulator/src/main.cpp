#include "HolvaneSim/CommandLine.h"
#include "HolvaneSim/SimServer.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <pthread.h>

using namespace Vantrel::HolvaneApi::Sim;

int main(int argc, char** argv)
{
    const CommandLine cl = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (cl.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (!cl.error.empty()) {
        std::fprintf(stderr, "holvane-sim: %s\n%s", cl.error.c_str(), usageText());
        return 2;
    }

    // Every thread inherits the blocked signals; the main thread takes them with sigwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        SimServer server(cl.config);
        server.start();
        std::printf("listening on %s:%u\n", server.host().c_str(), static_cast<unsigned>(server.port()));
        std::fflush(stdout);
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "holvane-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
