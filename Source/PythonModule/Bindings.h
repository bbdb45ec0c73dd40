#pragma once

#include "SharedLib/BatchItem.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

namespace Vantrel::HolvaneApi {

// The seven enumerations, in the order the module publishes them.
void bindEnums(pybind11::module_& module);
// The Connection class and the directory record it returns.
void bindConnection(pybind11::module_& module);
// ErrorText(code): the text of any result code.
void bindErrorText(pybind11::module_& module);
// The limits, caps and version that Python takes from the C++ sources.
void bindConstants(pybind11::module_& module);
// The Sampler class: periodic recording on a connection.
void bindSampler(pybind11::module_& module);

// One Batch item from its tuple, e.g. ("ReadAxisParam", "DPOS", 0); raises
// TypeError or ValueError naming `position`. The name of an axis parameter is
// copied into `name`, which the item's view then refers to.
BatchItem parseBatchItem(PyObject* object, size_t position, std::string& name);

} // namespace Vantrel::HolvaneApi
