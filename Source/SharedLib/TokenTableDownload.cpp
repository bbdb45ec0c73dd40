#include "SharedLib/Assert.h"
#include "SharedLib/Port.h"
#include "SharedLib/TimingPolicy.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"
#include "SharedLib/TokenTableParser.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace Vantrel::HolvaneApi {

namespace {

using TokenTableDownload::TokenTableParser;

// Bounds on what one controller reply may make the download hold. Real
// tables have a few thousand entries and short names.
constexpr size_t MaxTokenTableEntries = 1000000;
constexpr size_t MaxTokenTableBytes = size_t{64} * 1024 * 1024;

} // namespace

ErrorCode Token::ReadTokenTable(Port& port) { return ReadTokenTable(port, TokenTableSilenceLimit); }

ErrorCode Token::ReadTokenTable(Port& port, std::chrono::milliseconds silence_limit)
{
    using Clock = std::chrono::steady_clock;

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
        AddLogEvent(EventType::Error, error, "Error writing ReadTokenTable command");
        return error;
    }
    if (written < request.length()) {
        AddLogEvent(EventType::Error, Remote_TokenBuffer, "Error writing ReadTokenTable command");
        return Remote_TokenBuffer;
    }

    auto failed = [this](const std::string& why) {
        AddLogEvent(EventType::Error, TokenTable, "TOKENTABLE rejected: " + why);
        AddLogEvent(EventType::Message, 0, "TOKENTABLE stops unsuccessfully");
        return TokenTable;
    };

    TokenTableParser parser;
    size_t totalBytes = 0;
    bool done = false;
    char chunk[256];
    while (!done) {
        const auto silence = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastData);
        // Wait no longer than the rest of the silence allowance, and never
        // with 0, which a TCP port takes as "no limit".
        const auto left = silence_limit - silence;
        const uint32_t timeout_ms =
            left.count() < 1 ? 1u : static_cast<uint32_t>(std::min<int64_t>(left.count(), 10000));
        size_t got = 0;
        error = port.Read(chunk, sizeof chunk, got, timeout_ms);
        // Connect is one operation: past its deadline, or abandoned by its
        // caller, the download ends at once.
        const ErrorCode stop = OperationScope::currentStopReason();
        if (stop != NoError) {
            AddLogEvent(EventType::Message, 0, "TOKENTABLE stops unsuccessfully");
            return stop;
        }
        if (error == Timeout) {
            error = NoError;
            got = 0;
        }
        if (error != NoError) {
            AddLogEvent(EventType::Error, error, "Error reading ReadTokenTable response from controller");
            return error;
        }
        HOLVANE_ASSERT(got <= sizeof chunk);
        if (got > 0) {
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
        } else {
            const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastData);
            if (quiet >= silence_limit) {
                AddLogEvent(EventType::Message, 0, "TOKENTABLE stops unsuccessfully");
                return TokenTable;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
