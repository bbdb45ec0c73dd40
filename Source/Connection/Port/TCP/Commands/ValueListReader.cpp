#include "Connection/Port/TCP/Commands/ValueListReader.h"

#include "Connection/Port/TCP/Commands/ValueListParser.h"
#include "Connection/Port/TCP/Connection_TCP.h"
#include "Connection/Port/TCP/LinkLoss.h"
#include "SharedLib/Token.h"

#include <algorithm>

namespace Vantrel::HolvaneApi::TCP {

static_assert(ValueListReader::CycleBytes <= PushbackPort::Capacity,
              "bytes read past a list's end must fit the connection's put-back buffer");

ErrorCode ValueListReader::acknowledgementByte(const Token& table, uint8_t& byte)
{
    uint16_t code = 0;
    if (!table.getTokenCode(Token::tUNKNOWN, code) || code > Token::MaxByteCode)
        return BadResponse;
    byte = static_cast<uint8_t>(code);
    return NoError;
}

namespace {

// What the cycles of one list leave behind for the line's end.
struct Cycles {
    uint8_t received[ValueListReader::CycleBytes];
    size_t lastRead = 0;    // bytes of the last read
    size_t lastUsed = 0;    // bytes of the last read that the list took
    bool lastShown = false; // the last read is in the trace already
    bool oversized = false;
    ErrorCode error = NoError; // of the last write or read

    const char* text() const { return reinterpret_cast<const char*>(received); }
};

size_t byteLimitFor(size_t count)
{
    using R = ValueListReader;
    return count > (SIZE_MAX - R::MaxExtraBytes) / R::MaxBytesPerValue ? SIZE_MAX
                                                                       : count * R::MaxBytesPerValue + R::MaxExtraBytes;
}

// One cycle: the acknowledgement byte, then one read fed to the parser.
// False when the write or the read failed, or the link closed.
bool runCycle(Connection_TCP& connection, uint8_t ack, ValueListParser& parser, Cycles& c)
{
    c.lastRead = 0;
    c.lastUsed = 0;
    c.lastShown = false;
    if (ack != 0) {
        const char byte = static_cast<char>(ack);
        // Not shown to any write sniffer: the byte belongs to no request.
        c.error = connection.WriteControlBytes(&byte, 1);
        if (c.error != NoError)
            return false;
    }
    size_t n = 0;
    // Shown to the trace only once it is known how much is the list's: the
    // last read may also hold the start of the next reply. The read waits for
    // the next piece as long as any reply's bytes are waited for.
    c.error = connection.ReadBytesUnshown(reinterpret_cast<char*>(c.received), sizeof c.received, n,
                                          connection.replyTimeoutMs());
    if (c.error != NoError)
        return false;
    // A read that waits for bytes comes back empty only when the link has
    // closed: the rest of the list will never come.
    if (n == 0) {
        c.error = connection.lostLinkCode();
        return false;
    }
    c.lastRead = n;
    c.lastUsed = parser.feed(c.received, n);
    return true;
}

// Reads cycles until the list is complete or malformed, a cycle fails, or
// the reply grows beyond any list of `count` values.
void readCycles(Connection_TCP& connection, uint8_t ack, size_t count, ValueListParser& parser, Cycles& c)
{
    const size_t maxBytes = byteLimitFor(count);
    size_t total = 0;
    while (runCycle(connection, ack, parser, c)) {
        total += c.lastRead;
        if (parser.complete() || parser.malformed())
            return;
        connection.showRead(c.text(), c.lastRead);
        c.lastShown = true;
        if (total > maxBytes) {
            c.oversized = true;
            return;
        }
    }
}

// The list's line does not end in the last read: skip to its end so that the
// stream is in step again.
ErrorCode skipRestOfLine(Connection_TCP& connection, const Cycles& c, ErrorCode result)
{
    if (!c.lastShown)
        connection.showRead(c.text(), c.lastRead);
    const ErrorCode skipped = connection.IgnoreLine(ValueListReader::LineSkipTimeoutMs);
    if (skipped == NoError)
        return result;
    if (skipped == Timeout)
        connection.abandonStream(skipped, LinkLoss::lineNotEnded(ValueListReader::LineSkipTimeoutMs));
    else
        connection.abandonStream(skipped);
    return result == NoError ? skipped : result;
}

// Ends the list's line after the cycles: traces what was the list's, and
// hands bytes read past the line end back to the connection.
ErrorCode finishLine(Connection_TCP& connection, const ValueListParser& parser, const Cycles& c, ErrorCode result)
{
    // Only a line end after the list's last item ends its line: one before it
    // stood between items. The byte that made a list malformed may be the
    // line end itself.
    const uint8_t* rest = c.received + (parser.malformed() && c.lastUsed > 0 ? c.lastUsed - 1 : c.lastUsed);
    const uint8_t* end = c.received + c.lastRead;
    const uint8_t* lineEnd = std::find(rest, end, uint8_t('\n'));
    if (lineEnd == end)
        return skipRestOfLine(connection, c, result);

    const size_t lineLength = static_cast<size_t>(lineEnd + 1 - c.received);
    const size_t surplus = c.lastRead - lineLength;
    connection.showRead(c.text(), surplus == 0 ? c.lastRead : lineLength);
    if (surplus == 0)
        return result;
    // Bytes after the line end belong to the next reply. They are handed on
    // only when the line end follows the list's last item directly: text
    // before it may mean the list's own line end is missing and this line
    // feed is a byte of the next reply, whose place would then be lost.
    const bool lineEndsAfterList = std::all_of(rest, lineEnd, [](uint8_t b) { return b == '\r' || b == 0; });
    if (!lineEndsAfterList || !connection.putBack(c.text() + lineLength, surplus)) {
        connection.showRead(c.text() + lineLength, surplus);
        connection.abandonStream(BadResponse);
    }
    return result;
}

} // namespace

ErrorCode ValueListReader::read(Connection_TCP& connection, double* values, size_t count, bool& traced)
{
    traced = false;

    uint16_t status = 0;
    ErrorCode error = connection.GetResponse(nullptr, &status);
    if (error != NoError) {
        // A controller error status ends the reply. Anything else (a failed
        // read, a status that is no number) leaves the list, if one comes,
        // unread in the stream: the link is dropped rather than the list
        // read as the next request's answer.
        if (errorBand(error) != ControllerBand)
            connection.abandonStream(error);
        return error;
    }

    traced = true;
    const Token* table = connection.tokenTable();
    uint8_t ack = 0;
    if (table == nullptr || acknowledgementByte(*table, ack) != NoError) {
        // The list follows unacknowledged or not at all: its end is unknown.
        connection.abandonStream(BadResponse);
        return BadResponse;
    }

    ValueListParser parser(values, count);
    Cycles cycles;
    readCycles(connection, ack, count, parser, cycles);
    if (cycles.error != NoError || cycles.oversized) {
        // Part of the reply is still to come, or will never end: a late byte
        // must not be read as the next request's answer.
        const ErrorCode error = cycles.error != NoError ? cycles.error : BadResponse;
        connection.abandonStream(error);
        return error;
    }
    const ErrorCode result = (parser.malformed() || parser.stored() != count) ? BadResponse : NoError;
    return finishLine(connection, parser, cycles, result);
}

} // namespace Vantrel::HolvaneApi::TCP
