#include "SharedLib/platform.h"

#include <cerrno>

namespace Vantrel::HolvaneApi::platform {
int lastError() noexcept { return errno; }
} // namespace Vantrel::HolvaneApi::platform
