#include "HolvaneSim/WriteLog.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace Vantrel::HolvaneApi::Sim {

WriteLog::WriteLog(const std::string& path) : _fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644))
{
    if (_fd < 0)
        throw std::system_error(errno, std::generic_category(), "cannot open the write log " + path);
}

WriteLog::~WriteLog()
{
    if (_fd >= 0)
        ::close(_fd);
}

std::string WriteLog::line(std::string_view kind, std::string_view target, double value)
{
    char number[32];
    const int length = std::snprintf(number, sizeof number, "%.17g", value);
    std::string text;
    text.reserve(kind.size() + target.size() + static_cast<size_t>(length) + 2);
    text.append(kind).append(" ").append(target).append(" ").append(number, static_cast<size_t>(length));
    return text;
}

void WriteLog::record(std::string_view kind, std::string_view target, double value)
{
    std::string text = line(kind, target, value);
    std::lock_guard<std::mutex> lock(_mutex);
    ++_counts[text];
    ++_total;
    if (_fd < 0)
        return;
    text += '\n';
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(_fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // a full disk loses the line, never the controller's work
        written += static_cast<size_t>(n);
    }
}

void WriteLog::record(std::string_view kind, size_t target, double value)
{
    record(kind, std::to_string(target), value);
}

size_t WriteLog::count(std::string_view kind, std::string_view target, double value) const
{
    const std::string key = line(kind, target, value);
    std::lock_guard<std::mutex> lock(_mutex);
    const auto found = _counts.find(key);
    return found == _counts.end() ? 0 : found->second;
}

size_t WriteLog::total() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _total;
}

} // namespace Vantrel::HolvaneApi::Sim
