#include "PythonModule/SignalCheck.h"

#include "PythonModule/PendingError.h"

#include <pybind11/pybind11.h>

#include <atomic>

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

namespace {

std::atomic<bool> s_stopping{false};
// A signal handler raised on this thread inside the current call.
thread_local bool t_interrupted = false;
thread_local bool t_runningHandlers = false;
// Calls into a connection this thread is in: more than one when an event
// handler run inside a call calls a connection itself.
thread_local int t_depth = 0;
// The depth of the call during which the signal's exception was raised.
thread_local int t_interruptedDepth = 0;

// The exception a signal handler raised, kept aside until the call returns.
// Left set on the thread, it would meet every event handler the plug-in runs
// on this thread meanwhile (and be lost there).
thread_local PendingError t_pending;

} // namespace

bool SignalCheck::checkSignals(void*)
{
    // An interrupt ends the call it came in and those around it, not a call
    // made afterwards from an event handler while they wind down.
    if (t_interrupted)
        return t_depth <= t_interruptedDepth;
    if (s_stopping.load(std::memory_order_acquire))
        return false;
    // Only the main thread runs signal handlers; elsewhere this is one
    // uncontended lock round trip every few tens of milliseconds of waiting.
    const PyGILState_STATE state = PyGILState_Ensure();
    t_runningHandlers = true;
    const bool raised = PyErr_CheckSignals() != 0;
    t_runningHandlers = false;
    if (raised)
        t_pending.take();
    PyGILState_Release(state);
    if (raised) {
        t_interrupted = true;
        t_interruptedDepth = t_depth;
    }
    return raised;
}

void SignalCheck::raiseIfInterrupted()
{
    // Raised in the outermost call only: inside an event handler it would be
    // swallowed with the handler's own errors.
    if (!t_interrupted || t_depth > 0)
        return;
    t_interrupted = false;
    py::gil_scoped_acquire gil;
    if (!t_pending.held())
        return;
    t_pending.restore();
    throw py::error_already_set();
}

SignalCheck::Call::Call() { ++t_depth; }

SignalCheck::Call::~Call() { --t_depth; }

bool SignalCheck::runningHandlers() { return t_runningHandlers; }

void SignalCheck::stopAll() noexcept { s_stopping.store(true, std::memory_order_release); }

} // namespace Vantrel::HolvaneApi
