#include "Connection/Port/TCP/Connection_TCP.h"

#include "Connection/Port/TCP/Commands/CmdGetSysVar.h"
#include "Connection/Port/TCP/LinkLoss.h"
#include "SharedLib/Assert.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Vantrel::HolvaneApi {

// A private address: an unconfigured connection never reaches a public host.
const char* const tcp_default_hostname = "192.168.0.250";

namespace {

constexpr std::string_view AttribHostName = "TCP_HostName";
constexpr std::string_view AttribPort = "TCP_Port";
constexpr std::string_view AttribTrace = "TCP_Trace";
constexpr std::string_view AttribTimeout = "TCP_Timeout";
constexpr std::string_view AttribConnectTimeout = "TCP_ConnectTimeout";
constexpr std::string_view AttribDeadline = "TCP_Deadline";
constexpr std::string_view AttribKeepAlive = "TCP_KeepAlive";
constexpr std::string_view AttribNoDelay = "TCP_NoDelay";
constexpr std::string_view AttribInterfaceLevel = "InterfaceLevel";
constexpr std::string_view AttribControllerVersion = "ControllerVersion";
constexpr std::string_view AttribControllerType = "ControllerType";
constexpr std::string_view AttribNumberFormat = "ControllerNumberFormat";
constexpr std::string_view AttribLinkLossCause = "LinkLossCause";

// The integer attributes that belong to the timing policy.
bool isTimingAttribute(const std::string_view& name)
{
    return name == AttribTimeout || name == AttribConnectTimeout || name == AttribDeadline || name == AttribKeepAlive ||
           name == AttribNoDelay;
}

bool isIntAttribute(const std::string_view& name)
{
    return name == AttribPort || name == AttribTrace || name == AttribInterfaceLevel || name == AttribControllerType ||
           isTimingAttribute(name);
}

// The read-only attributes: what the connection learnt or met.
bool isControllerInfo(const std::string_view& name)
{
    return name == AttribControllerVersion || name == AttribControllerType || name == AttribNumberFormat ||
           name == AttribLinkLossCause;
}

const char* numberFormatName(int format)
{
    switch (format) {
    case ControllerCapabilities::tms320_floating_point_format: return "TMS320 32-bit";
    case ControllerCapabilities::ieee64_floating_point_format: return "IEEE 754 64-bit";
    default: return "unknown";
    }
}

// Why the connect sequence failed after the port opened, when no loss of the
// link says so: its deadline passed, its caller interrupted it, or `error`.
std::string connectFailure(const std::string& host, uint16_t port, ErrorCode error)
{
    const OperationScope* operation = OperationScope::current();
    if (error == Timeout && operation != nullptr && operation->ended())
        return LinkLoss::deadlinePassed(operation->deadlineMs());
    if (error == Fail && operation != nullptr && operation->ended())
        return LinkLoss::interruptedByCaller();
    return LinkLoss::connectFailed(host, port, error);
}

// Controller type as an int, truncated toward zero; 0 (rejected by the
// capabilities) for values that have no int form.
int controllerTypeFrom(double value)
{
    if (!std::isfinite(value) || value <= static_cast<double>(std::numeric_limits<int>::min()) - 1.0 ||
        value >= static_cast<double>(std::numeric_limits<int>::max()) + 1.0)
        return 0;
    return static_cast<int>(value);
}

} // namespace

Connection_TCP::Connection_TCP(const CreateParams& params)
    : ConnectionBase(EventCallback(params.eventCallback)), _port(_eventLogger), _reads(_port, _eventLogger),
      _mutex_pool(MutexPoolSize)
{
}

Connection_TCP::~Connection_TCP()
{
    Disconnect();
    _tokenTable.reset();
}

void Connection_TCP::DeleteMe() { delete this; }

bool Connection_TCP::IsConnected() const { return _port.isAlive(); }

void Connection_TCP::SetInterruptCheck(InterruptCheck check, void* context)
{
    _timing.setInterruptCheck(check, context);
}

