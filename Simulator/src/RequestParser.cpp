#include "HolvaneSim/RequestParser.h"

namespace Vantrel::HolvaneApi::Sim {
namespace {
constexpr uint8_t kEscape = 0x1B;
} // namespace

LexerCodes lexerCodes(const TokenTable& table, const Keywords& keywords)
{
    LexerCodes codes;
    codes.zero = table.zeroCode();
    codes.extended = table.extendedCode();
    codes.number = keywords.code(Kw::NUMBER);
    codes.eox = keywords.code(Kw::EOX);
    codes.quotes = keywords.code(Kw::QUOTES);
    codes.unknown = keywords.code(Kw::UNKNOWN);
    codes.tokenTable = keywords.code(Kw::TOKENTABLE);
    return codes;
}

bool RequestParser::readCode(const uint8_t* data, size_t length, size_t& pos, uint16_t& code) const
{
    if (pos >= length)
        return false;
    if (data[pos] == _codes.extended) {
        if (pos + 1 >= length)
            return false;
        code = static_cast<uint16_t>(_codes.extended + data[pos + 1]);
        pos += 2;
        return true;
    }
    code = data[pos];
    pos += 1;
    return true;
}

RequestParser::Result RequestParser::resync(const uint8_t* data, size_t length, size_t from, ParsedRequest& out,
                                            size_t& consumed)
{
    // The stream cannot be trusted any more: drop through the next ZERO byte.
    for (size_t i = from; i < length; ++i) {
        if (data[i] == _codes.zero) {
            consumed = i + 1;
            if (_discarding) {
                // The error for this request was already answered.
                _discarding = false;
                return Result::NeedMore;
            }
            out.malformed = true;
            return Result::Request;
        }
    }
    consumed = length;
    if (!_discarding) {
        _discarding = true;
        out.malformed = true;
        return Result::Request; // answer now; the rest is skipped as it arrives
    }
    return Result::NeedMore;
}

RequestParser::Result RequestParser::next(const uint8_t* data, size_t length, WireFormat format, bool beforeTable,
                                          ParsedRequest& out, size_t& consumed)
{
    out.clear();
    out.format = format;
    consumed = 0;
    if (length == 0)
        return Result::NeedMore;
    if (_discarding)
        return resync(data, length, 0, out, consumed);

    if (data[0] == _codes.unknown && _codes.unknown != _codes.zero) {
        consumed = 1;
        return Result::Ack;
    }
    if (beforeTable && data[0] == _codes.tokenTable && _codes.zero != TokenTable::kDefaultZero) {
        if (length < 2)
            return Result::NeedMore;
        if (data[1] == TokenTable::kDefaultZero) {
            consumed = 2;
            out.tokenTableRequest = true;
            return Result::Request;
        }
    }

    const size_t numberSize = format.numberSize();
    size_t pos = 0;
    while (true) {
        if (pos > _maxRequest)
            return Result::TooLong;
        uint16_t code = 0;
        if (!readCode(data, length, pos, code))
            break;
        if (code == _codes.zero) {
            consumed = pos;
            if (out.items.size() == 1 && out.items[0].kind == Lexeme::Token && out.items[0].code == _codes.tokenTable)
                out.tokenTableRequest = true;
            return Result::Request;
        }
        if (code == _codes.number) {
            uint8_t bytes[8] = {};
            size_t got = 0;
            while (got < numberSize && pos < length) {
                uint8_t b = data[pos];
                if (format.escaped && b == kEscape) {
                    if (pos + 1 >= length)
                        break;
                    b = data[pos + 1];
                    pos += 2;
                } else {
                    pos += 1;
                }
                bytes[got++] = b;
            }
            if (got < numberSize)
                break;
            uint16_t closing = 0;
            const size_t closingAt = pos;
            if (!readCode(data, length, pos, closing))
                break;
            if (closing != _codes.eox)
                return resync(data, length, closingAt, out, consumed);
            Lexeme lex;
            lex.kind = Lexeme::Number;
            lex.code = code;
            lex.number = decodeNumber(bytes, format.format);
            out.items.push_back(std::move(lex));
            continue;
        }
        if (code == _codes.quotes) {
            Lexeme lex;
            lex.kind = Lexeme::String;
            lex.code = code;
            bool closed = false;
            while (pos < length) {
                uint8_t b = data[pos];
                if (format.escaped && b == kEscape) {
                    if (pos + 1 >= length)
                        break;
                    lex.text.push_back(static_cast<char>(data[pos + 1]));
                    pos += 2;
                    continue;
                }
                pos += 1;
                if (b == _codes.quotes) {
                    closed = true;
                    break;
                }
                lex.text.push_back(static_cast<char>(b));
                if (lex.text.size() > _maxRequest)
                    return Result::TooLong;
            }
            if (!closed)
                break;
            out.items.push_back(std::move(lex));
            continue;
        }
        Lexeme lex;
        lex.kind = Lexeme::Token;
        lex.code = code;
        out.items.push_back(std::move(lex));
    }
    out.clear();
    out.format = format;
    consumed = 0;
    return length > _maxRequest ? Result::TooLong : Result::NeedMore;
}

} // namespace Vantrel::HolvaneApi::Sim
