// A connection plug-in without a controller: records every call as text and
// answers from memory, so the Python module can be tested byte for byte
// without a network. Built in several modes that break the entry contract.
#include "SharedLib/IConnection.h"
#if defined(FAKE_LEVEL_1)
#include "IConnectionLevel1.h"
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Vantrel::HolvaneApi;

namespace {

std::mutex s_logMutex;
std::string s_log;
std::atomic<int> s_liveObjects{0};
std::atomic<int> s_inFlight{0};
std::atomic<int> s_maxInFlight{0};
// The interface level new objects report (0: the level they are built with).
std::atomic<int> s_claimedLevel{0};

std::string number(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string list(const double* values, size_t count)
{
    std::string text = "[";
    for (size_t i = 0; i < count; ++i)
        text += (i ? "," : "") + number(values[i]);
    return text + "]";
}

void record(const std::string& line)
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    s_log += line;
    s_log += '\n';
}

// Counts overlapping calls, to show that callers really run at once.
class InFlight {
public:
    InFlight()
    {
        const int now = ++s_inFlight;
        int seen = s_maxInFlight.load();
        while (now > seen && !s_maxInFlight.compare_exchange_weak(seen, now)) {
        }
    }
    ~InFlight() { --s_inFlight; }
};

#if defined(FAKE_LEVEL_1)
// Built against the first table: no Batch, no "InterfaceLevel".
using ConnectionInterface = Level1::IConnection;
#else
using ConnectionInterface = IConnection;
#endif

class FakeConnection final : public ConnectionInterface {
public:
    explicit FakeConnection(const CreateParams& params) : _events(params.eventCallback) { ++s_liveObjects; }
    ~FakeConnection() override { --s_liveObjects; }

    bool IsConnected() const override
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _connected;
    }

    ErrorCode Connect() override
    {
        InFlight in_flight;
        record("Connect");
        event(EventType::Message, 0, "Connected to fake");
        // "connect_ms" makes Connect wait like a slow network; Disconnect cuts it short.
        std::unique_lock<std::mutex> lock(_mutex);
        const auto wait = std::chrono::milliseconds(_ints["connect_ms"]);
        _disconnects = 0;
        if (_cv.wait_for(lock, wait, [this] { return _disconnects > 0; }))
            return Timeout;
        _connected = true;
        return _ints["connect_result"] != 0 ? static_cast<ErrorCode>(_ints["connect_result"]) : NoError;
    }

    ErrorCode Disconnect() override
    {
        record("Disconnect");
        std::lock_guard<std::mutex> lock(_mutex);
        _connected = false;
        ++_disconnects;
        _cv.notify_all();
        return _ints["disconnect_result"] != 0 ? static_cast<ErrorCode>(_ints["disconnect_result"]) : NoError;
    }

    ErrorCode WriteStringAttribute(const std::string_view& name, const std::string_view& value) override
    {
        record("WriteStringAttribute(" + std::string(name) + "," + std::string(value) + ")");
        std::lock_guard<std::mutex> lock(_mutex);
        _strings[std::string(name)] = std::string(value);
        return NoError;
    }

    ErrorCode WriteIntAttribute(const std::string_view& name, int64_t value) override
    {
        record("WriteIntAttribute(" + std::string(name) + "," + std::to_string(value) + ")");
        // Read-only: a stand-in must not claim slots it lacks.
        if (name == "InterfaceLevel")
            return BadArgument;
        std::lock_guard<std::mutex> lock(_mutex);
        _ints[std::string(name)] = value;
        return NoError;
    }

    ErrorCode ReadStringAttribute(const std::string_view& name, std::string_view& value) override
    {
        record("ReadStringAttribute(" + std::string(name) + ")");
        std::lock_guard<std::mutex> lock(_mutex);
        const auto found = _strings.find(std::string(name));
        if (found == _strings.end())
            return ConnectionUnknownAttrib;
        value = found->second;
        return NoError;
    }

