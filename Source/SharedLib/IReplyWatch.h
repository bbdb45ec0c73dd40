#pragma once

#include <cstdint>

namespace Vantrel::HolvaneApi {

// The incoming side of a link, as the reader pump's idle worker watches it
// between bursts of requests.
class IReplyWatch {
public:
    enum class Wake {
        Bytes, // bytes are ready to be read
        Quiet, // nothing came in time
        Closed, // the link is closed or failed: nothing more will come
    };
    // Waits up to timeout_ms (> 0) for bytes, without handing any out.
    virtual Wake awaitBytes(uint32_t timeout_ms) = 0;

protected:
    ~IReplyWatch() = default;
};

} // namespace Vantrel::HolvaneApi
