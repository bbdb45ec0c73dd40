#include "SharedLib/TokenTableParser.h"

#include <utility>

namespace Vantrel::HolvaneApi::TokenTableDownload {

namespace {

constexpr char EndMarkerRest[] = "EOT]\r\n"; // after the opening "["
constexpr char LineEnd[] = "\r\n";
// Constants carry four implied decimals.
constexpr double ConstantScale = 10000.0;

bool isDigit(char b) { return b >= '0' && b <= '9'; }

bool inRecord(status::type state, status::type first, status::type last) { return state >= first && state <= last; }

std::string describeByte(char b)
{
    static const char digits[] = "0123456789abcdef";
    const auto u = static_cast<unsigned char>(b);
    return std::string("0x") + digits[u >> 4] + digits[u & 0x0F];
}

} // namespace

TokenTableParser::Step TokenTableParser::feed(char b)
{
    switch (_state) {
    case status::done: return Step::Done;
    case status::idle: return startRecord(b);
    case status::skip_to_end_of_line: return skipLineByte(b);
    case status::start_end_of_table: return endMarkerByte(b);
    case status::token_unknown: return Step::Failed;
    default: break;
    }
    if (inRecord(_state, status::token_command_number, status::token_command_flags))
        return commandByte(b);
    if (inRecord(_state, status::token_special_number, status::token_special_end))
        return specialByte(b);
    if (inRecord(_state, status::token_variable_number, status::token_variable_flags))
        return variableByte(b);
    if (inRecord(_state, status::token_modifier_number, status::token_modifier_end))
        return modifierByte(b);
    if (inRecord(_state, status::token_constant_number, status::token_constant_end))
        return constantByte(b);
    return fail("parser state lost");
}

TokenTableParser::Step TokenTableParser::startRecord(char b)
{
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
        // Nothing after an unknown record can be trusted; the table could
        // never end successfully, so stop now rather than wait.
        _state = status::token_unknown;
        return fail("unknown record letter " + describeByte(b));
    }
}

// "EOT]" CR LF after a "["; another bracketed line is skipped.
TokenTableParser::Step TokenTableParser::endMarkerByte(char b)
{
    if (b == EndMarkerRest[_match]) {
        if (EndMarkerRest[++_match] != '\0')
            return Step::Continue;
        _state = status::done;
        return Step::Done;
    }
    _match = 0;
    if (b == ']')
        _state = status::skip_to_end_of_line;
    return Step::Continue;
}

TokenTableParser::Step TokenTableParser::commandByte(char b)
{
    Token::Command& c = _entry.command;
    switch (_state) {
    case status::token_command_number: return codeByte(b, status::token_command_name);
    case status::token_command_name: return nameByte(b, c.min_quote_parameters, status::token_command_min_quotes);
    case status::token_command_min_quotes:
        return field(b, c.min_quote_parameters, &c.max_quote_parameters, status::token_command_max_quotes);
    case status::token_command_max_quotes:
        return field(b, c.max_quote_parameters, &c.min_numeric_parameters, status::token_command_min_numeric);
    case status::token_command_min_numeric:
        return field(b, c.min_numeric_parameters, &c.max_numeric_parameters, status::token_command_max_numeric);
    case status::token_command_max_numeric:
        return field(b, c.max_numeric_parameters, &c.modifier_set, status::token_command_modifier);
    case status::token_command_modifier: return field(b, c.modifier_set, &c.exception, status::token_command_exception);
    case status::token_command_exception:
        if (!isDigit(b))
            c.flags = 0;
        return field(b, c.exception, nullptr, status::token_command_flags);
    default: break;
    }
    switch (b) {
    case 'c': c.flag.is_command = 1; break;
    case 'o': c.flag.is_operator = 1; break;
    case 'f': c.flag.is_function = 1; break;
    case 'b': c.flag.uses_brackets = 1; break;
    case 'd': c.flag.is_disabled = 1; break;
    case 'e': c.flag.is_pc = 1; break;
    case '>': return entryThenSkip();
    default: break;
    }
    return Step::Continue;
}

TokenTableParser::Step TokenTableParser::specialByte(char b)
{
    switch (_state) {
    case status::token_special_number: return codeByte(b, status::token_special_name);
    case status::token_special_name:
        if (b != '\r')
            return appendToName(b);
        _state = status::token_special_end;
        return Step::EntryReady;
    default: return lineEndByte(b);
    }
}

