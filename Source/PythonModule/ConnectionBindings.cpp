#include "PythonModule/Bindings.h"
#include "PythonModule/PyConnectionWrapper.h"
#include "PythonModule/TextSignature.h"
#include "SharedLib/BatchItem.h"
#include "SharedLib/TimingPolicy.h"

#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

namespace {

using Wrapper = PyConnectionWrapper;
using Motion = PyConnectionWrapper::Motion;
using Release = py::call_guard<py::gil_scoped_release>;

// Doc strings that print the limits take them from where they are set.
std::string ms(int64_t value) { return std::to_string(value) + " ms"; }

const std::string& connectionDoc()
{
    static const std::string doc =
        "One connection context to one controller.\n\n"
        "Calls release the interpreter lock while they wait for the controller, so other threads run meanwhile, "
        "and several threads may share one Connection. Ctrl-C during a blocking call raises KeyboardInterrupt "
        "within about " +
        ms(TimingPolicy::InterruptSliceMs) +
        " (InterruptSliceMs; the call is abandoned and the link closes if its request was written). Time limits "
        "are the integer attributes TCP_Timeout, TCP_ConnectTimeout, TCP_Deadline and TCP_KeepAlive (see "
        "WriteIntAttribute). Leaving a `with` block or dropping the object releases the context.";
    return doc;
}

const std::string& connectDoc()
{
    static const std::string doc =
        "Connects to TCP_HostName:TCP_Port (default port 3240) within TCP_ConnectTimeout (default " +
        ms(TimingPolicy::DefaultConnectTimeoutMs) +
        "); the whole sequence within TCP_Deadline when one is set. Calls made on other threads meanwhile wait for "
        "it. Why it failed, or why a link was lost, is the attribute LinkLossCause.";
    return doc;
}

const std::string& writeIntAttributeDoc()
{
    static const std::string doc =
        "Sets an integer attribute: TCP_Port (0..65535); TCP_Trace (1 prints the hexadecimal trace on stdout, 0 "
        "silences it, 2 hands each line to the event handler as a Message event); TCP_Timeout (ms, default " +
        std::to_string(TimingPolicy::DefaultReplyTimeoutMs) +
        ": longest wait for the next bytes of a reply); TCP_ConnectTimeout (ms, default " +
        std::to_string(TimingPolicy::DefaultConnectTimeoutMs) + "); TCP_Deadline (ms, default " +
        std::to_string(TimingPolicy::DefaultDeadlineMs) +
        " = none: longest one call may take, queueing included; a call past it returns Timeout and closes the "
        "link); TCP_KeepAlive (s, default " +
        std::to_string(TimingPolicy::DefaultKeepAliveS) +
        ", 0 = off); TCP_NoDelay (-1 default, 0, 1). BadArgument, value kept, outside the range (limits 0/1.." +
        ms(TimingPolicy::MaxLimitMs) + ", keepalive 0.." + std::to_string(TimingPolicy::MaxKeepAliveS) +
        " s). Read-only: ControllerType (int), ControllerVersion and ControllerNumberFormat (str), as the last "
        "Connect learnt them, and LinkLossCause (str).";
    return doc;
}

const std::string& batchDoc()
{
    static const std::string doc = "Many requests in one round trip. Each item is a tuple naming the\n"
                                   "method it stands for, with that method's arguments:\n"
                                   "\n"
                                   "    (\"ReadVrValue\", index)           (\"WriteVrValue\", index, value)\n"
                                   "    (\"ReadTableValue\", index)        (\"ReadAxisParam\", name, axis)\n"
                                   "    (\"WriteAxisParam\", name, axis, value)\n"
                                   "\n"
                                   "All requests are written before the first reply is awaited, so the\n"
                                   "batch costs about one round trip however many items it has (up to\n" +
                                   std::to_string(BatchMaxItems) +
                                   " (BatchMaxItems) with the TCP plug-in; more gives BadArgument and\n"
                                   "nothing is sent). Items run in order on the controller, and a\n"
                                   "controller error on one item does not stop the others.\n"
                                   "\n"
                                   "Returns (code, results): one (ErrorCode, value) per item, value None\n"
                                   "for writes; code is NoError when every item succeeded, else the first\n"
                                   "failing item's code. If the link is lost midway, the items not yet\n"
                                   "answered carry that failure. TCP_Deadline bounds the batch as a\n"
                                   "whole, from the call to the last reply. A malformed item raises TypeError or\n"
                                   "ValueError naming its position, before anything is sent. A plug-in\n"
                                   "built before Batch existed gives Fail. The interpreter lock is\n"
                                   "released while the batch runs.\n"
                                   "\n"
                                   "Example:\n"
                                   "    code, results = c.Batch([(\"ReadAxisParam\", \"DPOS\", a) for a in range(16)])";
    return doc;
}

// Larger blocks than this are refused rather than allocated for one call.
constexpr uint32_t MaxBlockValues = 1u << 24;

// Text from the controller is not guaranteed to be UTF-8; undecodable bytes
// come back as surrogate escapes so that nothing is lost.
py::str toStr(const std::string& text)
{
    PyObject* result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
    if (result == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(result);
}

py::list toList(const std::vector<double>& values)
{
    py::list list(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        list[i] = py::float_(values[i]);
    return list;
}

// `count` values from `start` into room for `room` of them, the interpreter
// lock released meanwhile.
template <typename Read>
std::pair<ErrorCode, std::vector<double>> readUnlocked(Wrapper& self, uint32_t start, uint32_t count, size_t room,
                                                       Read read)
{
    std::vector<double> values(room);
    ErrorCode code;
    {
        py::gil_scoped_release release;
        code = (self.*read)(start, count, values.data(), values.size());
    }
    return {code, std::move(values)};
}

template <typename Read>
py::tuple readBlock(Wrapper& self, uint32_t start, uint32_t count, Read read)
{
    if (count > MaxBlockValues)
        return py::make_tuple(BadArgument, py::list());
    auto [code, values] = readUnlocked(self, start, count, count, read);
    if (code != NoError)
        values.clear();
    return py::make_tuple(code, toList(values));
}

// Reads into a list the caller gave; its first `count` items are replaced
// only when the read succeeds.
template <typename Read>
ErrorCode readIntoList(Wrapper& self, uint32_t start, uint32_t count, py::list& target, Read read)
{
    const size_t available = target.size();
    if (count > MaxBlockValues)
        return BadArgument;
    const auto [code, values] = readUnlocked(self, start, count, std::min<size_t>(count, available), read);
    if (code == NoError) {
        for (size_t i = 0; i < values.size(); ++i)
            target[i] = py::float_(values[i]);
    }
    return code;
}

// --- Batch --------------------------------------------------------------------

[[noreturn]] void badItem(bool type_error, size_t position, const std::string& what)
{
    const std::string text = "Batch item " + std::to_string(position) + ": " + what;
    if (type_error)
        throw py::type_error(text);
    throw py::value_error(text);
}

int64_t itemInt(PyObject* object, size_t position, const char* role, int64_t low, int64_t high)
{
    if (!PyLong_Check(object) || PyBool_Check(object))
        badItem(true, position, std::string(role) + " must be an int");
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr)
        throw py::error_already_set();
    if (overflow != 0 || value < low || value > high)
        badItem(false, position,
                std::string(role) + " must be in " + std::to_string(low) + ".." + std::to_string(high));
    return value;
}

double itemFloat(PyObject* object, size_t position)
{
    if (!(PyFloat_Check(object) || PyLong_Check(object)) || PyBool_Check(object))
        badItem(true, position, "the value must be a float or an int");
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        badItem(false, position, "the value is too large for a float");
    }
    return value;
}

void itemName(PyObject* object, size_t position, std::string& storage, const char* role = "the parameter name")
{
    if (PyUnicode_Check(object)) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &length);
        if (text == nullptr) {
            PyErr_Clear();
            badItem(false, position, std::string(role) + " is not valid UTF-8");
        }
        storage.assign(text, static_cast<size_t>(length));
    } else if (PyBytes_Check(object)) {
        storage.assign(PyBytes_AS_STRING(object), static_cast<size_t>(PyBytes_GET_SIZE(object)));
    } else {
        badItem(true, position, std::string(role) + " must be a str");
    }
}

} // namespace

