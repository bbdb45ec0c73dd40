#pragma once

#include "BenchStats.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::Bench {

// The floor: the cheapest possible exchange of the same bytes as one VR read,
// a blocking ping-pong over loopback TCP with TCP_NODELAY, one thread on each
// side, no protocol work at all. Every other figure is related to it.
BenchResult runFloorPingPong(size_t requestBytes, size_t replyBytes, size_t warmup, size_t iterations);

} // namespace Vantrel::HolvaneApi::Bench
