#pragma once
// Builds the ASCII token table a controller publishes (records 'C', 'S', 'E',
// 'V', 'M', 'T', closed by "[EOT]") and encodes requests and replies against it
// for byte-exact assertions.

#include "support/WireFormat.h"

#include <map>
#include <string>
#include <string_view>

namespace Vantrel::HolvaneApi::Testing {

class TokenTableText {
public:
    // A table with every keyword the plug-in uses, ZERO, TOKENTABLE,
    // EXTENDED_TOKEN, a few axis parameters (one above 255, one above
    // 255 + 256, one with code 0), a modifier, a constant and a bracketed line.
    static TokenTableText standard();

    TokenTableText& command(uint16_t code, const std::string& name);
    TokenTableText& special(uint16_t code, const std::string& name);
    TokenTableText& variable(uint16_t code, const std::string& name);
    TokenTableText& modifier(uint16_t code, const std::string& name);
    TokenTableText& constant(uint16_t code, const std::string& name, const std::string& value);
    // Changes the code of an entry already present, whatever its record.
    TokenTableText& recode(const std::string& name, uint16_t code);
    TokenTableText& remove(const std::string& name);

    bool has(std::string_view name) const;
    uint16_t code(std::string_view name) const; // the entry must exist
    uint8_t extendedPrefix() const;             // EXTENDED_TOKEN, or 255
    std::string text() const;

    // The one or two bytes of a token code under this table's prefix.
    Bytes codeBytes(uint16_t code) const;

private:
    struct Entry {
        char type;
        uint16_t code;
        std::string value; // constants only
    };
    TokenTableText& add(char type, uint16_t code, const std::string& name, const std::string& value = {});

    std::map<std::string, Entry, std::less<>> _entries;
    std::vector<std::string> _order;
};

// Request and reply bytes as a controller with a given table and number
// format sees them.
class Wire {
public:
    Wire(const TokenTableText& table, NumberFormat format, bool escaping);

    Wire& tok(std::string_view name);
    Wire& num(double value);          // NUMBER, the number (escaped as needed), EOX
    Wire& text(const std::string& s); // string bytes, escaped as needed
    Wire& rawText(const std::string& s);
    Wire& sysvar(std::string_view name);
    Wire& zero();
    Bytes bytes() const { return _bytes; }
    operator Bytes() const { return _bytes; } // NOLINT: convenience in tests

    // A simple reply: value then status, as the controller sends them (never escaped).
    Bytes reply(double value, double status = 0.0) const;
    Bytes number(double value) const;

private:
    const TokenTableText& _table;
    NumberFormat _format;
    bool _escaping;
    Bytes _bytes;
};

} // namespace Vantrel::HolvaneApi::Testing