TokenTableParser::Step TokenTableParser::variableByte(char b)
{
    Token::SysVar& v = _entry.sys_var;
    switch (_state) {
    case status::token_variable_number: return codeByte(b, status::token_variable_name);
    case status::token_variable_name: return nameByte(b, v.modifier_set, status::token_variable_modifier);
    case status::token_variable_modifier:
        if (!isDigit(b))
            v.flags = 0;
        return field(b, v.modifier_set, nullptr, status::token_variable_flags);
    default: break;
    }
    switch (b) {
    case 'w': v.flag.is_write = 1; break;
    case 'd': v.flag.is_disabled = 1; break;
    case 'e': v.flag.is_pc = 1; break;
    case '>': return entryThenSkip();
    default: break;
    }
    return Step::Continue;
}

TokenTableParser::Step TokenTableParser::modifierByte(char b)
{
    Token::Modifier& m = _entry.modifier;
    switch (_state) {
    case status::token_modifier_number: return codeByte(b, status::token_modifier_name);
    case status::token_modifier_name: return nameByte(b, m.min_numeric_parameters, status::token_modifier_min_numeric);
    case status::token_modifier_min_numeric:
        return field(b, m.min_numeric_parameters, &m.max_numeric_parameters, status::token_modifier_max_numeric);
    case status::token_modifier_max_numeric:
        return field(b, m.max_numeric_parameters, &m.modifier_mask, status::token_modifier_mask);
    case status::token_modifier_mask:
        if (isDigit(b))
            return field(b, m.modifier_mask, nullptr, status::token_modifier_mask);
        _state = status::token_modifier_end; // the byte that ends the mask ends the record
        return Step::EntryReady;
    default: return lineEndByte(b);
    }
}

TokenTableParser::Step TokenTableParser::constantByte(char b)
{
    double& value = _entry.constant.value;
    switch (_state) {
    case status::token_constant_number: return codeByte(b, status::token_constant_name);
    case status::token_constant_name:
        if (b != ',')
            return appendToName(b);
        value = 0.0;
        _negative = false;
        _state = status::token_constant_value;
        return Step::Continue;
    case status::token_constant_value:
        if (isDigit(b)) {
            value = value * 10 + (b - '0');
        } else if (b == '-') {
            _negative = true;
        } else if (b != '.') {
            value = value / (_negative ? -ConstantScale : ConstantScale);
            _state = status::token_constant_end;
            return Step::EntryReady;
        }
        return Step::Continue;
    default: return lineEndByte(b);
    }
}

TokenTableParser::Step TokenTableParser::begin(char type, status::type next)
{
    _entry.token_type = type;
    _state = next;
    return Step::Continue;
}

// Code digits accumulate in 16 bits; the first other byte is the name's first.
TokenTableParser::Step TokenTableParser::codeByte(char b, status::type name)
{
    if (isDigit(b)) {
        _entry.token = static_cast<uint16_t>(_entry.token * 10 + (b - '0'));
        return Step::Continue;
    }
    _entry.name.push_back(b);
    _state = name;
    return Step::Continue;
}

// A ',' ends the name and starts the record's first numeric field at 0.
TokenTableParser::Step TokenTableParser::nameByte(char b, int32_t& firstField, status::type next)
{
    if (b != ',')
        return appendToName(b);
    firstField = 0;
    _state = next;
    return Step::Continue;
}

// Decimal field: digits accumulate (wrapping like the controller's 32-bit
// arithmetic); the first other byte ends it and is consumed.
TokenTableParser::Step TokenTableParser::field(char b, int32_t& value, int32_t* nextField, status::type next)
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

TokenTableParser::Step TokenTableParser::appendToName(char b)
{
    if (_entry.name.size() >= Token::MaxTokenNameLength)
        return fail("a name is longer than " + std::to_string(Token::MaxTokenNameLength) + " bytes");
    _entry.name.push_back(b);
    return Step::Continue;
}

// After the last field of a modifier, special or constant record.
TokenTableParser::Step TokenTableParser::lineEndByte(char b)
{
    if (b == '\n') {
        _state = status::idle;
    } else {
        _match = 0;
        _state = status::skip_to_end_of_line;
    }
    return Step::Continue;
}

TokenTableParser::Step TokenTableParser::entryThenSkip()
{
    _match = 0;
    _state = status::skip_to_end_of_line;
    return Step::EntryReady;
}

// A byte that breaks the CR LF match restarts it without being compared again.
TokenTableParser::Step TokenTableParser::skipLineByte(char b)
{
    if (b == LineEnd[_match]) {
        if (LineEnd[++_match] == '\0') {
            _match = 0;
            _state = status::idle;
        }
    } else {
        _match = 0;
    }
    return Step::Continue;
}

TokenTableParser::Step TokenTableParser::fail(std::string why)
{
    _failure = std::move(why);
    _state = status::token_unknown;
    return Step::Failed;
}

} // namespace Vantrel::HolvaneApi::TokenTableDownload
