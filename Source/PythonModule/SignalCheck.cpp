#include "PythonModule/SignalCheck.h"

#include <pybind11/pybind11.h>

#include <atomic>

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

namespace {

std::atomic<bool> s_stopping{false};
// A signal handler raised on this thread inside the current call.
thread_local bool t_interrupted = false;
thread_local bool t_runningHandlers = false;

} // namespace

bool SignalCheck::checkSignals(void*)
{
    if (s_stopping.load(std::memory_order_acquire) || t_interrupted)
        return t_interrupted;
    // Only the main thread runs signal handlers; elsewhere this is one
    // uncontended lock round trip every few tens of milliseconds of waiting.
    const PyGILState_STATE state = PyGILState_Ensure();
    t_runningHandlers = true;
    const bool raised = PyErr_CheckSignals() != 0;
    t_runningHandlers = false;
    PyGILState_Release(state);
    if (raised)
        t_interrupted = true;
    return raised;
}

void SignalCheck::raiseIfInterrupted()
{
    if (!t_interrupted)
        return;
    t_interrupted = false;
    py::gil_scoped_acquire gil;
    if (PyErr_Occurred() != nullptr)
        throw py::error_already_set();
}

bool SignalCheck::runningHandlers() { return t_runningHandlers; }

void SignalCheck::stopAll() noexcept { s_stopping.store(true, std::memory_order_release); }

} // namespace Vantrel::HolvaneApi
