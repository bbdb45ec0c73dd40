#pragma once
// What every fuzz target checks about a result code: it is NoError or lies in
// one of the defined bands, so no garbage ever reaches a caller.

#include "SharedLib/ApiEnums.h"

#include <cstdio>
#include <cstdlib>

namespace Vantrel::HolvaneApi::Fuzz {

inline bool isDefinedCode(ErrorCode code)
{
    const uint64_t value = static_cast<uint64_t>(code);
    if (value == NoError)
        return true;
    if (value > __ApiError && value < __ApiLast)
        return true;
    if ((value & ~0xFFFFFFFFull) == __SystemError)
        return true;
    return (value & ~0xFFFFull) == __ControllerError && (value & 0xFFFF) != 0;
}

[[noreturn]] inline void fail(const char* what, unsigned long long detail = 0)
{
    std::fprintf(stderr, "fuzz check failed: %s (0x%llx)\n", what, detail);
    std::abort();
}

inline void check(bool condition, const char* what, unsigned long long detail = 0)
{
    if (!condition)
        fail(what, detail);
}

inline void checkCode(ErrorCode code, const char* where)
{
    check(isDefinedCode(code), where, static_cast<unsigned long long>(code));
}

} // namespace Vantrel::HolvaneApi::Fuzz