// --- Attributes --------------------------------------------------------------

ErrorCode Connection_TCP::WriteStringAttribute(const std::string_view& attrib_name, const std::string_view& value)
{
    if (attrib_name == AttribHostName) {
        _hostName.assign(value.data(), value.size());
        return NoError;
    }
    if (isIntAttribute(attrib_name))
        return ConnectionWrongAttribType;
    if (isControllerInfo(attrib_name))
        return BadArgument; // read-only
    return ConnectionUnknownAttrib;
}

ErrorCode Connection_TCP::WriteIntAttribute(const std::string_view& attrib_name, int64_t value)
{
    if (attrib_name == AttribPort) {
        // Never cut to 16 bits: a typo must not reach another service.
        if (value < 0 || value > 65535)
            return BadArgument;
        _portNumber = static_cast<uint16_t>(value);
        return NoError;
    }
    if (attrib_name == AttribTrace) {
        // 0 and every other non-zero value keep their meaning (off, standard
        // output); 2 hands the lines to the event callback.
        _traceMode.store(value == 0 ? TraceOff : value == TraceToEvents ? TraceToEvents : TraceToStdout);
        return NoError;
    }
    bool accepted = false;
    if (attrib_name == AttribTimeout)
        accepted = _timing.setReplyTimeoutMs(value);
    else if (attrib_name == AttribConnectTimeout)
        accepted = _timing.setConnectTimeoutMs(value);
    else if (attrib_name == AttribDeadline)
        accepted = _timing.setDeadlineMs(value);
    else if (attrib_name == AttribKeepAlive)
        accepted = _timing.setKeepAliveS(value);
    else if (attrib_name == AttribNoDelay)
        accepted = _timing.setNoDelay(value);
    else if (attrib_name == AttribHostName)
        return ConnectionWrongAttribType;
    else if (attrib_name == AttribInterfaceLevel || isControllerInfo(attrib_name))
        return BadArgument; // read-only
    else
        return ConnectionUnknownAttrib;
    return accepted ? NoError : BadArgument;
}

ErrorCode Connection_TCP::ReadStringAttribute(const std::string_view& attrib_name, std::string_view& value)
{
    if (attrib_name == AttribHostName) {
        value = _hostName;
        return NoError;
    }
    if (attrib_name == AttribControllerVersion) {
        // The view stays valid until this thread reads the attribute again.
        thread_local char text[32];
        const int length = std::snprintf(text, sizeof text, "%g", _controllerVersion.load());
        value = std::string_view(text, length > 0 ? static_cast<size_t>(length) : 0);
        return NoError;
    }
    if (attrib_name == AttribNumberFormat) {
        value = numberFormatName(_numberFormat.load());
        return NoError;
    }
    if (attrib_name == AttribLinkLossCause) {
        // The view stays valid until this thread reads the attribute again.
        thread_local std::string cause;
        cause = _port.lossCause();
        value = cause;
        return NoError;
    }
    if (isIntAttribute(attrib_name))
        return ConnectionWrongAttribType;
    return ConnectionUnknownAttrib;
}

ErrorCode Connection_TCP::ReadIntAttribute(const std::string_view& attrib_name, int64_t& value)
{
    if (attrib_name == AttribPort)
        value = _portNumber;
    else if (attrib_name == AttribTrace)
        value = traceMode();
    else if (attrib_name == AttribTimeout)
        value = _timing.replyTimeoutAttribute();
    else if (attrib_name == AttribConnectTimeout)
        value = _timing.connectTimeoutAttribute();
    else if (attrib_name == AttribDeadline)
        value = _timing.deadlineAttribute();
    else if (attrib_name == AttribKeepAlive)
        value = _timing.keepAliveAttribute();
    else if (attrib_name == AttribNoDelay)
        value = _timing.noDelayAttribute();
    else if (attrib_name == AttribInterfaceLevel)
        value = InterfaceLevel;
    else if (attrib_name == AttribControllerType)
        value = _controllerType.load();
    else if (attrib_name == AttribHostName || attrib_name == AttribControllerVersion ||
             attrib_name == AttribNumberFormat || attrib_name == AttribLinkLossCause)
        return ConnectionWrongAttribType;
    else
        return ConnectionUnknownAttrib;
    return NoError;
}

