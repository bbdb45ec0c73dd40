#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/TimingPolicy.h"

#include <cstddef>
#include <cstdint>

namespace Vantrel::HolvaneApi {
class Connection_TCP;
class Token;
} // namespace Vantrel::HolvaneApi

namespace Vantrel::HolvaneApi::TCP {

// The reply to a block read (VR or TABLE): a simple reply, then the values as
// text in cycles of at most 256 bytes, each cycle opened by one
// acknowledgement byte (the UNKNOWN token's code; none when that code is 0).
class ValueListReader {
public:
    static constexpr size_t CycleBytes = 256;
    // Each read of a cycle waits up to the connection's reply time-out; the
    // line's end after the list, up to this long in all.
    static constexpr int LineSkipTimeoutMs = TimingPolicy::ValueListLineEndMs;
    // A list longer than this many bytes per wanted value (plus a margin for
    // line ends) is not a value list: no real item is anywhere near as long.
    static constexpr size_t MaxBytesPerValue = 512;
    static constexpr size_t MaxExtraBytes = size_t{64} * 1024;

    // The acknowledgement byte for this table. BadResponse when the table has
    // no UNKNOWN token or its code does not fit one byte: such a block read
    // is refused before anything is sent.
    static ErrorCode acknowledgementByte(const Token& table, uint8_t& byte);

    // Reads the reply into values[0..count). `traced` tells whether the reply
    // went far enough for its trace line (not when the leading simple reply
    // failed). When the reply's end is lost (a failed or timed-out read, an
    // oversized list) the stream is abandoned; a controller error or a
    // malformed list whose line was skipped to its end keeps it. Bytes that
    // the last read took past the list's line end (the next reply, sent at
    // once) are put back to the connection, and are left out of this reply's
    // trace; when the list's line does not end right after its last item
    // they cannot be told from the line's own and the stream is abandoned.
    static ErrorCode read(Connection_TCP& connection, double* values, size_t count, bool& traced);
};

} // namespace Vantrel::HolvaneApi::TCP
