#pragma once

#include <cstdint>

namespace Vantrel::HolvaneApi::Bench {

// Resident set size of this process in KiB (VmRSS of /proc/self/status); 0 if unknown.
uint64_t residentKiB();

} // namespace Vantrel::HolvaneApi::Bench
