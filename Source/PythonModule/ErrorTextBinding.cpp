#include "PythonModule/Bindings.h"

#include "SharedLib/ErrorText.h"

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

void bindErrorText(py::module_& module)
{
    module.def(
        "ErrorText", [](uint64_t code) { return errorText(code); }, py::arg("code"),
        "The one-line text of any result code (an ErrorCode or an int): API codes by name, system codes as "
        "\"system error N: <text>\", controller codes as \"controller error N\" (what N means is the "
        "controller's), anything else as \"unknown result code 0x...\".");
}

} // namespace Vantrel::HolvaneApi
