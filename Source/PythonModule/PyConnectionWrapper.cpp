#include "PythonModule/PyConnectionWrapper.h"

#include "PythonModule/SignalCheck.h"
#include "SharedLib/ConnectionFactory.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

namespace {

// Every context alive in the process, so that module shutdown can release
// those whose Connection objects are never destroyed.
std::mutex s_liveMutex;
std::vector<std::weak_ptr<LiveContext>> s_live;

void rememberContext(const std::shared_ptr<LiveContext>& context)
{
    std::lock_guard<std::mutex> lock(s_liveMutex);
    s_live.erase(std::remove_if(s_live.begin(), s_live.end(), [](const auto& weak) { return weak.expired(); }),
                 s_live.end());
    s_live.push_back(context);
}

// Room for this many string bytes per packet of a streamed VR string.
constexpr uint32_t VrStringPacketBytes = 4096;

} // namespace

bool PyControllerFile::operator==(const PyControllerFile& other) const
{
    return name == other.name && type == other.type && size == other.size && compiled_size == other.compiled_size &&
           autorun_process == other.autorun_process && editable == other.editable && autorun == other.autorun;
}

PyConnectionWrapper::PyConnectionWrapper() : _events(std::make_shared<EventSink>()) {}

// What may throw here (taking the interpreter lock, making None) fails only
// when the interpreter itself is failing; a destructor cannot report it.
PyConnectionWrapper::~PyConnectionWrapper() // NOLINT(bugprone-exception-escape)
{
    // Called by Python with the interpreter lock held. A live context is
    // released as DestroyContext would; its disconnect joins the plug-in's
    // reader thread, which may be waiting for the lock to deliver an event.
    if (PyGILState_Check() != 0)
        _events->setHandler(py::none());
    std::shared_ptr<LiveContext> context;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        context = std::move(_context);
    }
    if (!context)
        return;
    if (PyGILState_Check() != 0) {
        py::gil_scoped_release release;
        context->close();
        context.reset();
    } else {
        context->close();
    }
}

template <typename Operation>
ErrorCode PyConnectionWrapper::withLease(Operation&& operation)
{
    if (_events->deliveringOnThisThread())
        return Fail; // called from this connection's own event handler
    // A signal handler run while a call of this thread waits: the waiting
    // call may hold the connection's locks, so nothing may enter it here.
    if (SignalCheck::runningHandlers())
        return Fail;
    std::shared_ptr<LiveContext> context;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        context = _context;
    }
    const LiveContext::Lease lease = LiveContext::enter(context);
    if (!lease)
        return ConnectionContext;
    ErrorCode code = NoError;
    {
        const SignalCheck::Call call;
        code = operation(lease);
    }
    // Ctrl-C during the call: the plug-in gave the operation up; the signal's
    // exception goes to the caller instead of the code.
    SignalCheck::raiseIfInterrupted();
    return code;
}

LiveContext::Lease PyConnectionWrapper::lease()
{
    std::shared_ptr<LiveContext> context;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        context = _context;
    }
    return LiveContext::enter(context);
}

template <typename Operation>
ErrorCode PyConnectionWrapper::forward(Operation&& operation)
{
    return withLease([&](const LiveContext::Lease& lease) { return operation(lease.connection()); });
}

ErrorCode PyConnectionWrapper::CreateContext(ConnectionType type)
{
    if (_events->deliveringOnThisThread())
        return Fail;
    CreateParams params;
    params.connectionType = type;
    params.eventCallback = _events->callback();

    // A filled slot is refused as the factory refuses one: an Error event
    // and ConnectionContext.
    const auto refuse = [&params] {
        params.eventCallback(EventType::Error, ConnectionContext, {});
        return ConnectionContext;
    };
    bool filled = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        filled = _context != nullptr;
    }
    if (filled) // the event goes out with no lock held: its handler may call back
        return refuse();

    IConnection* connection = nullptr;
    const ErrorCode code = ConnectionFactory::Create(params, connection);
    if (code != NoError)
        return code;

    // A plug-in of level 2 or later lets a pending signal end a blocking call.
    int64_t level = 1;
    if (connection->ReadIntAttribute("InterfaceLevel", level) == NoError && level >= 2)
        connection->SetInterruptCheck(&SignalCheck::checkSignals, nullptr);

    auto context = std::make_shared<LiveContext>(connection, level);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_context) {
            _context = context;
            rememberContext(context);
            return NoError;
        }
    }
    // Another thread created a context for this object meanwhile: keep that one.
    context->close();
    return refuse();
}

