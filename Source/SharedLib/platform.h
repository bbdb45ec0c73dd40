#pragma once

namespace Vantrel::HolvaneApi::platform {
// The calling thread's errno, read right after a failing system call.
int lastError() noexcept;
} // namespace Vantrel::HolvaneApi::platform
