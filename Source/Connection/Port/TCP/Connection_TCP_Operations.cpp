// The controller operations of Connection_TCP: each builds one command on its
// stack and runs it through the reader pump (runCommand: Fail when there is no
// pump, else queue, wait, return the command's error).
#include "Connection/Port/TCP/Connection_TCP.h"

#include "Connection/Port/TCP/BatchExchange.h"
#include "Connection/Port/TCP/Commands/CmdBase.h"
#include "Connection/Port/TCP/Commands/CmdCancel.h"
#include "Connection/Port/TCP/Commands/CmdDatum.h"
#include "Connection/Port/TCP/Commands/CmdDefPos.h"
#include "Connection/Port/TCP/Commands/CmdDir.h"
#include "Connection/Port/TCP/Commands/CmdEx.h"
#include "Connection/Port/TCP/Commands/CmdExecute.h"
#include "Connection/Port/TCP/Commands/CmdForward.h"
#include "Connection/Port/TCP/Commands/CmdGetAxisParam.h"
#include "Connection/Port/TCP/Commands/CmdGetMultiVr.h"
#include "Connection/Port/TCP/Commands/CmdGetTABLE.h"
#include "Connection/Port/TCP/Commands/CmdGetVr.h"
#include "Connection/Port/TCP/Commands/CmdGetVrString.h"
#include "Connection/Port/TCP/Commands/CmdInvertIn.h"
#include "Connection/Port/TCP/Commands/CmdMoveAbs.h"
#include "Connection/Port/TCP/Commands/CmdMoveAbsSp.h"
#include "Connection/Port/TCP/Commands/CmdMoveRel.h"
#include "Connection/Port/TCP/Commands/CmdMoveRelSp.h"
#include "Connection/Port/TCP/Commands/CmdReverse.h"
#include "Connection/Port/TCP/Commands/CmdSetAxisParam.h"
#include "Connection/Port/TCP/Commands/CmdSetMultiVr.h"
#include "Connection/Port/TCP/Commands/CmdSetTABLE.h"
#include "Connection/Port/TCP/Commands/CmdSetVr.h"
#include "Connection/Port/TCP/Commands/CmdSetVrString.h"

#include <memory>
#include <new>
#include <utility>

