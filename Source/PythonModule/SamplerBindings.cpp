// The Sampler class: a recording's engine (Sampling::SamplingEngine) on the
// context of a Connection, handing blocks of samples to Python as numpy arrays.
#include "PythonModule/Bindings.h"
#include "PythonModule/PyConnectionWrapper.h"
#include "Sampling/SamplingEngine.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace Vantrel::HolvaneApi {

namespace {

using Sampling::SamplingEngine;

const char* stateName(SamplingEngine::State state)
{
    switch (state) {
    case SamplingEngine::State::Idle: return "idle";
    case SamplingEngine::State::Running: return "running";
    case SamplingEngine::State::Finished: return "finished";
    case SamplingEngine::State::Lost: return "lost";
    case SamplingEngine::State::Stopped: return "stopped";
    case SamplingEngine::State::Failed: return "failed";
    }
    return "unknown";
}

// The Python object: the engine and the Connection it samples (kept alive).
class PySampler {
public:
    PySampler(py::object connection, std::unique_ptr<SamplingEngine> engine)
        : _connection(std::move(connection)), _wrapper(&_connection.cast<PyConnectionWrapper&>()),
          _engine(std::move(engine))
    {
    }
    // The engine's reader-thread completions may wait for the interpreter
    // lock (an event of the lost link goes to Python first): stop without it.
    ~PySampler() // NOLINT(bugprone-exception-escape): releasing the lock cannot fail here
    {
        if (PyGILState_Check() != 0) {
            py::gil_scoped_release release;
            _engine.reset();
        } else {
            _engine.reset();
        }
    }
    PySampler(const PySampler&) = delete;
    PySampler& operator=(const PySampler&) = delete;

