#include "ApiBenchmarks.h"

#include "AllocCounter.h"
#include "CondVarRoundTrip.h"
#include "DirectVrClient.h"
#include "FloorPingPong.h"
#include "ProcessMemory.h"

#ifdef HOLVANE_BENCH_HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace Vantrel::HolvaneApi::Bench {
namespace {

constexpr uint32_t kReadVr = 7; // VR used by the single-call benchmarks
constexpr double kReadVrValue = 1234.5625;
constexpr int kParamAxis = 0;
constexpr int kMotionAxis = 1;
constexpr std::string_view kSpeed = "SPEED";
constexpr size_t kRounds = 5; // floor and benchmark rounds alternate this often

// Releases a group of threads at the same moment.
class StartLine {
public:
    explicit StartLine(size_t runners) : _runners(runners) {}
    void arriveAndWait()
    {
        _arrived.fetch_add(1);
        while (!_go.load(std::memory_order_acquire))
            std::this_thread::yield();
    }
    void releaseWhenAllArrived()
    {
        while (_arrived.load() < _runners)
            std::this_thread::yield();
        _go.store(true, std::memory_order_release);
    }

private:
    const size_t _runners;
    std::atomic<size_t> _arrived{0};
    std::atomic<bool> _go{false};
};

void noteError(BenchResult& result, ErrorCode code)
{
    if (code == NoError)
        return;
    if (result.errors++ == 0)
        result.first_error = code;
}

std::string hex(uint64_t code)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(code));
    return text;
}

} // namespace

double fillValue(size_t index)
{
    // Exact in binary and in short decimal text, so both sides agree to the bit.
    return static_cast<double>(index) * 1.25 + 0.5;
}

ApiBenchmarks::ApiBenchmarks(const BenchConfig& config, const PluginLibrary& library, JsonReport& report)
    : _config(config), _library(library), _report(report)
{
}

bool ApiBenchmarks::wants(const std::string& group) const
{
    return _config.groups.empty() || _config.groups.count(group) != 0;
}

size_t ApiBenchmarks::count(size_t base) const
{
    return std::max<size_t>(1, static_cast<size_t>(std::llround(static_cast<double>(base) * _config.scale)));
}

void ApiBenchmarks::add(BenchResult result)
{
    result.name += _config.suffix;
    if (result.group != "floor" && result.floor_median_us == 0.0)
        relateToFloor(result, _floorMedianUs);
    std::cerr << "  " << result.name << ": median " << result.median_us << " us, p99 " << result.p99_us << " us, "
              << result.ops_per_s << " " << result.unit << "/s";
    if (result.errors != 0)
        std::cerr << ", " << result.errors << " errors (first " << hex(result.first_error) << ")";
    std::cerr << std::endl;
    _report.add(result);
}

void ApiBenchmarks::run()
{
    floor(); // always: every other figure is related to it
    if (wants("condvar"))
        condVar();
    if (wants("single"))
        singleCalls();
    if (wants("batch"))
        batchCalls();
    if (wants("threads"))
        runThreadGroup({1, 2, 4, 8}, 0, "");
    if (wants("connections"))
        runThreadGroup({4}, 1, "");
    if (wants("multi"))
        blockReads();
    if (wants("connect"))
        connectTime();
    if (wants("memory"))
        memory();
}

void ApiBenchmarks::floor()
{
    _floor = std::make_unique<FloorPingPong>(_config.requestBytes, _config.replyBytes);
    const size_t iterations = count(20000);
    Samples samples(iterations);
    BenchResult result;
    result.name = "floor: C++ ping-pong " + std::to_string(_config.requestBytes) + " B / " +
                  std::to_string(_config.replyBytes) + " B";
    result.group = "floor";
    const double wall = _floor->run(count(2000), iterations, samples, result.errors);
    summarize(result, samples, wall, static_cast<double>(iterations));
    relateToFloor(result, result.median_us);
    _floorMedianUs = result.median_us;
    add(result);
}

