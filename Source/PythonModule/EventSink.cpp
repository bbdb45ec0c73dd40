#include "PythonModule/EventSink.h"

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

namespace {
std::atomic<bool> s_interpreterStopping{false};

thread_local const EventSink* t_delivering = nullptr;

bool interpreterUsable() noexcept
{
    return !s_interpreterStopping.load(std::memory_order_acquire) && Py_IsInitialized() != 0;
}
} // namespace

// Taking the interpreter lock throws only when no thread state can be made,
// which leaves nothing sensible to do but end: a destructor cannot report it.
EventSink::~EventSink() // NOLINT(bugprone-exception-escape)
{
    if (_handler == nullptr)
        return;
    if (!interpreterUsable())
        return; // the interpreter reclaims everything at shutdown
    py::gil_scoped_acquire gil;
    Py_DECREF(_handler);
}

void EventSink::setHandler(const py::object& handler)
{
    PyObject* old = _handler;
    if (handler && !handler.is_none()) {
        _handler = handler.inc_ref().ptr();
        _active.store(true, std::memory_order_release);
    } else {
        _active.store(false, std::memory_order_release);
        _handler = nullptr;
    }
    Py_XDECREF(old);
}

void EventSink::deliver(EventType type, uint64_t code, const std::string_view& text)
{
    if (!hasHandler() || !interpreterUsable())
        return;
    py::gil_scoped_acquire gil;
    if (_handler == nullptr)
        return;
    // Hold our own reference: the handler may replace itself while it runs.
    const py::object handler = py::reinterpret_borrow<py::object>(_handler);
    const EventSink* const outer = t_delivering;
    t_delivering = this;
    struct Restore {
        const EventSink* previous;
        ~Restore() { t_delivering = previous; }
    } restore{outer};
    try {
        py::object message = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!message)
            throw py::error_already_set();
        handler(py::cast(type), py::int_(code), message);
    } catch (py::error_already_set& error) {
        // Never into the plug-in: report it the way Python reports errors
        // nobody can catch.
        error.discard_as_unraisable("Vantrel_HolvaneAPI event handler");
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        PyErr_WriteUnraisable(handler.ptr());
    }
}

EventCallback EventSink::callback()
{
    std::shared_ptr<EventSink> self = shared_from_this();
    return [self](EventType type, uint64_t code, const std::string_view& text) { self->deliver(type, code, text); };
}

bool EventSink::deliveringOnThisThread() const { return t_delivering == this; }

void EventSink::stopAll() noexcept { s_interpreterStopping.store(true, std::memory_order_release); }

} // namespace Vantrel::HolvaneApi
