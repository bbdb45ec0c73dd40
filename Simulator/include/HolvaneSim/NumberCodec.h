#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Vantrel::HolvaneApi::Sim {

enum class NumberFormat { Tms320, Ieee64 };

// How numbers travel on one connection: their binary format and whether the
// data bytes of requests arrive escaped (0x1B x stands for x).
struct WireFormat {
    NumberFormat format = NumberFormat::Tms320;
    bool escaped = false;
    size_t numberSize() const { return format == NumberFormat::Tms320 ? 4 : 8; }
    bool operator==(const WireFormat& o) const { return format == o.format && escaped == o.escaped; }
};

// The format every connection starts in, before the controller type is known.
constexpr WireFormat kHandshakeFormat{NumberFormat::Tms320, false};

// The controller's own format, decided exactly as the host decides it: types up
// to 299 other than 266 use TMS320 numbers, escaped from firmware 1.51 on (the
// version compared as it reaches the host in single precision); all others use
// IEEE 754 doubles with escaping. A zero type or version keeps the handshake
// format, since the host refuses such a controller.
WireFormat controllerFormat(int controllerType, double version);

uint32_t floatToTms(float value);
float tmsToFloat(uint32_t bits);

// Appends a reply number (replies are never escaped), little-endian.
void appendNumber(std::string& out, double value, NumberFormat format);
// Decodes numberSize() bytes that are already un-escaped.
double decodeNumber(const uint8_t* bytes, NumberFormat format);

} // namespace Vantrel::HolvaneApi::Sim
