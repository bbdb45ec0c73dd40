#pragma once

#include "BenchStats.h"

#include <cstddef>
#include <memory>

namespace Vantrel::HolvaneApi::Bench {

// The floor: the cheapest possible exchange of the same bytes as one VR read,
// a blocking ping-pong over loopback TCP with TCP_NODELAY, one thread on each
// side, no protocol work at all. Every other figure is related to it.
//
// The pair stays connected, so that rounds of the floor can be interleaved
// with rounds of a benchmark and both see the same load.
class FloorPingPong {
public:
    FloorPingPong(size_t requestBytes, size_t replyBytes);
    ~FloorPingPong();
    FloorPingPong(const FloorPingPong&) = delete;
    FloorPingPong& operator=(const FloorPingPong&) = delete;

    // Untimed exchanges, then `iterations` timed ones added to `samples`.
    // Returns the wall time of the timed part in ns; counts failures in `errors`.
    double run(size_t warmup, size_t iterations, Samples& samples, uint64_t& errors);

    // The same exchange shaped like the plug-in's design, minus all protocol
    // work: the caller sends, queues a ticket for a reader thread and sleeps;
    // the reader thread, woken by the queue, receives the reply and wakes the
    // caller. What this costs above run() is the price of the hand-off itself.
    enum class Reader {
        QueueWake,       // woken through the queue, then receives the whole reply
        QueueWakePieces, // the same, receiving as the plug-in does: poll + recv per 8 bytes
        SocketWait,      // not woken by the caller: waits in poll on the socket itself
    };
    double runWithReaderThread(size_t warmup, size_t iterations, Samples& samples, uint64_t& errors,
                               Reader reader = Reader::QueueWake);

private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
};

} // namespace Vantrel::HolvaneApi::Bench
