#include "support/WireFormat.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace Vantrel::HolvaneApi::Testing {

uint32_t tms320Bits(double value)
{
    const double v = static_cast<double>(static_cast<float>(value));
    if (v == 0.0 || std::isnan(v))
        return 0x80000000u;
    if (std::isinf(v))
        return v > 0 ? 0x7F7FFFFFu : 0x7FFFFFFFu;
    int k = 0;
    const double m = std::frexp(v, &k); // v = m * 2^k, 0.5 <= |m| < 1
    int e = k - 1;
    double scaled = 2.0 * m; // in [1,2) or (-2,-1]
    uint32_t sign = 0;
    if (scaled < 0) {
        sign = 1;
        if (scaled == -1.0) { // -2^e is written as (-2 + 0) * 2^(e-1)
            scaled = -2.0;
            e -= 1;
        }
    }
    const double fraction = sign ? (scaled + 2.0) : (scaled - 1.0); // in [0,1)
    const auto f = static_cast<uint32_t>(std::ldexp(fraction, 23));
    return (static_cast<uint32_t>(e & 0xFF) << 24) | (sign << 23) | (f & 0x7FFFFFu);
}

double tms320Value(uint32_t bits)
{
    const int e = static_cast<int8_t>(bits >> 24);
    if (e == -128)
        return 0.0;
    const bool negative = (bits >> 23) & 1u;
    const double f = std::ldexp(static_cast<double>(bits & 0x7FFFFFu), -23);
    return std::ldexp((negative ? -2.0 : 1.0) + f, e);
}

Bytes numberBytes(NumberFormat format, double value)
{
    Bytes out;
    if (format == NumberFormat::Tms320) {
        const uint32_t t = tms320Bits(value);
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(t >> (8 * i)));
    } else {
        uint64_t raw = 0;
        std::memcpy(&raw, &value, sizeof raw);
        for (int i = 0; i < 8; ++i)
            out.push_back(static_cast<uint8_t>(raw >> (8 * i)));
    }
    return out;
}

Bytes escaped(const Bytes& data)
{
    Bytes out;
    for (uint8_t b : data) {
        if (b == 0x1B || b == 0x01)
            out.push_back(0x1B);
        out.push_back(b);
    }
    return out;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string hexOf(const Bytes& bytes)
{
    std::string out;
    char cell[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(cell, sizeof cell, "%02x", bytes[i]);
        if (i)
            out += ' ';
        out += cell;
    }
    return out;
}

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

} // namespace Vantrel::HolvaneApi::Testing
