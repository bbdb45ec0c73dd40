#pragma once

#include "HolvaneSim/TokenTable.h"

#include <cstdint>
#include <vector>

namespace Vantrel::HolvaneApi::Sim {

// The keywords whose requests the simulator understands.
enum class Kw : uint8_t {
    None,
    TOKENTABLE,
    VR,
    VRVALUES,
    TABLEVALUES,
    OPENBRACKETS,
    CLOSEBRACKETS,
    ASSIGN,
    NUMBER,
    EOX,
    COMMA,
    SYSTEMVARIABLE,
    SYSTEMVARIABLE2,
    UNKNOWN,
    DIR,
    QUOTES,
    TABLE,
    EXECUTE,
    EX,
    BASE,
    MODIFIER,
    AXIS,
    CANCEL,
    DATUM,
    DEFPOS,
    FORWARD,
    REVERSE,
    MOVE,
    MOVESP,
    MOVEABS,
    MOVEABSSP,
    INVERT_IN,
    PRINT,
    LEN,
    VRSTRING,
    OPENSQUAREBRACKETS,
    CLOSESQUAREBRACKETS,
    SEMICOLON,
    COLON,
    Count
};

// Maps token codes of one table to keywords and back.
class Keywords {
public:
    explicit Keywords(const TokenTable& table);
    Kw of(uint16_t code) const { return code < _byCode.size() ? _byCode[code] : Kw::None; }
    uint16_t code(Kw k) const { return _codes[static_cast<size_t>(k)]; }

private:
    std::vector<Kw> _byCode;
    std::vector<uint16_t> _codes;
};

} // namespace Vantrel::HolvaneApi::Sim
