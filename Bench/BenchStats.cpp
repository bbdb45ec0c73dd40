#include "BenchStats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace Vantrel::HolvaneApi::Bench {

double Samples::percentileUs(double p) const
{
    if (_ns.empty())
        return 0.0;
    std::vector<double> sorted(_ns);
    std::sort(sorted.begin(), sorted.end());
    // Nearest-rank percentile: p99 of 100 samples is the 99th value.
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(std::max(rank, 1.0)) - 1);
    if (p == 50.0 && sorted.size() % 2 == 0)
        return (sorted[sorted.size() / 2 - 1] + sorted[sorted.size() / 2]) / 2000.0;
    return sorted[index] / 1000.0;
}

double Samples::meanUs() const
{
    if (_ns.empty())
        return 0.0;
    return std::accumulate(_ns.begin(), _ns.end(), 0.0) / static_cast<double>(_ns.size()) / 1000.0;
}

void summarize(BenchResult& result, const Samples& samples, double wallNs, double opsDone)
{
    result.samples = samples.size();
    result.median_us = samples.percentileUs(50.0);
    result.p99_us = samples.percentileUs(99.0);
    result.mean_us = samples.meanUs();
    result.ops_per_s = wallNs > 0.0 ? opsDone * 1e9 / wallNs : 0.0;
}

void relateToFloor(BenchResult& result, double floorMedianUs)
{
    result.floor_median_us = floorMedianUs;
    if (floorMedianUs <= 0.0)
        return;
    // Single-call benchmarks compare medians; throughput benchmarks compare the
    // wall time per call (several calls may overlap).
    const bool latency = result.group == "latency" || result.group == "floor" || result.group == "connect";
    double perCallUs = result.median_us;
    if (!latency && result.ops_per_s > 0.0)
        perCallUs = (result.unit == "values" ? result.median_us : 1e6 / result.ops_per_s);
    result.ratio_to_floor = perCallUs / floorMedianUs;
}

} // namespace Vantrel::HolvaneApi::Bench
