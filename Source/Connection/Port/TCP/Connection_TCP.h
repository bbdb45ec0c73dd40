#pragma once

#include "Connection/Port/TCP/Port_TCP.h"
#include "Connection/Port/TCP/PushbackPort.h"
#include "SharedLib/ConnectionBase.h"
#include "SharedLib/CreateParameters.h"
#include "SharedLib/ObjectPool.h"
#include "SharedLib/ReaderPump.h"
#include "SharedLib/TimingPolicy.h"
#include "SharedLib/Token.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace Vantrel::HolvaneApi {

// Host used when TCP_HostName is not set.
extern const char* const tcp_default_hostname;

// IConnection for a controller reached over TCP. The lifecycle (attributes,
// Connect, Disconnect, services for the commands) lives in Connection_TCP.cpp;
// the controller operations in Connection_TCP_Operations.cpp.
//
// The reader pump is held by shared_ptr: every operation takes its own
// reference (readerPump()), so Disconnect on another thread never frees the
// pump under it.
//
// What a call gets when the link is gone: one that finds it down sends
// nothing and gets Fail (no pump: before Connect, after Disconnect or a failed
// Connect) or the EBADF code (the link was lost); one whose request went out
// and whose link was then lost gets the loss's code (Timeout, or the socket's
// code, or ECONNABORTED when the caller closed it), as do the calls queued
// behind it. Why the link went is the read-only attribute LinkLossCause. A
// call made while another thread's Connect is under way waits for it.
class Connection_TCP : public ConnectionBase {
public:
    static constexpr uint16_t DefaultPort = 3240;
    static constexpr uint32_t MutexPoolSize = 8;

    explicit Connection_TCP(const CreateParams& params);
    ~Connection_TCP() override;
    Connection_TCP(const Connection_TCP&) = delete;
    Connection_TCP& operator=(const Connection_TCP&) = delete;

    // --- IConnection, in its order -----------------------------------------
    bool IsConnected() const override;
    ErrorCode Connect() override;
    ErrorCode Disconnect() override;
    ErrorCode WriteStringAttribute(const std::string_view& attrib_name, const std::string_view& value) override;
    ErrorCode WriteIntAttribute(const std::string_view& attrib_name, int64_t value) override;
    ErrorCode ReadStringAttribute(const std::string_view& attrib_name, std::string_view& value) override;
    ErrorCode ReadIntAttribute(const std::string_view& attrib_name, int64_t& value) override;
    ErrorCode Ex() override;
    ErrorCode Ex(int mode) override;
    ErrorCode Cancel(int mode) override;
    ErrorCode Cancel(int mode, int axis) override;
    ErrorCode Execute(const std::string_view& command) override;
    ErrorCode SetAxisBase(int axis) override;
    ErrorCode SetMultiAxisBase(const int* axis, uint32_t count) override;
    ErrorCode Datum(uint32_t sequence, int axis) override;
    ErrorCode DefPos(double pos, int axis) override;
    ErrorCode DefPos(const double* pos, int pos_count) override;
    ErrorCode Forward(int axis) override;
    ErrorCode Reverse(int axis) override;
    ErrorCode MoveRel(double pos, int axis) override;
    ErrorCode MoveRel(const double* pos, int pos_count) override;
    ErrorCode MoveRelSp(double pos, int axis) override;
    ErrorCode MoveRelSp(const double* pos, int pos_count) override;
    ErrorCode MoveAbs(double pos, int axis) override;
    ErrorCode MoveAbs(const double* pos, int pos_count) override;
    ErrorCode MoveAbsSp(double pos, int axis) override;
    ErrorCode MoveAbsSp(const double* pos, int pos_count) override;
    ErrorCode WriteTableValue(uint32_t index, double value) override;
    ErrorCode WriteMultiTableValues(uint32_t start_index, uint32_t count, const double* values) override;
    ErrorCode ReadTableValue(uint32_t index, double& value) override;
    ErrorCode ReadMultiTableValues(uint32_t start_index, uint32_t count, double* values) override;
    ErrorCode WriteVrValue(uint32_t index, double value) override;
    ErrorCode WriteMultiVrValues(uint32_t start_index, uint32_t count, const double* values) override;
    ErrorCode ReadVrValue(uint32_t index, double& value) override;
    ErrorCode ReadMultiVrValues(uint32_t start_index, uint32_t count, double* values) override;
    ErrorCode WriteAxisParam(const std::string_view& param_name, int axis, double value) override;
    ErrorCode ReadAxisParam(const std::string_view& param_name, int axis, double& result) override;
    ErrorCode InvertIN(uint32_t input, bool invert) override;
    ErrorCode StopProgram(const char* program_name, int process_number) override;
    ErrorCode StopProgramByName(const char* program_name) override;
    ErrorCode FrameGroup(int group, char* result_buff, size_t buff_size) override;
    ErrorCode SetFrameGroup(int group, int table_offset, const int* axis, size_t axis_count) override;
    ErrorCode Dir(void* handler_context, ReportControllerFileCallback handler) override;
    ErrorCode WriteVrString(uint32_t vr, const std::string_view& str) override;
    ErrorCode ReadVrString(uint32_t vr, void* handler_context, StreamHandlerCallback handler,
                           DataStreamPacket* buff) override;
    void DeleteMe() override;
    ErrorCode Batch(BatchItem* items, uint32_t count) override;
    void SetInterruptCheck(InterruptCheck check, void* context) override;
    ErrorCode BatchStart(BatchItem* items, uint32_t count, BatchDone done, void* context) override;

