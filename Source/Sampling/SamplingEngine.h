#pragma once

#include "Sampling/SampleBuffer.h"
#include "Sampling/SamplePlan.h"
#include "Sampling/SampleSchedule.h"
#include "SharedLib/IConnection.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Vantrel::HolvaneApi::Sampling {

// Periodic sampling of a set of channels at a fixed rate: one thread per
// recording sends one sample (every channel's read, as one pipelined
// exchange) at each tick of an absolute schedule, with up to an in-flight
// bound of samples outstanding, so the rate is the caller's and not the
// link's. Replies complete samples on the connection's reader thread, in
// order, into a bounded buffer the consumer takes blocks from.
//
// Accounting: a tick that cannot be sent within its own period (the thread
// woke too late, or the in-flight bound is reached) is missed and leaves a
// gap in the sequence numbers; so is a sample lost with the link. A
// controller error on a channel gives NaN and counts against that channel.
// A sample that finds the buffer full is counted as overflow. So the last
// tick dealt with + 1 = samples delivered + missed + overflow.
//
// A lost link ends the run (state Lost, with the loss's code and the
// connection's LinkLossCause); start() again, once the link is back,
// resumes the same schedule, the ticks of the outage being missed.
//
// With a plug-in of InterfaceLevel 3 samples are started with BatchStart and
// several are in flight at once; with level 2 each is one blocking Batch on
// the engine's thread (one in flight, no block reads).
class SamplingEngine {
public:
    // Above this the wake-up jitter of a thread on a general-purpose kernel
    // (tens of microseconds) is a sizeable part of the period, and faster
    // than a controller's servo cycle the values do not change.
    static constexpr double MaxRateHz = 10000.0;
    // Samples in flight at most, when not told otherwise: enough to ride out
    // InFlightSeconds without an answer (a slow round trip, a reader thread
    // not scheduled on a busy machine) without missing a tick, and never
    // fewer than MinInFlight.
    static constexpr double InFlightSeconds = 0.25;
    static constexpr uint32_t MinInFlight = 16;
    // The largest bound a caller may ask for. Each sample in flight holds
    // its exchange (about 16 KiB) until its replies are read.
    static constexpr uint32_t MaxInFlight = 1024;
    // Requests outstanding at most, whatever the in-flight bound: what the
    // controller holds queued stays within what a batch may hold.
    static constexpr uint32_t MaxRequestsInFlight = 4096;
    static constexpr uint32_t MaxChannels = 4096;
    // The buffer holds this long a stretch of samples when not told otherwise.
    static constexpr double DefaultBufferSeconds = 10.0;
    static constexpr size_t MinBufferSamples = 1024;
    // How long before a tick the thread stops sleeping and waits on the
    // clock instead: a wake-up is that much late at worst without costing
    // more than SpinShare of a core.
    static constexpr int64_t SpinNs = 30000;
    static constexpr double SpinShare = 0.05;

    struct Config {
        // One ReadVrValue, ReadTableValue or ReadAxisParam item per channel;
        // the names are copied.
        std::vector<BatchItem> channels;
        double rateHz = 0.0;
        uint64_t samples = 0;       // ticks to deal with; 0: until stopped
        uint32_t maxInFlight = 0;   // 0: InFlightSeconds of samples (see above)
        size_t bufferSamples = 0;   // 0: DefaultBufferSeconds of samples
        uint32_t minVrBlock = 0;    // consecutive VRs read as one block from this many on; 0: never
        uint32_t minTableBlock = 2; // likewise for TABLE
        // Run the engine's thread at real-time priority (SCHED_FIFO) where the
        // process may: its ticks then keep time on a machine busy with other
        // work. Off by default; realtimeGranted() tells whether it took.
        bool realtime = false;
    };

    // The SCHED_FIFO priority of a real-time engine thread: above ordinary
    // work, below the kernel's own threaded interrupts (50).
    static constexpr int RealtimePriority = 20;

    enum class State { Idle, Running, Finished, Lost, Stopped, Failed };

    struct Counters {
        uint64_t missed = 0;
        uint64_t overflow = 0;
        std::vector<uint64_t> errors; // per channel
    };

    // Throws std::invalid_argument, naming the problem, for a config that
    // cannot be sampled.
    explicit SamplingEngine(Config config);
    ~SamplingEngine();
    SamplingEngine(const SamplingEngine&) = delete;
    SamplingEngine& operator=(const SamplingEngine&) = delete;

    // Checks every channel against the controller without sending anything
    // (the connection's token table): per channel, NoError or the code a
    // read would get. Fail for a plug-in below level 3, which cannot check
    // without sending.
    ErrorCode check(IConnection& connection, int64_t level, std::vector<ErrorCode>& per_channel) const;

    // Starts the run, or resumes after Lost; `keep_alive` is held until the
    // run ends (the connection must stay valid that long). Returns once the
    // engine's thread has taken tick 0 (the first start) or is running again.
    // Fail when running or ended for good, or for a level below 2.
    ErrorCode start(IConnection& connection, int64_t level, std::shared_ptr<void> keep_alive);
    // Ends the run: no more ticks, waits for the samples in flight. Idempotent.
    void stop();