    ErrorCode ReadIntAttribute(const std::string_view& name, int64_t& value) override
    {
        record("ReadIntAttribute(" + std::string(name) + ")");
#if !defined(FAKE_LEVEL_1)
        if (name == "InterfaceLevel") {
            // fake_claim_level makes it claim an older level (its table stays whole).
            value = s_claimedLevel.load() != 0 ? s_claimedLevel.load() : InterfaceLevel;
            return NoError;
        }
#endif
        std::lock_guard<std::mutex> lock(_mutex);
        const auto found = _ints.find(std::string(name));
        if (found == _ints.end())
            return ConnectionUnknownAttrib;
        value = found->second;
        return NoError;
    }

    ErrorCode Ex() override { return simple("Ex()"); }
    ErrorCode Ex(int mode) override { return simple("Ex(" + std::to_string(mode) + ")"); }
    ErrorCode Cancel(int mode) override { return simple("Cancel(" + std::to_string(mode) + ")"); }
    ErrorCode Cancel(int mode, int axis) override
    {
        return simple("Cancel(" + std::to_string(mode) + "," + std::to_string(axis) + ")");
    }

    ErrorCode Execute(const std::string_view& command) override
    {
        if (command == "events") {
            // One event from the calling thread and three from a thread of our own.
            event(EventType::Message, 0, "from caller");
            std::thread worker([this] {
                event(EventType::Error, 0x400000005, "from worker");
                event(EventType::Message, 7, std::string("bad \xff utf8"));
                event(EventType::Receive, 9, "last");
            });
            worker.join();
        }
        return simple("Execute(" + std::string(command) + ")");
    }

    ErrorCode SetAxisBase(int axis) override { return simple("SetAxisBase(" + std::to_string(axis) + ")"); }
    ErrorCode SetMultiAxisBase(const int* axis, uint32_t count) override
    {
        std::string text = "SetMultiAxisBase([";
        for (uint32_t i = 0; i < count; ++i)
            text += (i ? "," : "") + std::to_string(axis[i]);
        return simple(text + "]," + std::to_string(count) + ")");
    }
    ErrorCode Datum(uint32_t sequence, int axis) override
    {
        return simple("Datum(" + std::to_string(sequence) + "," + std::to_string(axis) + ")");
    }
    ErrorCode DefPos(double pos, int axis) override { return one("DefPos", pos, axis); }
    ErrorCode DefPos(const double* pos, int count) override { return many("DefPos", pos, count); }
    ErrorCode Forward(int axis) override { return simple("Forward(" + std::to_string(axis) + ")"); }
    ErrorCode Reverse(int axis) override { return simple("Reverse(" + std::to_string(axis) + ")"); }
    ErrorCode MoveRel(double pos, int axis) override { return one("MoveRel", pos, axis); }
    ErrorCode MoveRel(const double* pos, int count) override { return many("MoveRel", pos, count); }
    ErrorCode MoveRelSp(double pos, int axis) override { return one("MoveRelSp", pos, axis); }
    ErrorCode MoveRelSp(const double* pos, int count) override { return many("MoveRelSp", pos, count); }
    ErrorCode MoveAbs(double pos, int axis) override { return one("MoveAbs", pos, axis); }
    ErrorCode MoveAbs(const double* pos, int count) override { return many("MoveAbs", pos, count); }
    ErrorCode MoveAbsSp(double pos, int axis) override { return one("MoveAbsSp", pos, axis); }
    ErrorCode MoveAbsSp(const double* pos, int count) override { return many("MoveAbsSp", pos, count); }

