#include "SharedLib/Assert.h"
#include "SharedLib/Port.h"
#include "SharedLib/TimingPolicy.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"
#include "SharedLib/TokenTableParser.h"

#include <chrono>
#include <string>

namespace Vantrel::HolvaneApi {

namespace {

using TokenTableDownload::TokenTableParser;

// Bounds on what one controller reply may make the download hold. Real
// tables have a few thousand entries and short names.
constexpr size_t MaxTokenTableEntries = 1000000;
constexpr size_t MaxTokenTableBytes = size_t{64} * 1024 * 1024;

} // namespace

ErrorCode Token::ReadTokenTable(Port& port)
{
    return ReadTokenTable(port, std::chrono::milliseconds(TimingPolicy::DefaultReplyTimeoutMs));
}

ErrorCode Token::ReadTokenTable(Port& port, std::chrono::milliseconds silence_limit)
{
    using Clock = TimingPolicy::Clock;

    resetCachedTokens();
    TokenBuffer request(*this);
    auto lastData = Clock::now();
    AddLogEvent(EventType::Message, 0, "TOKENTABLE");

    ErrorCode error = appendToken(&_tokenTOKENTABLE, request);
    if (error == NoError)
        error = appendToken(&_tokenZERO, request);
    HOLVANE_ASSERT(error == NoError); // the defaults always encode

    size_t written = 0;
    error = port.Write(reinterpret_cast<const char*>(request.data()), request.length(), written);
    if (error != NoError) {
        if (!isPortFailure(error))
            AddLogEvent(EventType::Error, error, "Error writing ReadTokenTable command");
        return error;
    }
    if (written < request.length()) {
        AddLogEvent(EventType::Error, Remote_TokenBuffer, "Error writing ReadTokenTable command");
        return Remote_TokenBuffer;
    }

    auto stopsUnsuccessfully = [this]() {
        AddLogEvent(EventType::Message, 0, "TOKENTABLE stops unsuccessfully");
        return TokenTable;
    };
    auto failed = [this, &stopsUnsuccessfully](const std::string& why) {
        AddLogEvent(EventType::Error, TokenTable, "TOKENTABLE rejected: " + why);
        return stopsUnsuccessfully();
    };

    TokenTableParser parser;
    size_t totalBytes = 0;
    bool done = false;
    char chunk[256];
    while (!done) {
        // One read for the rest of the silence allowance (a look once it is
        // spent): it ends with bytes, with the silence, or with the link.
        const auto allowanceEnd = lastData + silence_limit;
        size_t got = 0;
        error = port.Read(chunk, sizeof chunk, got, static_cast<uint32_t>(TimingPolicy::msUntil(allowanceEnd)));
        // Connect is one operation: past its deadline, or abandoned by its
        // caller, the download ends at once.
        const ErrorCode stop = OperationScope::currentStopReason();
        if (stop != NoError) {
            stopsUnsuccessfully();
            return stop;
        }
        if (error == Timeout) {
            if (Clock::now() >= allowanceEnd)
                return stopsUnsuccessfully();
            continue;
        }
        if (error != NoError) {
            if (!isPortFailure(error))
                AddLogEvent(EventType::Error, error, "Error reading ReadTokenTable response from controller");
            return error;
        }
        HOLVANE_ASSERT(got <= sizeof chunk);
        // Without a byte and without waiting: the data has ended (the
        // controller closed the link), and no silence could bring the rest.
        if (got == 0)
            return stopsUnsuccessfully();
        lastData = Clock::now();
        totalBytes += got;
        if (totalBytes > MaxTokenTableBytes)
            return failed("the reply is longer than " + std::to_string(MaxTokenTableBytes) + " bytes");
        for (size_t i = 0; i < got && !done; ++i) {
            switch (parser.feed(chunk[i])) {
            case TokenTableParser::Step::Continue: break;
            case TokenTableParser::Step::EntryReady:
                if (_token_map.size() >= MaxTokenTableEntries)
                    return failed("more than " + std::to_string(MaxTokenTableEntries) + " entries");
                AddLogEvent(EventType::Message, 0, "->" + parser.entry().name);
                _token_map.add(parser.entry());
                break;
            case TokenTableParser::Step::Done:
                done = true; // bytes after the end marker are ignored
                break;
            case TokenTableParser::Step::Failed: return failed(parser.failure());
            }
        }
    }

    std::string why;
    if (!_token_map.isConsistent(&why))
        return failed(why);
    const TokenDef* zero = _token_map.find("ZERO", 0);
    const TokenDef* table = _token_map.find("TOKENTABLE", 0);
    const TokenDef* extended = _token_map.find("EXTENDED_TOKEN", 0);
    if (!zero)
        return failed("no ZERO entry");
    if (!table)
        return failed("no TOKENTABLE entry");
    if (!extended)
        return failed("no EXTENDED_TOKEN entry");
    if (extended->token < 1 || extended->token > MaxByteCode)
        return failed("EXTENDED_TOKEN code " + std::to_string(extended->token) + " is outside 1..255");
    // Every request ends with ZERO: it must have an encoding.
    const unsigned maxCode = extended->token + unsigned{MaxByteCode};
    if (zero->token > maxCode || table->token > maxCode)
        return failed("a ZERO or TOKENTABLE code cannot be encoded");

    _tokenZERO.token = zero->token;
    _tokenTOKENTABLE.token = table->token;
    _tokenExtended.token = extended->token;
    AddLogEvent(EventType::Message, 0,
                "TOKENTABLE stops successfully with " + std::to_string(_token_map.size()) + " entries");
    return NoError;
}

} // namespace Vantrel::HolvaneApi
