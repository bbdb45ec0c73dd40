#pragma once

#include "BenchStats.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::Bench {

// Two threads hand a token back and forth through a mutex, a flag and a
// condition variable, the way the reader pump wakes a waiting caller. One round
// trip is two hand-offs; the pump adds one hand-off to every request.
BenchResult runCondVarRoundTrip(size_t warmup, size_t iterations);

} // namespace Vantrel::HolvaneApi::Bench