ErrorCode PyConnectionWrapper::DestroyContext()
{
    if (_events->deliveringOnThisThread() || SignalCheck::runningHandlers())
        return Fail; // would join the thread that is running the handler
    std::shared_ptr<LiveContext> context;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        context = std::move(_context);
    }
    if (!context)
        return ConnectionContext;
    return context->close();
}

void PyConnectionWrapper::CloseAll()
{
    std::vector<std::weak_ptr<LiveContext>> live;
    {
        std::lock_guard<std::mutex> lock(s_liveMutex);
        live.swap(s_live);
    }
    for (const auto& weak : live) {
        if (auto context = weak.lock())
            context->close();
    }
}

bool PyConnectionWrapper::IsConnected()
{
    bool connected = false;
    forward([&](IConnection& c) {
        connected = c.IsConnected();
        return NoError;
    });
    return connected;
}

ErrorCode PyConnectionWrapper::Connect()
{
    return forward([](IConnection& c) { return c.Connect(); });
}

ErrorCode PyConnectionWrapper::Disconnect()
{
    return forward([](IConnection& c) { return c.Disconnect(); });
}

ErrorCode PyConnectionWrapper::WriteStringAttribute(const std::string_view& attrib_name, const std::string_view& value)
{
    return forward([&](IConnection& c) { return c.WriteStringAttribute(attrib_name, value); });
}

ErrorCode PyConnectionWrapper::WriteIntAttribute(const std::string_view& attrib_name, int64_t value)
{
    return forward([&](IConnection& c) { return c.WriteIntAttribute(attrib_name, value); });
}

std::pair<ErrorCode, std::string> PyConnectionWrapper::ReadStringAttribute(const std::string_view& attrib_name)
{
    std::string value;
    const ErrorCode code = forward([&](IConnection& c) {
        std::string_view view;
        const ErrorCode result = c.ReadStringAttribute(attrib_name, view);
        // The view points into the connection: copy it while it is certainly alive.
        if (result == NoError)
            value.assign(view.data(), view.size());
        return result;
    });
    return {code, std::move(value)};
}

std::pair<ErrorCode, int64_t> PyConnectionWrapper::ReadIntAttribute(const std::string_view& attrib_name)
{
    int64_t value = 0;
    const ErrorCode code = forward([&](IConnection& c) { return c.ReadIntAttribute(attrib_name, value); });
    return {code, value};
}

ErrorCode PyConnectionWrapper::Ex()
{
    return forward([](IConnection& c) { return c.Ex(); });
}

ErrorCode PyConnectionWrapper::Ex(int mode)
{
    return forward([&](IConnection& c) { return c.Ex(mode); });
}

ErrorCode PyConnectionWrapper::Cancel(int mode)
{
    return forward([&](IConnection& c) { return c.Cancel(mode); });
}

ErrorCode PyConnectionWrapper::Cancel(int mode, int axis)
{
    return forward([&](IConnection& c) { return c.Cancel(mode, axis); });
}

ErrorCode PyConnectionWrapper::Execute(const std::string_view& command)
{
    return forward([&](IConnection& c) { return c.Execute(command); });
}

ErrorCode PyConnectionWrapper::SetAxisBase(int axis)
{
    return forward([&](IConnection& c) { return c.SetAxisBase(axis); });
}