void ApiBenchmarks::condVar()
{
    add(runCondVarRoundTrip(count(2000), count(20000)));

    // The floor exchange with the reader-thread hand-off of the plug-in's
    // design, in rounds alternating with the plain floor.
    // A second variant also reads the reply in the plug-in's pieces.
    const size_t rounds = kRounds;
    const size_t perRound = count(20000) / rounds;
    Samples relay(perRound * rounds);
    Samples pieces(perRound * rounds);
    Samples plain(perRound * rounds);
    BenchResult result;
    result.name = "floor with a reader-thread hand-off (the design's own cost)";
    result.group = "latency";
    BenchResult piecewise;
    piecewise.name = "floor with the hand-off, reply read as poll+recv per 8 bytes";
    piecewise.group = "latency";
    Samples socketSamples(perRound * rounds);
    BenchResult socketWait;
    socketWait.name = "floor with a reader thread waiting on the socket (no queue wake-up)";
    socketWait.group = "latency";
    double wall = 0.0;
    double piecesWall = 0.0;
    double socketWall = 0.0;
    for (size_t round = 0; round < rounds; ++round) {
        _floor->run(50, perRound, plain, result.errors);
        wall += _floor->runWithReaderThread(50, perRound, relay, result.errors);
        piecesWall +=
            _floor->runWithReaderThread(50, perRound, pieces, piecewise.errors, FloorPingPong::Reader::QueueWakePieces);
        socketWall += _floor->runWithReaderThread(50, perRound, socketSamples, socketWait.errors,
                                                  FloorPingPong::Reader::SocketWait);
    }
    summarize(result, relay, wall, static_cast<double>(perRound * rounds));
    relateToFloor(result, plain.percentileUs(50.0));
    add(result);
    summarize(piecewise, pieces, piecesWall, static_cast<double>(perRound * rounds));
    relateToFloor(piecewise, plain.percentileUs(50.0));
    add(piecewise);
    summarize(socketWait, socketSamples, socketWall, static_cast<double>(perRound * rounds));
    relateToFloor(socketWait, plain.percentileUs(50.0));
    add(socketWait);
}

BenchResult ApiBenchmarks::timeCalls(const std::string& name, size_t warmup, size_t iterations,
                                     const std::function<ErrorCode()>& call)
{
    BenchResult result;
    result.name = name;
    result.group = "latency";
    for (size_t i = 0; i < warmup; ++i)
        noteError(result, call());
    result.errors = 0;
    result.first_error = NoError;

    // Rounds of the floor and of the calls alternate, so that both see the
    // same load on a shared machine; the ratio is the median of the rounds'
    // ratios.
    const size_t rounds = std::min<size_t>(kRounds, iterations);
    const size_t perRound = iterations / rounds;
    const size_t floorPerRound = std::max<size_t>(perRound, 500);
    std::vector<Samples> callRounds;
    std::vector<Samples> floorRounds;
    for (size_t round = 0; round < rounds; ++round) {
        callRounds.emplace_back(perRound);
        floorRounds.emplace_back(floorPerRound);
    }
    uint64_t floorErrors = 0;
    uint64_t allocations = 0;
    double wall = 0.0;
    for (size_t round = 0; round < rounds; ++round) {
        _floor->run(50, floorPerRound, floorRounds[round], floorErrors);
        Samples& samples = callRounds[round];
        const uint64_t allocationsBefore = holvane_bench_allocations();
        wall += timeLoop(0, perRound, samples, [&] { noteError(result, call()); });
        allocations += holvane_bench_allocations() - allocationsBefore;
    }
    Samples all(perRound * rounds);
    Samples allFloor(floorPerRound * rounds);
    std::vector<double> ratios;
    for (size_t round = 0; round < rounds; ++round) {
        all.append(callRounds[round]);
        allFloor.append(floorRounds[round]);
        ratios.push_back(callRounds[round].percentileUs(50.0) / floorRounds[round].percentileUs(50.0));
    }
    const double done = static_cast<double>(perRound * rounds);
    summarize(result, all, wall, done);
    relateToFloor(result, allFloor.percentileUs(50.0));
    std::sort(ratios.begin(), ratios.end());
    result.ratio_to_floor = ratios[ratios.size() / 2];
    if (holvane_bench_alloc_counter_active())
        result.allocs_per_op = static_cast<double>(allocations) / done;
    return result;
}

double ApiBenchmarks::floorNow()
{
    const size_t iterations = count(3000);
    Samples samples(iterations);
    uint64_t errors = 0;
    _floor->run(iterations / 10, iterations, samples, errors);
    return samples.percentileUs(50.0);
}

