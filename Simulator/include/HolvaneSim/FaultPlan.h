#pragma once

#include <cstdint>

namespace Vantrel::HolvaneApi::Sim {

// Misbehaviour to inject, per connection. Requests are counted from 1 on each
// connection; the token table download and acknowledgement bytes do not count.
// A negative number switches a fault off.
struct FaultPlan {
    uint32_t replyDelayMs = 0;        // wait this long before answering each request
    int64_t silentAfter = -1;         // answer this many requests, then read and ignore the rest
    int64_t closeAfter = -1;          // answer this many requests, close when the next arrives
    int64_t cutReplyRequest = -1;     // the reply to this request ...
    int64_t cutReplyBytes = 0;        // ... is cut after this many bytes, then the connection closes
    int64_t corruptReplyRequest = -1; // the reply to this request is replaced by garbage bytes
    int64_t tableStopBytes = -1;      // send only this many bytes of the token table ...
    bool tableStopClose = false;      // ... then close (else stay silent)
    uint32_t dripMicros = 0;          // send replies one byte at a time, this far apart (0 = off)
};

} // namespace Vantrel::HolvaneApi::Sim
