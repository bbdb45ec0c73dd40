#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Vantrel::HolvaneApi::Sampling {

// Samples taken out of the buffer at once, oldest first; times are
// nanoseconds since the recording's tick 0.
struct SampleBlock {
    std::vector<int64_t> seq;
    std::vector<int64_t> dueNs;
    std::vector<int64_t> sentNs;
    std::vector<int64_t> receivedNs;
    std::vector<double> values; // size() * channels, one row per sample
    size_t size() const { return seq.size(); }
    void clear();
};

// A bounded ring of completed samples between the reader thread that
// completes them and the consumer that takes them. Not locked: its owner
// holds the lock. A sample that finds it full is refused (its owner counts
// the overflow); nothing already in it is ever overwritten.
class SampleBuffer {
public:
    SampleBuffer(size_t capacity, size_t channels);

    size_t size() const { return _size; }
    size_t capacity() const { return _capacity; }
    size_t channels() const { return _channels; }

    // False when full.
    bool push(int64_t seq, int64_t due_ns, int64_t sent_ns, int64_t received_ns, const double* values);
    // Moves up to `count` of the oldest samples to the end of `out`.
    void take(size_t count, SampleBlock& out);

private:
    size_t _capacity;
    size_t _channels;
    size_t _head = 0; // next to take
    size_t _size = 0;
    std::vector<int64_t> _seq;
    std::vector<int64_t> _due;
    std::vector<int64_t> _sent;
    std::vector<int64_t> _received;
    std::vector<double> _values;
};

} // namespace Vantrel::HolvaneApi::Sampling