    // --- ConnectionBase ----------------------------------------------------
    void setWriteSniffer(ISniffer* sniffer) override;
    void setReadSniffer(ISniffer* sniffer) override;

    // --- Services for the commands -----------------------------------------
    Token* tokenTable() const { return _tokenTable.get(); }
    // Every time limit of this connection (attributes TCP_Timeout and kin).
    const TimingPolicy& timing() const { return _timing; }
    // The longest wait for the next bytes of a reply (TCP_Timeout).
    uint32_t replyTimeoutMs() const { return _timing.replyTimeoutMs(); }
    // The socket itself. Replies are read through the read services below,
    // never from here, so that bytes put back are read first.
    Port_TCP& port() { return _port; }
    std::mutex* getCachedSyncObject() { return _mutex_pool.get_element(); }
    void returnCachedSyncObject(std::mutex* element) { _mutex_pool.return_element(element); }
    // Bytes of one number in the controller's format; 0 when not known.
    uint32_t getFloatSize() const;
    // Where commands put their trace lines (attribute TCP_Trace): nowhere,
    // standard output, or the event callback as Message events (code 0), for
    // callers whose standard output belongs to someone else.
    enum TraceMode : int64_t { TraceOff = 0, TraceToStdout = 1, TraceToEvents = 2 };
    TraceMode traceMode() const { return _traceMode.load(std::memory_order_relaxed); }
    bool traceEnabled() const { return traceMode() != TraceOff; }

    // Reads a system variable through the pump; value is set only on success.
    ErrorCode getSystemVariable(Token::KnownTokens variable, double& value);

    // Writes the whole request or fails (the socket gets up to the reply
    // time-out in all to take it); bytes_written is what was sent. A request cut short closes the
    // port, since the controller holds half of it. Seen by the write sniffer.
    ErrorCode WriteBytes(const char* buffer, size_t bytes_to_write, size_t& bytes_written);
    // Like WriteBytes but never shown to the write sniffer: for the few bytes
    // the pump thread sends while reading a reply, which belong to no request
    // trace. On a lost link it fails with the loss's code, as a read would:
    // the reply's request went out.
    ErrorCode WriteControlBytes(const char* buffer, size_t bytes_to_write);
    // Exactly count bytes; each wait at most timeout_milliseconds.
    ErrorCode ReadBytes(char* buffer, size_t count, uint32_t timeout_milliseconds);
    // One read of at most count bytes; 0 bytes with NoError: the peer closed.
    ErrorCode ReadBytes(char* buffer, size_t count, size_t& bytes_read, uint32_t timeout_milliseconds);
    // Skips bytes up to and including the next line feed, within timeout_ms.
    ErrorCode IgnoreLine(int timeout_ms);
    // One read like ReadBytes, but not shown to the read sniffer: for a reply
    // reader that may read past its reply's end. It shows its own bytes with
    // showRead() and hands the rest back with putBack().
    ErrorCode ReadBytesUnshown(char* buffer, size_t count, size_t& bytes_read, uint32_t timeout_milliseconds);
    void showRead(const char* data, size_t count) { _reads.show(data, count); }
    // Bytes read past the end of a reply: every read service serves them
    // before the socket, in order. At most one read's worth
    // (PushbackPort::Capacity); false, and nothing kept, beyond that.
    // Pump thread only.
    bool putBack(const char* data, size_t count) { return _reads.putBack(data, count); }
    // The simple reply on `port`: value, then controller error number. A
    // status that is not a finite number gives BadResponse.
    ErrorCode GetResponse(Port& port, double* pvalue, uint16_t* pcontrollerError);
    // The same on the connection's own port; a failed read abandons the
    // stream (the reply's end is unknown), a controller error does not.
    ErrorCode GetResponse(double* pvalue, uint16_t* pcontrollerError);
    // Whether a simple reply with this outcome was read to its end: whole,
    // or with a controller error, or with a status that is no number.
    static bool replyEnded(ErrorCode error)
    {
        return error == NoError || errorBand(error) == ControllerBand || error == BadResponse;
    }