ErrorCode PyConnectionWrapper::SetMultiAxisBase(const int* axis, uint32_t count, size_t available)
{
    return forward([&](IConnection& c) { return count > available ? BadArgument : c.SetMultiAxisBase(axis, count); });
}

ErrorCode PyConnectionWrapper::Datum(uint32_t sequence, int axis)
{
    return forward([&](IConnection& c) { return c.Datum(sequence, axis); });
}

ErrorCode PyConnectionWrapper::Forward(int axis)
{
    return forward([&](IConnection& c) { return c.Forward(axis); });
}

ErrorCode PyConnectionWrapper::Reverse(int axis)
{
    return forward([&](IConnection& c) { return c.Reverse(axis); });
}

ErrorCode PyConnectionWrapper::Move(Motion motion, double pos, int axis)
{
    return forward([&](IConnection& c) {
        switch (motion) {
        case Motion::DefPos: return c.DefPos(pos, axis);
        case Motion::MoveRel: return c.MoveRel(pos, axis);
        case Motion::MoveRelSp: return c.MoveRelSp(pos, axis);
        case Motion::MoveAbs: return c.MoveAbs(pos, axis);
        case Motion::MoveAbsSp: return c.MoveAbsSp(pos, axis);
        }
        return BadArgument;
    });
}

ErrorCode PyConnectionWrapper::Move(Motion motion, const std::vector<double>& positions)
{
    if (positions.size() > static_cast<size_t>(INT32_MAX))
        return BadArgument;
    const double* pos = positions.data();
    const int count = static_cast<int>(positions.size());
    return forward([&](IConnection& c) {
        switch (motion) {
        case Motion::DefPos: return c.DefPos(pos, count);
        case Motion::MoveRel: return c.MoveRel(pos, count);
        case Motion::MoveRelSp: return c.MoveRelSp(pos, count);
        case Motion::MoveAbs: return c.MoveAbs(pos, count);
        case Motion::MoveAbsSp: return c.MoveAbsSp(pos, count);
        }
        return BadArgument;
    });
}

ErrorCode PyConnectionWrapper::writeValue(WriteOne write, uint32_t index, double value)
{
    return forward([&](IConnection& c) { return (c.*write)(index, value); });
}

ErrorCode PyConnectionWrapper::writeValues(WriteBlock write, uint32_t start_index, uint32_t count, const double* values,
                                           size_t available)
{
    return forward(
        [&](IConnection& c) { return count > available ? BadArgument : (c.*write)(start_index, count, values); });
}

std::pair<ErrorCode, double> PyConnectionWrapper::readValue(ReadOne read, uint32_t index)
{
    double value = 0.0;
    const ErrorCode code = forward([&](IConnection& c) { return (c.*read)(index, value); });
    return {code, value};
}

ErrorCode PyConnectionWrapper::readValues(ReadBlock read, uint32_t start_index, uint32_t count, double* values,
                                          size_t available)
{
    return forward(
        [&](IConnection& c) { return count > available ? BadArgument : (c.*read)(start_index, count, values); });
}

ErrorCode PyConnectionWrapper::WriteTableValue(uint32_t index, double value)
{
    return writeValue(&IConnection::WriteTableValue, index, value);
}

ErrorCode PyConnectionWrapper::WriteMultiTableValues(uint32_t start_index, uint32_t count, const double* values,
                                                     size_t available)
{
    return writeValues(&IConnection::WriteMultiTableValues, start_index, count, values, available);
}

std::pair<ErrorCode, double> PyConnectionWrapper::ReadTableValue(uint32_t index)
{
    return readValue(&IConnection::ReadTableValue, index);
}

ErrorCode PyConnectionWrapper::ReadMultiTableValues(uint32_t start_index, uint32_t count, double* values,
                                                    size_t available)
{
    return readValues(&IConnection::ReadMultiTableValues, start_index, count, values, available);
}

ErrorCode PyConnectionWrapper::WriteVrValue(uint32_t index, double value)
{
    return writeValue(&IConnection::WriteVrValue, index, value);
}

