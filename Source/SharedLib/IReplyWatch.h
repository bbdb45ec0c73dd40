#pragma once

#include "SharedLib/TimingPolicy.h"

#include <cstdint>

namespace Vantrel::HolvaneApi {

// The incoming side of a link, as the reader pump's worker watches it between
// bursts of requests and while nothing is asked of it. Limits are in
// milliseconds as TimingPolicy says every wait takes them.
class IReplyWatch {
public:
    enum class Wake {
        Bytes,  // bytes are ready to be read
        Quiet,  // nothing came in time, or the wait was woken
        Closed, // the link is closed or failed: nothing more will come
    };
    // Waits up to timeout_ms for bytes, without handing any out.
    virtual Wake awaitBytes(int timeout_ms) = 0;
    // A request was queued at `queued` while the worker waits in awaitBytes,
    // which is then waiting for that request's reply: a watch that would
    // outlast the reply's limit ends at once (Quiet). From a caller's thread.
    virtual void queuedDuringWatch(TimingPolicy::Clock::time_point queued) { static_cast<void>(queued); }

    // The worker is about to read a reply whose bytes it has been waiting
    // for since `since` (it watched for them before it took the command), so
    // that the reply's first wait ends when its limit, counted from then,
    // runs out rather than a whole limit later.
    virtual void replyAwaitedSince(TimingPolicy::Clock::time_point since) { static_cast<void>(since); }

    // While nothing is queued: waits up to timeout_ms until the link closes
    // or fails (Closed) or wake() is called (Quiet). Bytes that arrive do not
    // end it. A watch that cannot do this answers Closed at once, and the
    // pump then sleeps on its queue instead.
    virtual Wake awaitIdle(int timeout_ms)
    {
        static_cast<void>(timeout_ms);
        return Wake::Closed;
    }
    // Ends an awaitIdle in progress, or the next one; from any thread.
    virtual void wake() {}
    // awaitIdle found the link gone while nothing was queued: the watch
    // reports it and closes the link.
    virtual void linkGone() {}

protected:
    ~IReplyWatch() = default;
};

} // namespace Vantrel::HolvaneApi
