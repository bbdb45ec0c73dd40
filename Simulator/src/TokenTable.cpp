#include "HolvaneSim/TokenTable.h"

#include "HolvaneSim/AxisParameters.h"
#include "HolvaneSim/SystemVariables.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace Vantrel::HolvaneApi::Sim {
namespace {

struct CatalogEntry {
    char type;
    const char* name;
    const char* fields;
};

// The keywords the host relies on, with the record letters it expects.
constexpr CatalogEntry s_hostKeywords[] = {
    {'C', "TOKENTABLE", "0,0,0,0,0,0,c"},
    {'C', "VR", "0,0,1,1,0,0,cfb"},
    {'C', "VRVALUES", "0,0,3,3,0,0,cb"},
    {'C', "TABLEVALUES", "0,0,3,3,0,0,cb"},
    {'S', "OPENBRACKETS", ""},
    {'S', "CLOSEBRACKETS", ""},
    {'S', "ASSIGN", ""},
    {'S', "NUMBER", ""},
    {'S', "EOX", ""},
    {'S', "COMMA", ""},
    {'V', "VERSION", "0,"},
    {'V', "CONTROL", "0,"},
    {'S', "SYSTEMVARIABLE", ""},
    {'S', "SYSTEMVARIABLE2", ""},
    {'S', "UNKNOWN", ""},
    {'C', "DIR", "0,1,0,0,0,0,c"},
    {'S', "QUOTES", ""},
    {'C', "TABLE", "0,0,1,64,0,0,cfb"},
    {'C', "EXECUTE", "1,1,0,0,0,0,ce"},
    {'C', "EX", "0,0,0,1,0,0,cb"},
    {'C', "BASE", "0,0,0,16,0,0,cfb"},
    {'C', "SET_MOTION", "0,0,1,16,1,0,cb"},
    {'C', "SET_MOTIONSP", "0,0,1,16,1,0,cb"},
    {'S', "MODIFIER", ""},
    {'M', "AXIS", "1,1,1"},
    {'C', "CANCEL", "0,0,0,1,1,0,cb"},
    {'C', "DATUM", "0,0,1,1,1,0,cb"},
    {'C', "DEFPOS", "0,0,1,16,1,0,cb"},
    {'C', "FORWARD", "0,0,0,0,1,0,c"},
    {'C', "REVERSE", "0,0,0,0,1,0,c"},
    {'C', "MOVE", "0,0,1,16,1,0,cb"},
    {'C', "MOVESP", "0,0,1,16,1,0,cb"},
    {'C', "MOVEABS", "0,0,1,16,1,0,cb"},
    {'C', "MOVEABSSP", "0,0,1,16,1,0,cb"},
    {'C', "INVERT_IN", "0,0,2,2,0,0,cb"},
    {'C', "PRINT", "0,8,0,8,0,0,c"},
    {'C', "LEN", "0,0,1,1,0,0,fb"},
    {'C', "VRSTRING", "0,0,1,1,0,0,fb"},
    {'S', "OPENSQUAREBRACKETS", ""},
    {'S', "CLOSESQUAREBRACKETS", ""},
    {'S', "SEMICOLON", ""},
    {'S', "COLON", ""},
};

constexpr const char* s_specials[] = {"EOL",       "TAB",        "SPACE", "HASH",   "DOLLAR",   "AT",
                                      "STRINGEND", "LINENUMBER", "LABEL", "REMARK", "CONTINUE", "LOCALVAR"};

constexpr const char* s_operators[] = {
    "PLUS",         "MINUS", "MULTIPLY", "DIVIDE", "POWER", "EQUAL", "NOTEQUAL", "LESS", "LESSEQUAL", "GREATER",
    "GREATEREQUAL", "AND",   "OR",       "XOR",    "NOT",   "MOD",   "NAND",     "NOR",  "SHIFTLEFT", "SHIFTRIGHT"};

constexpr const char* s_functions[] = {
    "ABS",          "ACOS",       "ASIN",      "ATAN",     "ATAN2",       "COS",        "SIN",
    "TAN",          "EXP",        "LN",        "LOG",      "SQR",         "INT",        "FRAC",
    "SGN",          "ROUND",      "FLOOR",     "CEIL",     "MIN",         "MAX",        "HEX",
    "CHR",          "ASC",        "VAL",       "STR",      "LEFT",        "RIGHT",      "MID",
    "UCASE",        "LCASE",      "INSTR",     "IN",       "OP",          "AIN",        "AOUT",
    "READ_BIT",     "SET_BIT",    "CLEAR_BIT", "READ_OP",  "GET",         "KEY",        "RND",
    "CRC16",        "BCD",        "DATE$",     "TIME$",    "PROC_STATUS", "PROCNUMBER", "TABLE_POINTER",
    "MOTION_ERROR", "ERROR_AXIS", "IEEE_IN",   "IEEE_OUT", "FLAG",        "FLAGS",      "LOC",
    "SIZE",         "ERRORNO",    "DAY",
};

constexpr const char* s_commands[] = {
    "IF",          "THEN",        "ELSE",       "ELSEIF",        "ENDIF",      "WHILE",
    "WEND",        "FOR",         "TO",         "STEP",          "NEXT",       "REPEAT",
    "UNTIL",       "GOTO",        "GOSUB",      "RETURN",        "STOP",       "RUN",
    "HALT",        "WAIT",        "WA",         "DIM",           "LOCAL",      "GLOBAL",
    "CONSTANT",    "REM",         "END",        "INPUT",         "LINPUT",     "CLEAR",
    "DEL",         "NEW",         "COPY",       "RENAME",        "SELECT",     "LIST",
    "TRON",        "TROFF",       "STEPLINE",   "AUTORUN",       "PROCESS",    "RUNTYPE",
    "STORE",       "FILE",        "OPEN",       "CLOSE",         "SEND",       "RECEIVE",
    "MOVECIRC",    "MOVEHELICAL", "MOVELINK",   "MOVEMODIFY",    "MOVETANG",   "MOVESPIRAL",
    "MHELICAL",    "MSPHERICAL",  "CONNECT",    "CAM",           "CAMBOX",     "FLEXLINK",
    "ADDAX",       "RAPIDSTOP",   "REGIST",     "DISABLE_GROUP", "SYNC",       "PSWITCH",
    "SCOPE",       "TRIGGER",     "ERRORMASK",  "WDOGON",        "WDOGOFF",    "INITIALISE",
    "EPROM",       "EEPROM",      "FLASHVR",    "SETCOM",        "SERIAL",     "BATTERY",
    "TICKS_RESET", "VRCOPY",      "TABLECOPY",  "SORT",          "MOVEABSSEQ", "MOVESEQ",
    "BLEND",       "FRAME",       "USER_FRAME", "VOLUME_LIMIT",  "GROUP",      "AXIS_LIST",
    "INTERLOCK",   "REPORT",      "DEVICENET",  "ETHERNET",      "IP_ADDRESS", "IP_NETMASK",
    "IP_GATEWAY",  "SLOT",        "CANIO",      "MODBUS",        "PLC",        "TIMER",
    "TIME_RESET",  "DISPLAY",     "BEEP",       "LOCK",          "UNLOCK",     "PASSWORD",
    "HELP",        "DUMP",        "TEXT",       "TEST",          "VERIFY",     "ENCODER_RATIO",
    "STEP_RATIO",  "SERVO_ON",    "SERVO_OFF",  "DRIVE_RESET",   "FHOLD",      "JOG",
    "FOLLOW",      "PULSE",       "LATCH",      "CAPTURE",       "GEAR",       "PHASE",
    "PROFILE",     "SPLINE",      "BACKLASH",   "COMPENSATE",    "HOMING",     "LIMITS",
};

constexpr const char* s_modifiers[] = {"PROC", "PORT", "SLOT_MOD", "CHANNEL", "GROUP_MOD", "FRAME_MOD", "UNIT"};

struct Constant {
    const char* name;
    const char* value; // written with exactly four decimals
};
constexpr Constant s_constants[] = {
    {"PI", "3.1416"},  {"TRUE", "-1.0000"},   {"FALSE", "0.0000"}, {"ON", "1.0000"},
    {"OFF", "0.0000"}, {"E_CONST", "2.7183"}, {"SQRT2", "1.4142"}, {"DEG", "57.2958"},
};

constexpr const char* s_otherSpecials[] = {"ERRORCODE", "EVENT", "EXPRESSION", "BLOCK"};

} // namespace

