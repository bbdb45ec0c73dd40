#include "Connection/Port/TCP/Commands/CmdDir.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"
#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/BufferBase.h"
#include "SharedLib/MemPort.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <system_error>
#include <vector>

namespace Vantrel::HolvaneApi::TCP {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// A decimal field: false only when it does not begin with a number; a value
// out of range leaves `out` as it was.
template <typename T>
bool decimalField(std::string_view& rest, T& out)
{
    const std::string_view field = nextArg(rest, ',', 0, &rest);
    T value{};
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value, 10);
    (void)end;
    if (ec == std::errc::invalid_argument)
        return false;
    if (ec == std::errc())
        out = value;
    return true;
}

using LineBuffer = BufferBase<unsigned char, 512, 32>;

void appendByte(LineBuffer& line, unsigned char byte)
{
    const size_t length = line.length();
    // Grow geometrically so that a long line costs few copies.
    if (length + 1 >= line.capacity())
        line.reserve(line.capacity() * 2);
    line.setLength(length + 1);
    line[length] = byte;
}

} // namespace

std::string_view nextArg(const std::string_view& str, char sep, unsigned skip, std::string_view* left)
{
    std::string_view rest = str; // str may be *left itself
    std::string_view field;
    for (unsigned i = 0; i <= skip; ++i) {
        const size_t at = rest.find(sep);
        if (at == std::string_view::npos) {
            field = rest;
            rest = std::string_view();
        } else {
            field = rest.substr(0, at);
            rest = rest.substr(at + 1);
        }
    }
    if (left != nullptr)
        *left = rest;
    return field;
}

bool parseControllerFileEntry(const std::string_view& data, ControllerFileInfo& result)
{
    std::string_view rest;
    const std::string_view name = nextArg(data, ',', 0, &rest);
    if (name.size() == 5 && startsWithNoCase(name, "TABLE"))
        return false;
    const size_t length = std::min(name.size(), sizeof result.szName - 1);
    std::memcpy(result.szName, name.data(), length);
    result.szName[length] = '\0';

    int64_t editable = 0;
    int64_t autorun = 0;
    if (!decimalField(rest, result.size) || !decimalField(rest, result.compiled_size) ||
        !decimalField(rest, result.autorun_process) || !decimalField(rest, result.type) ||
        !decimalField(rest, editable) || !decimalField(rest, autorun))
        return false;
    result.editable = editable != 0 ? 1 : 0;
    result.autorun = autorun != 0 ? 1 : 0;
    return true;
}

ErrorCode CmdDir::send(void* handler_context, ReportControllerFileCallback handler)
{
    _handler_context = handler_context;
    _handler = std::move(handler);
    if (!_handler)
        return BadArgument;
    RequestBuilder request(tokens());
    request.token(Token::tDIR).token(Token::tQUOTES).literal("B").token(Token::tQUOTES).zero();
    return writeRequest(request.buffer(), TraceRequest::OnSuccess, request.error());
}

ErrorCode CmdDir::readEncodedReply(bool& lost)
{
    lost = true;
    const uint32_t size = connection().getFloatSize();
    if (size == 0)
        return BadResponse;
    // The zero byte already read is the first byte of the value.
    std::vector<char> reply(size_t{2} * size, 0);
    const ErrorCode error = connection().ReadBytes(reply.data() + 1, reply.size() - 1, connection().replyTimeoutMs());
    if (error != NoError)
        return error;
    lost = false; // both numbers are in: whatever they say, the stream is in step
    MemPort memory;
    memory.Open(reply.data(), reply.size());
    uint16_t status = 0;
    return connection().GetResponse(memory, nullptr, &status);
}

ErrorCode CmdDir::readReply()
{
    ReplyTrace trace(*this);
    LineBuffer line;
    bool header = false;
    bool encoded = false;
    bool lost = false; // the reply's end in the stream is unknown
    bool handlerFailed = false;
    ErrorCode parsed = NoError;
    ErrorCode error = NoError;

    size_t lines = 0;
    for (size_t total = 0;; ++total) {
        char byte = 0;
        const bool endless = total >= MaxListingBytes || lines >= MaxListingLines;
        error = endless ? BadResponse : connection().ReadBytes(&byte, 1, connection().replyTimeoutMs());
        if (error != NoError) {
            lost = true;
            break;
        }
        if (byte == '\n') {
            ++lines;
            const std::string_view text(reinterpret_cast<const char*>(line.data()), line.length());
            if (startsWithNoCase(text, "OK"))
                break;
            if (header) {
                ControllerFileInfo entry;
                if (!parseControllerFileEntry(text, entry)) {
                    parsed = BadResponse;
                } else if (!handlerFailed) {
                    try {
                        _handler(_handler_context, entry);
                    } catch (...) {
                        // Nothing may escape on the pump thread; the listing
                        // is still read to its end to keep the stream in step.
                        handlerFailed = true;
                    }
                }
            } else {
                // The first line is the heading (",", "RAM", "EPROM" or
                // "EEPROM"); whatever it says, what follows are entries.
                header = true;
            }
            line.reset();
        } else if (byte == '\r') {
            continue;
        } else if (byte == '\0') {
            encoded = true;
            error = readEncodedReply(lost);
            break;
        } else {
            if (line.length() >= MaxLineLength) {
                error = BadResponse;
                lost = true;
                break;
            }
            appendByte(line, static_cast<unsigned char>(byte));
        }
    }

    if (lost) {
        connection().abandonStream(error);
    } else if (!encoded) {
        error = readSimpleReply(nullptr);
    }
    if (error == NoError)
        error = parsed;
    if (error == NoError && handlerFailed)
        error = BadArgument;
    trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
