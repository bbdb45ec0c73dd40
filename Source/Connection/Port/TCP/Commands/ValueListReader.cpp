#include "Connection/Port/TCP/Commands/ValueListReader.h"

#include "Connection/Port/TCP/Commands/ValueListParser.h"
#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/Token.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace Vantrel::HolvaneApi::TCP {

static_assert(ValueListReader::CycleBytes <= PushbackPort::Capacity,
              "bytes read past a list's end must fit the connection's put-back buffer");

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
    const char* const receivedText = reinterpret_cast<const char*>(received);
    size_t lastRead = 0;
    size_t lastUsed = 0; // bytes of the last read that the list took
    size_t total = 0;
    bool oversized = false;
    bool lastShown = false; // the last read is in the trace already
    auto lastData = Clock::now();
    for (;;) {
        lastRead = 0;
        lastUsed = 0;
        lastShown = false;
        if (ack != 0) {
            const char byte = static_cast<char>(ack);
            // Not shown to any write sniffer: the byte belongs to no request.
            error = connection.WriteControlBytes(&byte, 1);
            if (error != NoError)
                break;
        }
        size_t n = 0;
        // Shown to the trace only once it is known how much is the list's:
        // the last read may also hold the start of the next reply.
        error = connection.ReadBytesUnshown(reinterpret_cast<char*>(received), sizeof received, n,
                                             connection.replyTimeoutMs());
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
        connection.showRead(receivedText, n);
        lastShown = true;
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
    // stood between items. The byte that made a list malformed may be the
    // line end itself.
    const uint8_t* rest = received + (parser.malformed() && lastUsed > 0 ? lastUsed - 1 : lastUsed);
    const uint8_t* end = received + lastRead;
    const uint8_t* lineEnd = std::find(rest, end, uint8_t('\n'));
    if (lineEnd == end) {
        if (!lastShown)
            connection.showRead(receivedText, lastRead);
        // Skip to the end of the line so that the stream is in step again.
        const ErrorCode skipped = connection.IgnoreLine(LineSkipTimeoutMs);
        if (skipped != NoError) {
            connection.abandonStream();
            if (result == NoError)
                result = skipped;
        }
        return result;
    }

    const size_t lineLength = static_cast<size_t>(lineEnd + 1 - received);
    const size_t surplus = lastRead - lineLength;
    connection.showRead(receivedText, surplus == 0 ? lastRead : lineLength);
    if (surplus == 0)
        return result;
    // Bytes after the line end belong to the next reply. They are handed on
    // only when the line end follows the list's last item directly: text
    // before it may mean the list's own line end is missing and this line
    // feed is a byte of the next reply, whose place would then be lost.
    const bool lineEndsAfterList = std::all_of(rest, lineEnd, [](uint8_t b) { return b == '\r' || b == 0; });
    if (!lineEndsAfterList || !connection.putBack(receivedText + lineLength, surplus)) {
        connection.showRead(receivedText + lineLength, surplus);
        connection.abandonStream();
    }
    return result;
}

} // namespace Vantrel::HolvaneApi::TCP