// --- Lifecycle ---------------------------------------------------------------

ErrorCode Connection_TCP::Connect()
{
    // From a handler or an event callback on the pump thread: stopping the
    // pump there would wait for itself.
    if (onPumpThread())
        return Fail;
    std::lock_guard<std::mutex> lock(_lifecycleMutex);
    // The whole sequence (socket, token table, queries) is one operation.
    OperationScope operation(_timing);
    setConnecting(true);
    const ErrorCode result = connectLocked();
    setConnecting(false);
    return result;
}

void Connection_TCP::setConnecting(bool connecting)
{
    {
        std::lock_guard<std::mutex> lock(_pumpMutex);
        _connecting = connecting;
    }
    _connectingThread.store(connecting ? std::this_thread::get_id() : std::thread::id());
    if (!connecting)
        _pumpChanged.notify_all();
}

ErrorCode Connection_TCP::connectLocked()
{
    // Only a link whose connect sequence completed is kept: one that failed
    // after the port opened has an unsettled number format and is redone.
    if (_connectComplete && _port.isOpened() && _port.hostName() == _hostName && _port.portNumber() == _portNumber)
        return NoError;
    if (_port.isOpened() || readerPump())
        disconnectLocked(systemError(ECONNABORTED), LinkLoss::closedByCaller());

    const uint16_t port = _portNumber != 0 ? _portNumber : DefaultPort;
    const std::string host = _hostName.empty() ? std::string(tcp_default_hostname) : _hostName;
    Port_TCP::SocketOptions options;
    options.connectTimeoutMs = _timing.connectTimeoutMs();
    options.keepAliveS = _timing.keepAliveS();
    options.noDelay = _timing.noDelay();
    _port.setSocketOptions(options);
    // The port tells why it could not open (LinkLossCause).
    ErrorCode error = _reads.Open(host, port);
    if (error != NoError)
        return error;

    _tokenTable = std::make_unique<Token>(_eventLogger);
    error = _tokenTable->ReadTokenTable(_reads, std::chrono::milliseconds(_timing.replyTimeoutMs()));
    // The link went while the table came: the loss says why.
    if (error == TokenTable && !_port.isOpened())
        error = _port.lostLinkCode();
    if (error != NoError) {
        disconnectLocked(error, connectFailure(host, port, error));
        return error;
    }

    HOLVANE_ASSERT(_readerPump.get() == nullptr);
    // The pump is published only once the number format is settled: until
    // then other threads' operations wait for this Connect instead of having
    // requests encoded, or replies decoded, in a format about to change.
    auto pump = std::make_shared<ReaderPump>();
    _incoming.openSignal();
    pump->start(&_incoming);
    _pumpThread.store(pump->threadId());

    double fwVersion = 0.0;
    double controllerType = 0.0;
    error = querySystemVariable(*pump, Token::tVERSION, fwVersion);
    if (error == NoError)
        error = querySystemVariable(*pump, Token::tCONTROL, controllerType);
    if (error == NoError && (!std::isfinite(fwVersion) ||
                             !_tokenTable->SetControllerCapabilities(fwVersion, controllerTypeFrom(controllerType))))
        error = UnsupportedController;
    if (error != NoError) {
        // The link stays open for the caller to inspect or disconnect; it
        // carries no operations.
        pump->stop(_port.lostLinkCode());
        _incoming.closeSignal();
        _pumpThread.store(std::thread::id());
        _port.noteFailure(error, connectFailure(host, port, error));
        return error;
    }

    {
        std::lock_guard<std::mutex> lock(_pumpMutex);
        _readerPump = std::move(pump);
    }
    _controllerVersion.store(fwVersion);
    _controllerType.store(_tokenTable->controllerCapabilities().GetControllerType());
    _numberFormat.store(_tokenTable->controllerCapabilities().GetFloatingPointFormat());
    _connectComplete = true;
    return NoError;
}

