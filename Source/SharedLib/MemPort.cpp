#include "SharedLib/MemPort.h"

#include <algorithm>
#include <cstring>

namespace Vantrel::HolvaneApi {

MemPort::MemPort() : Port(EventCallback()) {}

MemPort::~MemPort() = default;

ErrorCode MemPort::Open(const std::string&, uint16_t) { return Fail; }

ErrorCode MemPort::Open(const char* buff, size_t size)
{
    if (_is_opened)
        return Fail;
    if (!buff && size != 0)
        return BadArgument;
    _is_opened = true;
    _external_buff = buff;
    _buff_size = size;
    _read_pos = 0;
    return NoError;
}

ErrorCode MemPort::Close()
{
    if (!_is_opened)
        return Fail;
    _is_opened = false;
    _external_buff = nullptr;
    _buff_size = 0;
    _read_pos = 0;
    return NoError;
}

ErrorCode MemPort::Write(const char* buffer, size_t buffer_length, size_t& buffer_written)
{
    if (!_is_opened)
        return Fail;
    buffer_written = buffer_length;
    if (_writeSniffer && buffer_length > 0)
        _writeSniffer->addData(buffer, buffer_length);
    return NoError;
}

ErrorCode MemPort::Read(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t)
{
    buffer_read = 0;
    if (!_is_opened)
        return Fail;
    const size_t n = std::min(buffer_size, _buff_size - _read_pos);
    if (n > 0) {
        std::memcpy(buffer, _external_buff + _read_pos, n);
        _read_pos += n;
        if (_readSniffer)
            _readSniffer->addData(buffer, n);
    }
    buffer_read = n;
    return NoError;
}

} // namespace Vantrel::HolvaneApi
