#pragma once
// The connection interface as it was before Batch: the table of a plug-in of
// interface level 1, to build a stand-in that lacks every later slot.

#include "SharedLib/IConnection.h"

namespace Level1 {

using namespace Vantrel::HolvaneApi;

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
};

} // namespace Level1