ErrorCode PyConnectionWrapper::WriteMultiVrValues(uint32_t start_index, uint32_t count, const double* values,
                                                  size_t available)
{
    return writeValues(&IConnection::WriteMultiVrValues, start_index, count, values, available);
}

std::pair<ErrorCode, double> PyConnectionWrapper::ReadVrValue(uint32_t index)
{
    return readValue(&IConnection::ReadVrValue, index);
}

ErrorCode PyConnectionWrapper::ReadMultiVrValues(uint32_t start_index, uint32_t count, double* values, size_t available)
{
    return readValues(&IConnection::ReadMultiVrValues, start_index, count, values, available);
}

ErrorCode PyConnectionWrapper::WriteAxisParam(const std::string_view& param_name, int axis, double value)
{
    return forward([&](IConnection& c) { return c.WriteAxisParam(param_name, axis, value); });
}

std::pair<ErrorCode, double> PyConnectionWrapper::ReadAxisParam(const std::string_view& param_name, int axis)
{
    double value = 0.0;
    const ErrorCode code = forward([&](IConnection& c) { return c.ReadAxisParam(param_name, axis, value); });
    return {code, value};
}

ErrorCode PyConnectionWrapper::InvertIN(uint32_t input, bool invert)
{
    return forward([&](IConnection& c) { return c.InvertIN(input, invert); });
}

ErrorCode PyConnectionWrapper::Batch(std::vector<BatchItem>& items)
{
    bool called = false;
    const ErrorCode code = withLease([&](const LiveContext::Lease& lease) {
        // A plug-in of the first interface level has no Batch slot: calling
        // it would run past the end of its table.
        if (lease.interfaceLevel() < 2)
            return Fail;
        if (items.size() > UINT32_MAX)
            return BadArgument;
        called = true;
        return lease.connection().Batch(items.data(), static_cast<uint32_t>(items.size()));
    });
    // Not carried out at all: every item says so.
    if (!called) {
        for (BatchItem& item : items)
            item.error = code;
    }
    return code;
}

std::pair<ErrorCode, std::vector<PyControllerFile>> PyConnectionWrapper::Dir()
{
    std::vector<PyControllerFile> files;
    const ErrorCode code = forward([&](IConnection& c) {
        // Runs on the plug-in's reader thread while this thread waits.
        return c.Dir(&files, [](void* context, const ControllerFileInfo& info) {
            PyControllerFile file;
            file.name.assign(info.szName, strnlen(info.szName, sizeof(info.szName)));
            file.type = info.type;
            file.size = info.size;
            file.compiled_size = info.compiled_size;
            file.autorun_process = info.autorun_process;
            file.editable = info.editable != 0;
            file.autorun = info.autorun != 0;
            static_cast<std::vector<PyControllerFile>*>(context)->push_back(std::move(file));
        });
    });
    return {code, std::move(files)};
}

ErrorCode PyConnectionWrapper::WriteVrString(uint32_t vr, const std::string_view& text)
{
    return forward([&](IConnection& c) { return c.WriteVrString(vr, text); });
}

std::pair<ErrorCode, std::string> PyConnectionWrapper::ReadVrString(uint32_t vr)
{
    // The packet record is declared with 8 data bytes; the plug-in may fill
    // buff_length of them, so the storage behind it is made that large.
    constexpr size_t storage_bytes = sizeof(DataStreamPacket) + VrStringPacketBytes;
    std::vector<uint64_t> storage((storage_bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    auto* packet = new (storage.data()) DataStreamPacket();
    packet->buff_length = VrStringPacketBytes;

    std::string text;
    const ErrorCode code = forward([&](IConnection& c) {
        return c.ReadVrString(
            vr, &text,
            [](void* context, DataStreamPacket* received) {
                if (received == nullptr)
                    return;
                const uint32_t length = std::min(received->data_length, received->buff_length);
                static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(received->buff), length);
            },
            packet);
    });
    return {code, std::move(text)};
}

} // namespace Vantrel::HolvaneApi
