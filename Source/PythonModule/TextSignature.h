#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace Vantrel::HolvaneApi {

// The interpreter's own signature line, "name(self, /, a, b)\n--\n\n", for the
// doc string that pybind11 made for `name` (its first line is the typed
// signature, "name(self: T, a: int, b: float) -> R", or "name(*args, **kwargs)"
// for an overloaded name, whose forms that extend one another are merged:
// "name(self, /, index, value=...)"). Empty when that line cannot be read.
std::string textSignature(const char* name, const char* doc);

// Prefixes every method of the class with its text signature, so that
// inspect.signature() and help() see the argument names; the typed signatures
// stay in the doc string.
void addTextSignatures(pybind11::handle cls);

} // namespace Vantrel::HolvaneApi
