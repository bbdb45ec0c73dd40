#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Vantrel::HolvaneApi::Sim {

// One keyword of the controller's language as published in its token table.
struct TokenEntry {
    char type = 0; // record letter: C S E V M T
    std::string name;
    uint16_t code = 0;
    std::string fields; // record text after the name (without the leading comma)
};

// The controller's token table: codes for every keyword and the ASCII text
// served to TOKENTABLE. Codes are given in catalogue order, skipping the codes
// taken by ZERO and EXTENDED_TOKEN, with TOKENTABLE 0, QUOTES 1 and UNKNOWN 2
// fixed: QUOTES ends quoted data, so its code is the byte that escaping protects.
class TokenTable {
public:
    static constexpr uint16_t kDefaultZero = 200;
    static constexpr uint16_t kDefaultExtended = 255;

    // Throws std::invalid_argument when the codes cannot be laid out.
    TokenTable(uint16_t zeroCode = kDefaultZero, uint16_t extendedCode = kDefaultExtended);

    const std::string& text() const { return _text; }
    uint16_t zeroCode() const { return _zero; }
    uint16_t extendedCode() const { return _extended; }
    uint16_t maxCode() const { return _maxCode; }

    // -1 when the name (exact case) is not in the table.
    int codeOf(std::string_view name) const;
    // Null when no entry carries the code.
    const TokenEntry* byCode(uint16_t code) const;
    // Case-insensitive lookup for program text; null when absent.
    const TokenEntry* byNameNoCase(std::string_view name) const;

private:
    uint16_t _zero;
    uint16_t _extended;
    uint16_t _maxCode = 0;
    std::vector<TokenEntry> _entries;
    std::vector<int32_t> _indexByCode;
    std::unordered_map<std::string, size_t> _indexByName;
    std::string _text;
};

// `s` with its ASCII letters in upper case: keywords match in any case.
std::string upper(std::string_view s);

} // namespace Vantrel::HolvaneApi::Sim
