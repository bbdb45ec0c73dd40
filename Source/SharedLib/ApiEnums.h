#pragma once

#include <cstdint>

namespace Vantrel::HolvaneApi {

// Result of every operation. Unscoped so that codes compare with integers.
// Bands: API 0x1'0000'0000 + n, system 0x2'0000'0000 | errno,
// controller 0x4'0000'0000 | controller error number.
enum ErrorCode : uint64_t {
    NoError = 0x0,
    __Unknown = 0xFFFFFFFF,
    __ApiError = 0x100000000,
    Api_Unknown = 0x100000000,
    Fail = 0x100000001,
    ConnectionModule = 0x100000002,
    ConnectionContext = 0x100000003,
    ConnectionUnknownAttrib = 0x100000004,
    ConnectionWrongAttribType = 0x100000005,
    TokenTable = 0x100000006,
    Timeout = 0x100000007,
    UnknownFloatingPointFormat = 0x100000008,
    Remote_TokenBuffer = 0x100000009,
    Remote_UnknownToken = 0x10000000A,
    UnsupportedController = 0x10000000B,
    BadResponse = 0x10000000C,
    BadArgument = 0x10000000D,
    __ApiLast = 0x10000000E,
    __SystemError = 0x200000000,
    Sys_Unknown = 0x2FFFFFFFF,
    __ControllerError = 0x400000000,
};

enum class EventType : int32_t {
    Error = 0,
    WriteFail = 1,
    ReadFail = 2,
    Message = 3,
    Receive = 4,
    BufferOverrun = 5,
    ProgressCreate = 6,
    ProgressDestroy = 7,
    ProgressSetPos = 8,
    GetControllerKey = 9,
};

enum class ConnectionType : int32_t {
    Unknown = -1,
    TCP = 0,
    UDP = 1,
    RS232 = 2,
    QUENTA = 3,
    ZELIK7 = 4,
};

// Module-side enumerations published to Python only.
enum class XferDestinations : int32_t { RAM = 0, FIFO = 1, SD = 2 };
enum class XferProtocol : int32_t { Transparent = 0, Ctrl2XX = 1, Ctrl4XX = 2 };
enum class XferDirection : int32_t { ToCtrl = 0, FromCtrl = 1 };
enum class ParamBlockType : int32_t {
    AxisParam = 0,
    SystemParameters = 1,
    VR = 2,
    TABLE = 3,
    ProgramVariable = 4,
};

// Folds an errno value into the system band (sign-extended from int).
inline ErrorCode systemError(int err) noexcept
{
    return static_cast<ErrorCode>(static_cast<uint64_t>(__SystemError) |
                                  static_cast<uint64_t>(static_cast<int64_t>(err)));
}

// Folds a controller error number into the controller band; 0 is no error.
inline ErrorCode controllerError(uint16_t number) noexcept
{
    return number == 0 ? NoError : static_cast<ErrorCode>(static_cast<uint64_t>(__ControllerError) | number);
}

// The band of a code: 0 success, 1 API, 2 system, 4 controller.
constexpr uint32_t errorBand(uint64_t code) noexcept { return static_cast<uint32_t>(code >> 32); }

constexpr uint32_t ApiBand = errorBand(__ApiError);
constexpr uint32_t SystemBand = errorBand(__SystemError);
constexpr uint32_t ControllerBand = errorBand(__ControllerError);

} // namespace Vantrel::HolvaneApi
