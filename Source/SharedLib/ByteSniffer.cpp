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
    }
    // The vector's own growth keeps a long recording linear in its size.
    _spill.insert(_spill.end(), bytes, bytes + count);
    _size += count;
}

char* ByteSniffer::writeHex(char* out) const
{
    static const char digits[] = "0123456789abcdef";
    const uint8_t* bytes = data();
    for (size_t i = 0; i < _size; ++i) {
        if (i != 0)
            *out++ = ' ';
        *out++ = digits[bytes[i] >> 4];
        *out++ = digits[bytes[i] & 0x0F];
    }
    return out;
}

std::ostream& operator<<(std::ostream& os, const ByteSniffer& sniffer)
{
    std::string text(sniffer.hexLength(), ' ');
    sniffer.writeHex(text.data());
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