    ErrorCode WriteTableValue(uint32_t index, double value) override
    {
        return simple("WriteTableValue(" + std::to_string(index) + "," + number(value) + ")");
    }
    ErrorCode WriteMultiTableValues(uint32_t start, uint32_t count, const double* values) override
    {
        return simple("WriteMultiTableValues(" + std::to_string(start) + "," + std::to_string(count) + "," +
                      list(values, count) + ")");
    }
    ErrorCode ReadTableValue(uint32_t index, double& value) override
    {
        value = index + 0.5;
        return simple("ReadTableValue(" + std::to_string(index) + ")");
    }
    ErrorCode ReadMultiTableValues(uint32_t start, uint32_t count, double* values) override
    {
        for (uint32_t i = 0; i < count; ++i)
            values[i] = start + i + 0.5;
        return simple("ReadMultiTableValues(" + std::to_string(start) + "," + std::to_string(count) + ")");
    }
    ErrorCode WriteVrValue(uint32_t index, double value) override
    {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _vr[index] = value;
        }
        return simple("WriteVrValue(" + std::to_string(index) + "," + number(value) + ")");
    }
    ErrorCode WriteMultiVrValues(uint32_t start, uint32_t count, const double* values) override
    {
        return simple("WriteMultiVrValues(" + std::to_string(start) + "," + std::to_string(count) + "," +
                      list(values, count) + ")");
    }
    ErrorCode ReadVrValue(uint32_t index, double& value) override
    {
        InFlight in_flight;
        if (index == 999) {
            // Stands for a controller that does not answer: returns when the
            // link is cut, or after "block_ms".
            std::unique_lock<std::mutex> lock(_mutex);
            const int disconnects = _disconnects;
            const bool cut = _cv.wait_for(lock, std::chrono::milliseconds(_ints["block_ms"]),
                                          [&] { return _disconnects != disconnects; });
            lock.unlock();
            record("ReadVrValue(999)");
            return cut ? Fail : Timeout;
        }
        {
            std::lock_guard<std::mutex> lock(_mutex);
            const auto found = _vr.find(index);
            value = found != _vr.end() ? found->second : index * 1.5;
        }
        return simple("ReadVrValue(" + std::to_string(index) + ")");
    }
    ErrorCode ReadMultiVrValues(uint32_t start, uint32_t count, double* values) override
    {
        for (uint32_t i = 0; i < count; ++i)
            values[i] = (start + i) * 1.5;
        return simple("ReadMultiVrValues(" + std::to_string(start) + "," + std::to_string(count) + ")");
    }
    ErrorCode WriteAxisParam(const std::string_view& name, int axis, double value) override
    {
        return simple("WriteAxisParam(" + std::string(name) + "," + std::to_string(axis) + "," + number(value) + ")");
    }
    ErrorCode ReadAxisParam(const std::string_view& name, int axis, double& result) override
    {
        result = axis * 10.0 + static_cast<double>(name.size());
        return simple("ReadAxisParam(" + std::string(name) + "," + std::to_string(axis) + ")");
    }
    ErrorCode InvertIN(uint32_t input, bool invert) override
    {
        return simple("InvertIN(" + std::to_string(input) + "," + (invert ? "true" : "false") + ")");
    }
    ErrorCode StopProgram(const char*, int) override { return Fail; }
    ErrorCode StopProgramByName(const char*) override { return Fail; }
    ErrorCode FrameGroup(int, char*, size_t) override { return Fail; }
    ErrorCode SetFrameGroup(int, int, const int*, size_t) override { return Fail; }

    ErrorCode Dir(void* context, ReportControllerFileCallback handler) override
    {
        ControllerFileInfo first;
        std::strcpy(first.szName, "PROG1");
        first.size = 100;
        first.compiled_size = 80;
        first.autorun_process = -1;
        first.type = 2;
        first.editable = 1;
        ControllerFileInfo second;
        std::memset(second.szName, 'N', 131);
        second.szName[131] = 0;
        second.size = 4000000000u;
        second.autorun_process = 3;
        second.autorun = 1;
        // Called on another thread, as a reader thread would.
        std::thread([&] {
            handler(context, first);
            handler(context, second);
        }).join();
        return simple("Dir");
    }

    ErrorCode WriteVrString(uint32_t vr, const std::string_view& text) override
    {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _strings["vr" + std::to_string(vr)] = std::string(text);
        }
        return simple("WriteVrString(" + std::to_string(vr) + "," + std::to_string(text.size()) + ")");
    }

    ErrorCode ReadVrString(uint32_t vr, void* context, StreamHandlerCallback handler, DataStreamPacket* buff) override
    {
        if (buff == nullptr || buff->buff_length == 0)
            return BadArgument;
        std::string text;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            text = _strings["vr" + std::to_string(vr)];
        }
        // Packets as the TCP plug-in cuts them: full ones, then the rest.
        const uint32_t length = static_cast<uint32_t>(text.size());
        if (length == 0) {
            buff->data_length = 0;
            buff->packet_count = 1;
            buff->packet_number = 1;
            handler(context, buff);
        } else {
            buff->packet_count = (buff->buff_length + length - 1) / buff->buff_length;
            uint32_t sent = 0;
            for (uint32_t n = 0; sent < length; ++n) {
                buff->packet_number = n;
                buff->data_length = std::min(length - sent, buff->buff_length);
                std::memcpy(buff->buff, text.data() + sent, buff->data_length);
                sent += buff->data_length;
                handler(context, buff);
            }
        }
        return simple("ReadVrString(" + std::to_string(vr) + "," + std::to_string(buff->buff_length) + ")");
    }

    void DeleteMe() override
    {
        record("DeleteMe");
#if !defined(FAKE_LEVEL_1)
        stopCompleter();
#endif
        delete this;
    }