BatchItem parseBatchItem(PyObject* object, size_t position, std::string& name)
{
    if (!PyTuple_Check(object) && !PyList_Check(object))
        badItem(true, position, "expected a tuple such as (\"ReadVrValue\", 10)");
    const py::sequence fields = py::reinterpret_borrow<py::sequence>(object);
    const size_t size = fields.size();
    if (size == 0 || !PyUnicode_Check(fields[0].ptr()))
        badItem(true, position, "the first field must name the method, e.g. \"ReadVrValue\"");
    std::string method;
    itemName(fields[0].ptr(), position, method, "the method name");

    struct stShape {
        const char* method;
        BatchItemKind kind;
        const char* arguments;
        size_t fields;
    };
    static const stShape shapes[] = {
        {"ReadVrValue", BatchItemKind::ReadVrValue, "(index)", 2},
        {"WriteVrValue", BatchItemKind::WriteVrValue, "(index, value)", 3},
        {"ReadTableValue", BatchItemKind::ReadTableValue, "(index)", 2},
        {"ReadAxisParam", BatchItemKind::ReadAxisParam, "(param_name, axis)", 3},
        {"WriteAxisParam", BatchItemKind::WriteAxisParam, "(param_name, axis, value)", 4},
    };
    const stShape* shape = nullptr;
    for (const stShape& candidate : shapes) {
        if (method == candidate.method)
            shape = &candidate;
    }
    if (shape == nullptr)
        badItem(false, position,
                "unknown method \"" + method +
                    "\" (ReadVrValue, WriteVrValue, ReadTableValue, ReadAxisParam or WriteAxisParam)");
    if (size != shape->fields)
        badItem(true, position,
                method + " takes " + shape->arguments + ", got " + std::to_string(size - 1) + " argument(s)");

    BatchItem item;
    item.kind = shape->kind;
    switch (shape->kind) {
    case BatchItemKind::WriteVrValue: item.value = itemFloat(fields[2].ptr(), position); [[fallthrough]];
    case BatchItemKind::ReadVrValue:
    case BatchItemKind::ReadTableValue:
        item.index = static_cast<uint32_t>(itemInt(fields[1].ptr(), position, "the index", 0, UINT32_MAX));
        break;
    case BatchItemKind::WriteAxisParam: item.value = itemFloat(fields[3].ptr(), position); [[fallthrough]];
    case BatchItemKind::ReadAxisParam:
        itemName(fields[1].ptr(), position, name);
        item.axis = static_cast<int32_t>(itemInt(fields[2].ptr(), position, "the axis", INT32_MIN, INT32_MAX));
        break;
    case BatchItemKind::ReadVrBlock:
    case BatchItemKind::ReadTableBlock: break; // no shape names them
    }
    return item;
}