ErrorCode Connection_TCP::Disconnect()
{
    if (onPumpThread())
        return Fail;
    std::lock_guard<std::mutex> lock(_lifecycleMutex);
    return disconnectLocked(systemError(ECONNABORTED), LinkLoss::closedByCaller());
}

ErrorCode Connection_TCP::disconnectLocked(ErrorCode code, const std::string& cause)
{
    _connectComplete = false;
    std::shared_ptr<ReaderPump> pump;
    {
        std::lock_guard<std::mutex> lock(_pumpMutex);
        pump.swap(_readerPump);
    }
    // Closing first wakes the pump out of a reply read and any writer out of
    // its wait, so stopping does not sit out their time-outs. Calls whose
    // requests went out get the link's end as their code, read or queued.
    _reads.discard();
    _port.closeLink(code, cause);
    if (pump)
        pump->stop(_port.lostLinkCode());
    // A pump stopped in the middle of a reply may have put bytes back.
    _reads.discard();
    _incoming.closeSignal();
    // Only now: the id of a joined thread may be given to a new one.
    _pumpThread.store(std::thread::id());
    return NoError;
}

std::shared_ptr<ReaderPump> Connection_TCP::operationPump()
{
    std::unique_lock<std::mutex> lock(_pumpMutex);
    // The Connect's own thread (an event handler of its) cannot wait for it.
    if (_readerPump || !_connecting || _connectingThread.load() == std::this_thread::get_id())
        return _readerPump;
    OperationScope* operation = OperationScope::current();
    while (!_readerPump && _connecting) {
        const int bound = operation ? operation->boundWaitMs(TimingPolicy::NoLimit) : TimingPolicy::NoLimit;
        if (bound == TimingPolicy::NoLimit)
            _pumpChanged.wait(lock);
        else
            _pumpChanged.wait_for(lock, std::chrono::milliseconds(bound));
        if (operation == nullptr || _readerPump || !_connecting)
            continue;
        // Asked without the lock: the interrupt check may run the caller's
        // signal handlers, which may call this connection.
        lock.unlock();
        const ErrorCode stop = operation->stopReason();
        lock.lock();
        // Nothing was sent: the call fails as on a link that is down.
        if (stop != NoError)
            return nullptr;
    }
    return _readerPump;
}

