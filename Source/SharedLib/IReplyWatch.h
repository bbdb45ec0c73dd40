#pragma once

#include <cstdint>

namespace Vantrel::HolvaneApi {

// The incoming side of a link, as the reader pump's idle worker watches it
// between bursts of requests and while nothing is asked of it.
class IReplyWatch {
public:
    enum class Wake {
        Bytes,  // bytes are ready to be read
        Quiet,  // nothing came in time, or the wait was woken
        Closed, // the link is closed or failed: nothing more will come
    };
    // Waits up to timeout_ms (> 0) for bytes, without handing any out.
    virtual Wake awaitBytes(uint32_t timeout_ms) = 0;

    // While nothing is queued: waits up to timeout_ms (-1: no limit) until
    // the link closes or fails (Closed) or wake() is called (Quiet). Bytes
    // that arrive do not end it. A watch that cannot do this answers Closed
    // at once, and the pump then sleeps on its queue instead.
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
