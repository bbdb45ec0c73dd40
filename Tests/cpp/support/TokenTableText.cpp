#include "support/TokenTableText.h"

#include <gtest/gtest.h>

namespace Vantrel::HolvaneApi::Testing {

TokenTableText TokenTableText::standard()
{
    TokenTableText t;
    t.command(0, "TOKENTABLE");
    t.command(12, "VR").command(13, "VRVALUES").command(14, "TABLEVALUES");
    t.special(20, "OPENBRACKETS").special(21, "CLOSEBRACKETS").special(22, "ASSIGN");
    t.special(23, "NUMBER").special(24, "EOX").special(25, "COMMA");
    t.variable(30, "VERSION").variable(31, "CONTROL");
    t.special(32, "SYSTEMVARIABLE").special(33, "SYSTEMVARIABLE2");
    t.special(6, "UNKNOWN");
    t.command(40, "DIR").special(41, "QUOTES").command(42, "TABLE");
    t.command(43, "EXECUTE").command(44, "EX").command(45, "BASE");
    t.command(46, "SET_MOTION").command(47, "SET_MOTIONSP");
    t.special(48, "MODIFIER").modifier(49, "AXIS");
    t.command(50, "CANCEL").command(51, "DATUM").command(52, "DEFPOS");
    t.command(260, "FORWARD").command(53, "REVERSE").command(54, "MOVE");
    t.command(55, "MOVESP").command(56, "MOVEABS").command(300, "MOVEABSSP");
    t.command(57, "INVERT_IN").command(58, "PRINT").command(59, "LEN");
    t.command(60, "VRSTRING");
    t.special(61, "OPENSQUAREBRACKETS").special(62, "CLOSESQUAREBRACKETS");
    t.special(63, "SEMICOLON").special(64, "COLON");
    t.special(203, "ZERO").special(255, "EXTENDED_TOKEN");
    t.variable(70, "SPEED").variable(71, "DPOS").variable(290, "UNITS");
    t.variable(600, "CREEP").variable(0, "NOCODE");
    t.constant(80, "PI", "3.1416");
    return t;
}

TokenTableText& TokenTableText::add(char type, uint16_t code, const std::string& name, const std::string& value)
{
    if (_entries.find(name) == _entries.end())
        _order.push_back(name);
    _entries[name] = Entry{type, code, value};
    return *this;
}

TokenTableText& TokenTableText::command(uint16_t code, const std::string& name) { return add('C', code, name); }
TokenTableText& TokenTableText::special(uint16_t code, const std::string& name) { return add('S', code, name); }
TokenTableText& TokenTableText::variable(uint16_t code, const std::string& name) { return add('V', code, name); }
TokenTableText& TokenTableText::modifier(uint16_t code, const std::string& name) { return add('M', code, name); }
TokenTableText& TokenTableText::constant(uint16_t code, const std::string& name, const std::string& value)
{
    return add('T', code, name, value);
}

TokenTableText& TokenTableText::recode(const std::string& name, uint16_t code)
{
    auto it = _entries.find(name);
    if (it != _entries.end())
        it->second.code = code;
    else
        ADD_FAILURE() << "no token " << name << " to recode";
    return *this;
}

TokenTableText& TokenTableText::remove(const std::string& name)
{
    _entries.erase(name);
    for (auto it = _order.begin(); it != _order.end(); ++it)
        if (*it == name) {
            _order.erase(it);
            break;
        }
    return *this;
}

bool TokenTableText::has(std::string_view name) const { return _entries.find(name) != _entries.end(); }

uint16_t TokenTableText::code(std::string_view name) const
{
    auto it = _entries.find(name);
    if (it == _entries.end()) {
        ADD_FAILURE() << "no token " << name << " in the test table";
        return 0;
    }
    return it->second.code;
}

uint8_t TokenTableText::extendedPrefix() const
{
    return has("EXTENDED_TOKEN") ? static_cast<uint8_t>(code("EXTENDED_TOKEN")) : 255;
}

Bytes TokenTableText::codeBytes(uint16_t c) const
{
    const uint8_t ext = extendedPrefix();
    if (c > ext)
        return Bytes{ext, static_cast<uint8_t>((c - ext) & 0xFF)};
    return Bytes{static_cast<uint8_t>(c)};
}

std::string TokenTableText::text() const
{
    std::string out;
    // A bracketed line that is not the end marker is skipped by the reader.
    out += "[HEADER]\r\n";
    for (const auto& name : _order) {
        const Entry& e = _entries.at(name);
        const std::string head = std::string(1, e.type) + std::to_string(e.code) + name;
        switch (e.type) {
        case 'C': out += head + ",0,2,0,4,0,0,cb>\r\n"; break;
        case 'V': out += head + ",1,w>\r\n"; break;
        case 'M': out += head + ",1,1,0\r\n"; break;
        case 'T': out += head + "," + e.value + "\r\n"; break;
        default: out += head + "\r\n"; break;
        }
    }
    out += "[EOT]\r\n";
    return out;
}

Wire::Wire(const TokenTableText& table, NumberFormat format, bool escaping)
    : _table(table), _format(format), _escaping(escaping)
{
}

Wire& Wire::tok(std::string_view name)
{
    append(_bytes, _table.codeBytes(_table.code(name)));
    return *this;
}

Wire& Wire::num(double value)
{
    tok("NUMBER");
    const Bytes raw = numberBytes(_format, value);
    append(_bytes, _escaping ? escaped(raw) : raw);
    return tok("EOX");
}

Wire& Wire::text(const std::string& s)
{
    const Bytes raw = bytesOf(s);
    append(_bytes, _escaping ? escaped(raw) : raw);
    return *this;
}

Wire& Wire::rawText(const std::string& s)
{
    append(_bytes, bytesOf(s));
    return *this;
}

Wire& Wire::sysvar(std::string_view name)
{
    const uint16_t c = _table.code(name);
    if (c < 256) {
        tok("SYSTEMVARIABLE");
        append(_bytes, _table.codeBytes(c));
    } else {
        tok("SYSTEMVARIABLE2");
        append(_bytes, _table.codeBytes(static_cast<uint16_t>(c - 256)));
    }
    return *this;
}

Wire& Wire::zero() { return tok("ZERO"); }

Bytes Wire::number(double value) const { return numberBytes(_format, value); }

Bytes Wire::reply(double value, double status) const
{
    Bytes out = numberBytes(_format, value);
    append(out, numberBytes(_format, status));
    return out;
}

} // namespace Vantrel::HolvaneApi::Testing
