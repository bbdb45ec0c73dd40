// The Python extension module: enumerations, Connection, the result-code
// texts and constants, and the shutdown hook that releases connections still
// alive when the interpreter exits.
#include "PythonModule/Bindings.h"
#include "PythonModule/EventSink.h"
#include "PythonModule/PyConnectionWrapper.h"
#include "PythonModule/SignalCheck.h"

namespace py = pybind11;
using namespace Vantrel::HolvaneApi;

PYBIND11_MODULE(Vantrel_HolvaneAPI, module)
{
    module.doc() = "Vantrel Holvane API";
    bindEnums(module);
    bindConnection(module);
    bindErrorText(module);
    bindConstants(module);
    bindSampler(module);

    // Plug-in threads must not reach for the interpreter once it is going
    // away, and sockets and reader threads of forgotten connections are closed.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        EventSink::stopAll();
        SignalCheck::stopAll();
        py::gil_scoped_release release;
        PyConnectionWrapper::CloseAll();
    }));
}
