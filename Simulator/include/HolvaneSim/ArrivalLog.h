#pragma once

#include "HolvaneSim/Keywords.h"
#include "HolvaneSim/RequestParser.h"
#include "HolvaneSim/TokenTable.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace Vantrel::HolvaneApi::Sim {

// The file of --log-arrivals: one line per request received, "<ns> <KEYWORD>",
// the time on CLOCK_MONOTONIC when the request's last byte was read, and the
// request's keyword (for a system variable such as an axis parameter its own
// name, e.g. DPOS, not the prefix). Sessions hand in whole lines; a thread of
// the log's own writes them out, so a slow disk never holds up an answer (nor
// the time at which the next request is seen). Lines of several connections
// never mix.
class ArrivalLog {
public:
    // Throws std::system_error when the file cannot be opened.
    explicit ArrivalLog(const std::string& path);
    ~ArrivalLog();
    ArrivalLog(const ArrivalLog&) = delete;
    ArrivalLog& operator=(const ArrivalLog&) = delete;

    // Takes the lines (whole lines only) for writing and clears them. Lines
    // beyond MaxPendingBytes not yet written are dropped, never waited for.
    void write(std::string& lines);

    static constexpr size_t MaxPendingBytes = size_t{64} << 20;

    // One line for `request`, received at `received_ns`, appended to `lines`.
    static void describe(const ParsedRequest& request, int64_t received_ns, const TokenTable& table,
                         const Keywords& keywords, std::string& lines);
    static int64_t nowNs();

private:
    void writeOut();
    void writeAll(const std::string& lines) const;

    int _fd = -1;
    std::mutex _mutex;
    std::condition_variable _cv;
    std::string _pending; // guarded by _mutex
    bool _stop = false;   // guarded by _mutex
    std::thread _writer;
};

} // namespace Vantrel::HolvaneApi::Sim