void ApiBenchmarks::singleCalls()
{
    PluginConnection connection(_library);
    const ErrorCode connected = connection.connect(_config.endpoint);
    if (connected != NoError) {
        std::cerr << "single calls: Connect failed with " << hex(connected) << std::endl;
        return;
    }
    IConnection& c = connection.get();
    const size_t warmup = count(1000);
    const size_t iterations = count(10000);

    c.WriteVrValue(kReadVr, kReadVrValue);
    size_t wrongValues = 0;
    BenchResult read = timeCalls("ReadVrValue (C++ IConnection)", warmup, iterations, [&] {
        double value = 0.0;
        const ErrorCode code = c.ReadVrValue(kReadVr, value);
        if (code == NoError && value != kReadVrValue)
            ++wrongValues;
        return code;
    });
    if (wrongValues != 0) {
        read.errors += wrongValues;
        read.note = std::to_string(wrongValues) + " reads returned a wrong value";
    }
    add(read);

    // The same read by a hand-written client on the calling thread: what is
    // left above it is the library's own cost, the simulator's being equal.
    DirectVrClient direct;
    const std::string failure = direct.connect(_config.endpoint.host, static_cast<int>(_config.endpoint.port));
    if (failure.empty()) {
        size_t directWrong = 0;
        BenchResult hand =
            timeCalls("ReadVrValue (hand-written C++ socket client, no library)", warmup, iterations, [&] {
                double value = 0.0;
                const uint64_t code = direct.readVr(kReadVr, value);
                if (code == 0 && value != kReadVrValue)
                    ++directWrong;
                return code == 0 ? NoError : static_cast<ErrorCode>(code == 1 ? Fail : code);
            });
        hand.errors += directWrong;
        hand.allocs_per_op = -1.0;
        add(hand);
    } else {
        std::cerr << "hand-written client: " << failure << std::endl;
    }

    double next = 0.0;
    add(timeCalls("WriteVrValue (C++ IConnection)", warmup, iterations, [&] {
        next += 1.0;
        return c.WriteVrValue(kReadVr + 1, next);
    }));
    double check = 0.0;
    if (c.ReadVrValue(kReadVr + 1, check) == NoError && check != next)
        std::cerr << "WriteVrValue: VR " << kReadVr + 1 << " holds " << check << ", expected " << next << std::endl;

    add(timeCalls("ReadAxisParam SPEED (C++ IConnection)", warmup, iterations, [&] {
        double value = 0.0;
        return c.ReadAxisParam(kSpeed, kParamAxis, value);
    }));

    // The liveness check a polling loop makes: one look at the socket, no
    // request, no byte taken.
    BenchResult alive = timeCalls("IsConnected (C++ IConnection)", warmup, iterations,
                                  [&] { return c.IsConnected() ? NoError : Fail; });
    alive.note = "asks the socket's state; nothing is sent";
    add(alive);

    // A move to where the axis already is: a real motion request that leaves
    // the axis idle for the next one.
    double position = 0.0;
    c.ReadAxisParam("DPOS", kMotionAxis, position);
    BenchResult move = timeCalls("MoveAbs to current position (C++ IConnection)", warmup, iterations,
                                 [&] { return c.MoveAbs(position, kMotionAxis); });
    move.note = "axis " + std::to_string(kMotionAxis) + " at " + std::to_string(position);
    add(move);
}

void ApiBenchmarks::batchCalls()
{
    PluginConnection connection(_library);
    const ErrorCode connected = connection.connect(_config.endpoint);
    if (connected != NoError) {
        std::cerr << "batch calls: Connect failed with " << hex(connected) << std::endl;
        return;
    }
    IConnection& c = connection.get();
    const size_t warmup = count(300);
    const size_t iterations = count(3000);

    // The reads of a machine cycle: 16 axes x DPOS, MPOS, IDLE. The items are
    // made once; a batch call itself must not allocate up to 64 items.
    std::vector<BatchItem> cycle;
    for (int32_t axis = 0; axis < 16; ++axis)
        for (const char* name : {"DPOS", "MPOS", "IDLE"})
            cycle.push_back(BatchItem::readAxisParam(name, axis));
    BenchResult mixed = timeCalls("Batch of 48 reads, 16 axes x DPOS/MPOS/IDLE (C++ IConnection)", warmup, iterations,
                                  [&] { return c.Batch(cycle.data(), static_cast<uint32_t>(cycle.size())); });
    mixed.group = "batch";
    mixed.note = "allocs/op is per batch of 48";
    add(mixed);

    // VR reads: every value checked.
    for (uint32_t size : {48u, 64u, 65u, 1000u}) {
        std::vector<BatchItem> reads(size, BatchItem::readVr(kReadVr));
        c.WriteVrValue(kReadVr, kReadVrValue);
        size_t wrong = 0;
        BenchResult result = timeCalls("Batch of " + std::to_string(size) + " ReadVrValue items (C++ IConnection)",
                                       warmup / 4 + 1, iterations / (size > 100 ? 20 : 2), [&] {
                                           const ErrorCode code = c.Batch(reads.data(), size);
                                           for (const BatchItem& item : reads)
                                               wrong += item.value != kReadVrValue;
                                           return code;
                                       });
        result.errors += wrong;
        result.group = "batch";
        result.note = "allocs/op is per batch of " + std::to_string(size);
        add(result);
    }
}

