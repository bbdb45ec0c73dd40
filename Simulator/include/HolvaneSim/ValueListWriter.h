#pragma once

#include "HolvaneSim/ControllerState.h"

#include <cstddef>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Sim {

// Prints a block of VR or TABLE values as the comma-terminated text list
// ("12.5," items, "k<count>,<value>," runs of equal values, CR LF at the close)
// and hands it out in chunks of exactly 256 bytes, one per acknowledgement.
// The host stops reading as soon as it has its last value and then looks for
// the line end only in what that read returned, so the chunk that completes
// the last value always carries the CR LF too, as its last bytes.
class ValueListWriter {
public:
    enum class Source { Vr, Table };
    static constexpr size_t kChunkSize = 256;

    ValueListWriter(ControllerState& state, Source source, size_t start, size_t step, size_t count);

    bool finished() const { return _finished; }
    // Appends the next chunk to `out`.
    void nextChunk(std::string& out);

    // Shortest text that strtod reads back to exactly `value`.
    static void formatValue(double value, std::string& out);

private:
    void produce();
    void flushRun();

    ControllerState& _state;
    Source _source;
    size_t _start;
    size_t _step;
    size_t _count;
    size_t _fetched = 0;  // values taken from the state so far
    std::string _pending; // text produced but not yet sent
    size_t _sent = 0;     // offset of the unsent text in _pending
    double _runValue = 0.0;
    size_t _runLength = 0;
    bool _closed = false; // the CR LF has been produced
    bool _finished = false;
    std::vector<double> _batch;
};

} // namespace Vantrel::HolvaneApi::Sim
