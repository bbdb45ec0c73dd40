#include "Connection/Port/TCP/PushbackPort.h"

#include <algorithm>
#include <cstring>

namespace Vantrel::HolvaneApi {

PushbackPort::PushbackPort(Port& inner, EventCallback event_callback)
    : Port(std::move(event_callback)), _inner(inner)
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

ErrorCode PushbackPort::readAny(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds)
{
    buffer_read = 0;
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_begin != _end) {
            const size_t count = std::min(buffer_size, _end - _begin);
            std::memcpy(buffer, _held.data() + _begin, count);
            _begin += count;
            if (_begin == _end)
                _begin = _end = 0;
            buffer_read = count;
            return NoError;
        }
        if (_aheadBegin != _aheadEnd) {
            const size_t count = std::min(buffer_size, _aheadEnd - _aheadBegin);
            std::memcpy(buffer, _ahead.data() + _aheadBegin, count);
            _aheadBegin += count;
            if (_aheadBegin == _aheadEnd)
                _aheadBegin = _aheadEnd = 0;
            buffer_read = count;
            return NoError;
        }
        generation = _generation;
    }
    if (buffer_size == 0 || buffer_size >= ReadAhead)
        return _inner.Read(buffer, buffer_size, buffer_read, timeout_milliseconds);

    // Nothing is held here, so the read-ahead store is free to fill.
    size_t received = 0;
    const ErrorCode error = _inner.Read(_ahead.data(), _ahead.size(), received, timeout_milliseconds);
    const size_t count = std::min(buffer_size, received);
    std::memcpy(buffer, _ahead.data(), count);
    buffer_read = count;
    if (received > count) {
        std::lock_guard<std::mutex> lock(_mutex);
        // A discard meanwhile (the link was dropped): the rest belongs to no
        // stream a later read may see.
        if (_generation == generation) {
            _aheadBegin = count;
            _aheadEnd = received;
        }
    }
    return error;
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

IReplyWatch::Wake PushbackPort::awaitBytes(uint32_t timeout_ms)
{
    uint64_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_begin != _end || _aheadBegin != _aheadEnd)
            return IReplyWatch::Wake::Bytes;
        generation = _generation;
    }
    if (timeout_ms == 0) // 0 would mean no limit to the wrapped port
        return IReplyWatch::Wake::Quiet;
    size_t received = 0;
    const ErrorCode error = _inner.Read(_ahead.data(), _ahead.size(), received, timeout_ms);
    if (error == Timeout)
        return IReplyWatch::Wake::Quiet;
    if (error != NoError || received == 0)
        return IReplyWatch::Wake::Closed;
    std::lock_guard<std::mutex> lock(_mutex);
    // Dropped with the link meanwhile: these bytes belong to no stream.
    if (_generation != generation)
        return IReplyWatch::Wake::Closed;
    _aheadBegin = 0;
    _aheadEnd = received;
    return IReplyWatch::Wake::Bytes;
}

void PushbackPort::discard()
{
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
