#pragma once
// Number and token encodings of the controller's wire protocol, written for the
// test side independently of the plug-in's encoders, so that a shared
// misunderstanding cannot make both sides agree on wrong bytes.

#include <cstdint>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Testing {

using Bytes = std::vector<uint8_t>;

enum class NumberFormat { Tms320, Ieee64 };

// The 32-bit TMS320 pattern of a value (rounded to single precision first):
// exponent in bits 31..24 (two's complement), sign in bit 23, fraction below;
// (1 + f/2^23)*2^e for a positive sign, (-2 + f/2^23)*2^e for a negative one,
// exponent -128 for zero.
uint32_t tms320Bits(double value);
// Decodes a TMS320 pattern by the same definition.
double tms320Value(uint32_t bits);

// Little-endian bytes of one number in a format, unescaped.
Bytes numberBytes(NumberFormat format, double value);

// Outgoing data bytes as an escaping controller expects them: 0x1B and 0x01
// are each preceded by 0x1B.
Bytes escaped(const Bytes& data);

Bytes bytesOf(const std::string& text);
std::string hexOf(const Bytes& bytes); // "0a 1b ff"

void append(Bytes& to, const Bytes& from);

} // namespace Vantrel::HolvaneApi::Testing