namespace {

py::tuple runBatch(Wrapper& self, const py::object& items)
{
    if (!PySequence_Check(items.ptr()) || PyUnicode_Check(items.ptr()) || PyBytes_Check(items.ptr()))
        throw py::type_error("Batch expects a list of tuples such as [(\"ReadVrValue\", 10)]");
    const py::sequence sequence = py::reinterpret_borrow<py::sequence>(items);
    const size_t count = sequence.size();
    // Sized once: the items' name views point into these strings.
    std::vector<std::string> names(count);
    std::vector<BatchItem> batch(count);
    for (size_t i = 0; i < count; ++i) {
        const py::object field = sequence[i];
        batch[i] = parseBatchItem(field.ptr(), i, names[i]);
        batch[i].param_name = names[i];
    }

    ErrorCode code;
    {
        py::gil_scoped_release release;
        code = self.Batch(batch);
    }
    py::list results(count);
    for (size_t i = 0; i < count; ++i) {
        const BatchItem& item = batch[i];
        const bool read = item.kind == BatchItemKind::ReadVrValue || item.kind == BatchItemKind::ReadTableValue ||
                          item.kind == BatchItemKind::ReadAxisParam;
        results[i] = py::make_tuple(item.error, read ? py::object(py::float_(item.value)) : py::object(py::none()));
    }
    return py::make_tuple(code, results);
}

void bindMotion(py::class_<Wrapper>& cls, const char* name, Motion motion, const char* single_doc, const char* list_doc)
{
    cls.def(
        name, [motion](Wrapper& self, double pos, int axis) { return self.Move(motion, pos, axis); }, Release(),
        py::arg("pos"), py::arg("axis"), single_doc);
    cls.def(
        name, [motion](Wrapper& self, const std::vector<double>& positions) { return self.Move(motion, positions); },
        Release(), py::arg("positions"), list_doc);
}

} // namespace

