// Numbers Python needs from the C++ sources, so that nothing on the Python
// side (holvane's defaults, documentation) retypes them.
#include "PythonModule/Bindings.h"

#include "SharedLib/BatchItem.h"
#include "SharedLib/IConnection.h"
#include "SharedLib/TimingPolicy.h"

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

void bindConstants(py::module_& module)
{
    module.attr("DefaultReplyTimeoutMs") = TimingPolicy::DefaultReplyTimeoutMs;
    module.attr("DefaultConnectTimeoutMs") = TimingPolicy::DefaultConnectTimeoutMs;
    module.attr("DefaultDeadlineMs") = TimingPolicy::DefaultDeadlineMs;
    module.attr("DefaultKeepAliveS") = TimingPolicy::DefaultKeepAliveS;
    module.attr("MaxLimitMs") = TimingPolicy::MaxLimitMs;
    module.attr("MaxKeepAliveS") = TimingPolicy::MaxKeepAliveS;
    module.attr("InterruptSliceMs") = TimingPolicy::InterruptSliceMs;
    module.attr("BatchMaxItems") = BatchMaxItems;
    module.attr("InterfaceLevel") = InterfaceLevel;
    module.attr("__version__") = HOLVANE_VERSION;
}

} // namespace Vantrel::HolvaneApi
