#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/TimingPolicy.h"

#include <cstddef>
#include <cstdint>

namespace Vantrel::HolvaneApi {

class Port;
class Token;
class TokenBuffer;

// What kind of controller is connected and how it carries numbers: 32-bit
// TMS320 floats or little-endian IEEE 754 doubles, with or without escaping
// of outgoing data bytes.
class ControllerCapabilities {
public:
    enum floating_point_formats {
        unknown_floating_point_format = 0,
        tms320_floating_point_format = 1,
        ieee64_floating_point_format = 2,
    };

    enum processor_types {
        unknown_processor = 0,
        tms320 = 1,
        mips = 2,
        arm = 3,
        simulator = 4,
        quenta = 5,
        zelik = 6,
    };

    explicit ControllerCapabilities(const Token& token);
    ControllerCapabilities(const ControllerCapabilities&) = delete;
    ControllerCapabilities& operator=(const ControllerCapabilities&) = delete;

    // Classifies the controller from its firmware version and type; false
    // (and nothing changed) for a zero type or a zero version.
    bool SetControllerCapabilities(double version, int type);

    floating_point_formats GetFloatingPointFormat() const { return _floating_point_format; }
    processor_types GetProcessorType() const { return _processor_type; }
    bool IsCommunicationsEscaped() const { return _escape_communications; }
    int GetControllerType() const { return _controller_type; }

    // Bytes of one number on the wire: 4 or 8.
    ErrorCode NumberSize(uint32_t& size) const;
    // Appends the number in the current format.
    ErrorCode StoreNumber(double value, TokenBuffer& buffer) const;
    // Reads one number in the current format, each wait at most timeout_ms
    // (a connection passes its TCP_Timeout); value is left unchanged on
    // failure. A failure of the port itself is not reported here: the port,
    // or the connection that loses the link over it, reports it.
    ErrorCode ReadNumber(double& value, Port& port,
                         uint32_t timeout_ms = static_cast<uint32_t>(TimingPolicy::DefaultReplyTimeoutMs)) const;
    // Appends data bytes, escaped (0x1B, 0x01 prefixed by 0x1B) when the
    // controller wants it.
    ErrorCode StoreBytes(TokenBuffer& buffer, const uint8_t* data, uint32_t count) const;
    // Reads exactly count bytes. Always terminates: a time-out gives
    // Timeout, two consecutive empty reads give BadResponse.
    ErrorCode ReadBytes(char* buffer, size_t count, uint32_t timeout_ms, Port& port) const;
    // One port read of up to count bytes.
    ErrorCode ReadBytes(char* buffer, size_t count, size_t& bytes_read, uint32_t timeout_ms, Port& port) const;

protected:
    // IEEE single to TMS320 bits (in the low 32 bits) and back.
    static uint64_t FloatToTms(float value);
    static float TmsToFloat(uint32_t tms);

    ErrorCode StoreTms320Number(TokenBuffer& buffer, double value) const;
    ErrorCode StoreIEEE64Number(TokenBuffer& buffer, double value) const;
    ErrorCode ReadTms320Number(double& value, Port& port, uint32_t timeout_ms) const;
    ErrorCode ReadIEEE64Number(double& value, Port& port, uint32_t timeout_ms) const;

    // sizeof(T) bytes, little-endian.
    template <typename T>
    ErrorCode ReadRawNumber(T& value, Port& port,
                            uint32_t timeout_ms = static_cast<uint32_t>(TimingPolicy::DefaultReplyTimeoutMs)) const;

    floating_point_formats _floating_point_format;
    processor_types _processor_type;
    const Token& _token;
    bool _escape_communications;
    int _controller_type;
};

} // namespace Vantrel::HolvaneApi