#if !defined(FAKE_LEVEL_1)
    void SetInterruptCheck(InterruptCheck, void*) override { record("SetInterruptCheck"); }

    // Records the batch, then each item as the single operation it stands for.
    ErrorCode Batch(BatchItem* items, uint32_t count) override
    {
        record("Batch(" + std::to_string(count) + ")");
        return runItems(items, count);
    }

    // As Batch, then completes after "reply_us" microseconds on a thread of
    // its own, in order; with no callback only records the check.
    ErrorCode BatchStart(BatchItem* items, uint32_t count, BatchDone done, void* context) override
    {
        if (done == nullptr) {
            record("BatchCheck(" + std::to_string(count) + ")");
            for (uint32_t i = 0; i < count; ++i)
                items[i].error = NoError;
            return NoError;
        }
        record("BatchStart(" + std::to_string(count) + ")");
        const ErrorCode first = runItems(items, count);
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_connected)
            return Fail;
        const auto due = std::chrono::steady_clock::now() + std::chrono::microseconds(_ints["reply_us"]);
        _completions.push_back({due, done, context, first});
        if (!_completer.joinable())
            _completer = std::thread([this] { completeInOrder(); });
        _cv.notify_all();
        return NoError;
    }
#endif

private:
    struct stCompletion {
        std::chrono::steady_clock::time_point due;
        BatchDone done;
        void* context;
        ErrorCode first;
    };

    // Each item as the single operation it stands for; a block head stands
    // for the single reads of its run.
    ErrorCode runItems(BatchItem* items, uint32_t count)
    {
        ErrorCode first = NoError;
        for (uint32_t i = 0; i < count; ++i) {
            BatchItem& item = items[i];
            switch (item.kind) {
            case BatchItemKind::ReadVrValue: item.error = ReadVrValue(item.index, item.value); break;
            case BatchItemKind::WriteVrValue: item.error = WriteVrValue(item.index, item.value); break;
            case BatchItemKind::ReadTableValue: item.error = ReadTableValue(item.index, item.value); break;
            case BatchItemKind::ReadAxisParam:
                item.error = ReadAxisParam(item.param_name, item.axis, item.value);
                break;
            case BatchItemKind::WriteAxisParam:
                item.error = WriteAxisParam(item.param_name, item.axis, item.value);
                break;
            case BatchItemKind::ReadVrBlock:
            case BatchItemKind::ReadTableBlock: {
                record(std::string(item.kind == BatchItemKind::ReadVrBlock ? "VrBlock(" : "TableBlock(") +
                       std::to_string(item.index) + "," + std::to_string(item.axis) + ")");
                const uint32_t run = static_cast<uint32_t>(std::max(item.axis, 1));
                for (uint32_t k = 0; k < run && i + k < count; ++k) {
                    std::lock_guard<std::mutex> lock(_mutex);
                    items[i + k].value = item.kind == BatchItemKind::ReadVrBlock ? _vr[item.index + k] : 0.0;
                    items[i + k].error = static_cast<ErrorCode>(_ints["result"]);
                }
                i += run - 1;
                break;
            }
            default: item.error = BadArgument; break;
            }
            if (first == NoError)
                first = item.error;
        }
        return first;
    }

    void completeInOrder()
    {
        std::unique_lock<std::mutex> lock(_mutex);
        while (!_stopCompleter) {
            if (_completions.empty()) {
                _cv.wait(lock);
                continue;
            }
            const stCompletion next = _completions.front();
            if (std::chrono::steady_clock::now() < next.due && _connected) {
                _cv.wait_until(lock, next.due);
                continue;
            }
            _completions.erase(_completions.begin());
            lock.unlock();
            next.done(next.context, _connected ? next.first : Fail);
            lock.lock();
        }
        // Whatever is left is completed when the object goes.
        for (const stCompletion& left : _completions)
            left.done(left.context, Fail);
        _completions.clear();
    }

    void stopCompleter()
    {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _stopCompleter = true;
        }
        _cv.notify_all();
        if (_completer.joinable())
            _completer.join();
    }

