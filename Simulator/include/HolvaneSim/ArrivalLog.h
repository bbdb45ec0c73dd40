#pragma once

#include "HolvaneSim/Keywords.h"
#include "HolvaneSim/RequestParser.h"
#include "HolvaneSim/TokenTable.h"

#include <cstdint>
#include <string>

namespace Vantrel::HolvaneApi::Sim {

// The file of --log-arrivals: one line per request received, "<ns> <KEYWORD>",
// the time on CLOCK_MONOTONIC when the request's last byte was read, and the
// request's keyword (for a system variable such as an axis parameter its own
// name, e.g. DPOS, not the prefix). Sessions hand in whole lines; each batch
// goes out with one append, so lines of several connections never mix.
class ArrivalLog {
public:
    // Throws std::system_error when the file cannot be opened.
    explicit ArrivalLog(const std::string& path);
    ~ArrivalLog();
    ArrivalLog(const ArrivalLog&) = delete;
    ArrivalLog& operator=(const ArrivalLog&) = delete;

    // Appends the lines (whole lines only) and clears them.
    void write(std::string& lines);

    // One line for `request`, received at `received_ns`, appended to `lines`.
    static void describe(const ParsedRequest& request, int64_t received_ns, const TokenTable& table,
                         const Keywords& keywords, std::string& lines);
    static int64_t nowNs();

private:
    int _fd = -1;
};

} // namespace Vantrel::HolvaneApi::Sim