    // Called on the pump thread when a reply failed with `why` so that the
    // position in the stream is lost: closes the port as a lost link (no reply
    // within TCP_Timeout, or a reply out of form), so no late byte is read as
    // another reply. Commands queued behind then fail at once with `why`.
    // Nothing more when the port lost the link itself (a socket failure).
    void abandonStream(ErrorCode why);
    // The same with the cause told in full (a LinkLoss sentence).
    void abandonStream(ErrorCode why, const std::string& cause);
    // What a reply read meets once the link is gone: the loss's code.
    ErrorCode lostLinkCode() const { return _port.lostLinkCode(); }

    // The pump of the current link, or null; the reference keeps it alive.
    std::shared_ptr<ReaderPump> readerPump() const;
    // The pump an operation runs on. While another thread's Connect is under
    // way, waits for it within the calling operation's deadline and
    // interrupt check. Null when there is none (then the operation sends
    // nothing and returns Fail).
    std::shared_ptr<ReaderPump> operationPump();

    // The common pattern of an operation: Fail when there is no pump, else
    // queue `cmd` with `send` (a callable writing its request), wait for the
    // reply and return the command's error. `queued` (if given) tells whether
    // the command went out, i.e. whether its results are meaningful.
    // Called on the pump thread itself (from a handler or an event callback)
    // it returns Fail: the pump cannot wait for its own reply.
    // While another thread's Connect is under way it waits for that Connect
    // first (operationPump).
    template <typename Cmd, typename SendFn>
    ErrorCode runCommand(Cmd& cmd, SendFn&& send, bool* queued = nullptr);

    // Waits for a queued command as an operation waits for its reply: within
    // the deadline and interrupt check of the calling thread's operation.
    // When they end the wait first, the link is closed (the request is on the
    // wire), the pump lets go of the command, and the reason (Timeout, or
    // Fail for an interrupt) is returned; NoError once the command is ready.
    template <typename Cmd>
    ErrorCode awaitOrAbandon(Cmd& cmd);

    // True on the reader pump's thread of this connection.
    bool onPumpThread() const { return std::this_thread::get_id() == _pumpThread.load(); }

private:
    // Why Batch or BatchStart refuses these items before sending anything
    // (every item then says so), or NoError.
    ErrorCode refusedBatch(BatchItem* items, uint32_t count) const;
    // Stops the pump and closes the port, recording `code`, `cause` for a
    // link that was still open (calls waiting for its replies get `code`);
    // caller holds _lifecycleMutex.
    ErrorCode disconnectLocked(ErrorCode code, const std::string& cause);
    ErrorCode connectLocked();
    // Marks a Connect under way on this thread (or over), waking the calls
    // that wait for it.
    void setConnecting(bool connecting);
    // runCommand's queue-and-wait on a given pump. This is where the wait of
    // an operation is bounded: by its deadline (TCP_Deadline, measured from
    // the call, queueing included) and by its caller's interrupt check.
    template <typename Cmd, typename SendFn>
    ErrorCode runOn(ReaderPump& pump, Cmd& cmd, SendFn&& send, bool* queued = nullptr);
    // The wait of runOn: true once the command is ready; false when the
    // operation must end first (then `stop` says why).
    template <typename Cmd>
    static bool awaitReply(Cmd& cmd, ErrorCode& stop);
    // An operation ends before its reply was read: its request is on the
    // wire, so the stream position is lost and the link closes (lost to its
    // deadline, or closed by the caller's interrupt).
    void abandonOperation(ErrorCode stop);
    // getSystemVariable on a pump not yet published (the connect sequence).
    ErrorCode querySystemVariable(ReaderPump& pump, Token::KnownTokens variable, double& value);

    // What the pump watches between bursts of requests: the incoming bytes.
    // While idle, the pump waits on the socket and on a wake-up signal (an
    // event descriptor) in one poll, so a closed or failed link is noticed
    // with no call made, and a request wakes the pump as fast as before.
    // Right after a reply it waits the same way for the next reply's bytes;
    // a request queued meanwhile wakes it only when its reply's limit would
    // end before the watch does (a TCP_Timeout shorter than the watch).
    // The signal exists only while a pump runs: opened before it starts,
    // closed after it was joined, so an idle object holds no descriptor.
    class IncomingBytes final : public IReplyWatch {
    public:
        explicit IncomingBytes(Connection_TCP& connection) : _connection(connection) {}
        ~IncomingBytes() { closeSignal(); }
        IncomingBytes(const IncomingBytes&) = delete;
        IncomingBytes& operator=(const IncomingBytes&) = delete;
        void openSignal();
        void closeSignal();
        Wake awaitBytes(int timeout_ms) override;
        void queuedDuringWatch(TimingPolicy::Clock::time_point queued) override;
        void replyAwaitedSince(TimingPolicy::Clock::time_point since) override;
        Wake awaitIdle(int timeout_ms) override;
        void wake() override;
        void linkGone() override;

