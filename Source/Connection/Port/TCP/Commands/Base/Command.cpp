#include "Connection/Port/TCP/Commands/Base/Command.h"

#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/Assert.h"
#include "SharedLib/TokenBuffer.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace Vantrel::HolvaneApi::TCP {

std::atomic<uint32_t> Command::s_nextId{1};

namespace {

// Trace lines of every connection share standard output: one line, one write.
std::mutex& traceMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace

Command::Command(Connection_TCP* conn)
    : _error(NoError), _connection(conn), _mutex_ready(conn->getCachedSyncObject()), _flag_ready(0),
      _id(s_nextId.fetch_add(1))
{
}

Command::~Command()
{
    if (_pooledMutex)
        _connection->returnCachedSyncObject(_mutex_ready);
}

void Command::shareReadyMutex(std::mutex* shared)
{
    if (_pooledMutex)
        _connection->returnCachedSyncObject(_mutex_ready);
    _mutex_ready = shared;
    _pooledMutex = false;
}

void Command::waitReady()
{
    std::unique_lock<std::mutex> lock(*_mutex_ready);
    _cv_ready.wait(lock, [this] { return _flag_ready.load() != 0; });
}

bool Command::waitReadyFor(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(*_mutex_ready);
    const auto ready = [this] { return _flag_ready.load() != 0; };
    if (timeout_ms == TimingPolicy::NoLimit) {
        _cv_ready.wait(lock, ready);
        return true;
    }
    return _cv_ready.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
}

void Command::setReady()
{
    // Notified under the mutex: once the waiter can see the flag it may
    // destroy the command, condition variable included, so nothing of the
    // command may be touched after the unlock. The mutex belongs to the pool.
    std::lock_guard<std::mutex> lock(*_mutex_ready);
    _flag_ready.store(1);
    _cv_ready.notify_all();
}

void Command::clearReady()
{
    _flag_ready.store(0);
    _error = NoError;
}

Token& Command::tokens() const
{
    Token* table = _connection->tokenTable();
    HOLVANE_ASSERT(table != nullptr);
    return *table;
}

void Command::traceBytes(const char* arrow, const ByteSniffer& sniffer) const
{
    if (!_connection->traceEnabled())
        return;
    const size_t count = sniffer.size();
    const char* const commandName = name();
    const size_t nameLength = std::strlen(commandName);
    const size_t arrowLength = std::strlen(arrow);
    char number[24];
    const int numberLength = std::snprintf(number, sizeof number, "%zu", count);
    const size_t length =
        nameLength + arrowLength + 1 + static_cast<size_t>(numberLength) + 3 + sniffer.hexLength() + 1;

    // A usual line is built on the stack; a long one on the heap.
    char local[640];
    std::unique_ptr<char[]> large;
    char* line = local;
    if (length > sizeof local) {
        large = std::make_unique<char[]>(length);
        line = large.get();
    }
    char* out = line;
    // The line is bytes of a known length, written out whole: it needs no terminating zero.
    // NOLINTBEGIN(bugprone-not-null-terminated-result)
    std::memcpy(out, commandName, nameLength);
    out += nameLength;
    std::memcpy(out, arrow, arrowLength);
    out += arrowLength;
    *out++ = '[';
    std::memcpy(out, number, static_cast<size_t>(numberLength));
    out += numberLength;
    std::memcpy(out, "]: ", 3);
    // NOLINTEND(bugprone-not-null-terminated-result)
    out += 3;
    out = sniffer.writeHex(out);
    *out++ = '\n';
    HOLVANE_ASSERT(static_cast<size_t>(out - line) == length);

    if (_connection->traceMode() == Connection_TCP::TraceToEvents) {
        _connection->AddLogEvent(EventType::Message, 0, std::string_view(line, length - 1));
        return;
    }
    std::lock_guard<std::mutex> lock(traceMutex());
    std::fwrite(line, 1, length, stdout);
    std::fflush(stdout);
}

Command::ReplyTrace::ReplyTrace(Command& command) : _command(command), _recording(command.connection().traceEnabled())
{
    if (_recording)
        _command.connection().setReadSniffer(&_sniffer);
}

Command::ReplyTrace::~ReplyTrace()
{
    if (_recording)
        _command.connection().setReadSniffer(nullptr);
}

ErrorCode Command::writeRequest(const TokenBuffer& request, TraceRequest trace, ErrorCode built)
{
    if (_deferred != nullptr) {
        if (built != NoError) {
            if (trace == TraceRequest::Always && _connection->traceEnabled())
                traceRequest(ByteSniffer());
            return built;
        }
        return _deferred->add(*this, request.data(), request.length(), trace);
    }
    // With the trace off the request goes out without a sniffer: nothing to
    // record, nothing to allocate.
    if (trace == TraceRequest::Never || !_connection->traceEnabled()) {
        if (built != NoError)
            return built;
        size_t written = 0;
        return _connection->WriteBytes(reinterpret_cast<const char*>(request.data()), request.length(), written);
    }
    ByteSniffer sniffer;
    if (built != NoError) {
        if (trace == TraceRequest::Always)
            traceRequest(sniffer);
        return built;
    }
    ErrorCode error;
    {
        WriteSnifferContext context(&sniffer, *_connection);
        size_t written = 0;
        error = _connection->WriteBytes(reinterpret_cast<const char*>(request.data()), request.length(), written);
    }
    if (trace == TraceRequest::AfterWrite || trace == TraceRequest::Always ||
        (trace == TraceRequest::OnSuccess && error == NoError))
        traceRequest(sniffer);
    return error;
}

ErrorCode Command::readSimpleReply(double* value) { return _connection->GetResponse(value, nullptr); }

ErrorCode Command::readTracedSimpleReply(double* value)
{
    ReplyTrace trace(*this);
    const ErrorCode error = readSimpleReply(value);
    trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
