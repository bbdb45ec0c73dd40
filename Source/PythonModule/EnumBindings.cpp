#include "PythonModule/Bindings.h"

#include "SharedLib/ApiEnums.h"

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

void bindEnums(py::module_& module)
{
    // Unscoped: members compare equal to plain integers.
    py::enum_<ErrorCode>(module, "ErrorCode")
        .value("NoError", NoError)
        .value("__Unknown", __Unknown)
        .value("__ApiError", __ApiError)
        .value("Api_Unknown", Api_Unknown)
        .value("Fail", Fail)
        .value("ConnectionModule", ConnectionModule)
        .value("ConnectionContext", ConnectionContext)
        .value("ConnectionUnknownAttrib", ConnectionUnknownAttrib)
        .value("ConnectionWrongAttribType", ConnectionWrongAttribType)
        .value("TokenTable", TokenTable)
        .value("Timeout", Timeout)
        .value("UnknownFloatingPointFormat", UnknownFloatingPointFormat)
        .value("Remote_TokenBuffer", Remote_TokenBuffer)
        .value("Remote_UnknownToken", Remote_UnknownToken)
        .value("UnsupportedController", UnsupportedController)
        .value("BadResponse", BadResponse)
        .value("BadArgument", BadArgument)
        .value("__ApiLast", __ApiLast)
        .value("__SystemError", __SystemError)
        .value("Sys_Unknown", Sys_Unknown)
        .value("__ControllerError", __ControllerError);

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
