#include "SharedLib/ByteSniffer.h"

#include "SharedLib/ConnectionBase.h"

#include <cstring>

namespace Vantrel::HolvaneApi {

void ByteSniffer::addData(const char* data, size_t count)
{
    if (count == 0)
        return;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    if (_spill.empty() && count <= InlineBytes - _size) {
        std::memcpy(_inline + _size, bytes, count);
        _size += count;
        return;
    }
    if (_spill.empty()) {
        _spill.reserve(_size + count + 128);
        _spill.assign(_inline, _inline + _size);
    } else if (_spill.capacity() < _size + count) {
        _spill.reserve(_size + count + 128);
    }
    _spill.insert(_spill.end(), bytes, bytes + count);
    _size += count;
}

std::ostream& operator<<(std::ostream& os, const ByteSniffer& sniffer)
{
    static const char digits[] = "0123456789abcdef";
    const uint8_t* bytes = sniffer.data();
    std::string text;
    text.reserve(sniffer.size() * 3);
    for (size_t i = 0; i < sniffer.size(); ++i) {
        if (i != 0)
            text.push_back(' ');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return os.write(text.data(), static_cast<std::streamsize>(text.size()));
}

WriteSnifferContext::WriteSnifferContext(ISniffer* sniffer, ConnectionBase& conn) : _conn(conn)
{
    _conn.setWriteSniffer(sniffer);
}

WriteSnifferContext::~WriteSnifferContext() { _conn.setWriteSniffer(nullptr); }

ReadSnifferContext::ReadSnifferContext(ISniffer* sniffer, ConnectionBase& conn) : _conn(conn)
{
    _conn.setReadSniffer(sniffer);
}

ReadSnifferContext::~ReadSnifferContext() { _conn.setReadSniffer(nullptr); }

} // namespace Vantrel::HolvaneApi
