#pragma once

#include "HolvaneSim/Keywords.h"
#include "HolvaneSim/NumberCodec.h"
#include "HolvaneSim/TokenTable.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Sim {

// One element of a request: a token code, a framed number or quoted data.
struct Lexeme {
    enum Kind : uint8_t { Token, Number, String };
    Kind kind = Token;
    uint16_t code = 0;
    double number = 0.0;
    std::string text;
};

struct ParsedRequest {
    std::vector<Lexeme> items; // without the closing ZERO
    WireFormat format;         // format the request arrived in; its reply uses it too
    bool tokenTableRequest = false;
    bool malformed = false;

    void clear()
    {
        items.clear();
        tokenTableRequest = false;
        malformed = false;
    }
};

// Codes the lexer needs to find the request boundaries.
struct LexerCodes {
    uint16_t zero = TokenTable::kDefaultZero;
    uint16_t extended = TokenTable::kDefaultExtended;
    uint16_t number = 0;
    uint16_t eox = 0;
    uint16_t quotes = 1;
    uint16_t unknown = 2;
    uint16_t tokenTable = 0;
};

// The lexer codes of one token table, `keywords` being built from it.
LexerCodes lexerCodes(const TokenTable& table, const Keywords& keywords);

// Splits the incoming byte stream into requests (token streams closed by the
// ZERO token) and acknowledgement bytes. Numbers are read by their fixed size
// and quoted data up to the unescaped QUOTES byte, so a ZERO byte inside data
// never ends a request.
class RequestParser {
public:
    enum class Result { NeedMore, Ack, Request, TooLong };

    explicit RequestParser(const LexerCodes& codes, size_t maxRequestBytes = 1u << 20)
        : _codes(codes), _maxRequest(maxRequestBytes)
    {
    }

    // Looks at data[0..length) which starts at a request boundary. On Ack and
    // Request, `consumed` bytes belong to it. A malformed request is returned as
    // Request with `malformed` set, consumed through the next ZERO byte.
    // `beforeTable`: the host's first request uses the default codes 0 and 200.
    Result next(const uint8_t* data, size_t length, WireFormat format, bool beforeTable, ParsedRequest& out,
                size_t& consumed);

private:
    // Reads one token code at `pos`; false when more bytes are needed.
    bool readCode(const uint8_t* data, size_t length, size_t& pos, uint16_t& code) const;
    Result resync(const uint8_t* data, size_t length, size_t from, ParsedRequest& out, size_t& consumed);

    LexerCodes _codes;
    size_t _maxRequest;
    bool _discarding = false; // skipping a malformed request whose ZERO has not arrived yet
};

} // namespace Vantrel::HolvaneApi::Sim
