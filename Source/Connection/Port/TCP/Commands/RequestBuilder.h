#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Vantrel::HolvaneApi::TCP {

// Assembles one request in a TokenBuffer. The first encoder that fails is
// remembered and every later append is skipped, so a command writes either
// the whole request or nothing.
class RequestBuilder {
public:
    explicit RequestBuilder(const Token& table) : _table(table), _buffer(table) {}

    RequestBuilder& token(Token::KnownTokens t)
    {
        if (_error == NoError)
            _error = _table.appendToken(t, _buffer);
        return *this;
    }
    // NUMBER, the value in the controller's format, EOX.
    RequestBuilder& value(double v)
    {
        if (_error == NoError)
            _error = _table.appendValue(v, _buffer);
        return *this;
    }
    // String bytes, escaped when the controller wants it.
    RequestBuilder& text(std::string_view s)
    {
        if (_error == NoError)
            _error = _table.appendString(s, _buffer);
        return *this;
    }
    // String bytes up to the terminating zero, never escaped.
    RequestBuilder& literal(const char* s)
    {
        if (_error == NoError)
            _error = _table.appendString(s, _buffer);
        return *this;
    }
    // A system variable by its code in the downloaded table.
    RequestBuilder& systemVariable(uint16_t code)
    {
        if (_error == NoError)
            _error = _table.appendToken_SystemVariable(_buffer, code);
        return *this;
    }
    // A known system variable (VERSION, CONTROL), through the table's code
    // for it. Declared so that the enumerator never converts to a code
    // silently.
    RequestBuilder& systemVariable(Token::KnownTokens variable)
    {
        if (_error == NoError)
            _error = _table.appendToken_SystemVariable(_buffer, variable);
        return *this;
    }
    // "(v0,v1,...)"; nothing at all for count 0.
    template <typename T>
    RequestBuilder& list(size_t count, const T* values)
    {
        if (count == 0)
            return *this;
        token(Token::tOPENBRACKETS);
        for (size_t i = 0; i < count; ++i) {
            if (i != 0)
                token(Token::tCOMMA);
            value(static_cast<double>(values[i]));
        }
        return token(Token::tCLOSEBRACKETS);
    }
    // "(value)"
    RequestBuilder& bracketed(double v) { return token(Token::tOPENBRACKETS).value(v).token(Token::tCLOSEBRACKETS); }
    // The axis modifier: MODIFIER AXIS(axis).
    RequestBuilder& axis(int axis) { return token(Token::tMODIFIER).token(Token::tAXIS).bracketed(axis); }
    RequestBuilder& zero()
    {
        if (_error == NoError)
            _error = _table.appendZeroToken(_buffer);
        return *this;
    }

    ErrorCode error() const { return _error; }
    const TokenBuffer& buffer() const { return _buffer; }

private:
    const Token& _table;
    TokenBuffer _buffer;
    ErrorCode _error = NoError;
};

} // namespace Vantrel::HolvaneApi::TCP
