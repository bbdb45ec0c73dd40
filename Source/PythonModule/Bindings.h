#pragma once

#include <pybind11/pybind11.h>

namespace Vantrel::HolvaneApi {

// The seven enumerations, in the order the module publishes them.
void bindEnums(pybind11::module_& module);
// The Connection class and the directory record it returns.
void bindConnection(pybind11::module_& module);
// ErrorText(code): the text of any result code.
void bindErrorText(pybind11::module_& module);
// The limits, caps and version that Python takes from the C++ sources.
void bindConstants(pybind11::module_& module);

} // namespace Vantrel::HolvaneApi
