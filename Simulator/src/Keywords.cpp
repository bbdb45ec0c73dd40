#include "HolvaneSim/Keywords.h"

#include <stdexcept>

namespace Vantrel::HolvaneApi::Sim {
namespace {
constexpr const char* s_names[] = {
    "",
    "TOKENTABLE",
    "VR",
    "VRVALUES",
    "TABLEVALUES",
    "OPENBRACKETS",
    "CLOSEBRACKETS",
    "ASSIGN",
    "NUMBER",
    "EOX",
    "COMMA",
    "SYSTEMVARIABLE",
    "SYSTEMVARIABLE2",
    "UNKNOWN",
    "DIR",
    "QUOTES",
    "TABLE",
    "EXECUTE",
    "EX",
    "BASE",
    "MODIFIER",
    "AXIS",
    "CANCEL",
    "DATUM",
    "DEFPOS",
    "FORWARD",
    "REVERSE",
    "MOVE",
    "MOVESP",
    "MOVEABS",
    "MOVEABSSP",
    "INVERT_IN",
    "PRINT",
    "LEN",
    "VRSTRING",
    "OPENSQUAREBRACKETS",
    "CLOSESQUAREBRACKETS",
    "SEMICOLON",
    "COLON",
};
static_assert(sizeof(s_names) / sizeof(s_names[0]) == static_cast<size_t>(Kw::Count));
} // namespace

Keywords::Keywords(const TokenTable& table)
    : _byCode(table.maxCode() + 1u, Kw::None), _codes(static_cast<size_t>(Kw::Count), 0)
{
    for (size_t k = 1; k < static_cast<size_t>(Kw::Count); ++k) {
        const int code = table.codeOf(s_names[k]);
        if (code < 0)
            throw std::logic_error(std::string("token table lacks ") + s_names[k]);
        _codes[k] = static_cast<uint16_t>(code);
        _byCode[static_cast<size_t>(code)] = static_cast<Kw>(k);
    }
}

} // namespace Vantrel::HolvaneApi::Sim