void Connection_TCP::IncomingBytes::openSignal()
{
    std::lock_guard<std::mutex> lock(_signalMutex);
    if (_wakeFd < 0)
        _wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void Connection_TCP::IncomingBytes::closeSignal()
{
    std::lock_guard<std::mutex> lock(_signalMutex);
    if (_wakeFd >= 0)
        ::close(_wakeFd);
    _wakeFd = -1;
}

IReplyWatch::Wake Connection_TCP::IncomingBytes::awaitBytes(int timeout_ms)
{
    // A closed port is no news here: a reply reader reports it when a
    // request needs the link.
    if (!_connection._port.isOpened())
        return Wake::Closed;
    // Never longer than a reply may take: a request queued meanwhile has its
    // reply awaited by this watch.
    const int limit = TimingPolicy::limitOf(_connection.replyTimeoutMs());
    const int watch = timeout_ms == TimingPolicy::NoLimit ? limit : std::min(timeout_ms, limit);
    PushbackPort& reads = _connection._reads;
    if (_wakeFd < 0)
        return reads.awaitBytes(watch);
    if (reads.pending() + reads.readAhead() > 0)
        return Wake::Bytes;
    _watchEnd.store((TimingPolicy::Clock::now() + std::chrono::milliseconds(watch)).time_since_epoch().count());
    const Wake wake = _connection._port.awaitReadable(_wakeFd, watch);
    _watchEnd.store(0);
    // Something to read: taken ahead (a look), or found to be the link's end.
    return wake == Wake::Bytes ? reads.awaitBytes(0) : wake;
}

void Connection_TCP::IncomingBytes::queuedDuringWatch(TimingPolicy::Clock::time_point queued)
{
    const TimingPolicy::Clock::rep end = _watchEnd.load();
    const auto replyEnd = queued + std::chrono::milliseconds(_connection.replyTimeoutMs());
    if (end != 0 && replyEnd.time_since_epoch().count() < end)
        wake();
}

void Connection_TCP::IncomingBytes::replyAwaitedSince(TimingPolicy::Clock::time_point since)
{
    _connection._reads.awaitedSince(since);
}

IReplyWatch::Wake Connection_TCP::IncomingBytes::awaitIdle(int timeout_ms)
{
    // Without a wake-up signal the pump sleeps on its queue as it always did.
    if (_wakeFd < 0)
        return Wake::Closed;
    return _connection._port.awaitClose(_wakeFd, timeout_ms);
}

void Connection_TCP::IncomingBytes::wake()
{
    std::lock_guard<std::mutex> lock(_signalMutex);
    if (_wakeFd < 0)
        return;
    const uint64_t one = 1;
    static_cast<void>(::write(_wakeFd, &one, sizeof one));
}

void Connection_TCP::IncomingBytes::linkGone()
{
    Port_TCP& port = _connection._port;
    // Only a link that really is gone: a watch that could not wait (no
    // wake-up signal) answers as if closed, and the pump then just sleeps
    // on its queue.
    if (port.isAlive())
        return;
    const int err = port.socketError();
    port.loseLink(systemError(err), port.causeOf(err));
}

void Connection_TCP::abandonOperation(ErrorCode stop)
{
    // The interrupted call itself returns Fail; the calls queued behind it
    // had their requests sent and learn that the caller closed the link.
    if (stop == Timeout)
        _port.loseLink(Timeout, LinkLoss::deadlinePassed(OperationScope::current()->deadlineMs()));
    else
        _port.loseLink(systemError(ECONNABORTED), LinkLoss::interruptedByCaller());
}

std::shared_ptr<ReaderPump> Connection_TCP::readerPump() const
{
    std::lock_guard<std::mutex> lock(_pumpMutex);
    return _readerPump;
}

// --- Sniffers ----------------------------------------------------------------

void Connection_TCP::setWriteSniffer(ISniffer* sniffer) { _port.setWriteSniffer(sniffer); }

void Connection_TCP::setReadSniffer(ISniffer* sniffer) { _reads.setReadSniffer(sniffer); }

// --- Services for the commands -------------------------------------------------

uint32_t Connection_TCP::getFloatSize() const
{
    if (!_tokenTable)
        return 0;
    uint32_t size = 0;
    if (_tokenTable->controllerCapabilities().NumberSize(size) != NoError)
        return 0;
    return size;
}

ErrorCode Connection_TCP::getSystemVariable(Token::KnownTokens variable, double& value)
{
    TCP::CmdGetSysVar cmd(this);
    const ErrorCode error = runCommand(cmd, [&cmd, variable] { return cmd.send(variable); });
    if (error == NoError)
        value = cmd.result();
    return error;
}

ErrorCode Connection_TCP::querySystemVariable(ReaderPump& pump, Token::KnownTokens variable, double& value)
{
    TCP::CmdGetSysVar cmd(this);
    const ErrorCode error = runOn(pump, cmd, [&cmd, variable] { return cmd.send(variable); });
    if (error == NoError)
        value = cmd.result();
    return error;
}

ErrorCode Connection_TCP::WriteBytes(const char* buffer, size_t bytes_to_write, size_t& bytes_written)
{
    return _port.WriteAll(buffer, bytes_to_write, bytes_written, _timing.replyTimeoutMs());
}

ErrorCode Connection_TCP::WriteControlBytes(const char* buffer, size_t bytes_to_write)
{
    size_t written = 0;
    const ErrorCode error = _port.WriteAll(buffer, bytes_to_write, written, _timing.replyTimeoutMs(), false);
    return error == systemError(EBADF) ? lostLinkCode() : error;
}

ErrorCode Connection_TCP::ReadBytes(char* buffer, size_t count, uint32_t timeout_milliseconds)
{
    if (!_tokenTable)
        return Fail;
    return _tokenTable->ReadBytes(buffer, count, timeout_milliseconds, _reads);
}

ErrorCode Connection_TCP::ReadBytes(char* buffer, size_t count, size_t& bytes_read, uint32_t timeout_milliseconds)
{
    bytes_read = 0;
    if (!_tokenTable)
        return Fail;
    return _tokenTable->ReadBytes(buffer, count, bytes_read, timeout_milliseconds, _reads);
}

ErrorCode Connection_TCP::ReadBytesUnshown(char* buffer, size_t count, size_t& bytes_read,
                                           uint32_t timeout_milliseconds)
{
    bytes_read = 0;
    if (!_tokenTable)
        return Fail;
    return _reads.ReadUnshown(buffer, count, bytes_read, timeout_milliseconds);
}

ErrorCode Connection_TCP::IgnoreLine(int timeout_ms)
{
    const TimingPolicy::Clock::time_point end = TimingPolicy::Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        char byte = 0;
        size_t got = 0;
        const ErrorCode error = _reads.Read(&byte, 1, got, static_cast<uint32_t>(TimingPolicy::msUntil(end)));
        if (error != NoError)
            return error;
        if (got == 1 && byte == '\n')
            return NoError;
        // The link closed before the line ended: what it lost says why.
        if (got == 0)
            return lostLinkCode();
        if (TimingPolicy::Clock::now() >= end)
            return Timeout;
    }
}

