#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/BatchItem.h"
#include "SharedLib/CreateParameters.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Vantrel::HolvaneApi {

// The ABI between the Python module and a connection plug-in: the order of the
// virtual operations below is the virtual-table order and must not change.
class IConnection {
public:
    virtual bool IsConnected() const = 0;
    virtual ErrorCode Connect() = 0;
    virtual ErrorCode Disconnect() = 0;
    virtual ErrorCode WriteStringAttribute(const std::string_view& attrib_name, const std::string_view& value) = 0;
    virtual ErrorCode WriteIntAttribute(const std::string_view& attrib_name, int64_t value) = 0;
    virtual ErrorCode ReadStringAttribute(const std::string_view& attrib_name, std::string_view& value) = 0;
    virtual ErrorCode ReadIntAttribute(const std::string_view& attrib_name, int64_t& value) = 0;
    virtual ErrorCode Ex() = 0;
    virtual ErrorCode Ex(int mode) = 0;
    virtual ErrorCode Cancel(int mode) = 0;
    virtual ErrorCode Cancel(int mode, int axis) = 0;
    virtual ErrorCode Execute(const std::string_view& command) = 0;
    virtual ErrorCode SetAxisBase(int axis) = 0;
    virtual ErrorCode SetMultiAxisBase(const int* axis, uint32_t count) = 0;
    virtual ErrorCode Datum(uint32_t sequence, int axis) = 0;
    virtual ErrorCode DefPos(double pos, int axis) = 0;
    virtual ErrorCode DefPos(const double* pos, int pos_count) = 0;
    virtual ErrorCode Forward(int axis) = 0;
    virtual ErrorCode Reverse(int axis) = 0;
    virtual ErrorCode MoveRel(double pos, int axis) = 0;
    virtual ErrorCode MoveRel(const double* pos, int pos_count) = 0;
    virtual ErrorCode MoveRelSp(double pos, int axis) = 0;
    virtual ErrorCode MoveRelSp(const double* pos, int pos_count) = 0;
    virtual ErrorCode MoveAbs(double pos, int axis) = 0;
    virtual ErrorCode MoveAbs(const double* pos, int pos_count) = 0;
    virtual ErrorCode MoveAbsSp(double pos, int axis) = 0;
    virtual ErrorCode MoveAbsSp(const double* pos, int pos_count) = 0;
    virtual ErrorCode WriteTableValue(uint32_t index, double value) = 0;
    virtual ErrorCode WriteMultiTableValues(uint32_t start_index, uint32_t count, const double* values) = 0;
    virtual ErrorCode ReadTableValue(uint32_t index, double& value) = 0;
    virtual ErrorCode ReadMultiTableValues(uint32_t start_index, uint32_t count, double* values) = 0;
    virtual ErrorCode WriteVrValue(uint32_t index, double value) = 0;
    virtual ErrorCode WriteMultiVrValues(uint32_t start_index, uint32_t count, const double* values) = 0;
    virtual ErrorCode ReadVrValue(uint32_t index, double& value) = 0;
    virtual ErrorCode ReadMultiVrValues(uint32_t start_index, uint32_t count, double* values) = 0;
    virtual ErrorCode WriteAxisParam(const std::string_view& param_name, int axis, double value) = 0;
    virtual ErrorCode ReadAxisParam(const std::string_view& param_name, int axis, double& result) = 0;
    virtual ErrorCode InvertIN(uint32_t input, bool invert) = 0;
    virtual ErrorCode StopProgram(const char* program_name, int process_number) = 0;
    virtual ErrorCode StopProgramByName(const char* program_name) = 0;
    virtual ErrorCode FrameGroup(int group, char* result_buff, size_t buff_size) = 0;
    virtual ErrorCode SetFrameGroup(int group, int table_offset, const int* axis, size_t axis_count) = 0;
    virtual ErrorCode Dir(void* handler_context, ReportControllerFileCallback handler) = 0;
    virtual ErrorCode WriteVrString(uint32_t vr, const std::string_view& str) = 0;
    virtual ErrorCode ReadVrString(uint32_t vr, void* handler_context, StreamHandlerCallback handler,
                                   DataStreamPacket* buff) = 0;
    // Destroys the object inside the library that made it.
    virtual void DeleteMe() = 0;

protected:
    virtual ~IConnection() = default;

public:
    // --- Operations a plug-in offers from InterfaceLevel 2 on, appended after
    // every slot of level 1; a caller asks the read-only integer attribute
    // "InterfaceLevel" first (a plug-in that does not know it is level 1 and
    // has none of them). --------------------------------------------------------

    // Carries out `count` items as one pipelined exchange: every request is
    // written, in item order, before the first reply is awaited, and the call
    // returns when every item has its outcome. Each item gets its own code
    // (and value, for reads); a controller error stops nothing. NoError when
    // every item succeeded, else the first failing item's code; BadArgument,
    // with nothing sent, for more items than the connection's cap or a
    // malformed item.
    virtual ErrorCode Batch(BatchItem* items, uint32_t count) = 0;

    // Installs `check` (null removes it): a caller's thread that waits inside
    // an operation asks it every few tens of milliseconds, never in the first
    // ones; when it answers true the operation is abandoned and returns Fail,
    // closing the link if its request was already written. Set it while no
    // operation runs.
    virtual void SetInterruptCheck(InterruptCheck check, void* context) = 0;

    // --- From InterfaceLevel 3 on (Batch and the checks of its items also
    // take the block kinds ReadVrBlock and ReadTableBlock there). -------------

    // Carries out `count` items as Batch does, but returns as soon as every
    // request is written, so that one thread may keep several exchanges in
    // flight. `done(context, first)` is then called exactly once, after the
    // last reply was read and every item holds its outcome, on the
    // connection's reader thread (or on the thread whose Disconnect ends the
    // link); it must return quickly and must not call the connection. The
    // items stay the caller's and must stay valid until `done` was called.
    // NoError: `done` will be called (items whose request could not be
    // written carry that error). Any other code: nothing was sent, `done`
    // is never called, and the items carry the code.
    // With `done` null nothing is sent at all: every item is only checked (its
    // request is built) and gets NoError or the code sending it would give,
    // e.g. Remote_UnknownToken for a name not in the controller's table;
    // the result is the first such code. Empty: BadArgument.
    virtual ErrorCode BatchStart(BatchItem* items, uint32_t count, BatchDone done, void* context) = 0;
};

// The interface level of this header: the value of the attribute
// "InterfaceLevel" of a plug-in built with it.
constexpr int64_t InterfaceLevel = 3;

// The single entry point every connection plug-in exports, unmangled.
using FactoryFunction = ErrorCode (*)(const CreateParams& params, IConnection*& connection);

} // namespace Vantrel::HolvaneApi
