#pragma once
// Fatal assertions for the program's own invariants. They stay active in
// release builds and name the source file and line; nothing a controller or a
// caller sends may ever reach one.

namespace Vantrel::HolvaneApi {
[[noreturn]] void assertionFailed(const char* expression, const char* file, int line) noexcept;
}

#define HOLVANE_ASSERT(expr)                                                                                           \
    ((expr) ? static_cast<void>(0) : ::Vantrel::HolvaneApi::assertionFailed(#expr, __FILE__, __LINE__))
