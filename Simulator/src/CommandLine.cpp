#include "HolvaneSim/CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace Vantrel::HolvaneApi::Sim {
namespace {

bool toInteger(const std::string& text, int64_t low, int64_t high, int64_t& out)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() || v < low || v > high)
        return false;
    out = v;
    return true;
}

bool toReal(const std::string& text, double& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(out);
}

} // namespace

const char* usageText()
{
    return "usage: holvane-sim [options]\n"
           "  --host ADDR              address to listen on (default 127.0.0.1)\n"
           "  --port N                 TCP port (default 3240; 0 picks a free port)\n"
           "  --controller-type N      value of CONTROL (default 400: IEEE 754 with escaping)\n"
           "  --version X              value of VERSION (default 2.0)\n"
           "  --extended-token N       code of the extended-token prefix (default 255)\n"
           "  --zero-token N           code of the request terminator (default 200)\n"
           "  --axes N                 number of axes (default 16)\n"
           "  --delay-ms N             wait N ms before answering each request\n"
           "  --silent-after K         answer K requests per connection, then ignore the rest\n"
           "  --close-after K          answer K requests, close when the next one arrives\n"
           "  --cut-reply K:N          send only N bytes of the reply to request K, then close\n"
           "  --corrupt-reply K        send the reply to request K with every byte inverted\n"
           "  --table-stop N           send only N bytes of the token table, then stay silent\n"
           "  --table-stop-close       ... and close instead of staying silent\n"
           "  --drip-us N              send replies one byte at a time, N microseconds apart\n"
           "  --list-grace-us N        pause after a value list before the next reply (default 0)\n"
           "  --write-log FILE         append every change the controller applies to FILE, one line each\n"
           "  --log-arrivals FILE      write one line per request received: CLOCK_MONOTONIC ns and keyword\n"
           "  --help                   show this text\n"
           "Requests are counted per connection from 1; the token table download does not count.\n"
           "SIGINT or SIGTERM stop the simulator.\n";
}

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    CommandLine cl;
    SimConfig& c = cl.config;
    auto fail = [&](const std::string& message) {
        cl.error = message;
        return cl;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (opt == "--help" || opt == "-h") {
            cl.help = true;
            continue;
        }
        if (opt == "--table-stop-close") {
            c.faults.tableStopClose = true;
            continue;
        }
        if (i + 1 >= args.size())
            return fail("missing value for " + opt);
        const std::string& value = args[++i];
        int64_t n = 0;
        double x = 0.0;
        if (opt == "--host") {
            c.host = value;
        } else if (opt == "--port") {
            if (!toInteger(value, 0, 65535, n))
                return fail("bad port: " + value);
            c.port = static_cast<uint16_t>(n);
        } else if (opt == "--controller-type") {
            if (!toReal(value, x) || x < 0 || x > 1e6)
                return fail("bad controller type: " + value);
            c.state.controllerType = static_cast<int>(x);
        } else if (opt == "--version") {
            if (!toReal(value, x) || x < 0)
                return fail("bad version: " + value);
            c.state.version = x;
        } else if (opt == "--extended-token") {
            if (!toInteger(value, 3, 255, n))
                return fail("extended token must lie in 3..255");
            c.extendedToken = static_cast<uint16_t>(n);
        } else if (opt == "--zero-token") {
            if (!toInteger(value, 3, 255, n))
                return fail("zero token must lie in 3..255");
            c.zeroToken = static_cast<uint16_t>(n);
        } else if (opt == "--axes") {
            if (!toInteger(value, 1, 256, n))
                return fail("axes must lie in 1..256");
            c.state.axisCount = static_cast<size_t>(n);
        } else if (opt == "--delay-ms") {
            if (!toInteger(value, 0, 3600000, n))
                return fail("bad delay: " + value);
            c.faults.replyDelayMs = static_cast<uint32_t>(n);
        } else if (opt == "--silent-after") {
            if (!toInteger(value, 0, INT64_MAX, n))
                return fail("bad request count: " + value);
            c.faults.silentAfter = n;
        } else if (opt == "--close-after") {
            if (!toInteger(value, 0, INT64_MAX, n))
                return fail("bad request count: " + value);
            c.faults.closeAfter = n;
        } else if (opt == "--cut-reply") {
            const auto colon = value.find(':');
            int64_t bytes = 0;
            if (colon == std::string::npos || !toInteger(value.substr(0, colon), 1, INT64_MAX, n) ||
                !toInteger(value.substr(colon + 1), 0, INT64_MAX, bytes))
                return fail("--cut-reply wants REQUEST:BYTES");
            c.faults.cutReplyRequest = n;
            c.faults.cutReplyBytes = bytes;
        } else if (opt == "--corrupt-reply") {
            if (!toInteger(value, 1, INT64_MAX, n))
                return fail("bad request number: " + value);
            c.faults.corruptReplyRequest = n;
        } else if (opt == "--table-stop") {
            if (!toInteger(value, 0, INT64_MAX, n))
                return fail("bad byte count: " + value);
            c.faults.tableStopBytes = n;
        } else if (opt == "--drip-us") {
            if (!toInteger(value, 0, 10000000, n))
                return fail("bad interval: " + value);
            c.faults.dripMicros = static_cast<uint32_t>(n);
        } else if (opt == "--write-log") {
            if (value.empty())
                return fail("--write-log wants a file name");
            c.writeLogPath = value;
        } else if (opt == "--log-arrivals") {
            if (value.empty())
                return fail("--log-arrivals wants a file name");
            c.arrivalLog = value;
        } else if (opt == "--list-grace-us") {
            if (!toInteger(value, 0, 10000000, n))
                return fail("bad interval: " + value);
            c.listGraceMicros = static_cast<uint32_t>(n);
        } else {
            return fail("unknown option: " + opt);
        }
    }
    if (c.zeroToken == c.extendedToken)
        return fail("zero token and extended token must differ");
    return cl;
}

} // namespace Vantrel::HolvaneApi::Sim