namespace Vantrel::HolvaneApi {

namespace {

// One value with an axis: KEYWORD(pos) AXIS(axis).
template <typename Cmd>
ErrorCode motionOne(Connection_TCP& conn, double pos, int axis)
{
    Cmd cmd(&conn);
    return conn.runCommand(cmd, [&] { return cmd.send_1(pos, axis); });
}

// A list of values without an axis: KEYWORD(p0,p1,...).
template <typename Cmd>
ErrorCode motionList(Connection_TCP& conn, const double* pos, int pos_count)
{
    // A negative count would widen to an enormous one.
    if (pos_count < 0)
        return BadArgument;
    Cmd cmd(&conn);
    return conn.runCommand(cmd, [&] { return cmd.send_m(static_cast<size_t>(pos_count), pos, -1); });
}

} // namespace

ErrorCode Connection_TCP::Ex() { return Ex(0); }

ErrorCode Connection_TCP::Ex(int mode)
{
    TCP::CmdEx cmd(this);
    return runCommand(cmd, [&] { return cmd.send(static_cast<uint32_t>(mode)); });
}

ErrorCode Connection_TCP::Cancel(int mode) { return Cancel(mode, -1); }

ErrorCode Connection_TCP::Cancel(int mode, int axis)
{
    TCP::CmdCancel cmd(this);
    return runCommand(cmd, [&] { return cmd.send(static_cast<uint32_t>(mode), axis); });
}

ErrorCode Connection_TCP::Execute(const std::string_view& command)
{
    TCP::CmdExecute cmd(this);
    return runCommand(cmd, [&] { return cmd.send(command); });
}

ErrorCode Connection_TCP::SetAxisBase(int axis)
{
    TCP::CmdBase cmd(this);
    return runCommand(cmd, [&] { return cmd.send(axis); });
}

ErrorCode Connection_TCP::Datum(uint32_t sequence, int axis)
{
    TCP::CmdDatum cmd(this);
    return runCommand(cmd, [&] { return cmd.send(sequence, axis); });
}

ErrorCode Connection_TCP::DefPos(double pos, int axis) { return motionOne<TCP::CmdDefPos>(*this, pos, axis); }
ErrorCode Connection_TCP::DefPos(const double* pos, int pos_count)
{
    return motionList<TCP::CmdDefPos>(*this, pos, pos_count);
}

ErrorCode Connection_TCP::Forward(int axis)
{
    TCP::CmdForward cmd(this);
    return runCommand(cmd, [&] { return cmd.send_0(axis); });
}

ErrorCode Connection_TCP::Reverse(int axis)
{
    TCP::CmdReverse cmd(this);
    return runCommand(cmd, [&] { return cmd.send_0(axis); });
}

ErrorCode Connection_TCP::MoveRel(double pos, int axis) { return motionOne<TCP::CmdMoveRel>(*this, pos, axis); }
ErrorCode Connection_TCP::MoveRel(const double* pos, int pos_count)
{
    return motionList<TCP::CmdMoveRel>(*this, pos, pos_count);
}

ErrorCode Connection_TCP::MoveRelSp(double pos, int axis) { return motionOne<TCP::CmdMoveRelSp>(*this, pos, axis); }
ErrorCode Connection_TCP::MoveRelSp(const double* pos, int pos_count)
{
    return motionList<TCP::CmdMoveRelSp>(*this, pos, pos_count);
}

ErrorCode Connection_TCP::MoveAbs(double pos, int axis) { return motionOne<TCP::CmdMoveAbs>(*this, pos, axis); }
ErrorCode Connection_TCP::MoveAbs(const double* pos, int pos_count)
{
    return motionList<TCP::CmdMoveAbs>(*this, pos, pos_count);
}

ErrorCode Connection_TCP::MoveAbsSp(double pos, int axis) { return motionOne<TCP::CmdMoveAbsSp>(*this, pos, axis); }
ErrorCode Connection_TCP::MoveAbsSp(const double* pos, int pos_count)
{
    return motionList<TCP::CmdMoveAbsSp>(*this, pos, pos_count);
}

ErrorCode Connection_TCP::WriteTableValue(uint32_t index, double value)
{
    TCP::CmdSetTABLE cmd(this);
    return runCommand(cmd, [&] { return cmd.send(index, 1, &value); });
}

ErrorCode Connection_TCP::WriteMultiTableValues(uint32_t start_index, uint32_t count, const double* values)
{
    TCP::CmdSetTABLE cmd(this);
    return runCommand(cmd, [&] { return cmd.send(start_index, count, values); });
}

ErrorCode Connection_TCP::ReadTableValue(uint32_t index, double& value)
{
    TCP::CmdGetTABLE cmd(this);
    return runCommand(cmd, [&] { return cmd.send(index, 1, &value); });
}

ErrorCode Connection_TCP::ReadMultiTableValues(uint32_t start_index, uint32_t count, double* values)
{
    TCP::CmdGetTABLE cmd(this);
    return runCommand(cmd, [&] { return cmd.send(start_index, count, values); });
}

ErrorCode Connection_TCP::WriteVrValue(uint32_t index, double value)
{
    TCP::CmdSetVr cmd(this);
    return runCommand(cmd, [&] { return cmd.send(index, value); });
}

ErrorCode Connection_TCP::WriteMultiVrValues(uint32_t start_index, uint32_t count, const double* values)
{
    TCP::CmdSetMultiVr cmd(this);
    return runCommand(cmd, [&] { return cmd.send(start_index, count, values); });
}

ErrorCode Connection_TCP::ReadVrValue(uint32_t index, double& value)
{
    TCP::CmdGetVr cmd(this);
    bool queued = false;
    const ErrorCode error = runCommand(
        cmd, [&] { return cmd.send(index); }, &queued);
    // Once the request went out the value is the reply's, even with an error.
    if (queued)
        value = cmd.getResult();
    return error;
}

ErrorCode Connection_TCP::ReadMultiVrValues(uint32_t start_index, uint32_t count, double* values)
{
    if (count == 0)
        return NoError;
    TCP::CmdGetMultiVr cmd(this);
    return runCommand(cmd, [&] { return cmd.send(start_index, count, values); });
}

ErrorCode Connection_TCP::WriteAxisParam(const std::string_view& param_name, int axis, double value)
{
    TCP::CmdSetAxisParam cmd(this);
    return runCommand(cmd, [&] { return cmd.send(param_name, axis, value); });
}

ErrorCode Connection_TCP::ReadAxisParam(const std::string_view& param_name, int axis, double& result)
{
    TCP::CmdGetAxisParam cmd(this);
    bool queued = false;
    const ErrorCode error = runCommand(
        cmd, [&] { return cmd.send(param_name, axis); }, &queued);
    if (queued)
        result = cmd.getResult();
    return error;
}

ErrorCode Connection_TCP::InvertIN(uint32_t input, bool invert)
{
    TCP::CmdInvertIn cmd(this);
    return runCommand(cmd, [&] { return cmd.send(input, invert); });
}

// No request of the TCP command set carries these: they send nothing.
ErrorCode Connection_TCP::SetMultiAxisBase(const int* /*axis*/, uint32_t /*count*/) { return Fail; }
ErrorCode Connection_TCP::StopProgram(const char* /*program_name*/, int /*process_number*/) { return Fail; }
ErrorCode Connection_TCP::StopProgramByName(const char* /*program_name*/) { return Fail; }
ErrorCode Connection_TCP::FrameGroup(int /*group*/, char* /*result_buff*/, size_t /*buff_size*/) { return Fail; }
ErrorCode Connection_TCP::SetFrameGroup(int /*group*/, int /*table_offset*/, const int* /*axis*/, size_t /*axis_count*/)
{
    return Fail;
}

ErrorCode Connection_TCP::Dir(void* handler_context, ReportControllerFileCallback handler)
{
    TCP::CmdDir cmd(this);
    return runCommand(cmd, [&] { return cmd.send(handler_context, std::move(handler)); });
}

ErrorCode Connection_TCP::WriteVrString(uint32_t vr, const std::string_view& str)
{
    TCP::CmdSetVrString cmd(this);
    return runCommand(cmd, [&] { return cmd.send(vr, str); });
}

ErrorCode Connection_TCP::ReadVrString(uint32_t vr, void* handler_context, StreamHandlerCallback handler,
                                       DataStreamPacket* buff)
{
    TCP::CmdGetVrString cmd(this);
    return runCommand(cmd, [&] { return cmd.send(vr, handler_context, std::move(handler), buff); });
}

ErrorCode Connection_TCP::Batch(BatchItem* items, uint32_t count)
{
    using TCP::BatchExchange;
    if (count == 0)
        return NoError;
    if (items == nullptr)
        return BadArgument;
    const ErrorCode refused = refusedBatch(items, count);
    if (refused != NoError)
        return refused;
    // One deadline for the batch as a whole, from here: writing the requests
    // and waiting for the last reply both count.
    OperationScope operation(_timing);
    const std::shared_ptr<ReaderPump> pump = readerPump();
    if (!pump)
        return BatchExchange::failAll(items, count, Fail);
    BatchExchange exchange(*this, items, count);
    return exchange.run(*pump);
}

ErrorCode Connection_TCP::refusedBatch(BatchItem* items, uint32_t count) const
{
    using TCP::BatchExchange;
    // Refused before anything is sent; every item says so.
    if (count > BatchExchange::MaxItems)
        return BatchExchange::failAll(items, count, BadArgument);
    const ErrorCode checked = BatchExchange::checkItems(items, count);
    if (checked != NoError)
        return checked;
    // As for every operation: not from the pump's own thread, which reads the
    // replies (a BatchStart's done callback must not call back either).
    if (onPumpThread())
        return BatchExchange::failAll(items, count, Fail);
    return NoError;
}

ErrorCode Connection_TCP::BatchStart(BatchItem* items, uint32_t count, BatchDone done, void* context)
{
    using TCP::BatchExchange;
    if (items == nullptr || count == 0)
        return BadArgument;
    const ErrorCode refused = refusedBatch(items, count);
    if (refused != NoError)
        return refused;
    OperationScope operation(_timing);
    const std::shared_ptr<ReaderPump> pump = readerPump();
    if (!pump)
        return BatchExchange::failAll(items, count, Fail);
    if (done == nullptr) {
        BatchExchange exchange(*this, items, count);
        return exchange.check(*pump);
    }
    // Owned by the pump's queue once launched; destroyed by its completion.
    std::unique_ptr<BatchExchange> exchange(new (std::nothrow) BatchExchange(*this, items, count));
    if (!exchange)
        return BatchExchange::failAll(items, count, Fail);
    const ErrorCode launched = exchange->launch(*pump, done, context);
    if (launched == NoError)
        static_cast<void>(exchange.release());
    return launched;
}

} // namespace Vantrel::HolvaneApi