double ApiBenchmarks::runThreadRound(const std::vector<IConnection*>& connections, size_t threads, size_t opsPerThread,
                                     Samples& samples, BenchResult& errors)
{
    std::vector<Samples> perThreadSamples;
    for (size_t t = 0; t < threads; ++t)
        perThreadSamples.emplace_back(opsPerThread);
    std::vector<BenchResult> perThread(threads);
    StartLine startLine(threads);
    std::vector<std::thread> workers;
    for (size_t t = 0; t < threads; ++t) {
        IConnection& c = *connections[t % connections.size()];
        workers.emplace_back([&, t] {
            double value = 0.0;
            for (size_t i = 0; i < std::max<size_t>(1, opsPerThread / 20); ++i)
                c.ReadVrValue(kReadVr, value);
            startLine.arriveAndWait();
            for (size_t i = 0; i < opsPerThread; ++i) {
                const auto t0 = Clock::now();
                const ErrorCode code = c.ReadVrValue(kReadVr, value);
                perThreadSamples[t].add(elapsedNs(t0, Clock::now()));
                noteError(perThread[t], code == NoError && value != kReadVrValue ? BadResponse : code);
            }
        });
    }
    startLine.releaseWhenAllArrived();
    const auto start = Clock::now();
    for (auto& worker : workers)
        worker.join();
    const double wall = elapsedNs(start, Clock::now());
    for (size_t t = 0; t < threads; ++t) {
        samples.append(perThreadSamples[t]);
        if (perThread[t].errors != 0 && errors.errors == 0)
            errors.first_error = perThread[t].first_error;
        errors.errors += perThread[t].errors;
    }
    return wall;
}

void ApiBenchmarks::runThreadGroup(const std::vector<size_t>& threadCounts, size_t connectionsPerConfig,
                                   const std::string& suffix)
{
    // One connection shared by all threads, or one per thread.
    const size_t needed = connectionsPerConfig == 0 ? 1 : *std::max_element(threadCounts.begin(), threadCounts.end());
    std::vector<std::unique_ptr<PluginConnection>> owners;
    std::vector<IConnection*> connections;
    for (size_t i = 0; i < needed; ++i) {
        owners.push_back(std::make_unique<PluginConnection>(_library));
        const ErrorCode code = owners.back()->connect(_config.endpoint);
        if (code != NoError) {
            std::cerr << "threads: Connect failed with " << hex(code) << std::endl;
            return;
        }
        connections.push_back(&owners.back()->get());
    }
    connections.front()->WriteVrValue(kReadVr, kReadVrValue);

    // Rounds of every configuration alternate, so that all of them (and the
    // floor measured before each round) see the same load; the reported rate
    // is the median of the rounds' rates.
    const size_t total = count(24000);
    struct Config {
        BenchResult result;
        std::unique_ptr<Samples> samples;
        std::vector<double> rates;
        std::vector<double> floors;
    };
    std::vector<Config> configs;
    for (const size_t threads : threadCounts) {
        Config config;
        config.result.name =
            "ReadVrValue, " + std::to_string(threads) + " thread(s) on " +
            (connectionsPerConfig == 0 ? std::string("1 connection") : std::to_string(threads) + " connections") +
            suffix;
        config.result.group = "throughput";
        config.samples = std::make_unique<Samples>(total);
        configs.push_back(std::move(config));
    }
    for (size_t round = 0; round < kRounds; ++round)
        for (size_t i = 0; i < threadCounts.size(); ++i) {
            const size_t threads = threadCounts[i];
            const size_t opsPerThread = std::max<size_t>(1, total / threads / kRounds);
            configs[i].floors.push_back(floorNow());
            const std::vector<IConnection*> used(
                connections.begin(),
                connections.begin() + static_cast<std::ptrdiff_t>(connectionsPerConfig == 0 ? 1 : threads));
            const double wall = runThreadRound(used, threads, opsPerThread, *configs[i].samples, configs[i].result);
            configs[i].rates.push_back(wall > 0.0 ? static_cast<double>(threads * opsPerThread) * 1e9 / wall : 0.0);
        }
    for (Config& config : configs) {
        summarize(config.result, *config.samples, 0.0, 0.0);
        std::vector<double> rates = config.rates;
        std::sort(rates.begin(), rates.end());
        config.result.ops_per_s = rates[rates.size() / 2];
        std::sort(config.floors.begin(), config.floors.end());
        relateToFloor(config.result, config.floors[config.floors.size() / 2]);
        char note[96];
        std::snprintf(note, sizeof note, "ops/s: median of %zu rounds, %.0f to %.0f", rates.size(), rates.front(),
                      rates.back());
        config.result.note = note;
        add(config.result);
    }
}

