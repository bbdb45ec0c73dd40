#include "SharedLib/TimingPolicy.h"

#include <algorithm>
#include <climits>

namespace Vantrel::HolvaneApi {

namespace {

// The operation this thread is in; nested scopes of the same connection
// defer to it.
thread_local OperationScope* t_current = nullptr;

// Milliseconds from `now` to `until`, rounded up, never negative.
int64_t msBetween(TimingPolicy::Clock::time_point now, TimingPolicy::Clock::time_point until)
{
    if (until <= now)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    return std::min<int64_t>(left, INT_MAX);
}

} // namespace

int TimingPolicy::msUntil(Clock::time_point until) { return static_cast<int>(msBetween(Clock::now(), until)); }

OperationScope::OperationScope(const TimingPolicy& policy)
    : _policy(&policy), _previous(t_current), _nested(_previous != nullptr && _previous->_policy == &policy)
{
    if (_nested)
        return;
    const Clock::time_point now = Clock::now();
    const uint32_t deadline = policy.deadlineMs();
    if (deadline != 0) {
        _hasDeadline = true;
        _deadline = now + std::chrono::milliseconds(deadline);
        _deadlineMs = deadline;
    }
    _check = policy.interruptCheck();
    _checkContext = policy.interruptContext();
    _nextCheck = now + std::chrono::milliseconds(TimingPolicy::InterruptSliceMs);
    t_current = this;
}

OperationScope::~OperationScope()
{
    if (!_nested)
        t_current = _previous;
}

OperationScope* OperationScope::current() { return t_current; }

ErrorCode OperationScope::stopReason()
{
    if (_interrupted)
        return Fail;
    const Clock::time_point now = Clock::now();
    if (_check != nullptr && now >= _nextCheck) {
        _nextCheck = now + std::chrono::milliseconds(TimingPolicy::InterruptSliceMs);
        if (_check(_checkContext)) {
            _interrupted = true;
            return Fail;
        }
    }
    if (_hasDeadline && now >= _deadline)
        return Timeout;
    return NoError;
}

int OperationScope::boundWaitMs(int limit_ms) const
{
    const Clock::time_point now = Clock::now();
    int64_t bound = limit_ms;
    if (_hasDeadline) {
        const int64_t left = msBetween(now, _deadline);
        bound = bound == TimingPolicy::NoLimit ? left : std::min<int64_t>(bound, left);
    }
    if (_check != nullptr) {
        // At least 1 ms, so that a slice just ending does not spin.
        const int64_t slice = std::max<int64_t>(1, msBetween(now, _nextCheck));
        bound = bound == TimingPolicy::NoLimit ? slice : std::min<int64_t>(bound, slice);
    }
    return static_cast<int>(bound);
}

int OperationScope::waitMs(int limit_ms)
{
    const OperationScope* scope = t_current;
    return scope ? scope->boundWaitMs(limit_ms) : limit_ms;
}

ErrorCode OperationScope::currentStopReason()
{
    OperationScope* scope = t_current;
    return scope ? scope->stopReason() : NoError;
}

} // namespace Vantrel::HolvaneApi
