#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/CreateParameters.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace Vantrel::HolvaneApi {

// Every time limit of one connection, in one place. The limits the user sets
// (connection attributes) live here, and so do the fixed ones, so that every
// reader and every wait asks the same object.
//
// All members may be read from any thread; a change applies from the next wait
// (timeouts, deadline) or the next open of the socket (socket options).
class TimingPolicy {
public:
    using Clock = std::chrono::steady_clock;

    // --- Limits set through attributes (defaults) -------------------------
    static constexpr int64_t DefaultReplyTimeoutMs = 10000;  // TCP_Timeout
    static constexpr int64_t DefaultConnectTimeoutMs = 5000; // TCP_ConnectTimeout
    static constexpr int64_t DefaultDeadlineMs = 0;          // TCP_Deadline, 0 = none
    static constexpr int64_t DefaultKeepAliveS = 10;         // TCP_KeepAlive, 0 = off
    static constexpr int64_t DefaultNoDelay = -1;            // TCP_NoDelay
    // No limit may exceed one hour.
    static constexpr int64_t MaxLimitMs = 3600000;
    static constexpr int64_t MaxKeepAliveS = 3600;

    // --- How a wait states its limit -------------------------------------
    // Every wait that takes a limit in milliseconds (the ports' reads, the
    // pump's watches, an operation's bound) means the same by it: NoLimit
    // waits until something happens, 0 only looks at what is there, and any
    // other value waits at most that long. A limit that has run out is thus
    // 0, a look, never an endless wait, so no caller has to keep it at 1 ms.
    // An unsigned limit takes NoLimit as all ones (NoLimitMs).
    static constexpr int NoLimit = -1;
    static constexpr uint32_t NoLimitMs = static_cast<uint32_t>(NoLimit);
    // An unsigned limit as a signed one.
    static constexpr int limitOf(uint32_t ms)
    {
        return ms == NoLimitMs ? NoLimit : ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
    }
    // Milliseconds from now until `until`, rounded up (a wait never ends
    // before its time), 0 once it has passed.
    static int msUntil(Clock::time_point until);

    // --- Fixed limits --------------------------------------------------------
    // Keepalive probes once idle: this many, this far apart.
    static constexpr int KeepAliveProbes = 3;
    static constexpr int KeepAliveIntervalS = 2;
    // The protocol gives a controller this long to end the line of a value
    // list once its last item has come (the line is skipped to its end so
    // that the next reply is read in step); it spans the whole skip, not one
    // wait. A list itself waits for each piece as any reply does
    // (TCP_Timeout). The protocol's other minute, "at most 59999 ms" of a list
    // arriving in empty reads, has no place here: a read that waits for bytes
    // comes back empty only once the link has closed, which ends the list.
    static constexpr int ValueListLineEndMs = 60000;
    // The reader pump: how long after a reply it watches for the next one,
    // and how often an idle pump looks at its stop flag in any case.
    static constexpr int PumpHotWatchMs = 50;
    static constexpr int PumpIdlePollMs = 10000;
    // Draining bytes nobody asked for: a read this short ends the drain.
    static constexpr int DrainQuietMs = 1;
    // A waiting caller asks the interrupt check this often.
    static constexpr int InterruptSliceMs = 20;
    // Releasing a connection context (the module): after its Disconnect,
    // calls still in flight are waited for, looking this often whether a
    // Connect that was under way opened the link again; past the limit the
    // context is left alive rather than freed under a call that still runs
    // (one that an event handler of the caller's keeps busy, say).
    static constexpr int ReleaseRetryMs = 100;
    static constexpr int ReleaseWaitLimitMs = 150000;

    TimingPolicy() = default;
    TimingPolicy(const TimingPolicy&) = delete;
    TimingPolicy& operator=(const TimingPolicy&) = delete;

    // Each setter refuses a value outside its range (false, value kept).
    bool setReplyTimeoutMs(int64_t ms) { return store(_replyTimeoutMs, ms, 1, MaxLimitMs); }
    bool setConnectTimeoutMs(int64_t ms) { return store(_connectTimeoutMs, ms, 1, MaxLimitMs); }
    bool setDeadlineMs(int64_t ms) { return store(_deadlineMs, ms, 0, MaxLimitMs); }
    bool setKeepAliveS(int64_t s) { return store(_keepAliveS, s, 0, MaxKeepAliveS); }
    bool setNoDelay(int64_t mode) { return store(_noDelay, mode, -1, 1); }

