#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Bench {

using Clock = std::chrono::steady_clock;

inline double elapsedNs(Clock::time_point from, Clock::time_point to)
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count());
}

// One benchmark's figures. Latencies are per call; throughput counts calls (or
// values, for block reads) per second of wall time.
struct BenchResult {
    std::string name;
    std::string group;
    std::string unit = "ops"; // what ops_per_s counts: "ops" or "values"
    size_t samples = 0;
    double median_us = 0.0;
    double p99_us = 0.0;
    double mean_us = 0.0;
    double ops_per_s = 0.0;
    double floor_median_us = 0.0; // the floor measured in the same run
    double ratio_to_floor = 0.0;  // time per call / floor round trip
    double allocs_per_op = -1.0;  // < 0: not measured
    uint64_t errors = 0;          // calls that did not return NoError
    uint64_t first_error = 0;
    double value = 0.0;     // a figure that is no latency (memory, entries)
    std::string value_unit; // its unit; empty when there is none
    std::string note;
};

// Per-call latency samples, reserved up front so that recording allocates nothing.
class Samples {
public:
    explicit Samples(size_t capacity) { _ns.reserve(capacity); }
    void add(double ns)
    {
        if (_ns.size() < _ns.capacity())
            _ns.push_back(ns);
    }
    void append(const Samples& other) { _ns.insert(_ns.end(), other._ns.begin(), other._ns.end()); }
    size_t size() const { return _ns.size(); }
    double percentileUs(double p) const; // p in 0..100
    double meanUs() const;

private:
    std::vector<double> _ns;
};

// Runs `call` warmup times untimed, then iterations times with each call's
// latency added to samples; returns the wall time of the timed calls in ns.
template <typename Call>
double timeLoop(size_t warmup, size_t iterations, Samples& samples, Call&& call)
{
    for (size_t i = 0; i < warmup; ++i)
        call();
    const auto start = Clock::now();
    for (size_t i = 0; i < iterations; ++i) {
        const auto t0 = Clock::now();
        call();
        samples.add(elapsedNs(t0, Clock::now()));
    }
    return elapsedNs(start, Clock::now());
}

// Fills the latency columns of a result from samples; ops_per_s from wall time.
void summarize(BenchResult& result, const Samples& samples, double wallNs, double opsDone);

// Sets floor_median_us and the ratio (time per call against the floor round trip).
void relateToFloor(BenchResult& result, double floorMedianUs);

} // namespace Vantrel::HolvaneApi::Bench