bool ApiBenchmarks::fillValues(IConnection& connection, const char* variable, size_t count)
{
    // Lines of the controller's language with many assignments each: the
    // plug-in has no block write, and one write per value would take seconds.
    constexpr size_t kPerLine = 40;
    std::string line;
    char assignment[64];
    for (size_t first = 0; first < count; first += kPerLine) {
        line.clear();
        for (size_t i = first; i < std::min(count, first + kPerLine); ++i) {
            std::snprintf(assignment, sizeof assignment, "%s%s(%zu)=%.17g", line.empty() ? "" : ":", variable, i,
                          fillValue(i));
            line += assignment;
        }
        if (connection.Execute(line) != NoError)
            return false;
    }
    return true;
}

void ApiBenchmarks::blockReads()
{
    PluginConnection connection(_library);
    const ErrorCode connected = connection.connect(_config.endpoint);
    if (connected != NoError) {
        std::cerr << "block reads: Connect failed with " << hex(connected) << std::endl;
        return;
    }
    IConnection& c = connection.get();
    constexpr size_t kLargest = 100000;
    constexpr size_t kSmallBank = 65536;
    double probe = 0.0;
    const size_t vrBank = c.ReadVrValue(kLargest - 1, probe) == NoError ? kLargest : kSmallBank;
    const auto fillStart = Clock::now();
    const bool filled = fillValues(c, "VR", vrBank) && (vrBank == kLargest || fillValues(c, "TABLE", kLargest));
    std::cerr << "  filled " << (vrBank == kLargest ? "VR" : "VR and TABLE") << " in "
              << elapsedNs(fillStart, Clock::now()) / 1e9 << " s" << (filled ? "" : " (some lines failed)")
              << std::endl;

    struct Size {
        bool table;
        size_t values;
        size_t iterations;
    };
    std::vector<Size> sizes = {
        {false, 10, count(2000)}, {false, 1000, count(300)}, {false, vrBank, std::max<size_t>(3, count(6))}};
    // A controller with fewer VRs: the same value-list reply, from TABLE.
    if (vrBank < kLargest)
        sizes.push_back({true, kLargest, std::max<size_t>(3, count(6))});
    std::vector<double> values(kLargest);
    for (const Size& size : sizes) {
        const size_t warmup = std::max<size_t>(1, size.iterations / 10);
        size_t wrong = 0;
        const std::string name = std::string(size.table ? "ReadMultiTableValues" : "ReadMultiVrValues") + " of " +
                                 std::to_string(size.values) + " values";
        BenchResult result = timeCalls(name, warmup, size.iterations, [&] {
            const auto n = static_cast<uint32_t>(size.values);
            const ErrorCode code =
                size.table ? c.ReadMultiTableValues(0, n, values.data()) : c.ReadMultiVrValues(0, n, values.data());
            if (code == NoError)
                for (size_t i = 0; i < size.values; ++i)
                    if (values[i] != fillValue(i)) {
                        ++wrong;
                        break;
                    }
            return code;
        });
        result.group = "block";
        result.unit = "values";
        result.ops_per_s = result.median_us > 0.0 ? static_cast<double>(size.values) * 1e6 / result.median_us : 0.0;
        result.errors += wrong;
        result.note = "values/s from the median call";
        if (size.table)
            result.note += "; the controller has " + std::to_string(vrBank) + " VRs, so 100 000 values come from TABLE";
        if (!filled)
            result.note += "; filling the values failed";
        add(result);
    }
}

