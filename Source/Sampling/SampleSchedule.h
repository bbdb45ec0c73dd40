#pragma once

#include <cstdint>

namespace Vantrel::HolvaneApi::Sampling {

// The absolute grid of a recording on the monotonic clock: tick n is due at
// start + n * period (never "one period after the last sample", so nothing
// drifts). Times are nanoseconds of that clock.
class SampleSchedule {
public:
    SampleSchedule(int64_t start_ns, double rate_hz);

    int64_t startNs() const { return _start; }
    // When tick n is due (rounded to the nanosecond, from the start each time).
    int64_t dueNs(uint64_t tick) const;
    // The latest tick due at `now_ns`: the one whose period slot holds it;
    // 0 before the start.
    uint64_t slotAt(int64_t now_ns) const;

    // What to do at `now_ns` when `next` is the first tick not yet dealt
    // with: ticks whose slot has passed can no longer be sent on time and are
    // missed; the tick to send is the one whose slot holds now.
    struct Step {
        uint64_t send;   // the tick to send now
        uint64_t missed; // ticks before it that are given up
    };
    Step stepAt(int64_t now_ns, uint64_t next) const;

private:
    int64_t _start;
    double _periodNs;
};

} // namespace Vantrel::HolvaneApi::Sampling
