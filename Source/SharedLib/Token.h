#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/ControllerCapabilities.h"
#include "SharedLib/CreateParameters.h"
#include "SharedLib/TimingPolicy.h"
#include "SharedLib/TokenDef.h"
#include "SharedLib/TokenMapByName.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Vantrel::HolvaneApi {

class Port;
class TokenBuffer;

namespace TokenTypes {

// Special entries: defaults used until a downloaded table names their codes.
struct TokenTOKENTABLE : TokenDef {
    void loadDefault()
    {
        token_type = 'C';
        token = 0;
    }
};

struct TokenZERO : TokenDef {
    void loadDefault()
    {
        token_type = 'S';
        token = 200;
    }
};

struct TokenEXTENDED : TokenDef {
    void loadDefault()
    {
        token_type = 'S';
        token = 255;
    }
};

} // namespace TokenTypes

// The token table of one connection: every downloaded entry, the cached codes
// of the keywords the plug-in itself uses, the controller's number format and
// the encoders that write tokens, numbers and strings into a request.
// No lock: used by one thread at a time (see the reader pump's send lock).
class Token {
public:
    using TokenDef = TokenTypes::TokenDef;
    using Command = TokenTypes::Command;
    using SysVar = TokenTypes::SysVar;
    using Modifier = TokenTypes::Modifier;
    using Constant = TokenTypes::Constant;
    using TokenMapByName = TokenTypes::TokenMapByName;
    using TokenTOKENTABLE = TokenTypes::TokenTOKENTABLE;
    using TokenZERO = TokenTypes::TokenZERO;
    using TokenEXTENDED = TokenTypes::TokenEXTENDED;

    enum KnownTokens : int {
        tTOKENTABLE = 0,
        tVR,
        tVRVALUES,
        tTABLEVALUES,
        tOPENBRACKETS,
        tCLOSEBRACKETS,
        tASSIGN,
        tNUMBER,
        tEOX,
        tCOMMA,
        tVERSION,
        tCONTROL,
        tSYSTEMVARIABLE,
        tSYSTEMVARIABLE2,
        tUNKNOWN,
        tDIR,
        tQUOTES,
        tTABLE,
        tEXECUTE,
        tEX,
        tBASE,
        tSET_MOTION,
        tSET_MOTIONSP,
        tMODIFIER,
        tAXIS,
        tCANCEL,
        tDATUM,
        tDEFPOS,
        tFORWARD,
        tREVERSE,
        tMOVE,
        tMOVESP,
        tMOVEABS,
        tMOVEABSSP,
        tINVERT_IN,
        tPRINT,
        tLEN,
        tVRSTRING,
        tOPENSQUAREBRACKETS,
        tCLOSESQUAREBRACKETS,
        tSEMICOLON,
        tCOLON,
        __tLAST_TOKEN
    };

    struct stTokenName {
        KnownTokens token;
        std::string_view name;
        char type;
    };

    // Keyword and record letter of every known token, in enumerator order.
    static const stTokenName _token_names[__tLAST_TOKEN];

    // Longest keyword accepted from a controller's table.
    static constexpr size_t MaxTokenNameLength = 4096;
    // Largest code that travels in one byte; larger codes take the extended
    // prefix and an offset byte.
    static constexpr uint16_t MaxByteCode = 255;

    explicit Token(EventCallback eventLogger);
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    // Forgets every cached code and restores the special entries' defaults.
    void resetCachedTokens();

    const TokenTOKENTABLE& tokenTOKENTABLE() const { return _tokenTOKENTABLE; }
    const TokenZERO& tokenZERO() const { return _tokenZERO; }
    const TokenEXTENDED& tokenExtended() const { return _tokenExtended; }
    uint16_t tokenExtendedCode() const { return _tokenExtended.token; }

    const TokenMapByName& tokenMap() const { return _token_map; }
    ControllerCapabilities& controllerCapabilities() { return _controller_capabilities; }
    const ControllerCapabilities& controllerCapabilities() const { return _controller_capabilities; }

    // Downloads the controller's table over port (once per Token), giving up
    // after TimingPolicy::DefaultReplyTimeoutMs without a byte.
    ErrorCode ReadTokenTable(Port& port);
    // The same with another silence limit (a connection's TCP_Timeout).
    ErrorCode ReadTokenTable(Port& port, std::chrono::milliseconds silence_limit);

    bool SetControllerCapabilities(double version, int type);

    // Lookup in the downloaded table; type 0 matches any type.
    ErrorCode getToken(std::string_view name, const TokenDef*& out, char type = 0) const;
    ErrorCode getToken_SystemVariable(std::string_view name, const TokenDef*& out) const;
    // Cached resolution of a known token; false when the table lacks it.
    bool getTokenCode(KnownTokens t, uint16_t& code) const;
    // Code of a named entry; false (and code 0) when absent.
    bool getTokenCode(std::string_view name, uint16_t& code, char type = 0) const;
    // What the cache holds for a known token.
    enum class CacheState { Unresolved, Absent, Resolved };
    CacheState cacheState(KnownTokens t) const;

    void AddLogEvent(EventType type, uint64_t code, std::string_view text) const;

    // Encoders: each appends to buffer and returns NoError or why not.
    // A code is one byte, or the extended prefix and the offset; a code above
    // prefix + 255 has no encoding and gives BadArgument.
    ErrorCode appendTokenCode(uint16_t code, TokenBuffer& buffer) const;
    ErrorCode appendToken(const TokenDef* def, TokenBuffer& buffer) const;
    ErrorCode appendToken(KnownTokens t, TokenBuffer& buffer) const;
    ErrorCode appendToken(std::string_view name, char type, TokenBuffer& buffer) const;
    ErrorCode appendZeroToken(TokenBuffer& buffer) const;
    // NUMBER, the number in the controller's format, EOX.
    ErrorCode appendValue(double value, TokenBuffer& buffer) const;
    // Bytes up to the terminating zero, never escaped.
    ErrorCode appendString(const char* str, TokenBuffer& buffer) const;
    // Bytes of the view, escaped when the controller wants it.
    ErrorCode appendString(std::string_view str, TokenBuffer& buffer) const;
    // SYSTEMVARIABLE code, or SYSTEMVARIABLE2 (code - 256) from 256 on.
    ErrorCode appendToken_SystemVariable(TokenBuffer& buffer, uint16_t code) const;
    ErrorCode appendToken_SystemVariable(TokenBuffer& buffer, KnownTokens t) const;
    ErrorCode appendToken_SystemVariable(TokenBuffer& buffer, std::string_view name) const;

    // Reads through the controller capabilities (exact count / single read).
    ErrorCode ReadBytes(char* buffer, size_t count, uint32_t timeout_ms, Port& port) const;
    ErrorCode ReadBytes(char* buffer, size_t count, size_t& bytes_read, uint32_t timeout_ms, Port& port) const;

private:
    ControllerCapabilities _controller_capabilities;
    EventCallback _eventLogger;
    TokenMapByName _token_map;
    TokenTOKENTABLE _tokenTOKENTABLE;
    TokenZERO _tokenZERO;
    TokenEXTENDED _tokenExtended;
    TokenDef _tokenUnknown;
    // Per known token: null (not resolved yet), &_tokenUnknown (absent) or
    // the map's entry. Written by const lookups under the send lock.
    mutable const TokenDef* _token_codes[__tLAST_TOKEN];
};

// True when every entry of Token::_token_names sits at its own index.
bool Tokens_CheckIntegrity();

} // namespace Vantrel::HolvaneApi