    // Waits until `min_samples` are buffered, the run is over or `timeout`
    // passed, then takes up to `max_samples`; `delta` gets the counts since
    // the previous read.
    void read(SampleBlock& out, Counters& delta, size_t max_samples, size_t min_samples,
              std::chrono::nanoseconds timeout);
    // read() in two steps, for a consumer that may give up between them
    // (Ctrl-C): what is not taken stays buffered.
    void wait(size_t max_samples, size_t min_samples, std::chrono::nanoseconds timeout);
    void take(SampleBlock& out, Counters& delta, size_t max_samples);

    State state() const;
    // Why the run is Lost or Failed: the first code of the loss, and the
    // connection's LinkLossCause then (empty when it offers none).
    ErrorCode endCode() const;
    std::string endCause() const;
    // Tick 0 on the monotonic clock (ns) and on the wall clock (s since the
    // epoch, UTC); 0 before the first start.
    int64_t startNs() const;
    double startUtc() const;
    // Samples in flight at most: as configured, or InFlightSeconds' worth,
    // then cut to MaxRequestsInFlight requests (1 at level 2). Known from
    // the first start on.
    uint32_t inFlightBound() const;
    uint32_t maxInFlightSeen() const { return _maxInFlightSeen.load(); }
    bool realtimeGranted() const;
    size_t bufferCapacity() const { return _buffer.capacity(); }
    size_t channelCount() const { return _channels.size(); }
    // The plan of the current (or last) run; empty before the first start.
    SamplePlan plan() const;

    static int64_t nowNs();

private:
    struct Slot {
        SamplingEngine* engine = nullptr;
        uint64_t seq = 0;
        int64_t dueNs = 0;
        int64_t sentNs = 0;
        std::vector<BatchItem> items;
        std::vector<double> row;
    };

    static void onDone(void* context, ErrorCode first);
    // On the reader thread (or, at level 2, the engine's): the sample's
    // outcome into the buffer and the counters.
    void complete(Slot& slot);
    void run(IConnection* connection, int64_t level);
    // The first run's set-up on the engine's thread: the plan, the slots and
    // tick 0, now.
    void prepare(int64_t level);
    // Sleeps until `due_ns` or until woken for a stop or a lost link; the
    // last stretch is waited out on the clock. False when woken.
    bool sleepUntil(int64_t due_ns);
    // Sends tick `seq`; false when nothing went out (then `error` says why).
    bool send(IConnection& connection, int64_t level, uint64_t seq, ErrorCode& error);
    // Wakes the engine's thread from its sleep (stop, a lost link).
    void wakeEngine();
    void noteEnd(ErrorCode code);

    // Whether a channel's error leaves the link as it was (a controller
    // error, a reply of the wrong form) rather than losing it.
    static bool channelError(ErrorCode error);

    const uint32_t _channelsCount;
    std::deque<std::string> _names; // what the channels' name views refer to
    std::vector<BatchItem> _channels;
    const double _rateHz;
    const uint64_t _samples;
    const uint32_t _inFlightBoundAsked;
    const uint32_t _minVrBlock;
    const uint32_t _minTableBlock;
    const bool _realtime;
    const int64_t _spinNs;

    // Serialises start() and stop(): the engine's thread is made and joined
    // by one caller at a time.
    std::mutex _lifecycleMutex;

    // What the engine's thread and the reader thread share on every sample
    // is lock-free, so that a real-time engine thread never waits for a
    // reader thread that was preempted while holding a lock.
    std::atomic<uint32_t> _inFlight{0};
    std::atomic<uint32_t> _maxInFlightSeen{0};
    std::atomic<uint64_t> _missed{0};
    std::atomic<bool> _stopRequested{false};
    std::atomic<bool> _linkTrouble{false};
    // The engine's thread sleeps on _engineCv; a waker takes _wakeMutex only
    // for the instant of the notification.
    std::mutex _wakeMutex;
    std::condition_variable _engineCv;

    // The rest is guarded by _mutex (the reader thread, the consumer and the
    // owner; the engine's thread at the start and the end of a run).
    mutable std::mutex _mutex;
    std::condition_variable _dataCv;
    State _state = State::Idle;
    bool _prepared = false; // the first run has set its plan and tick 0
    SampleBuffer _buffer;
    SamplePlan _plan;
    // Set once, by the first run before its first send; read-only afterwards.
    std::optional<SampleSchedule> _schedule;
    double _startUtc = 0.0;
    uint32_t _inFlightBound = 1;
    bool _realtimeGranted = false;
    size_t _wanted = 0; // > 0 while the consumer waits for that many
    ErrorCode _endCode = NoError;
    std::string _endCause;
    uint64_t _overflow = 0;
    std::vector<uint64_t> _errors;
    Counters _taken;
    std::shared_ptr<void> _keepAlive;
    std::vector<Slot> _slots;

    // The engine's thread only.
    uint64_t _next = 0; // first tick not yet dealt with
    uint64_t _sendIndex = 0;

    std::thread _thread;
};

} // namespace Vantrel::HolvaneApi::Sampling
