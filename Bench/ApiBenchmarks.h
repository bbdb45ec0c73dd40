#pragma once

#include "BenchStats.h"
#include "FloorPingPong.h"
#include "JsonReport.h"
#include "PluginConnection.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Bench {

struct BenchConfig {
    Endpoint endpoint;
    double scale = 1.0;           // multiplies every iteration count
    size_t requestBytes = 14;     // floor exchange: a VR read request ...
    size_t replyBytes = 16;       // ... and its simple reply
    std::set<std::string> groups; // empty: every group
    std::string suffix;           // appended to every name, e.g. " (trace on)"
};

// The C++ benchmarks through IConnection: each group adds its results to the
// report, related to the floor measured first in the same run.
class ApiBenchmarks {
public:
    ApiBenchmarks(const BenchConfig& config, const PluginLibrary& library, JsonReport& report);

    void run();
    // A bare loop of `ops` VR reads for profilers (callgrind, strace); returns
    // the number of failed calls.
    size_t profileLoop(const std::string& operation, size_t ops);

private:
    bool wants(const std::string& group) const;
    size_t count(size_t base) const;
    void add(BenchResult result);

    void floor();
    void condVar();
    void singleCalls();
    // Batch through IConnection: latency and allocations per batch.
    void batchCalls();
    // Throughput of ReadVrValue with each thread count; connectionsPerConfig 0:
    // all threads share one connection, else each thread has its own.
    void runThreadGroup(const std::vector<size_t>& threadCounts, size_t connectionsPerConfig,
                        const std::string& suffix);
    void blockReads();
    void connectTime();
    void memory();

    // Times `iterations` calls of `call` after `warmup` untimed ones, in rounds
    // alternating with rounds of the floor, and counts the heap allocations the
    // whole process makes during the calls.
    BenchResult timeCalls(const std::string& name, size_t warmup, size_t iterations,
                          const std::function<ErrorCode()>& call);
    // One round: `threads` threads, started together, each doing opsPerThread
    // reads on connections[t % size]; returns the wall time in ns.
    double runThreadRound(const std::vector<IConnection*>& connections, size_t threads, size_t opsPerThread,
                          Samples& samples, BenchResult& errors);
    // Stores fillValue(i) in variable(i) for i < count ("VR" or "TABLE").
    bool fillValues(IConnection& connection, const char* variable, size_t count);
    double floorNow(); // a short floor measurement, median in us

    const BenchConfig& _config;
    const PluginLibrary& _library;
    JsonReport& _report;
    double _floorMedianUs = 0.0;
    std::unique_ptr<FloorPingPong> _floor;
};

// The value stored in VR / TABLE `index` before the block reads: distinct and
// not a run, so the controller cannot shorten the list.
double fillValue(size_t index);

} // namespace Vantrel::HolvaneApi::Bench
