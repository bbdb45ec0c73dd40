#include "SharedLib/Assert.h"
#include "SharedLib/Port.h"
#include "SharedLib/TimingPolicy.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace Vantrel::HolvaneApi {

namespace {

// Bounds on what one controller reply may make the download hold. Real
// tables have a few thousand entries and short names.
constexpr size_t MaxTokenTableEntries = 1000000;
constexpr size_t MaxTokenTableBytes = 64u * 1024u * 1024u;

namespace status {
enum type : int {
    done = -1,
    idle = 0,
    skip_to_end_of_line = 1,
    start_end_of_table = 2,
    token_unknown = 3,
    token_command_number = 4,
    token_command_name = 5,
    token_command_min_quotes = 6,
    token_command_max_quotes = 7,
    token_command_min_numeric = 8,
    token_command_max_numeric = 9,
    token_command_modifier = 10,
    token_command_exception = 11,
    token_command_flags = 12,
    token_special_number = 13,
    token_special_name = 14,
    token_special_end = 15,
    token_variable_number = 16,
    token_variable_name = 17,
    token_variable_modifier = 18,
    token_variable_flags = 19,
    token_modifier_number = 20,
    token_modifier_name = 21,
    token_modifier_min_numeric = 22,
    token_modifier_max_numeric = 23,
    token_modifier_mask = 24,
    token_modifier_end = 25,
    token_constant_number = 26,
    token_constant_name = 27,
    token_constant_value = 28,
    token_constant_end = 29,
};
} // namespace status

bool isDigit(char b) { return b >= '0' && b <= '9'; }

// Decodes the ASCII token table one byte at a time. Each complete record is
// handed to the sink; a record the parser cannot accept ends it in failure.
class TokenTableParser {
public:
    using TokenDef = Token::TokenDef;

    enum class Step { Continue, EntryReady, Done, Failed };

    Step feed(char b)
    {
        switch (_state) {
        case status::done:
            return Step::Done;
        case status::idle:
            _match = 0;
            _entry.token = 0;
            _entry.token_type = 0;
            _entry.name.clear();
            _entry.command = Token::Command{};
            switch (b) {
            case 'C': return begin('C', status::token_command_number);
            case 'S': return begin('S', status::token_special_number);
            case 'E': return begin('E', status::token_special_number);
            case 'V': return begin('V', status::token_variable_number);
            case 'M': return begin('M', status::token_modifier_number);
            case 'T': return begin('T', status::token_constant_number);
            case '[': _state = status::start_end_of_table; return Step::Continue;
            default:
                // Nothing after an unknown record can be trusted; the table
                // could never end successfully, so stop now rather than wait.
                _state = status::token_unknown;
                return fail("unknown record letter " + describeByte(b));
            }
        case status::skip_to_end_of_line:
            return matchAndGo(b, "\r\n", status::idle);
        case status::start_end_of_table:
            if (b == "EOT]\r\n"[_match]) {
                if (++_match == 6)
                    _state = status::done;
                return _state == status::done ? Step::Done : Step::Continue;
            }
            _match = 0;
            if (b == ']')
                _state = status::skip_to_end_of_line;
            return Step::Continue;
        case status::token_unknown:
            return Step::Failed;

        case status::token_command_number:
        case status::token_special_number:
        case status::token_variable_number:
        case status::token_modifier_number:
        case status::token_constant_number:
            if (isDigit(b)) {
                _entry.token = static_cast<uint16_t>(_entry.token * 10 + (b - '0'));
                return Step::Continue;
            }
            _entry.name.push_back(b);
            _state = static_cast<status::type>(_state + 1);
            return Step::Continue;

        case status::token_command_name:
            return nameByte(b, _entry.command.min_quote_parameters, status::token_command_min_quotes);
        case status::token_command_min_quotes:
            return field(b, _entry.command.min_quote_parameters, &_entry.command.max_quote_parameters,
                         status::token_command_max_quotes);
        case status::token_command_max_quotes:
            return field(b, _entry.command.max_quote_parameters, &_entry.command.min_numeric_parameters,
                         status::token_command_min_numeric);
        case status::token_command_min_numeric:
            return field(b, _entry.command.min_numeric_parameters, &_entry.command.max_numeric_parameters,
                         status::token_command_max_numeric);
        case status::token_command_max_numeric:
            return field(b, _entry.command.max_numeric_parameters, &_entry.command.modifier_set,
                         status::token_command_modifier);
        case status::token_command_modifier:
            return field(b, _entry.command.modifier_set, &_entry.command.exception, status::token_command_exception);
        case status::token_command_exception:
            if (isDigit(b))
                return field(b, _entry.command.exception, nullptr, status::token_command_exception);
            _entry.command.flags = 0;
            _state = status::token_command_flags;
            return Step::Continue;
        case status::token_command_flags:
            switch (b) {
            case 'c': _entry.command.flag.is_command = 1; break;
            case 'o': _entry.command.flag.is_operator = 1; break;
            case 'f': _entry.command.flag.is_function = 1; break;
            case 'b': _entry.command.flag.uses_brackets = 1; break;
            case 'd': _entry.command.flag.is_disabled = 1; break;
            case 'e': _entry.command.flag.is_pc = 1; break;
            case '>': return entryThenSkip();
            default: break;
            }
            return Step::Continue;

        case status::token_special_name:
            if (b == '\r') {
                _state = status::token_special_end;
                return Step::EntryReady;
            }
            return appendToName(b);
        case status::token_special_end:
        case status::token_modifier_end:
        case status::token_constant_end:
            if (b == '\n') {
                _state = status::idle;
            } else {
                _match = 0;
                _state = status::skip_to_end_of_line;
            }
            return Step::Continue;

        case status::token_variable_name:
            return nameByte(b, _entry.sys_var.modifier_set, status::token_variable_modifier);
        case status::token_variable_modifier:
            if (isDigit(b))
                return field(b, _entry.sys_var.modifier_set, nullptr, status::token_variable_modifier);
            _entry.sys_var.flags = 0;
            _state = status::token_variable_flags;
            return Step::Continue;
        case status::token_variable_flags:
            switch (b) {
            case 'w': _entry.sys_var.flag.is_write = 1; break;
            case 'd': _entry.sys_var.flag.is_disabled = 1; break;
            case 'e': _entry.sys_var.flag.is_pc = 1; break;
            case '>': return entryThenSkip();
            default: break;
            }
            return Step::Continue;

        case status::token_modifier_name:
            return nameByte(b, _entry.modifier.min_numeric_parameters, status::token_modifier_min_numeric);
        case status::token_modifier_min_numeric:
            return field(b, _entry.modifier.min_numeric_parameters, &_entry.modifier.max_numeric_parameters,
                         status::token_modifier_max_numeric);
        case status::token_modifier_max_numeric:
            return field(b, _entry.modifier.max_numeric_parameters, &_entry.modifier.modifier_mask,
                         status::token_modifier_mask);
        case status::token_modifier_mask:
            if (isDigit(b))
                return field(b, _entry.modifier.modifier_mask, nullptr, status::token_modifier_mask);
            _state = status::token_modifier_end;
            return Step::EntryReady;

        case status::token_constant_name:
            if (b == ',') {
                _entry.constant.value = 0.0;
                _negative = false;
                _state = status::token_constant_value;
                return Step::Continue;
            }
            return appendToName(b);
        case status::token_constant_value:
            if (isDigit(b)) {
                _entry.constant.value = _entry.constant.value * 10 + (b - '0');
            } else if (b == '-') {
                _negative = true;
            } else if (b != '.') {
                // The digits form one integer with four implied decimals.
                _entry.constant.value = _entry.constant.value / (_negative ? -10000.0 : 10000.0);
                _state = status::token_constant_end;
                return Step::EntryReady;
            }
            return Step::Continue;
        }
        return fail("parser state lost");
    }

