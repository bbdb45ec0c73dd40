#include "PythonModule/Bindings.h"

#include "SharedLib/ApiEnums.h"

#include <cstdio>
#include <string>

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

namespace {

struct stCodeName {
    const char* name;
    ErrorCode code;
};

// The named codes, in the order they are registered; the first name of a
// value is the one it reports.
constexpr stCodeName s_errorCodeNames[] = {
    {"NoError", NoError},
    {"__Unknown", __Unknown},
    {"__ApiError", __ApiError},
    {"Api_Unknown", Api_Unknown},
    {"Fail", Fail},
    {"ConnectionModule", ConnectionModule},
    {"ConnectionContext", ConnectionContext},
    {"ConnectionUnknownAttrib", ConnectionUnknownAttrib},
    {"ConnectionWrongAttribType", ConnectionWrongAttribType},
    {"TokenTable", TokenTable},
    {"Timeout", Timeout},
    {"UnknownFloatingPointFormat", UnknownFloatingPointFormat},
    {"Remote_TokenBuffer", Remote_TokenBuffer},
    {"Remote_UnknownToken", Remote_UnknownToken},
    {"UnsupportedController", UnsupportedController},
    {"BadResponse", BadResponse},
    {"BadArgument", BadArgument},
    {"__ApiLast", __ApiLast},
    {"__SystemError", __SystemError},
    {"Sys_Unknown", Sys_Unknown},
    {"__ControllerError", __ControllerError},
};

const char* nameOf(uint64_t code)
{
    for (const stCodeName& entry : s_errorCodeNames) {
        if (entry.code == code)
            return entry.name;
    }
    return nullptr;
}

// "controller error 4: 0x400000004" for a code without a name of its own:
// what its band says it is, and its number.
std::string bandAndNumber(uint64_t code)
{
    const char* band = nullptr;
    switch (errorBand(code)) {
    case ApiBand: band = "API error"; break;
    case SystemBand: band = "system error"; break;
    case ControllerBand: band = "controller error"; break;
    default: break;
    }
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(code));
    if (band == nullptr)
        return hex;
    return std::string(band) + " " + std::to_string(static_cast<uint32_t>(code)) + ": " + hex;
}

void bindErrorCode(py::module_& module)
{
    // Unscoped: members compare equal to plain integers.
    py::enum_<ErrorCode> codes(module, "ErrorCode");
    for (const stCodeName& entry : s_errorCodeNames)
        codes.value(entry.name, entry.code);

    // Named members show as they always have; a code built from its number
    // (an errno, a controller's error number) shows its band and number
    // instead of a placeholder name. Assigned rather than added with def(),
    // which would append an overload behind the binding library's own.
    const py::object namedRepr = codes.attr("__repr__");
    const py::object namedStr = codes.attr("__str__");
    codes.attr("__repr__") = py::cpp_function(
        [namedRepr](const py::object& self) -> py::object {
            const uint64_t code = self.cast<ErrorCode>();
            if (nameOf(code) != nullptr)
                return namedRepr(self);
            return py::str("<ErrorCode " + bandAndNumber(code) + ">");
        },
        py::name("__repr__"), py::is_method(codes));
    codes.attr("__str__") = py::cpp_function(
        [namedStr](const py::object& self) -> py::object {
            const uint64_t code = self.cast<ErrorCode>();
            if (nameOf(code) != nullptr)
                return namedStr(self);
            return py::str("ErrorCode " + bandAndNumber(code));
        },
        py::name("__str__"), py::is_method(codes));
}

} // namespace

void bindEnums(py::module_& module)
{
    bindErrorCode(module);

    py::enum_<XferDestinations>(module, "XferDestinations")
        .value("RAM", XferDestinations::RAM)
        .value("FIFO", XferDestinations::FIFO)
        .value("SD", XferDestinations::SD);

    py::enum_<XferProtocol>(module, "XferProtocol")
        .value("Transparent", XferProtocol::Transparent)
        .value("Ctrl2XX", XferProtocol::Ctrl2XX)
        .value("Ctrl4XX", XferProtocol::Ctrl4XX);

    py::enum_<XferDirection>(module, "XferDirection")
        .value("ToCtrl", XferDirection::ToCtrl)
        .value("FromCtrl", XferDirection::FromCtrl);

    py::enum_<EventType>(module, "EventType")
        .value("Error", EventType::Error)
        .value("WriteFail", EventType::WriteFail)
        .value("ReadFail", EventType::ReadFail)
        .value("Message", EventType::Message)
        .value("Receive", EventType::Receive)
        .value("BufferOverrun", EventType::BufferOverrun)
        .value("ProgressCreate", EventType::ProgressCreate)
        .value("ProgressDestroy", EventType::ProgressDestroy)
        .value("ProgressSetPos", EventType::ProgressSetPos)
        .value("GetControllerKey", EventType::GetControllerKey);

    py::enum_<ConnectionType>(module, "ConnectionType")
        .value("Unknown", ConnectionType::Unknown)
        .value("TCP", ConnectionType::TCP)
        .value("UDP", ConnectionType::UDP)
        .value("RS232", ConnectionType::RS232)
        .value("QUENTA", ConnectionType::QUENTA)
        .value("ZELIK7", ConnectionType::ZELIK7);

    py::enum_<ParamBlockType>(module, "ParamBlockType")
        .value("AxisParam", ParamBlockType::AxisParam)
        .value("SystemParameters", ParamBlockType::SystemParameters)
        .value("VR", ParamBlockType::VR)
        .value("TABLE", ParamBlockType::TABLE)
        .value("ProgramVariable", ParamBlockType::ProgramVariable);
}

} // namespace Vantrel::HolvaneApi
