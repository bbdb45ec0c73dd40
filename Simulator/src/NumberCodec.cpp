#include "HolvaneSim/NumberCodec.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace Vantrel::HolvaneApi::Sim {

namespace {
// Nearest single; values beyond its range become infinities (a plain cast
// of such a double is undefined).
float toSingle(double value)
{
    if (value > std::numeric_limits<float>::max() || value < -std::numeric_limits<float>::max()) {
        const float nearest =
            static_cast<float>(value > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max());
        // Values that still round to the largest single keep it.
        if (std::fabs(value) < static_cast<double>(std::numeric_limits<float>::max()) * (1.0 + 0x1p-25))
            return nearest;
        return value > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}
} // namespace

WireFormat controllerFormat(int controllerType, double version)
{
    if (controllerType == 0 || version == 0.0)
        return kHandshakeFormat;
    if (controllerType <= 299 && controllerType != 266) {
        const double asReceived = static_cast<double>(toSingle(version));
        return WireFormat{NumberFormat::Tms320, asReceived >= 1.51};
    }
    return WireFormat{NumberFormat::Ieee64, true};
}

uint32_t floatToTms(float value)
{
    uint32_t ieee = 0;
    std::memcpy(&ieee, &value, sizeof ieee);
    const uint32_t sign = ieee >> 31;
    const int32_t biased = static_cast<int32_t>((ieee >> 23) & 0xFF);
    const uint32_t mantissa = ieee & 0x7FFFFF;
    if (biased == 0)
        return 0x80000000u; // zero and subnormals
    if (biased == 255)
        return mantissa != 0 ? 0x80000000u : (sign ? 0x7FFFFFFFu : 0x7F7FFFFFu);
    int32_t exponent = 0;
    uint32_t fraction = 0;
    uint32_t tmsSign = 0;
    if (sign == 0) {
        exponent = biased - 127;
        fraction = mantissa;
    } else if (mantissa != 0) {
        exponent = biased - 127;
        tmsSign = 1;
        fraction = (1u << 23) - mantissa;
    } else {
        exponent = biased - 128; // -2^n is -2 x 2^(n-1)
        tmsSign = 1;
    }
    return (static_cast<uint32_t>(exponent) & 0xFFu) << 24 | tmsSign << 23 | fraction;
}

float tmsToFloat(uint32_t bits)
{
    // The exponent byte is two's complement: the sign extension is intended.
    const int32_t exponent =
        static_cast<int8_t>(static_cast<uint8_t>(bits >> 24)); // NOLINT(bugprone-signed-char-misuse)
    const uint32_t sign = (bits >> 23) & 1u;
    const uint32_t fraction = bits & 0x7FFFFF;
    if (exponent == -128)
        return 0.0f;
    uint32_t ieee = 0;
    if (sign == 0) {
        ieee = static_cast<uint32_t>(exponent + 127) << 23 | fraction;
    } else if (fraction == 0) {
        ieee = 1u << 31 | static_cast<uint32_t>(exponent + 128) << 23;
    } else {
        ieee = 1u << 31 | static_cast<uint32_t>(exponent + 127) << 23 | ((1u << 23) - fraction);
    }
    float result = 0;
    std::memcpy(&result, &ieee, sizeof result);
    return result;
}

void appendNumber(std::string& out, double value, NumberFormat format)
{
    if (format == NumberFormat::Tms320) {
        const uint32_t bits = floatToTms(toSingle(value));
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
        return;
    }
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
}

double decodeNumber(const uint8_t* bytes, NumberFormat format)
{
    if (format == NumberFormat::Tms320) {
        uint32_t bits = 0;
        for (int i = 3; i >= 0; --i)
            bits = bits << 8 | bytes[i];
        return static_cast<double>(tmsToFloat(bits));
    }
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = bits << 8 | bytes[i];
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

} // namespace Vantrel::HolvaneApi::Sim