    private:
        Connection_TCP& _connection;
        // A caller may wake the pump just as a Disconnect closes the signal:
        // the descriptor is only written or closed under this mutex, so a
        // wake never reaches a number reused meanwhile. The pump itself
        // reads it without the mutex: it runs only while the signal is open.
        std::mutex _signalMutex;
        int _wakeFd = -1; // -1 when none (or none could be made)
        // When the awaitBytes in progress ends, as clock ticks; 0 when none.
        std::atomic<TimingPolicy::Clock::rep> _watchEnd{0};
    };

    TimingPolicy _timing;
    Port_TCP _port;
    // Every read of the connection goes through here, so that bytes put back
    // are read first; it also holds the read sniffer.
    PushbackPort _reads;
    IncomingBytes _incoming{*this};
    std::unique_ptr<Token> _tokenTable;
    mutable std::mutex _pumpMutex; // guards the _readerPump pointer itself and _connecting
    std::shared_ptr<ReaderPump> _readerPump;
    // A Connect is under way (on _connectingThread); _pumpChanged is
    // signalled when it ends.
    bool _connecting = false;
    std::atomic<std::thread::id> _connectingThread{};
    std::condition_variable _pumpChanged;
    // Id of the pump's worker while it runs; default (no thread) otherwise.
    std::atomic<std::thread::id> _pumpThread{};
    uint16_t _portNumber = 0;
    std::string _hostName;
    std::atomic<TraceMode> _traceMode{TraceToStdout};
    // What the last completed Connect learnt of the controller, for the
    // read-only attributes ControllerVersion, ControllerType and
    // ControllerNumberFormat; zero before the first.
    std::atomic<double> _controllerVersion{0.0};
    std::atomic<int> _controllerType{0};
    std::atomic<int> _numberFormat{0};
    std::mutex _lifecycleMutex;    // serialises Connect, Disconnect, destruction
    bool _connectComplete = false; // the last Connect ran to its end
    ObjectPool<std::mutex> _mutex_pool;
};

template <typename Cmd, typename SendFn>
ErrorCode Connection_TCP::runCommand(Cmd& cmd, SendFn&& send, bool* queued)
{
    if (queued)
        *queued = false;
    if (onPumpThread())
        return Fail;
    // The deadline runs from here: a wait for the pump counts.
    OperationScope operation(_timing);
    const std::shared_ptr<ReaderPump> pump = operationPump();
    if (!pump)
        return Fail;
    return runOn(*pump, cmd, std::forward<SendFn>(send), queued);
}

template <typename Cmd, typename SendFn>
ErrorCode Connection_TCP::runOn(ReaderPump& pump, Cmd& cmd, SendFn&& send, bool* queued)
{
    OperationScope operation(_timing);
    const ErrorCode error = pump.queueCommand(&cmd, std::forward<SendFn>(send));
    if (error != NoError)
        return error;
    if (queued)
        *queued = true;
    ErrorCode stop = NoError;
    if (awaitReply(cmd, stop))
        return cmd.getError();
    // The request is written and its reply not read: whatever comes later
    // could be taken for another request's reply. Closing the link makes
    // the pump give this command up at once (and those queued behind it);
    // it must be done with the command before it leaves this stack.
    abandonOperation(stop);
    cmd.waitReady();
    return stop;
}

template <typename Cmd>
ErrorCode Connection_TCP::awaitOrAbandon(Cmd& cmd)
{
    ErrorCode stop = NoError;
    if (awaitReply(cmd, stop))
        return NoError;
    abandonOperation(stop);
    cmd.waitReady();
    return stop;
}

template <typename Cmd>
bool Connection_TCP::awaitReply(Cmd& cmd, ErrorCode& stop)
{
    OperationScope* operation = OperationScope::current();
    // Nothing to bound: the readers bound their own waits.
    if (operation == nullptr || operation->boundWaitMs(TimingPolicy::NoLimit) == TimingPolicy::NoLimit) {
        cmd.waitReady();
        return true;
    }
    for (;;) {
        if (cmd.waitReadyFor(operation->boundWaitMs(TimingPolicy::NoLimit)))
            return true;
        stop = operation->stopReason();
        // Asked under the command's mutex: the pump sets the flag and then
        // notifies, so a flag seen without the mutex may belong to a command
        // still being notified, and this stack frame (the command) would go.
        if (stop != NoError)
            return cmd.waitReadyFor(0);
    }
}

} // namespace Vantrel::HolvaneApi
