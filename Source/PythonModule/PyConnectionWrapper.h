#pragma once

#include "PythonModule/EventSink.h"
#include "PythonModule/LiveContext.h"

#include "SharedLib/IConnection.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Vantrel::HolvaneApi {

// One file of the controller's directory, as handed to Python.
struct PyControllerFile {
    std::string name;
    int32_t type = 0;
    uint32_t size = 0;
    uint32_t compiled_size = 0;
    int32_t autorun_process = -1;
    bool editable = false;
    bool autorun = false;

    bool operator==(const PyControllerFile& other) const;
};

// The native side of the Python class `Connection`. Every member runs without
// the interpreter lock (the bindings release it), so several Python threads
// may use one object at once; members that build Python objects live in the
// bindings.
class PyConnectionWrapper {
public:
    PyConnectionWrapper();
    ~PyConnectionWrapper(); // NOLINT(bugprone-exception-escape): see the definition
    PyConnectionWrapper(const PyConnectionWrapper&) = delete;
    PyConnectionWrapper& operator=(const PyConnectionWrapper&) = delete;

    ErrorCode CreateContext(ConnectionType type);
    ErrorCode DestroyContext();

    bool IsConnected();
    ErrorCode Connect();
    ErrorCode Disconnect();

    ErrorCode WriteStringAttribute(const std::string_view& attrib_name, const std::string_view& value);
    ErrorCode WriteIntAttribute(const std::string_view& attrib_name, int64_t value);
    std::pair<ErrorCode, std::string> ReadStringAttribute(const std::string_view& attrib_name);
    std::pair<ErrorCode, int64_t> ReadIntAttribute(const std::string_view& attrib_name);

    // The operations that take a pointer to values also take `available`, the
    // number of values the caller actually gave: a count beyond it is refused
    // with BadArgument before the plug-in could read or write past them.
    ErrorCode Ex();
    ErrorCode Ex(int mode);
    ErrorCode Cancel(int mode);
    ErrorCode Cancel(int mode, int axis);
    ErrorCode Execute(const std::string_view& command);
    ErrorCode SetAxisBase(int axis);
    ErrorCode SetMultiAxisBase(const int* axis, uint32_t count, size_t available);
    ErrorCode Datum(uint32_t sequence, int axis);
    ErrorCode Forward(int axis);
    ErrorCode Reverse(int axis);

    // The motion operations that take one value and an axis, or a list of values.
    enum class Motion { DefPos, MoveRel, MoveRelSp, MoveAbs, MoveAbsSp };
    ErrorCode Move(Motion motion, double pos, int axis);
    ErrorCode Move(Motion motion, const std::vector<double>& positions);

    ErrorCode WriteTableValue(uint32_t index, double value);
    ErrorCode WriteMultiTableValues(uint32_t start_index, uint32_t count, const double* values, size_t available);
    std::pair<ErrorCode, double> ReadTableValue(uint32_t index);
    ErrorCode ReadMultiTableValues(uint32_t start_index, uint32_t count, double* values, size_t available);
    ErrorCode WriteVrValue(uint32_t index, double value);
    ErrorCode WriteMultiVrValues(uint32_t start_index, uint32_t count, const double* values, size_t available);
    std::pair<ErrorCode, double> ReadVrValue(uint32_t index);
    ErrorCode ReadMultiVrValues(uint32_t start_index, uint32_t count, double* values, size_t available);
    ErrorCode WriteAxisParam(const std::string_view& param_name, int axis, double value);
    std::pair<ErrorCode, double> ReadAxisParam(const std::string_view& param_name, int axis);
    ErrorCode InvertIN(uint32_t input, bool invert);

    // The items' outcomes are written into them. Fail, without calling the
    // plug-in, when its interface has no Batch.
    ErrorCode Batch(std::vector<BatchItem>& items);

    std::pair<ErrorCode, std::vector<PyControllerFile>> Dir();
    ErrorCode WriteVrString(uint32_t vr, const std::string_view& text);
    std::pair<ErrorCode, std::string> ReadVrString(uint32_t vr);

    // The live context for an operation that outlives one call (a recording):
    // empty when there is none or it is closing. Interpreter lock not needed.
    LiveContext::Lease lease();

    // Interpreter lock held.
    void SetEventHandler(const pybind11::object& handler) { _events->setHandler(handler); }

    // Releases every context still alive (module shutdown); interpreter lock not held.
    static void CloseAll();

private:
    // Runs operation(IConnection&) on the live context, or returns
    // ConnectionContext; withLease hands over the lease itself.
    template <typename Operation>
    ErrorCode forward(Operation&& operation);
    template <typename Operation>
    ErrorCode withLease(Operation&& operation);

    // VR and TABLE values are read and written alike; these serve both, given
    // the connection's member for the one or the other.
    using WriteOne = ErrorCode (IConnection::*)(uint32_t, double);
    using WriteBlock = ErrorCode (IConnection::*)(uint32_t, uint32_t, const double*);
    using ReadOne = ErrorCode (IConnection::*)(uint32_t, double&);
    using ReadBlock = ErrorCode (IConnection::*)(uint32_t, uint32_t, double*);
    ErrorCode writeValue(WriteOne write, uint32_t index, double value);
    ErrorCode writeValues(WriteBlock write, uint32_t start_index, uint32_t count, const double* values,
                          size_t available);
    std::pair<ErrorCode, double> readValue(ReadOne read, uint32_t index);
    ErrorCode readValues(ReadBlock read, uint32_t start_index, uint32_t count, double* values, size_t available);

    std::mutex _mutex; // guards _context
    std::shared_ptr<LiveContext> _context;
    const std::shared_ptr<EventSink> _events;
};

} // namespace Vantrel::HolvaneApi
