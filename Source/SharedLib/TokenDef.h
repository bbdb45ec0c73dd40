#pragma once

#include <cstdint>
#include <string>

namespace Vantrel::HolvaneApi {

// Entry types of the controller's token table. Code reaches them as nested
// types of Token (Token::TokenDef, Token::Command, ...).
namespace TokenTypes {

struct CommandFlags {
    uint64_t is_command : 1;
    uint64_t is_operator : 1;
    uint64_t is_function : 1;
    uint64_t uses_brackets : 1;
    uint64_t is_runtime : 1;
    uint64_t is_disabled : 1;
    uint64_t is_pc : 1;
};

struct SysVarFlags {
    uint64_t is_write : 1;
    uint64_t is_disabled : 1;
    uint64_t is_pc : 1;
};

struct Command {
    int32_t min_quote_parameters;
    int32_t max_quote_parameters;
    int32_t min_numeric_parameters;
    int32_t max_numeric_parameters;
    int32_t modifier_set;
    int32_t exception;
    union {
        int64_t flags;
        CommandFlags flag;
    };
};

struct SysVar {
    int32_t modifier_set;
    union {
        int64_t flags;
        SysVarFlags flag;
    };
};

struct Modifier {
    int32_t min_numeric_parameters;
    int32_t max_numeric_parameters;
    int32_t modifier_mask;
};

struct Constant {
    double value;
};

// One entry of the controller's token table: a keyword, its code and the
// attributes of its kind ('C' command, 'S'/'E' special, 'V' system variable,
// 'M' modifier, 'T' constant; 0 for none).
struct TokenDef {
    TokenDef() : command{} {}

    char token_type = 0;
    uint16_t token = 0;
    std::string name;
    union {
        Command command;
        SysVar sys_var;
        Modifier modifier;
        Constant constant;
    };
};

} // namespace TokenTypes
} // namespace Vantrel::HolvaneApi
