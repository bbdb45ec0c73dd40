#include "Connection/Port/TCP/PushbackPort.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace Vantrel::HolvaneApi {

PushbackPort::PushbackPort(Port& inner, EventCallback event_callback) : Port(std::move(event_callback)), _inner(inner)
{
}

ErrorCode PushbackPort::Open(const std::string& hostname, uint16_t port)
{
    discard();
    return _inner.Open(hostname, port);
}

ErrorCode PushbackPort::Close()
{
    discard();
    return _inner.Close();
}

ErrorCode PushbackPort::Write(const char* buffer, size_t buffer_length, size_t& buffer_written)
{
    return _inner.Write(buffer, buffer_length, buffer_written);
}

namespace {

// Hands out up to `size` bytes of store[begin, end); empties the range when
// all of it went.
size_t take(const char* store, size_t& begin, size_t& end, char* out, size_t size)
{
    const size_t count = std::min(size, end - begin);
    std::memcpy(out, store + begin, count);
    begin += count;
    if (begin == end)
        begin = end = 0;
    return count;
}

} // namespace

void PushbackPort::awaitedSince(TimingPolicy::Clock::time_point since)
{
    _awaitedSince.store(since.time_since_epoch().count());
}

ErrorCode PushbackPort::readAny(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds)
{
    buffer_read = 0;
    uint64_t generation = 0;
    // Counted from when the reply's bytes were first awaited, if that was
    // before this read; from now on every wait counts from itself.
    const TimingPolicy::Clock::rep since = _awaitedSince.exchange(NoOrigin);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_begin != _end) {
            buffer_read = take(_held.data(), _begin, _end, buffer, buffer_size);
            return NoError;
        }
        if (_aheadBegin != _aheadEnd) {
            buffer_read = take(_ahead.data(), _aheadBegin, _aheadEnd, buffer, buffer_size);
            return NoError;
        }
        generation = _generation;
    }
    if (since != NoOrigin && timeout_milliseconds != TimingPolicy::NoLimitMs) {
        const TimingPolicy::Clock::time_point end =
            TimingPolicy::Clock::time_point(TimingPolicy::Clock::duration(since)) +
            std::chrono::milliseconds(timeout_milliseconds);
        timeout_milliseconds = static_cast<uint32_t>(TimingPolicy::msUntil(end));
    }
    if (buffer_size == 0 || buffer_size >= ReadAhead)
        return _inner.Read(buffer, buffer_size, buffer_read, timeout_milliseconds);

    size_t received = 0;
    ErrorCode error = NoError;
    // What a discard meanwhile dropped is not kept; the caller's part is
    // its own either way.
    static_cast<void>(fillAhead(buffer_size, timeout_milliseconds, generation, received, error));
    buffer_read = std::min(buffer_size, received);
    std::memcpy(buffer, _ahead.data(), buffer_read);
    return error;
}

bool PushbackPort::fillAhead(size_t taken, uint32_t timeout_ms, uint64_t generation, size_t& received, ErrorCode& error)
{
    // Nothing is held when this is called, so the store is free to fill.
    error = _inner.Read(_ahead.data(), _ahead.size(), received, timeout_ms);
    const size_t keepFrom = std::min(taken, received);
    std::lock_guard<std::mutex> lock(_mutex);
    // A discard meanwhile (the link was dropped): these bytes belong to no
    // stream a later read may see.
    if (_generation != generation)
        return false;
    if (received > keepFrom) {
        _aheadBegin = keepFrom;
        _aheadEnd = received;
    }
    return true;
}

ErrorCode PushbackPort::Read(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds)
{
    const ErrorCode error = readAny(buffer, buffer_size, buffer_read, timeout_milliseconds);
    show(buffer, buffer_read);
    return error;
}

ErrorCode PushbackPort::ReadUnshown(char* buffer, size_t buffer_size, size_t& buffer_read,
                                    uint32_t timeout_milliseconds)
{
    return readAny(buffer, buffer_size, buffer_read, timeout_milliseconds);
}

void PushbackPort::show(const char* data, size_t count) const
{
    if (count == 0)
        return;
    if (ISniffer* sniffer = _readSniffer.load())
        sniffer->addData(data, count);
}

bool PushbackPort::putBack(const char* data, size_t count)
{
    std::lock_guard<std::mutex> lock(_mutex);
    const size_t held = _end - _begin;
    if (count > Capacity - held)
        return false;
    if (count == 0)
        return true;
    if (count > _begin) {
        // Move what is held to the back so the new bytes fit in front of it.
        std::memmove(_held.data() + Capacity - held, _held.data() + _begin, held);
        _begin = Capacity - held;
        _end = Capacity;
    }
    _begin -= count;
    std::memcpy(_held.data() + _begin, data, count);
    return true;
}

IReplyWatch::Wake PushbackPort::awaitBytes(int timeout_ms)
{
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_begin != _end || _aheadBegin != _aheadEnd)
            return IReplyWatch::Wake::Bytes;
        generation = _generation;
    }
    size_t received = 0;
    ErrorCode error = NoError;
    const bool kept = fillAhead(0, static_cast<uint32_t>(timeout_ms), generation, received, error);
    if (error == Timeout)
        return IReplyWatch::Wake::Quiet;
    if (error != NoError || received == 0 || !kept)
        return IReplyWatch::Wake::Closed;
    return IReplyWatch::Wake::Bytes;
}

void PushbackPort::discard()
{
    _awaitedSince.store(NoOrigin);
    std::lock_guard<std::mutex> lock(_mutex);
    _begin = _end = 0;
    _aheadBegin = _aheadEnd = 0;
    ++_generation;
}

size_t PushbackPort::pending() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _end - _begin;
}

size_t PushbackPort::readAhead() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _aheadEnd - _aheadBegin;
}

} // namespace Vantrel::HolvaneApi
