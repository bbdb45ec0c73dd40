#pragma once

#include <Python.h>

namespace Vantrel::HolvaneApi {

// The exception set on the calling thread, taken off it and held until it is
// set again. Interpreter lock held for take() and restore().
class PendingError {
public:
    PendingError() = default;
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    // Takes the thread's exception, if any (the thread has none afterwards).
    void take()
    {
#if PY_VERSION_HEX >= 0x030C0000
        _exception = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&_type, &_value, &_traceback);
#endif
    }
    bool held() const
    {
#if PY_VERSION_HEX >= 0x030C0000
        return _exception != nullptr;
#else
        return _type != nullptr;
#endif
    }
    // Sets the held exception on the thread again (nothing when none is held).
    void restore()
    {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(_exception);
        _exception = nullptr;
#else
        PyErr_Restore(_type, _value, _traceback);
        _type = _value = _traceback = nullptr;
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* _exception = nullptr;
#else
    PyObject* _type = nullptr;
    PyObject* _value = nullptr;
    PyObject* _traceback = nullptr;
#endif
};

} // namespace Vantrel::HolvaneApi
