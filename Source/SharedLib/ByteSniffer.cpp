#include "SharedLib/ByteSniffer.h"

#include "SharedLib/ConnectionBase.h"

namespace Vantrel::HolvaneApi {

void ByteSniffer::addData(const char* data, size_t count)
{
    if (count == 0)
        return;
    if (_buff.capacity() < _buff.size() + count)
        _buff.reserve(_buff.size() + count + 128);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    _buff.insert(_buff.end(), bytes, bytes + count);
}

std::ostream& operator<<(std::ostream& os, const ByteSniffer& sniffer)
{
    static const char digits[] = "0123456789abcdef";
    const std::vector<uint8_t>& bytes = sniffer.bytes();
    std::string text;
    text.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
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