void ApiBenchmarks::connectTime()
{
    std::mutex mutex;
    std::string entries;
    EventCallback events = [&](EventType, uint64_t, const std::string_view& text) {
        constexpr std::string_view prefix = "TOKENTABLE stops successfully with ";
        if (text.substr(0, prefix.size()) == prefix) {
            std::lock_guard<std::mutex> lock(mutex);
            entries = std::string(text.substr(prefix.size()));
        }
    };
    const size_t iterations = count(40);
    BenchResult result;
    result.name = "Connect (token table download, VERSION, CONTROL)";
    result.group = "connect";
    Samples samples(iterations);
    const auto start = Clock::now();
    for (size_t i = 0; i < iterations; ++i) {
        PluginConnection connection(_library, events);
        const ErrorCode configured = connection.configure(_config.endpoint);
        noteError(result, configured);
        const auto t0 = Clock::now();
        const ErrorCode code = connection->Connect();
        samples.add(elapsedNs(t0, Clock::now()));
        noteError(result, code);
    }
    summarize(result, samples, elapsedNs(start, Clock::now()), static_cast<double>(iterations));
    relateToFloor(result, floorNow());
    std::lock_guard<std::mutex> lock(mutex);
    result.note = entries.empty() ? "entry count not reported" : "token table: " + entries;
    add(result);
}

void ApiBenchmarks::memory()
{
    constexpr size_t kConnections = 100;
    const uint64_t before = residentKiB();
    BenchResult result;
    result.name = "resident size holding 100 connected connections";
    result.group = "memory";
    result.unit = "KiB";
    {
        std::vector<std::unique_ptr<PluginConnection>> connections;
        for (size_t i = 0; i < kConnections; ++i) {
            connections.push_back(std::make_unique<PluginConnection>(_library));
            noteError(result, connections.back()->connect(_config.endpoint));
        }
        // Every connection has done one request, so its buffers are in use.
        for (auto& connection : connections) {
            double value = 0.0;
            noteError(result, connection->get().ReadVrValue(kReadVr, value));
        }
        const uint64_t after = residentKiB();
        result.value = static_cast<double>(after);
        result.value_unit = "KiB";
        result.note = "process before: " + std::to_string(before) +
                      " KiB; per connection: " + std::to_string((after - std::min(after, before)) / kConnections) +
                      " KiB";
    }
    result.samples = kConnections;
    std::cerr << "  " << result.name << ": " << result.value << " KiB (" << result.note << ")" << std::endl;
    result.name += _config.suffix;
    _report.add(result);
}

size_t ApiBenchmarks::profileLoop(const std::string& operation, size_t ops)
{
    PluginConnection connection(_library);
    const ErrorCode connected = connection.connect(_config.endpoint);
    if (connected != NoError) {
        std::cerr << "profile: Connect failed with " << hex(connected) << std::endl;
        return ops + 1;
    }
    IConnection& c = connection.get();
    c.WriteVrValue(kReadVr, kReadVrValue);
    auto call = [&]() {
        double value = 0.0;
        if (operation == "write")
            return c.WriteVrValue(kReadVr, kReadVrValue);
        return c.ReadVrValue(kReadVr, value);
    };
    for (size_t i = 0; i < 200; ++i)
        call();
    size_t failures = 0;
    const uint64_t allocationsBefore = holvane_bench_allocations();
#ifdef HOLVANE_BENCH_HAVE_CALLGRIND
    CALLGRIND_ZERO_STATS;
    CALLGRIND_START_INSTRUMENTATION;
#endif
    for (size_t i = 0; i < ops; ++i)
        if (call() != NoError)
            ++failures;
#ifdef HOLVANE_BENCH_HAVE_CALLGRIND
    CALLGRIND_STOP_INSTRUMENTATION;
    CALLGRIND_DUMP_STATS_AT("profile loop");
#endif
    const uint64_t allocations = holvane_bench_allocations() - allocationsBefore;
    std::cerr << "profile loop: " << ops << " x " << operation << ", " << failures << " failures, " << allocations
              << " allocations" << std::endl;
    return failures;
}

} // namespace Vantrel::HolvaneApi::Bench
