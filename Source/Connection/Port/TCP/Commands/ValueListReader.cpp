#include "Connection/Port/TCP/Commands/ValueListReader.h"

#include "Connection/Port/TCP/Commands/ValueListParser.h"
#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/Token.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace Vantrel::HolvaneApi::TCP {

ErrorCode ValueListReader::acknowledgementByte(const Token& table, uint8_t& byte)
{
    uint16_t code = 0;
    if (!table.getTokenCode(Token::tUNKNOWN, code) || code > 255)
        return BadResponse;
    byte = static_cast<uint8_t>(code);
    return NoError;
}

ErrorCode ValueListReader::read(Connection_TCP& connection, double* values, size_t count, bool& traced)
{
    using Clock = std::chrono::steady_clock;
    traced = false;

    uint16_t status = 0;
    ErrorCode error = connection.GetResponse(nullptr, &status);
    if (error != NoError) {
        // A controller error status ends the reply. Anything else (a failed
        // read, a status that is no number) leaves the list, if one comes,
        // unread in the stream: the link is dropped rather than the list
        // read as the next request's answer.
        if (errorBand(error) != 4)
            connection.abandonStream();
        return error;
    }

    traced = true;
    const Token* table = connection.tokenTable();
    uint8_t ack = 0;
    if (table == nullptr || acknowledgementByte(*table, ack) != NoError) {
        // The list follows unacknowledged or not at all: its end is unknown.
        connection.abandonStream();
        return BadResponse;
    }

    const size_t maxBytes = count > (SIZE_MAX - MaxExtraBytes) / MaxBytesPerValue
                                ? SIZE_MAX
                                : count * MaxBytesPerValue + MaxExtraBytes;
    ValueListParser parser(values, count);
    uint8_t received[CycleBytes];
    size_t lastRead = 0;
    size_t lastUsed = 0; // bytes of the last read that the list took
    size_t total = 0;
    bool oversized = false;
    auto lastData = Clock::now();
    for (;;) {
        lastRead = 0;
        lastUsed = 0;
        if (ack != 0) {
            const char byte = static_cast<char>(ack);
            // Not shown to any write sniffer: the byte belongs to no request.
            error = connection.WriteControlBytes(&byte, 1);
            if (error != NoError)
                break;
        }
        size_t n = 0;
        error = connection.ReadBytes(reinterpret_cast<char*>(received), sizeof received, n, CycleTimeoutMs);
        if (error != NoError)
            break;
        lastRead = n;
        if (n != 0)
            lastData = Clock::now();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        total += n;
        lastUsed = parser.feed(received, n);
        if (parser.complete() || parser.malformed())
            break;
        if (total > maxBytes) {
            oversized = true;
            break;
        }
        if (Clock::now() - lastData > std::chrono::milliseconds(SilenceLimitMs))
            break;
    }

    if (error != NoError || oversized) {
        // Part of the reply is still to come, or will never end: a late byte
        // must not be read as the next request's answer.
        connection.abandonStream();
        return error != NoError ? error : BadResponse;
    }

    ErrorCode result = (parser.malformed() || parser.stored() != count) ? BadResponse : NoError;
    // Only a line end after the list's last item ends its line: one before it
    // stood between items.
    const uint8_t* rest = received + lastUsed;
    const uint8_t* end = received + lastRead;
    const uint8_t* lineEnd = std::find(rest, end, uint8_t('\n'));
    if (lineEnd != end && lineEnd + 1 != end) {
        // Bytes after the line end belong to the next reply, and this read
        // has taken them: rather than let the next command read what follows
        // them as its answer, drop the link.
        connection.abandonStream();
    } else if (lineEnd == end) {
        // Skip to the end of the line so that the stream is in step again.
        const ErrorCode skipped = connection.IgnoreLine(LineSkipTimeoutMs);
        if (skipped != NoError) {
            connection.abandonStream();
            if (result == NoError)
                result = skipped;
        }
    }
    return result;
}

} // namespace Vantrel::HolvaneApi::TCP
