#include "SharedLib/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace Vantrel::HolvaneApi {

void assertionFailed(const char* expression, const char* file, int line) noexcept
{
    std::fprintf(stderr, "%s:%d: fatal assertion \"%s\" failed\n", file, line, expression);
    std::fflush(stderr);
    std::abort();
}

} // namespace Vantrel::HolvaneApi