private:
    ErrorCode simple(const std::string& line)
    {
        record(line);
        std::lock_guard<std::mutex> lock(_mutex);
        return static_cast<ErrorCode>(_ints["result"]);
    }
    ErrorCode one(const char* name, double pos, int axis)
    {
        return simple(std::string(name) + "(" + number(pos) + "," + std::to_string(axis) + ")");
    }
    ErrorCode many(const char* name, const double* pos, int count)
    {
        return simple(std::string(name) + list(pos, static_cast<size_t>(std::max(count, 0))));
    }
    void event(EventType type, uint64_t code, const std::string& text) const
    {
        if (_events)
            _events(type, code, text);
    }

    EventCallback _events;
    mutable std::mutex _mutex;
    std::condition_variable _cv;
    bool _connected = false;
    int _disconnects = 0;
    std::map<std::string, int64_t> _ints;
    std::map<std::string, std::string> _strings;
    std::map<uint32_t, double> _vr;
    std::vector<stCompletion> _completions;
    std::thread _completer;
    bool _stopCompleter = false;
};

} // namespace

// Inspection hooks for the tests (through ctypes).
extern "C" __attribute__((visibility("default"))) int fake_live_objects() { return s_liveObjects.load(); }
extern "C" __attribute__((visibility("default"))) int fake_max_in_flight() { return s_maxInFlight.exchange(0); }
extern "C" __attribute__((visibility("default"))) void fake_claim_level(int level) { s_claimedLevel.store(level); }
// Copies the call log (truncated to `size`) and clears it; returns its full length.
extern "C" __attribute__((visibility("default"))) size_t fake_take_log(char* buffer, size_t size)
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    const size_t length = s_log.size();
    if (buffer != nullptr && size > 0) {
        const size_t copied = std::min(length, size - 1);
        std::memcpy(buffer, s_log.data(), copied);
        buffer[copied] = 0;
    }
    s_log.clear();
    return length;
}

#if !defined(FAKE_MODE_NO_FACTORY)
extern "C" __attribute__((visibility("default"))) ErrorCode factory(const CreateParams& params,
                                                                    IConnection*& connection)
{
#if defined(FAKE_MODE_RECORDING)
    if (params.connectionType != ConnectionType::QUENTA)
        return ConnectionContext;
    // A level-1 object is handed over as an older plug-in would: its table
    // ends where the first interface ended.
    connection = reinterpret_cast<IConnection*>(static_cast<ConnectionInterface*>(new FakeConnection(params)));
    return NoError;
#elif defined(FAKE_MODE_FAIL_FILLED)
    connection = new FakeConnection(params);
    return Fail;
#elif defined(FAKE_MODE_OK_EMPTY)
    (void)params;
    (void)connection;
    return NoError;
#endif
}
#endif
