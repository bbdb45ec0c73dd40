#include "Sampling/SampleSchedule.h"

#include <cmath>

namespace Vantrel::HolvaneApi::Sampling {

SampleSchedule::SampleSchedule(int64_t start_ns, double rate_hz) : _start(start_ns), _periodNs(1e9 / rate_hz) {}

int64_t SampleSchedule::dueNs(uint64_t tick) const
{
    return _start + static_cast<int64_t>(std::llround(static_cast<double>(tick) * _periodNs));
}

uint64_t SampleSchedule::slotAt(int64_t now_ns) const
{
    if (now_ns <= _start)
        return 0;
    auto slot = static_cast<uint64_t>(static_cast<double>(now_ns - _start) / _periodNs);
    // The division may land one off at a boundary: the grid itself decides.
    while (slot > 0 && dueNs(slot) > now_ns)
        --slot;
    while (dueNs(slot + 1) <= now_ns)
        ++slot;
    return slot;
}

SampleSchedule::Step SampleSchedule::stepAt(int64_t now_ns, uint64_t next) const
{
    const uint64_t slot = slotAt(now_ns);
    if (slot <= next)
        return {next, 0};
    return {slot, slot - next};
}

} // namespace Vantrel::HolvaneApi::Sampling