void bindConnection(py::module_& module)
{
    py::class_<PyControllerFile>(module, "ControllerFileInfo",
                                 "One file stored on the controller, as listed by Connection.Dir().")
        .def_readonly("name", &PyControllerFile::name)
        .def_readonly("type", &PyControllerFile::type)
        .def_readonly("size", &PyControllerFile::size)
        .def_readonly("compiled_size", &PyControllerFile::compiled_size)
        .def_readonly("autorun_process", &PyControllerFile::autorun_process)
        .def_readonly("editable", &PyControllerFile::editable)
        .def_readonly("autorun", &PyControllerFile::autorun)
        .def("__eq__", [](const PyControllerFile& a, const PyControllerFile& b) { return a == b; })
        .def("__repr__", [](const PyControllerFile& f) {
            return "ControllerFileInfo(name=" + std::string(py::repr(py::str(f.name))) +
                   ", type=" + std::to_string(f.type) + ", size=" + std::to_string(f.size) +
                   ", compiled_size=" + std::to_string(f.compiled_size) +
                   ", autorun_process=" + std::to_string(f.autorun_process) +
                   ", editable=" + (f.editable ? "True" : "False") + ", autorun=" + (f.autorun ? "True" : "False") +
                   ")";
        });

    py::class_<Wrapper> cls(module, "Connection", connectionDoc().c_str());
    cls.def(py::init<>(), "A connection without a context; CreateContext gives it one.");

    cls.def("CreateContext", &Wrapper::CreateContext, Release(), py::arg("type"),
            "Loads the plug-in for the connection type (the loader's search path, then the module's own folder) "
            "and creates a context. ConnectionContext if one exists, ConnectionModule if the plug-in cannot be "
            "loaded.");
    cls.def("DestroyContext", &Wrapper::DestroyContext, Release(),
            "Disconnects if connected, waits for calls in flight and releases the context. Returns NoError or the "
            "Disconnect code.");
    cls.def("Connect", &Wrapper::Connect, Release(), connectDoc().c_str());
    cls.def("Disconnect", &Wrapper::Disconnect, Release(),
            "Closes the link to the controller; calls still waiting for a reply return the ECONNABORTED code.");

    cls.def("WriteStringAttribute", &Wrapper::WriteStringAttribute, Release(), py::arg("attrib_name"), py::arg("value"),
            "Sets a string attribute, e.g. TCP_HostName.");
    cls.def("WriteIntAttribute", &Wrapper::WriteIntAttribute, Release(), py::arg("attrib_name"), py::arg("value"),
            writeIntAttributeDoc().c_str());
    cls.def(
        "ReadStringAttribute",
        [](Wrapper& self, const std::string_view& name, const std::string&) {
            py::gil_scoped_release release;
            return self.ReadStringAttribute(name).first;
        },
        py::arg("attrib_name"), py::arg("value"), "Placeholder form: the value is read and dropped.");
    cls.def(
        "ReadStringAttribute",
        [](Wrapper& self, const std::string_view& name) {
            std::pair<ErrorCode, std::string> result;
            {
                py::gil_scoped_release release;
                result = self.ReadStringAttribute(name);
            }
            return py::make_tuple(result.first, toStr(result.second));
        },
        py::arg("attrib_name"),
        "Reads a string attribute: (ErrorCode, str). LinkLossCause says why the link was lost or the last Connect "
        "failed, with the time; it is empty while the link is up and before any loss.");
    cls.def(
        "ReadIntAttribute",
        [](Wrapper& self, const std::string_view& name, int64_t) { return self.ReadIntAttribute(name).first; },
        Release(), py::arg("attrib_name"), py::arg("value"), "Placeholder form: the value is read and dropped.");
    cls.def(
        "ReadIntAttribute", [](Wrapper& self, const std::string_view& name) { return self.ReadIntAttribute(name); },
        Release(), py::arg("attrib_name"), "Reads an integer attribute: (ErrorCode, int).");

    cls.def("Ex", py::overload_cast<>(&Wrapper::Ex), Release(), "EX with mode 0.");
    cls.def("Ex", py::overload_cast<int>(&Wrapper::Ex), Release(), py::arg("mode"), "EX with a mode.");
    cls.def("Cancel", py::overload_cast<int>(&Wrapper::Cancel), Release(), py::arg("mode"),
            "CANCEL without an axis modifier.");
    cls.def("Cancel", py::overload_cast<int, int>(&Wrapper::Cancel), Release(), py::arg("mode"), py::arg("axis"),
            "CANCEL on an axis.");
    cls.def("Execute", &Wrapper::Execute, Release(), py::arg("command"), "Runs one line of the controller's language.");
    cls.def("SetAxisBase", &Wrapper::SetAxisBase, Release(), py::arg("axis"), "Sets the base axis.");
    cls.def(
        "SetMultiAxisBase",
        [](Wrapper& self, int axis, uint32_t count) { return self.SetMultiAxisBase(&axis, count, 1); }, Release(),
        py::arg("axis"), py::arg("count"), "A single axis backs a count of 0 or 1; a larger count is BadArgument.");
    cls.def(
        "SetMultiAxisBase",
        [](Wrapper& self, const std::vector<int>& axes, uint32_t count) {
            return self.SetMultiAxisBase(axes.data(), count, axes.size());
        },
        Release(), py::arg("axes"), py::arg("count"),
        "Sets the first `count` axes as base axes; fewer than `count` is BadArgument.");
    cls.def("Datum", &Wrapper::Datum, Release(), py::arg("sequence"), py::arg("axis"),
            "DATUM with a sequence number on an axis.");

    bindMotion(cls, "DefPos", Motion::DefPos, "DEFPOS of one axis.",
               "DEFPOS of the base axes, one value each, no axis modifier.");
    cls.def("Forward", &Wrapper::Forward, Release(), py::arg("axis"),
            "FORWARD on an axis; a negative axis sends no axis modifier.");
    cls.def("Reverse", &Wrapper::Reverse, Release(), py::arg("axis"),
            "REVERSE on an axis; a negative axis sends no axis modifier.");
    bindMotion(cls, "MoveRel", Motion::MoveRel, "MOVE of one axis.", "MOVE of the base axes, one distance each.");
    bindMotion(cls, "MoveRelSp", Motion::MoveRelSp, "MOVESP of one axis.",
               "MOVESP of the base axes, one distance each.");
    bindMotion(cls, "MoveAbs", Motion::MoveAbs, "MOVEABS of one axis.", "MOVEABS of the base axes, one position each.");
    bindMotion(cls, "MoveAbsSp", Motion::MoveAbsSp, "MOVEABSSP of one axis.",
               "MOVEABSSP of the base axes, one position each.");

    cls.def("WriteTableValue", &Wrapper::WriteTableValue, Release(), py::arg("index"), py::arg("value"),
            "Writing TABLE values is not carried out over TCP: the TCP plug-in returns Fail.");
    cls.def(
        "WriteMultiTableValues",
        [](Wrapper& self, uint32_t start, uint32_t count, double value) {
            return self.WriteMultiTableValues(start, count, &value, 1);
        },
        Release(), py::arg("start_index"), py::arg("count"), py::arg("value"),
        "A single value backs a count of 0 or 1; not carried out over TCP (Fail).");
    cls.def(
        "WriteMultiTableValues",
        [](Wrapper& self, uint32_t start, uint32_t count, const std::vector<double>& values) {
            return self.WriteMultiTableValues(start, count, values.data(), values.size());
        },
        Release(), py::arg("start_index"), py::arg("count"), py::arg("values"),
        "The first `count` values; not carried out over TCP (Fail).");
    cls.def(
        "ReadTableValue", [](Wrapper& self, uint32_t index, double) { return self.ReadTableValue(index).first; },
        Release(), py::arg("index"), py::arg("value"), "Placeholder form: the value is read and dropped.");
    cls.def(
        "ReadTableValue", [](Wrapper& self, uint32_t index) { return self.ReadTableValue(index); }, Release(),
        py::arg("index"), "Reads one TABLE value: (ErrorCode, float).");
    cls.def(
        "ReadMultiTableValues",
        [](Wrapper& self, uint32_t start, uint32_t count, double value) {
            return self.ReadMultiTableValues(start, count, &value, 1);
        },
        Release(), py::arg("start_index"), py::arg("count"), py::arg("value"),
        "Placeholder form: a count of 0 or 1, the value is read and dropped.");
    cls.def(
        "ReadMultiTableValues",
        [](Wrapper& self, uint32_t start, uint32_t count, py::list& values) {
            return readIntoList(self, start, count, values, &Wrapper::ReadMultiTableValues);
        },
        py::arg("start_index"), py::arg("count"), py::arg("values"),
        "Fills the first `count` items of the list when the read succeeds.");
    cls.def(
        "ReadMultiTableValues",
        [](Wrapper& self, uint32_t start, uint32_t count) {
            return readBlock(self, start, count, &Wrapper::ReadMultiTableValues);
        },
        py::arg("start_index"), py::arg("count"),
        "Reads TABLE values: (ErrorCode, list of float), the list empty unless the code is NoError.");

    cls.def("WriteVrValue", &Wrapper::WriteVrValue, Release(), py::arg("index"), py::arg("value"),
            "Writes one VR value.");
    cls.def(
        "WriteMultiVrValues",
        [](Wrapper& self, uint32_t start, uint32_t count, double value) {
            return self.WriteMultiVrValues(start, count, &value, 1);
        },
        Release(), py::arg("start_index"), py::arg("count"), py::arg("value"),
        "A single value backs a count of 0 or 1; not carried out over TCP (Fail).");
    cls.def(
        "WriteMultiVrValues",
        [](Wrapper& self, uint32_t start, uint32_t count, const std::vector<double>& values) {
            return self.WriteMultiVrValues(start, count, values.data(), values.size());
        },
        Release(), py::arg("start_index"), py::arg("count"), py::arg("values"),
        "The first `count` values; not carried out over TCP (Fail).");
    cls.def(
        "ReadVrValue", [](Wrapper& self, uint32_t index, double) { return self.ReadVrValue(index).first; }, Release(),
        py::arg("index"), py::arg("value"), "Placeholder form: the value is read and dropped.");
    cls.def(
        "ReadVrValue", [](Wrapper& self, uint32_t index) { return self.ReadVrValue(index); }, Release(),
        py::arg("index"), "Reads one VR value: (ErrorCode, float).");
    cls.def(
        "ReadMultiVrValues",
        [](Wrapper& self, uint32_t start, uint32_t count, double value) {
            return self.ReadMultiVrValues(start, count, &value, 1);
        },
        Release(), py::arg("start_index"), py::arg("count"), py::arg("value"),
        "Placeholder form: a count of 0 or 1, the value is read and dropped.");
    cls.def(
        "ReadMultiVrValues",
        [](Wrapper& self, uint32_t start, uint32_t count, py::list& values) {
            return readIntoList(self, start, count, values, &Wrapper::ReadMultiVrValues);
        },
        py::arg("start_index"), py::arg("count"), py::arg("values"),
        "Fills the first `count` items of the list when the read succeeds.");
    cls.def(
        "ReadMultiVrValues",
        [](Wrapper& self, uint32_t start, uint32_t count) {
            return readBlock(self, start, count, &Wrapper::ReadMultiVrValues);
        },
        py::arg("start_index"), py::arg("count"),
        "Reads VR values: (ErrorCode, list of float), the list empty unless the code is NoError.");

    cls.def("WriteAxisParam", &Wrapper::WriteAxisParam, Release(), py::arg("param_name"), py::arg("axis"),
            py::arg("value"), "Writes any axis parameter the controller's token table knows, e.g. SPEED.");
    cls.def(
        "ReadAxisParam",
        [](Wrapper& self, const std::string_view& name, int axis, double) {
            return self.ReadAxisParam(name, axis).first;
        },
        Release(), py::arg("param_name"), py::arg("axis"), py::arg("result"),
        "Placeholder form: the value is read and dropped.");
    cls.def(
        "ReadAxisParam",
        [](Wrapper& self, const std::string_view& name, int axis) { return self.ReadAxisParam(name, axis); }, Release(),
        py::arg("param_name"), py::arg("axis"),
        "Reads a named axis parameter, e.g. DPOS, MPOS, SPEED: (ErrorCode, float).");
    cls.def("InvertIN", &Wrapper::InvertIN, Release(), py::arg("input"), py::arg("invert"),
            "Switches the inversion of a digital input.");

    cls.def("Batch", &runBatch, py::arg("items"), batchDoc().c_str());
    cls.def("IsConnected", &Wrapper::IsConnected, Release(),
            "True while the link to the controller is open: false as soon as the controller has closed its end or "
            "the socket failed, even when idle. Cheap enough for a polling loop (takes no bytes).");
    cls.def("Dir", &Wrapper::Dir, Release(),
            "The controller's files: (ErrorCode, list of ControllerFileInfo). Entries that cannot be read are "
            "skipped (BadResponse) and the others still returned.");
    cls.def("WriteVrString", &Wrapper::WriteVrString, Release(), py::arg("vr"), py::arg("text"),
            "Stores a text (as UTF-8) under a VR number.");
    cls.def(
        "ReadVrString",
        [](Wrapper& self, uint32_t vr) {
            std::pair<ErrorCode, std::string> result;
            {
                py::gil_scoped_release release;
                result = self.ReadVrString(vr);
            }
            return py::make_tuple(result.first, toStr(result.second));
        },
        py::arg("vr"),
        "The text under a VR number: (ErrorCode, str). Bytes that are not UTF-8 come back as surrogate escapes "
        "(s.encode('utf-8', 'surrogateescape') restores them).");

    cls.def(
        "SetEventHandler",
        [](Wrapper& self, const py::object& handler) {
            if (!handler.is_none() && !PyCallable_Check(handler.ptr()))
                throw py::type_error("SetEventHandler expects a callable or None");
            self.SetEventHandler(handler);
        },
        py::arg("handler"),
        "Calls handler(EventType, code, text) for the connection's events, from whichever thread raised them; "
        "None stops. Exceptions raised by the handler are reported through sys.unraisablehook. The handler may "
        "run on the connection's reader thread: methods of the same Connection called from inside it return "
        "Fail at once instead of waiting for that thread (other connections may be used).");

    cls.def(
        "__enter__", [](py::object self) { return self; }, "Returns the connection itself.");
    cls.def(
        "__exit__",
        [](Wrapper& self, const py::args&) {
            {
                py::gil_scoped_release release;
                self.DestroyContext();
            }
            return false;
        },
        "Releases the context (as DestroyContext); exceptions propagate.");

    addTextSignatures(cls);
}

} // namespace Vantrel::HolvaneApi