std::string upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

TokenTable::TokenTable(uint16_t zeroCode, uint16_t extendedCode) : _zero(zeroCode), _extended(extendedCode)
{
    if (_extended < 3 || _extended > 255)
        throw std::invalid_argument("extended token must lie in 3..255");
    if (_zero < 3 || _zero > 255 || _zero == _extended)
        throw std::invalid_argument("zero token must lie in 3..255 and differ from the extended token");

    std::vector<TokenEntry> list;
    auto add = [&](char type, std::string name, std::string fields) {
        list.push_back(TokenEntry{type, std::move(name), 0, std::move(fields)});
    };
    // A few of the host's keywords sit above 255 so that the host must send
    // them with the extended-token prefix.
    auto late = [](const char* name) {
        for (const char* n : {"DATUM", "MOVEABSSP", "INVERT_IN", "VRSTRING"})
            if (std::string_view(n) == name)
                return true;
        return false;
    };
    for (const auto& e : s_hostKeywords)
        if (!late(e.name))
            add(e.type, e.name, e.fields);
    add('S', "ZERO", "");
    add('S', "EXTENDED_TOKEN", "");
    for (const char* n : s_specials)
        add('S', n, "");
    for (const char* n : s_operators)
        add('C', n, "0,0,2,2,0,0,o");
    for (const char* n : s_otherSpecials)
        add('E', n, "");
    for (const char* n : s_functions)
        add('C', n, "0,1,0,2,0,0,fb");
    for (const char* n : s_commands)
        add('C', n, "0,1,0,8,1,0,c");
    for (const char* n : s_modifiers)
        add('M', n, "1,1,2");
    for (const auto& c : s_constants)
        add('T', c.name, c.value);
    for (size_t i = 0; i < static_cast<size_t>(SysVar::Count); ++i) {
        const auto& info = sysVarInfo(static_cast<SysVar>(i));
        if (info.name == "VERSION" || info.name == "CONTROL")
            continue; // already among the host's keywords
        add('V', std::string(info.name), info.writable ? "0,w" : "0,");
    }
    for (size_t i = 0; i < kAxisParamCount; ++i) {
        const auto& info = axisParamInfo(static_cast<AxisParam>(i));
        add('V', std::string(info.name), info.writable ? "1,w" : "1,");
    }
    for (const auto& e : s_hostKeywords)
        if (late(e.name))
            add(e.type, e.name, e.fields);

    // Code layout: pinned codes first, then catalogue order.
    std::vector<bool> taken(_extended + 256u, false);
    taken[_zero] = taken[_extended] = true;
    auto pin = [&](const char* name, uint16_t code) {
        for (auto& e : list)
            if (e.name == name) {
                e.code = code;
                taken[code] = true;
            }
    };
    pin("TOKENTABLE", 0);
    pin("QUOTES", 1);
    pin("UNKNOWN", 2);
    uint32_t next = 3;
    for (auto& e : list) {
        if (e.name == "TOKENTABLE" || e.name == "QUOTES" || e.name == "UNKNOWN")
            continue;
        if (e.name == "ZERO") {
            e.code = _zero;
            continue;
        }
        if (e.name == "EXTENDED_TOKEN") {
            e.code = _extended;
            continue;
        }
        while (next < taken.size() && taken[next])
            ++next;
        if (next >= taken.size())
            throw std::invalid_argument("extended token too small: the table does not fit");
        e.code = static_cast<uint16_t>(next);
        taken[next] = true;
    }

    _entries = std::move(list);
    for (const auto& e : _entries)
        _maxCode = std::max(_maxCode, e.code);
    _indexByCode.assign(_maxCode + 1u, -1);
    for (size_t i = 0; i < _entries.size(); ++i) {
        _indexByCode[_entries[i].code] = static_cast<int32_t>(i);
        _indexByName.emplace(upper(_entries[i].name), i);
    }

    // Table text: bracketed comment lines mark the sections.
    _text.reserve(_entries.size() * 32);
    _text += "[Holvane simulator token table]\r\n";
    char lastType = 0;
    for (const auto& e : _entries) {
        if (e.type != lastType) {
            _text += "[section ";
            _text += e.type;
            _text += "]\r\n";
            lastType = e.type;
        }
        _text += e.type;
        _text += std::to_string(e.code);
        _text += e.name;
        switch (e.type) {
        case 'C':
        case 'V':
            _text += ',';
            _text += e.fields;
            _text += '>';
            break;
        case 'M':
        case 'T':
            _text += ',';
            _text += e.fields;
            break;
        default: break;
        }
        _text += "\r\n";
    }
    _text += "[EOT]\r\n";
}

int TokenTable::codeOf(std::string_view name) const
{
    const TokenEntry* e = byNameNoCase(name);
    return e != nullptr && e->name == name ? e->code : -1;
}

const TokenEntry* TokenTable::byCode(uint16_t code) const
{
    if (code >= _indexByCode.size() || _indexByCode[code] < 0)
        return nullptr;
    return &_entries[static_cast<size_t>(_indexByCode[code])];
}

const TokenEntry* TokenTable::byNameNoCase(std::string_view name) const
{
    auto it = _indexByName.find(upper(name));
    return it == _indexByName.end() ? nullptr : &_entries[it->second];
}

} // namespace Vantrel::HolvaneApi::Sim
