#include "HolvaneSim/ArrivalLog.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace Vantrel::HolvaneApi::Sim {

namespace {
// How often the writer looks for lines when few come.
constexpr auto WriteEvery = std::chrono::milliseconds(50);
// Lines waiting beyond this wake the writer at once.
constexpr size_t WriteFrom = size_t{256} << 10;
} // namespace

ArrivalLog::ArrivalLog(const std::string& path)
{
    _fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (_fd < 0)
        throw std::system_error(errno, std::generic_category(), "cannot open " + path);
    _writer = std::thread([this] { writeOut(); });
}

ArrivalLog::~ArrivalLog()
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stop = true;
    }
    _cv.notify_all();
    _writer.join();
    ::close(_fd);
}

void ArrivalLog::write(std::string& lines)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_pending.size() + lines.size() <= MaxPendingBytes)
            _pending += lines;
        wake = _pending.size() >= WriteFrom;
    }
    lines.clear();
    if (wake)
        _cv.notify_one();
}

void ArrivalLog::writeOut()
{
    std::string batch;
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
        _cv.wait_for(lock, WriteEvery, [this] { return _stop || _pending.size() >= WriteFrom; });
        batch.swap(_pending);
        const bool last = _stop;
        lock.unlock();
        writeAll(batch);
        batch.clear();
        lock.lock();
        if (last && _pending.empty())
            return;
    }
}

void ArrivalLog::writeAll(const std::string& lines) const
{
    size_t done = 0;
    while (done < lines.size()) {
        const ssize_t n = ::write(_fd, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // a full disk loses log lines, never the controller's answers
        done += static_cast<size_t>(n);
    }
}

int64_t ArrivalLog::nowNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void ArrivalLog::describe(const ParsedRequest& request, int64_t received_ns, const TokenTable& table,
                          const Keywords& keywords, std::string& lines)
{
    const char* name = "?";
    if (request.tokenTableRequest) {
        name = "TOKENTABLE";
    } else if (!request.items.empty() && request.items[0].kind == Lexeme::Token) {
        const uint16_t code = request.items[0].code;
        const Kw kw = keywords.of(code);
        const TokenEntry* entry = table.byCode(code);
        if ((kw == Kw::SYSTEMVARIABLE || kw == Kw::SYSTEMVARIABLE2) && request.items.size() > 1 &&
            request.items[1].kind == Lexeme::Token) {
            const uint32_t full = request.items[1].code + (kw == Kw::SYSTEMVARIABLE2 ? 256u : 0u);
            entry = full <= 0xFFFF ? table.byCode(static_cast<uint16_t>(full)) : nullptr;
        }
        if (entry != nullptr)
            name = entry->name.c_str();
    }
    char line[96];
    const int length = std::snprintf(line, sizeof line, "%lld %s\n", static_cast<long long>(received_ns), name);
    if (length > 0)
        lines.append(line, std::min(static_cast<size_t>(length), sizeof line - 1));
}

} // namespace Vantrel::HolvaneApi::Sim
