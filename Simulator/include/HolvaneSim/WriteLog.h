#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Vantrel::HolvaneApi::Sim {

// Every change the controller applies, one record per change: its kind (VR,
// PARAM, MOVE, ...), its target (an index, "SPEED(3)", an axis) and the value
// written. Records are counted per kind, target and value, so a test that
// writes unique values sees at once whether a request was carried out twice.
// With a file, each record is also appended there as one line
// "KIND TARGET VALUE" (the value with 17 significant digits) with one write
// call, before the reply leaves: a reader that has the reply finds the line,
// and the lines survive the simulator being killed and started again on the
// same file.
class WriteLog {
public:
    WriteLog() = default; // counts only
    // Opens `path` for appending (created if missing); throws std::system_error.
    explicit WriteLog(const std::string& path);
    ~WriteLog();
    WriteLog(const WriteLog&) = delete;
    WriteLog& operator=(const WriteLog&) = delete;

    void record(std::string_view kind, std::string_view target, double value);
    void record(std::string_view kind, size_t target, double value);

    // How often this exact change was applied.
    size_t count(std::string_view kind, std::string_view target, double value) const;
    size_t total() const;

    // The line of one record, without its end of line.
    static std::string line(std::string_view kind, std::string_view target, double value);

private:
    mutable std::mutex _mutex;
    std::unordered_map<std::string, size_t> _counts;
    size_t _total = 0;
    int _fd = -1;
};

} // namespace Vantrel::HolvaneApi::Sim
