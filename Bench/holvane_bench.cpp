// C++ benchmarks of the TCP plug-in against a running holvane-sim, related to
// a bare loopback ping-pong (the floor). Bench/run.sh drives it.
#include "ApiBenchmarks.h"
#include "JsonReport.h"
#include "PluginConnection.h"

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Bench;

namespace {

void usage()
{
    std::cerr << "usage: holvane_bench [options]\n"
                 "  --host H            controller host (127.0.0.1)\n"
                 "  --port P            controller port (3240)\n"
                 "  --plugin PATH       plug-in library (the one of this build)\n"
                 "  --trace 0|1         TCP_Trace of every connection (0)\n"
                 "  --json FILE         write the figures there (default: standard error)\n"
                 "  --scale X           multiply every iteration count by X (1)\n"
                 "  --groups a,b        only these groups: floor condvar single batch threads connections\n"
                 "                      multi connect memory (the floor always runs)\n"
                 "  --suffix TEXT       appended to every benchmark name\n"
                 "  --request-bytes N   floor request size (14)\n"
                 "  --reply-bytes N     floor reply size (16)\n"
                 "  --profile OP --ops N  only a bare loop of N calls (OP: read or write), for profilers\n";
}

} // namespace

int main(int argc, char** argv)
{
    BenchConfig config;
    std::string pluginPath = HOLVANE_BENCH_PLUGIN_PATH;
    std::string jsonPath;
    std::string profileOperation;
    size_t profileOps = 10000;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            usage();
            return 0;
        }
        if (i + 1 >= argc) {
            std::cerr << "missing value after " << option << "\n";
            usage();
            return 2;
        }
        const std::string value = argv[++i];
        try {
            if (option == "--host")
                config.endpoint.host = value;
            else if (option == "--port")
                config.endpoint.port = std::stoll(value);
            else if (option == "--plugin")
                pluginPath = value;
            else if (option == "--trace")
                config.endpoint.trace = std::stoll(value);
            else if (option == "--json")
                jsonPath = value;
            else if (option == "--scale")
                config.scale = std::stod(value);
            else if (option == "--suffix")
                config.suffix = value;
            else if (option == "--request-bytes")
                config.requestBytes = std::stoul(value);
            else if (option == "--reply-bytes")
                config.replyBytes = std::stoul(value);
            else if (option == "--profile")
                profileOperation = value;
            else if (option == "--ops")
                profileOps = std::stoul(value);
            else if (option == "--groups") {
                std::istringstream list(value);
                std::string group;
                while (std::getline(list, group, ','))
                    if (!group.empty())
                        config.groups.insert(group);
            } else {
                std::cerr << "unknown option " << option << "\n";
                usage();
                return 2;
            }
        } catch (const std::exception&) {
            std::cerr << "bad value for " << option << ": " << value << "\n";
            return 2;
        }
    }
    if (config.requestBytes == 0 || config.replyBytes == 0 || config.scale <= 0.0) {
        std::cerr << "sizes and scale must be positive\n";
        return 2;
    }

    PluginLibrary library(pluginPath);
    if (!library.loaded()) {
        std::cerr << "cannot load the plug-in: " << library.error() << "\n";
        return 1;
    }
    JsonReport report;
    ApiBenchmarks benchmarks(config, library, report);
    if (!profileOperation.empty())
        return benchmarks.profileLoop(profileOperation, profileOps) == 0 ? 0 : 1;

    report.setInfo("program", "holvane_bench");
    report.setInfo("trace", std::to_string(config.endpoint.trace));
    report.setInfo("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
    benchmarks.run();
    if (!report.write(jsonPath)) {
        std::cerr << "cannot write " << jsonPath << "\n";
        return 1;
    }
    return 0;
}