    // The longest wait for the next bytes of a reply: replies, the token
    // table, acknowledgements, a request the socket must take.
    uint32_t replyTimeoutMs() const { return static_cast<uint32_t>(_replyTimeoutMs.load()); }
    uint32_t connectTimeoutMs() const { return static_cast<uint32_t>(_connectTimeoutMs.load()); }
    // The longest one operation may take, queueing included; 0 = no limit.
    uint32_t deadlineMs() const { return static_cast<uint32_t>(_deadlineMs.load()); }
    uint32_t keepAliveS() const { return static_cast<uint32_t>(_keepAliveS.load()); }
    int noDelay() const { return static_cast<int>(_noDelay.load()); }

    int64_t replyTimeoutAttribute() const { return _replyTimeoutMs.load(); }
    int64_t connectTimeoutAttribute() const { return _connectTimeoutMs.load(); }
    int64_t deadlineAttribute() const { return _deadlineMs.load(); }
    int64_t keepAliveAttribute() const { return _keepAliveS.load(); }
    int64_t noDelayAttribute() const { return _noDelay.load(); }

    void setInterruptCheck(InterruptCheck check, void* context)
    {
        _interruptContext.store(context);
        _interruptCheck.store(check);
    }
    InterruptCheck interruptCheck() const { return _interruptCheck.load(); }
    void* interruptContext() const { return _interruptContext.load(); }

private:
    static bool store(std::atomic<int64_t>& slot, int64_t value, int64_t low, int64_t high)
    {
        if (value < low || value > high)
            return false;
        slot.store(value);
        return true;
    }

    std::atomic<int64_t> _replyTimeoutMs{DefaultReplyTimeoutMs};
    std::atomic<int64_t> _connectTimeoutMs{DefaultConnectTimeoutMs};
    std::atomic<int64_t> _deadlineMs{DefaultDeadlineMs};
    std::atomic<int64_t> _keepAliveS{DefaultKeepAliveS};
    std::atomic<int64_t> _noDelay{DefaultNoDelay};
    std::atomic<InterruptCheck> _interruptCheck{nullptr};
    std::atomic<void*> _interruptContext{nullptr};
};

// One operation of a connection as seen by the thread that called it: when it
// must end (its deadline, measured from the call) and whether the caller asked
// to abandon it. While it lives, every wait on this thread (connecting,
// writing, reading the token table, waiting for the reply) is cut short at the
// deadline and asks the interrupt check every InterruptSliceMs.
//
// Scopes of one connection nest: an operation called inside another (Connect
// querying the controller, Ex() calling Ex(0)) runs under the outer one's
// deadline. An operation of another connection called meanwhile on the same
// thread (from an event handler, say) is an operation of its own: its own
// deadline and interrupt check, and the outer one's again once it returns.
class OperationScope {
public:
    using Clock = TimingPolicy::Clock;

    explicit OperationScope(const TimingPolicy& policy);
    ~OperationScope();
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

    // The scope of the calling thread, or null outside any operation.
    static OperationScope* current();

    bool hasDeadline() const { return _hasDeadline; }
    Clock::time_point deadline() const { return _deadline; }
    // The deadline's length (TCP_Deadline as the operation began); 0: none.
    uint32_t deadlineMs() const { return _deadlineMs; }
    // Why the operation must end now: Timeout past the deadline, Fail once
    // the interrupt check said so, NoError otherwise. Asks the check when a
    // slice has passed since it was last asked (never in the first slice, so
    // a quick call costs nothing).
    ErrorCode stopReason();
    // Whether the operation has had to end: its deadline has passed, or the
    // interrupt check said so (no check is asked here).
    bool ended() const { return _interrupted || (_hasDeadline && Clock::now() >= _deadline); }
    // The wait that may start now: `limit_ms` cut to the deadline and, with an
    // interrupt check, to one slice (NoLimit in and out).
    int boundWaitMs(int limit_ms) const;

    // What a wait of `limit_ms` on this thread may take (see boundWaitMs);
    // `limit_ms` itself outside any operation.
    static int waitMs(int limit_ms);
    // stopReason() of the current scope; NoError outside any operation.
    static ErrorCode currentStopReason();

private:
    const TimingPolicy* _policy;
    // The scope current when this one began, current again when it ends.
    OperationScope* _previous;
    // Part of _previous's operation (same connection): defers to it.
    bool _nested;
    bool _hasDeadline = false;
    Clock::time_point _deadline{};
    uint32_t _deadlineMs = 0;
    InterruptCheck _check = nullptr;
    void* _checkContext = nullptr;
    Clock::time_point _nextCheck{};
    bool _interrupted = false;
};

} // namespace Vantrel::HolvaneApi