    const TokenDef& entry() const { return _entry; }
    const std::string& failure() const { return _failure; }

private:
    Step begin(char type, status::type next)
    {
        _entry.token_type = type;
        _state = next;
        return Step::Continue;
    }

    Step fail(std::string why)
    {
        _failure = std::move(why);
        _state = status::token_unknown;
        return Step::Failed;
    }

    static std::string describeByte(char b)
    {
        static const char digits[] = "0123456789abcdef";
        const auto u = static_cast<unsigned char>(b);
        return std::string("0x") + digits[u >> 4] + digits[u & 0x0F];
    }

    Step appendToName(char b)
    {
        if (_entry.name.size() >= Token::MaxTokenNameLength)
            return fail("a name is longer than " + std::to_string(Token::MaxTokenNameLength) + " bytes");
        _entry.name.push_back(b);
        return Step::Continue;
    }

    // A ',' ends the name and starts the record's first numeric field at 0.
    Step nameByte(char b, int32_t& firstField, status::type next)
    {
        if (b != ',')
            return appendToName(b);
        firstField = 0;
        _state = next;
        return Step::Continue;
    }

    // Decimal field: digits accumulate (wrapping like the controller's 32-bit
    // arithmetic); the first other byte ends it and is consumed.
    Step field(char b, int32_t& value, int32_t* nextField, status::type next)
    {
        if (isDigit(b)) {
            value = static_cast<int32_t>(static_cast<uint32_t>(value) * 10u + static_cast<uint32_t>(b - '0'));
            return Step::Continue;
        }
        if (nextField)
            *nextField = 0;
        _state = next;
        return Step::Continue;
    }

    Step entryThenSkip()
    {
        _match = 0;
        _state = status::skip_to_end_of_line;
        return Step::EntryReady;
    }

    Step matchAndGo(char b, const char* pattern, status::type next)
    {
        if (b == pattern[_match]) {
            if (pattern[++_match] == '\0') {
                _match = 0;
                _state = next;
            }
        } else {
            _match = 0;
        }
        return Step::Continue;
    }

    status::type _state = status::idle;
    size_t _match = 0;
    bool _negative = false;
    TokenDef _entry;
    std::string _failure;
};

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
                case TokenTableParser::Step::Continue:
                    break;
                case TokenTableParser::Step::EntryReady:
                    if (_token_map.size() >= MaxTokenTableEntries)
                        return failed("more than " + std::to_string(MaxTokenTableEntries) + " entries");
                    AddLogEvent(EventType::Message, 0, "->" + parser.entry().name);
                    _token_map.add(parser.entry());
                    break;
                case TokenTableParser::Step::Done:
                    done = true; // bytes after the end marker are ignored
                    break;
                case TokenTableParser::Step::Failed:
                    return failed(parser.failure());
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
    if (extended->token < 1 || extended->token > 255)
        return failed("EXTENDED_TOKEN code " + std::to_string(extended->token) + " is outside 1..255");
    // Every request ends with ZERO: it must have an encoding.
    const unsigned maxCode = extended->token + 255u;
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
