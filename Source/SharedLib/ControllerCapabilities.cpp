#include "SharedLib/ControllerCapabilities.h"

#include "SharedLib/Assert.h"
#include "SharedLib/Port.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace Vantrel::HolvaneApi {

namespace {

// Controller type numbers, as the CONTROL system variable reports them.
constexpr int LastTms320Type = 299;
constexpr int MipsType = 266; // inside the TMS320 range, yet a MIPS
constexpr int LaterMipsType = 464;
constexpr int SimulatorType = 400;
constexpr int FirstQuentaType = 499;
constexpr int LastQuentaType = 503;
constexpr int ZelikType = 700;
constexpr int LaterZelikType = 770;
// TMS320 firmware escapes its data bytes from this version on.
constexpr double FirstEscapingTms320Version = 1.51;

uint32_t floatBits(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float bitsFloat(uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::string fixedSixDecimals(double value)
{
    const int needed = std::snprintf(nullptr, 0, "%f", value);
    if (needed <= 0)
        return std::string();
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%f", value);
    text.resize(static_cast<size_t>(needed));
    return text;
}

constexpr uint8_t EscapeByte = 0x1B;
constexpr uint8_t EscapedLowByte = 0x01;
constexpr uint32_t EscapeChunk = 64;

} // namespace

ControllerCapabilities::ControllerCapabilities(const Token& token)
    : _floating_point_format(tms320_floating_point_format), _processor_type(unknown_processor), _token(token),
      _escape_communications(false), _controller_type(0)
{
}

bool ControllerCapabilities::SetControllerCapabilities(double version, int type)
{
    _token.AddLogEvent(EventType::Message, 0, "SetControllerType(" + std::to_string(type) + ")");
    _token.AddLogEvent(EventType::Message, 0, "SetControllerVersion(" + fixedSixDecimals(version) + ")");
    if (type == 0 || version == 0.0)
        return false;

    if (type <= LastTms320Type && type != MipsType) {
        _token.AddLogEvent(EventType::Message, 0, "Selected processor TMS320");
        _processor_type = tms320;
        _floating_point_format = tms320_floating_point_format;
        // Compared on the double as received: a single-precision 1.51 stays below.
        _escape_communications = version >= FirstEscapingTms320Version;
    } else {
        _floating_point_format = ieee64_floating_point_format;
        _escape_communications = true;
        if (type == MipsType || type == LaterMipsType) {
            _token.AddLogEvent(EventType::Message, 0, "Selected processor MIPS");
            _processor_type = mips;
        } else if (type == SimulatorType) {
            _token.AddLogEvent(EventType::Message, 0, "Selected processor SIMULATOR");
            _processor_type = simulator;
        } else if (type >= FirstQuentaType && type <= LastQuentaType) {
            _token.AddLogEvent(EventType::Message, 0, "Selected processor QUENTA");
            _processor_type = quenta;
        } else if (type == ZelikType || type == LaterZelikType) {
            _token.AddLogEvent(EventType::Message, 0, "Selected processor ZELIK");
            _processor_type = zelik;
        } else {
            _token.AddLogEvent(EventType::Message, 0, "Selected processor ARM");
            _processor_type = arm;
        }
    }
    _controller_type = type;
    return true;
}

ErrorCode ControllerCapabilities::NumberSize(uint32_t& size) const
{
    switch (_floating_point_format) {
    case tms320_floating_point_format: size = 4; return NoError;
    case ieee64_floating_point_format: size = 8; return NoError;
    default:
        size = 0;
        _token.AddLogEvent(EventType::Error, UnknownFloatingPointFormat, "Unknown floating point format");
        return UnknownFloatingPointFormat;
    }
}

ErrorCode ControllerCapabilities::StoreNumber(double value, TokenBuffer& buffer) const
{
    if (_floating_point_format == ieee64_floating_point_format)
        return StoreIEEE64Number(buffer, value);
    return StoreTms320Number(buffer, value);
}

ErrorCode ControllerCapabilities::ReadNumber(double& value, Port& port, uint32_t timeout_ms) const
{
    switch (_floating_point_format) {
    case tms320_floating_point_format: return ReadTms320Number(value, port, timeout_ms);
    case ieee64_floating_point_format: return ReadIEEE64Number(value, port, timeout_ms);
    default:
        _token.AddLogEvent(EventType::Error, UnknownFloatingPointFormat, "Unknown floating point format");
        return UnknownFloatingPointFormat;
    }
}

ErrorCode ControllerCapabilities::StoreBytes(TokenBuffer& buffer, const uint8_t* data, uint32_t count) const
{
    if (!_escape_communications) {
        buffer.append(data, count);
        return NoError;
    }
    // The buffer grows in fixed steps: room for the whole escaped text is
    // made once, so a long string is not copied again for every chunk.
    size_t escaped = count;
    for (uint32_t i = 0; i < count; ++i)
        escaped += (data[i] == EscapeByte || data[i] == EscapedLowByte) ? 1 : 0;
    if (buffer.length() + escaped >= buffer.capacity())
        buffer.reserve(buffer.length() + escaped + 1);
    uint8_t work[EscapeChunk * 2];
    for (uint32_t start = 0; start < count; start += EscapeChunk) {
        const uint32_t chunk = std::min(EscapeChunk, count - start);
        size_t out = 0;
        for (uint32_t i = 0; i < chunk; ++i) {
            const uint8_t b = data[start + i];
            if (b == EscapeByte || b == EscapedLowByte)
                work[out++] = EscapeByte;
            work[out++] = b;
        }
        buffer.append(work, out);
    }
    return NoError;
}

ErrorCode ControllerCapabilities::ReadBytes(char* buffer, size_t count, uint32_t timeout_ms, Port& port) const
{
    size_t total = 0;
    bool previousWasEmpty = false;
    while (total < count) {
        size_t got = 0;
        const ErrorCode error = port.Read(buffer + total, count - total, got, timeout_ms);
        if (error != NoError)
            return error;
        HOLVANE_ASSERT(got <= count - total);
        if (got == 0) {
            // An empty read without a time-out means the data has ended (a
            // closed peer, the end of a memory port): the reply is shorter
            // than its form.
            if (previousWasEmpty)
                return BadResponse;
            previousWasEmpty = true;
            continue;
        }
        previousWasEmpty = false;
        total += got;
    }
    return NoError;
}

ErrorCode ControllerCapabilities::ReadBytes(char* buffer, size_t count, size_t& bytes_read, uint32_t timeout_ms,
                                            Port& port) const
{
    return port.Read(buffer, count, bytes_read, timeout_ms);
}

uint64_t ControllerCapabilities::FloatToTms(float value)
{
    const uint32_t bits = floatBits(value);
    const uint32_t S = bits >> 31;
    const int32_t E = static_cast<int32_t>((bits >> 23) & 0xFF);
    const uint32_t M = bits & 0x7FFFFF;

    if (E == 0)
        return 0x80000000u; // zero and subnormals
    if (E == 255) {
        if (M != 0)
            return 0x80000000u; // NaN
        return S == 0 ? 0x7F7FFFFFu : 0x7FFFFFFFu;
    }
    int32_t e;
    uint32_t s;
    uint32_t f;
    if (S == 0) {
        e = E - 127;
        s = 0;
        f = M;
    } else if (M != 0) {
        e = E - 127;
        s = 1;
        f = (1u << 23) - M;
    } else {
        e = E - 128;
        s = 1;
        f = 0;
    }
    return (static_cast<uint32_t>(e) & 0xFFu) << 24 | s << 23 | f;
}

float ControllerCapabilities::TmsToFloat(uint32_t tms)
{
    // The exponent byte is two's complement: the sign extension is intended.
    const int32_t e = static_cast<int8_t>(static_cast<uint8_t>(tms >> 24)); // NOLINT(bugprone-signed-char-misuse)
    const uint32_t s = (tms >> 23) & 1u;
    const uint32_t f = tms & 0x7FFFFF;

    if (e == -128)
        return 0.0f;
    if (e == -127) {
        // Below the smallest normal single: a bit copy would drop the implied
        // leading one, so compute the value and round it to a subnormal.
        const double mantissa = s == 0 ? 1.0 + f / 8388608.0 : -2.0 + f / 8388608.0;
        return static_cast<float>(std::ldexp(mantissa, -127));
    }
    uint32_t S;
    uint32_t E;
    uint32_t M;
    if (s == 0) {
        S = 0;
        E = static_cast<uint32_t>(e + 127);
        M = f;
    } else if (f == 0) {
        S = 1;
        E = static_cast<uint32_t>(e + 128);
        M = 0;
    } else {
        S = 1;
        E = static_cast<uint32_t>(e + 127);
        M = (1u << 23) - f;
    }
    return bitsFloat(S << 31 | E << 23 | M);
}

ErrorCode ControllerCapabilities::StoreTms320Number(TokenBuffer& buffer, double value) const
{
    const uint32_t t = static_cast<uint32_t>(FloatToTms(static_cast<float>(value)));
    const uint8_t bytes[4] = {static_cast<uint8_t>(t & 0xFF), static_cast<uint8_t>((t >> 8) & 0xFF),
                              static_cast<uint8_t>((t >> 16) & 0xFF), static_cast<uint8_t>(t >> 24)};
    return StoreBytes(buffer, bytes, sizeof bytes);
}

ErrorCode ControllerCapabilities::StoreIEEE64Number(TokenBuffer& buffer, double value) const
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    uint8_t bytes[8];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    return StoreBytes(buffer, bytes, sizeof bytes);
}

template <typename T>
ErrorCode ControllerCapabilities::ReadRawNumber(T& value, Port& port, uint32_t timeout_ms) const
{
    unsigned char bytes[sizeof(T)];
    const ErrorCode error = ReadBytes(reinterpret_cast<char*>(bytes), sizeof bytes, timeout_ms, port);
    if (error != NoError)
        return error;
    T assembled = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        assembled |= static_cast<T>(bytes[i]) << (8 * i);
    value = assembled;
    return NoError;
}

template ErrorCode ControllerCapabilities::ReadRawNumber<uint32_t>(uint32_t&, Port&, uint32_t) const;
template ErrorCode ControllerCapabilities::ReadRawNumber<uint64_t>(uint64_t&, Port&, uint32_t) const;

ErrorCode ControllerCapabilities::ReadTms320Number(double& value, Port& port, uint32_t timeout_ms) const
{
    uint32_t raw = 0;
    const ErrorCode error = ReadRawNumber(raw, port, timeout_ms);
    if (error != NoError) {
        if (!isPortFailure(error))
            _token.AddLogEvent(EventType::Error, error, "Error reading 32 bit number from controller");
        return error;
    }
    value = static_cast<double>(TmsToFloat(raw));
    return NoError;
}

ErrorCode ControllerCapabilities::ReadIEEE64Number(double& value, Port& port, uint32_t timeout_ms) const
{
    uint64_t raw = 0;
    const ErrorCode error = ReadRawNumber(raw, port, timeout_ms);
    if (error != NoError) {
        if (!isPortFailure(error))
            _token.AddLogEvent(EventType::Error, error, "Error reading 64 bit number from controller");
        return error;
    }
    std::memcpy(&value, &raw, sizeof value);
    return NoError;
}

} // namespace Vantrel::HolvaneApi