    SamplingEngine& engine() { return *_engine; }
    // Usable without the interpreter lock: the object it belongs to is held.
    PyConnectionWrapper& wrapper() { return *_wrapper; }

private:
    py::object _connection;
    PyConnectionWrapper* _wrapper;
    std::unique_ptr<SamplingEngine> _engine;
};

std::unique_ptr<PySampler> makeSampler(const py::object& connection, const py::object& items, double rate,
                                       uint64_t samples, uint32_t max_in_flight, size_t buffer, uint32_t min_vr_block,
                                       uint32_t min_table_block, bool realtime)
{
    // The Connection is what the engine samples; checked before anything else.
    static_cast<void>(connection.cast<PyConnectionWrapper&>());
    if (!PySequence_Check(items.ptr()) || PyUnicode_Check(items.ptr()) || PyBytes_Check(items.ptr()))
        throw py::type_error("Sampler expects a list of read items such as [(\"ReadAxisParam\", \"DPOS\", 0)]");
    const py::sequence sequence = py::reinterpret_borrow<py::sequence>(items);
    SamplingEngine::Config config;
    std::vector<std::string> names(sequence.size());
    for (size_t i = 0; i < sequence.size(); ++i) {
        const py::object field = sequence[i];
        BatchItem item = parseBatchItem(field.ptr(), i, names[i]);
        item.param_name = names[i];
        if (item.kind != BatchItemKind::ReadVrValue && item.kind != BatchItemKind::ReadTableValue &&
            item.kind != BatchItemKind::ReadAxisParam)
            throw py::value_error("Sampler item " + std::to_string(i) +
                                  ": a channel is a ReadVrValue, ReadTableValue or ReadAxisParam item");
        config.channels.push_back(item);
    }
    config.rateHz = rate;
    config.samples = samples;
    config.maxInFlight = max_in_flight;
    config.bufferSamples = buffer;
    config.minVrBlock = min_vr_block;
    config.minTableBlock = min_table_block;
    config.realtime = realtime;
    try {
        // The engine copies the names it keeps.
        return std::make_unique<PySampler>(connection, std::make_unique<SamplingEngine>(std::move(config)));
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
}

// A lease kept for as long as a run goes on.
std::shared_ptr<void> keepLease(LiveContext::Lease lease)
{
    return std::make_shared<LiveContext::Lease>(std::move(lease));
}

py::array_t<double> seconds(const std::vector<int64_t>& ns)
{
    py::array_t<double> out(static_cast<py::ssize_t>(ns.size()));
    double* data = out.mutable_data();
    for (size_t i = 0; i < ns.size(); ++i)
        data[i] = static_cast<double>(ns[i]) * 1e-9;
    return out;
}

py::tuple readBlock(PySampler& self, size_t max_samples, double timeout, size_t min_samples)
{
    if (!std::isfinite(timeout) || timeout < 0)
        throw py::value_error("timeout must be a non-negative number of seconds");
    {
        py::gil_scoped_release release;
        self.engine().wait(max_samples, min_samples,
                           std::chrono::nanoseconds(static_cast<int64_t>(std::min(timeout, 86400.0) * 1e9)));
    }
    // A signal that came during the wait (Ctrl-C) is raised before anything
    // is taken, so the samples stay for the next Read instead of being lost
    // with this call's result.
    if (PyErr_CheckSignals() != 0)
        throw py::error_already_set();
    Sampling::SampleBlock block;
    SamplingEngine::Counters delta;
    self.engine().take(block, delta, max_samples);
    const auto n = static_cast<py::ssize_t>(block.size());
    const auto channels = static_cast<py::ssize_t>(self.engine().channelCount());
    py::array_t<int64_t> seq(n);
    std::copy(block.seq.begin(), block.seq.end(), seq.mutable_data());
    py::array_t<double> values({n, channels});
    std::copy(block.values.begin(), block.values.end(), values.mutable_data());
    py::list errors;
    for (uint64_t count : delta.errors)
        errors.append(count);
    return py::make_tuple(seq, seconds(block.dueNs), seconds(block.sentNs), seconds(block.receivedNs), values,
                          delta.missed, delta.overflow, errors);
}

} // namespace

void bindSampler(py::module_& module)
{
    py::class_<PySampler> cls(
        module, "Sampler",
        "Periodic sampling of channels on a Connection, on a thread of its own.\n\n"
        "Each tick of an absolute schedule (tick n at start + n / rate on the monotonic clock) sends one read of "
        "every channel as one pipelined exchange; up to in_flight_bound samples are outstanding at once, so the "
        "rate does not depend on the round trip. Completed samples wait in a bounded buffer for Read(). A tick "
        "that cannot be sent within its own period is missed (a gap in the sequence numbers), a controller error "
        "gives NaN for that channel, a full buffer counts overflow, and a lost link ends the run (state 'lost'; "
        "Start() resumes once the link is back). The interpreter lock is never held while sampling.");
    cls.attr("MaxRate") = SamplingEngine::MaxRateHz;
    cls.attr("InFlightSeconds") = SamplingEngine::InFlightSeconds;
    cls.attr("MaxInFlight") = SamplingEngine::MaxInFlight;
    cls.attr("MinInFlight") = SamplingEngine::MinInFlight;
    cls.attr("MaxRequestsInFlight") = SamplingEngine::MaxRequestsInFlight;
    cls.attr("MaxChannels") = SamplingEngine::MaxChannels;
    cls.attr("BufferSeconds") = SamplingEngine::DefaultBufferSeconds;
    cls.def(
        py::init(&makeSampler), py::arg("connection"), py::arg("items"), py::arg("rate"), py::arg("samples") = 0,
        py::arg("max_in_flight") = 0, py::arg("buffer") = 0, py::arg("min_vr_block") = 0,
        py::arg("min_table_block") = 2, py::arg("realtime") = false,
        "items: one read per channel, as Batch items: (\"ReadAxisParam\", name, axis), (\"ReadVrValue\", "
        "index) or (\"ReadTableValue\", index). rate: Hz, above 0 and at most MaxRate. samples: ticks to "
        "run (0: until Stop). max_in_flight: samples outstanding at most (1..MaxInFlight; 0: enough for "
        "InFlightSeconds of samples). buffer: samples "
        "held for Read (0: BufferSeconds worth). min_vr_block, min_table_block: runs of at least this many "
        "consecutive VR (TABLE) indices are read as one block request (0: never). realtime: run the sampling thread "
        "at SCHED_FIFO priority where the process may (see realtime_granted). Raises ValueError or "
        "TypeError for unusable arguments; nothing is sent.");
    cls.def(
        "Check",
        [](PySampler& self) {
            std::vector<ErrorCode> codes;
            ErrorCode code = ConnectionContext;
            {
                py::gil_scoped_release release;
                const LiveContext::Lease lease = self.wrapper().lease();
                if (lease)
                    code = self.engine().check(lease.connection(), lease.interfaceLevel(), codes);
            }
            return py::make_tuple(code, codes);
        },
        "Checks every channel against the controller's token table without sending anything: (code, [code per "
        "channel]). Fail when the plug-in cannot check without sending (InterfaceLevel below 3).");
    cls.def(
        "Start",
        [](PySampler& self) {
            py::gil_scoped_release release;
            LiveContext::Lease lease = self.wrapper().lease();
            if (!lease)
                return ConnectionContext;
            IConnection& connection = lease.connection();
            const int64_t level = lease.interfaceLevel();
            return self.engine().start(connection, level, keepLease(std::move(lease)));
        },
        "Starts sampling, or resumes after the link was lost and has been reconnected (the schedule goes on; "
        "the ticks in between are missed); returns once the sampling thread runs, tick 0 being when it first "
        "did. ConnectionContext without a context; Fail when already running or ended, or when the plug-in has "
        "no Batch (InterfaceLevel 1).");
    cls.def(
        "Stop",
        [](PySampler& self) {
            py::gil_scoped_release release;
            self.engine().stop();
        },
        "Stops sampling and waits for the samples in flight; what was sampled stays readable.");
    cls.def("Read", &readBlock, py::arg("max_samples") = 65536, py::arg("timeout") = 1.0, py::arg("min_samples") = 1,
            "Waits up to `timeout` seconds for at least `min_samples` samples (less when the run ends), then "
            "takes up to `max_samples`: (seq int64[n], t, sent, received float64[n] seconds since tick 0, values "
            "float64[n, channels], missed, overflow, [errors per channel]); the counts are those since the last "
            "Read. A signal during the wait (Ctrl-C) raises before anything is taken: the samples stay for the "
            "next Read. Needs numpy.");
    cls.def_property_readonly(
        "state", [](PySampler& self) { return stateName(self.engine().state()); },
        "'idle', 'running', 'finished', 'lost', 'stopped' or 'failed'.");
    cls.def_property_readonly(
        "end_code", [](PySampler& self) { return self.engine().endCode(); },
        "Why the run is 'lost' or 'failed' (NoError otherwise).");
    cls.def_property_readonly(
        "end_cause", [](PySampler& self) { return self.engine().endCause(); },
        "The connection's LinkLossCause when the link was lost (empty when it gives none).");
    cls.def_property_readonly(
        "start_ns", [](PySampler& self) { return self.engine().startNs(); },
        "Tick 0 on CLOCK_MONOTONIC, nanoseconds (0 before Start).");
    cls.def_property_readonly(
        "start_utc", [](PySampler& self) { return self.engine().startUtc(); },
        "Tick 0 on the wall clock, seconds since the epoch (UTC).");
    cls.def_property_readonly(
        "in_flight_bound", [](PySampler& self) { return self.engine().inFlightBound(); },
        "Samples outstanding at most in this run.");
    cls.def_property_readonly(
        "max_in_flight", [](PySampler& self) { return self.engine().maxInFlightSeen(); },
        "The most samples that were outstanding at once.");
    cls.def_property_readonly(
        "requests_per_sample", [](PySampler& self) { return self.engine().plan().requests; },
        "Requests one sample writes (after folding runs into block reads).");
    cls.def_property_readonly(
        "block_reads", [](PySampler& self) { return self.engine().plan().blocks; }, "Block requests among them.");
    cls.def_property_readonly(
        "realtime_granted", [](PySampler& self) { return self.engine().realtimeGranted(); },
        "Whether the sampling thread runs at real-time priority (asked for with realtime=True).");
    cls.def_property_readonly(
        "buffer_capacity", [](PySampler& self) { return self.engine().bufferCapacity(); }, "Samples the buffer holds.");
}

} // namespace Vantrel::HolvaneApi
