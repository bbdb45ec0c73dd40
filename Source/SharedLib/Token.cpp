#include "SharedLib/Token.h"

#include "SharedLib/Assert.h"
#include "SharedLib/TokenBuffer.h"

#include <cstring>
#include <string>

namespace Vantrel::HolvaneApi {

const Token::stTokenName Token::_token_names[Token::__tLAST_TOKEN] = {
    {tTOKENTABLE, "TOKENTABLE", 'C'},
    {tVR, "VR", 'C'},
    {tVRVALUES, "VRVALUES", 'C'},
    {tTABLEVALUES, "TABLEVALUES", 'C'},
    {tOPENBRACKETS, "OPENBRACKETS", 'S'},
    {tCLOSEBRACKETS, "CLOSEBRACKETS", 'S'},
    {tASSIGN, "ASSIGN", 'S'},
    {tNUMBER, "NUMBER", 'S'},
    {tEOX, "EOX", 'S'},
    {tCOMMA, "COMMA", 'S'},
    {tVERSION, "VERSION", 'V'},
    {tCONTROL, "CONTROL", 'V'},
    {tSYSTEMVARIABLE, "SYSTEMVARIABLE", 'S'},
    {tSYSTEMVARIABLE2, "SYSTEMVARIABLE2", 'S'},
    {tUNKNOWN, "UNKNOWN", 'S'},
    {tDIR, "DIR", 'C'},
    {tQUOTES, "QUOTES", 'S'},
    {tTABLE, "TABLE", 'C'},
    {tEXECUTE, "EXECUTE", 'C'},
    {tEX, "EX", 'C'},
    {tBASE, "BASE", 'C'},
    {tSET_MOTION, "SET_MOTION", 'C'},
    {tSET_MOTIONSP, "SET_MOTIONSP", 'C'},
    {tMODIFIER, "MODIFIER", 'S'},
    {tAXIS, "AXIS", 'M'},
    {tCANCEL, "CANCEL", 'C'},
    {tDATUM, "DATUM", 'C'},
    {tDEFPOS, "DEFPOS", 'C'},
    {tFORWARD, "FORWARD", 'C'},
    {tREVERSE, "REVERSE", 'C'},
    {tMOVE, "MOVE", 'C'},
    {tMOVESP, "MOVESP", 'C'},
    {tMOVEABS, "MOVEABS", 'C'},
    {tMOVEABSSP, "MOVEABSSP", 'C'},
    {tINVERT_IN, "INVERT_IN", 'C'},
    {tPRINT, "PRINT", 'C'},
    {tLEN, "LEN", 'C'},
    {tVRSTRING, "VRSTRING", 'C'},
    {tOPENSQUAREBRACKETS, "OPENSQUAREBRACKETS", 'S'},
    {tCLOSESQUAREBRACKETS, "CLOSESQUAREBRACKETS", 'S'},
    {tSEMICOLON, "SEMICOLON", 'S'},
    {tCOLON, "COLON", 'S'},
};

bool Tokens_CheckIntegrity()
{
    for (int i = 0; i < Token::__tLAST_TOKEN; ++i) {
        if (Token::_token_names[i].token != i)
            return false;
    }
    return true;
}

namespace {

// One token code as one byte, or as the extended prefix and the offset.
struct EncodedCode {
    uint8_t bytes[2] = {0, 0};
    size_t length = 0;
};

ErrorCode encodeTokenCode(uint16_t code, uint16_t extended, EncodedCode& out)
{
    HOLVANE_ASSERT(extended <= Token::MaxByteCode);
    if (code > extended) {
        // The offset must fit the second byte; a wrapped offset would name
        // another token.
        if (code - extended > Token::MaxByteCode)
            return BadArgument;
        out.bytes[0] = static_cast<uint8_t>(extended);
        out.bytes[1] = static_cast<uint8_t>(code - extended);
        out.length = 2;
        return NoError;
    }
    const uint16_t tokenCode = code;
    HOLVANE_ASSERT(tokenCode <= Token::MaxByteCode);
    out.bytes[0] = static_cast<uint8_t>(tokenCode);
    out.length = 1;
    return NoError;
}

} // namespace

Token::Token(EventCallback eventLogger)
    : _controller_capabilities(*this), _eventLogger(std::move(eventLogger)), _token_codes{}
{
    resetCachedTokens();
    HOLVANE_ASSERT(Tokens_CheckIntegrity());
}

void Token::resetCachedTokens()
{
    for (const TokenDef*& slot : _token_codes)
        slot = nullptr;
    _tokenTOKENTABLE.loadDefault();
    _tokenZERO.loadDefault();
    _tokenExtended.loadDefault();
}

bool Token::SetControllerCapabilities(double version, int type)
{
    return _controller_capabilities.SetControllerCapabilities(version, type);
}

ErrorCode Token::getToken(std::string_view name, const TokenDef*& out, char type) const
{
    out = _token_map.find(name, type);
    return out ? NoError : Remote_UnknownToken;
}

ErrorCode Token::getToken_SystemVariable(std::string_view name, const TokenDef*& out) const
{
    return getToken(name, out, 'V');
}

bool Token::getTokenCode(KnownTokens t, uint16_t& code) const
{
    HOLVANE_ASSERT(t >= 0 && t < __tLAST_TOKEN);
    const TokenDef* def = _token_codes[t];
    if (def == &_tokenUnknown)
        return false;
    if (!def) {
        def = _token_map.find(_token_names[t].name, _token_names[t].type);
        if (!def) {
            _token_codes[t] = &_tokenUnknown;
            return false;
        }
        _token_codes[t] = def;
    }
    code = def->token;
    return true;
}

Token::CacheState Token::cacheState(KnownTokens t) const
{
    HOLVANE_ASSERT(t >= 0 && t < __tLAST_TOKEN);
    if (!_token_codes[t])
        return CacheState::Unresolved;
    return _token_codes[t] == &_tokenUnknown ? CacheState::Absent : CacheState::Resolved;
}

bool Token::getTokenCode(std::string_view name, uint16_t& code, char type) const
{
    const TokenDef* def = nullptr;
    if (getToken(name, def, type) != NoError) {
        code = 0;
        return false;
    }
    code = def->token;
    return true;
}

void Token::AddLogEvent(EventType type, uint64_t code, std::string_view text) const
{
    if (_eventLogger)
        _eventLogger(type, code, text);
}

ErrorCode Token::appendTokenCode(uint16_t code, TokenBuffer& buffer) const
{
    EncodedCode encoded;
    const ErrorCode error = encodeTokenCode(code, _tokenExtended.token, encoded);
    if (error != NoError)
        return error;
    buffer.append(encoded.bytes, encoded.length);
    return NoError;
}

ErrorCode Token::appendToken(const TokenDef* def, TokenBuffer& buffer) const
{
    if (!def)
        return Remote_UnknownToken;
    return appendTokenCode(def->token, buffer);
}

ErrorCode Token::appendToken(KnownTokens t, TokenBuffer& buffer) const
{
    uint16_t code = 0;
    if (!getTokenCode(t, code))
        return Remote_UnknownToken;
    return appendTokenCode(code, buffer);
}

ErrorCode Token::appendToken(std::string_view name, char type, TokenBuffer& buffer) const
{
    const TokenDef* def = nullptr;
    const ErrorCode error = getToken(name, def, type);
    if (error != NoError)
        return error;
    return appendTokenCode(def->token, buffer);
}

ErrorCode Token::appendZeroToken(TokenBuffer& buffer) const { return appendTokenCode(_tokenZERO.token, buffer); }

ErrorCode Token::appendValue(double value, TokenBuffer& buffer) const
{
    // Both framing tokens are resolved first so that a failure appends nothing.
    uint16_t number = 0;
    uint16_t eox = 0;
    if (!getTokenCode(tNUMBER, number) || !getTokenCode(tEOX, eox))
        return Remote_UnknownToken;
    EncodedCode numberCode;
    EncodedCode eoxCode;
    ErrorCode error = encodeTokenCode(number, _tokenExtended.token, numberCode);
    if (error == NoError)
        error = encodeTokenCode(eox, _tokenExtended.token, eoxCode);
    if (error != NoError)
        return error;
    buffer.append(numberCode.bytes, numberCode.length);
    error = _controller_capabilities.StoreNumber(value, buffer);
    if (error != NoError)
        return error;
    buffer.append(eoxCode.bytes, eoxCode.length);
    return NoError;
}

ErrorCode Token::appendString(const char* str, TokenBuffer& buffer) const
{
    if (!str)
        return BadArgument;
    buffer.append(str, std::strlen(str));
    return NoError;
}

ErrorCode Token::appendString(std::string_view str, TokenBuffer& buffer) const
{
    if (str.size() > UINT32_MAX)
        return BadArgument;
    return _controller_capabilities.StoreBytes(buffer, reinterpret_cast<const uint8_t*>(str.data()),
                                               static_cast<uint32_t>(str.size()));
}

ErrorCode Token::appendToken_SystemVariable(TokenBuffer& buffer, uint16_t code) const
{
    const bool second = code > MaxByteCode;
    uint16_t prefix = 0;
    if (!getTokenCode(second ? tSYSTEMVARIABLE2 : tSYSTEMVARIABLE, prefix))
        return Remote_UnknownToken;
    EncodedCode prefixCode;
    EncodedCode variableCode;
    ErrorCode error = encodeTokenCode(prefix, _tokenExtended.token, prefixCode);
    if (error == NoError)
        error = encodeTokenCode(static_cast<uint16_t>(second ? code - 256 : code), _tokenExtended.token, variableCode);
    if (error != NoError)
        return error;
    buffer.append(prefixCode.bytes, prefixCode.length);
    buffer.append(variableCode.bytes, variableCode.length);
    return NoError;
}

ErrorCode Token::appendToken_SystemVariable(TokenBuffer& buffer, KnownTokens t) const
{
    uint16_t code = 0;
    if (!getTokenCode(t, code))
        return Remote_UnknownToken;
    return appendToken_SystemVariable(buffer, code);
}

ErrorCode Token::appendToken_SystemVariable(TokenBuffer& buffer, std::string_view name) const
{
    const TokenDef* def = nullptr;
    const ErrorCode error = getToken_SystemVariable(name, def);
    if (error != NoError) {
        AddLogEvent(EventType::Error, error, "Undefined system variable: " + std::string(name));
        return error;
    }
    return appendToken_SystemVariable(buffer, def->token);
}

ErrorCode Token::ReadBytes(char* buffer, size_t count, uint32_t timeout_ms, Port& port) const
{
    return _controller_capabilities.ReadBytes(buffer, count, timeout_ms, port);
}

ErrorCode Token::ReadBytes(char* buffer, size_t count, size_t& bytes_read, uint32_t timeout_ms, Port& port) const
{
    return _controller_capabilities.ReadBytes(buffer, count, bytes_read, timeout_ms, port);
}

} // namespace Vantrel::HolvaneApi
