#include "Sampling/SampleBuffer.h"

#include <algorithm>

namespace Vantrel::HolvaneApi::Sampling {

void SampleBlock::clear()
{
    seq.clear();
    dueNs.clear();
    sentNs.clear();
    receivedNs.clear();
    values.clear();
}

SampleBuffer::SampleBuffer(size_t capacity, size_t channels)
    : _capacity(std::max<size_t>(capacity, 1)), _channels(channels), _seq(_capacity), _due(_capacity), _sent(_capacity),
      _received(_capacity), _values(_capacity * channels)
{
}

bool SampleBuffer::push(int64_t seq, int64_t due_ns, int64_t sent_ns, int64_t received_ns, const double* values)
{
    if (_size == _capacity)
        return false;
    const size_t at = (_head + _size) % _capacity;
    _seq[at] = seq;
    _due[at] = due_ns;
    _sent[at] = sent_ns;
    _received[at] = received_ns;
    std::copy(values, values + _channels, _values.begin() + static_cast<std::ptrdiff_t>(at * _channels));
    ++_size;
    return true;
}

void SampleBuffer::take(size_t count, SampleBlock& out)
{
    count = std::min(count, _size);
    for (size_t k = 0; k < count; ++k) {
        const size_t at = (_head + k) % _capacity;
        out.seq.push_back(_seq[at]);
        out.dueNs.push_back(_due[at]);
        out.sentNs.push_back(_sent[at]);
        out.receivedNs.push_back(_received[at]);
        const auto row = _values.begin() + static_cast<std::ptrdiff_t>(at * _channels);
        out.values.insert(out.values.end(), row, row + static_cast<std::ptrdiff_t>(_channels));
    }
    _head = (_head + count) % _capacity;
    _size -= count;
}

} // namespace Vantrel::HolvaneApi::Sampling