ErrorCode Connection_TCP::GetResponse(Port& port, double* pvalue, uint16_t* pcontrollerError)
{
    if (!_tokenTable)
        return Fail;
    const ControllerCapabilities& capabilities = _tokenTable->controllerCapabilities();
    double value = 0.0;
    const uint32_t timeout = _timing.replyTimeoutMs();
    ErrorCode error = capabilities.ReadNumber(value, port, timeout);
    if (error != NoError)
        return error;
    if (pvalue)
        *pvalue = value;
    double status = 0.0;
    error = capabilities.ReadNumber(status, port, timeout);
    if (error != NoError)
        return error;
    // Truncated toward zero, low 16 bits; done on the double so that values
    // beyond the int range keep their low bits instead of being undefined.
    if (!std::isfinite(status))
        return BadResponse;
    double low = std::fmod(std::trunc(status), 65536.0);
    if (low < 0)
        low += 65536.0;
    const uint16_t number = static_cast<uint16_t>(low);
    if (pcontrollerError)
        *pcontrollerError = number;
    return controllerError(number);
}

ErrorCode Connection_TCP::GetResponse(double* pvalue, uint16_t* pcontrollerError)
{
    const ErrorCode error = GetResponse(_reads, pvalue, pcontrollerError);
    // Any other failure leaves the reply's end unknown.
    if (!replyEnded(error) && error != Fail)
        abandonStream(error);
    return error;
}

void Connection_TCP::abandonStream(ErrorCode why)
{
    if (why == Timeout)
        abandonStream(why, LinkLoss::noReplyWithin(_timing.replyTimeoutMs()));
    else if (errorBand(why) == SystemBand)
        // A socket failure: the port lost the link itself, with its cause,
        // and this finds it closed.
        abandonStream(why, _port.causeOf(static_cast<int>(static_cast<uint32_t>(why))));
    else
        abandonStream(why, LinkLoss::malformedReply());
}

void Connection_TCP::abandonStream(ErrorCode why, const std::string& cause)
{
    _reads.discard();
    _port.loseLink(why, cause);
}

} // namespace Vantrel::HolvaneApi
