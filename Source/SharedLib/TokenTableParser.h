#pragma once

#include "SharedLib/Token.h"

#include <cstddef>
#include <string>

namespace Vantrel::HolvaneApi::TokenTableDownload {

// The parser's states. Each record's states are numbered together, in the
// order the record is read: the parser relies on that order.
namespace status {
enum type : int {
    done = -1,
    idle = 0,
    skip_to_end_of_line = 1,
    start_end_of_table = 2,
    token_unknown = 3,
    token_command_number = 4,
    token_command_name = 5,
    token_command_min_quotes = 6,
    token_command_max_quotes = 7,
    token_command_min_numeric = 8,
    token_command_max_numeric = 9,
    token_command_modifier = 10,
    token_command_exception = 11,
    token_command_flags = 12,
    token_special_number = 13,
    token_special_name = 14,
    token_special_end = 15,
    token_variable_number = 16,
    token_variable_name = 17,
    token_variable_modifier = 18,
    token_variable_flags = 19,
    token_modifier_number = 20,
    token_modifier_name = 21,
    token_modifier_min_numeric = 22,
    token_modifier_max_numeric = 23,
    token_modifier_mask = 24,
    token_modifier_end = 25,
    token_constant_number = 26,
    token_constant_name = 27,
    token_constant_value = 28,
    token_constant_end = 29,
};
} // namespace status

// Decodes the controller's ASCII token table one byte at a time. The reply is
// a sequence of lines, each ended by CR LF, closed by the end marker:
//
//   table    = { record | "[" { byte } "]" CR LF } "[EOT]" CR LF
//   record   = command | special | variable | modifier | constant
//   command  = "C" code name "," int int int int int int { flag } ">" rest   flags c o f b d e
//   variable = "V" code name "," int { flag } ">" rest                      flags w d e
//   modifier = "M" code name "," int int int LF
//   special  = ("S" | "E") code name-to-CR CR LF
//   constant = "T" code name "," value end LF
//   code     = { digit }           16 bits, wrapping
//   name     = byte { byte }       the first byte after the code (whatever it is),
//                                  then every byte up to ","
//   name-to-CR                     the same up to CR; a "," belongs to the name
//   int      = { digit } byte      32 bits, wrapping; the byte that ends it
//                                  (normally "," or CR) is consumed unexamined
//   value    = { digit | "-" | "." }  the digits read as one integer and scaled
//                                  by 1/10000; "-" anywhere negates
//   rest     = anything up to CR LF
//
// Flag letters set the entry's flag bits; other bytes there are ignored. A
// modifier, special or constant record not followed directly by LF has the
// rest of its line skipped. Any other record letter makes the rest of the
// table untrustworthy: the parse fails for good.
class TokenTableParser {
public:
    using TokenDef = Token::TokenDef;

    enum class Step { Continue, EntryReady, Done, Failed };

    // Takes the next byte. EntryReady: entry() holds a complete record.
    Step feed(char b);

    const TokenDef& entry() const { return _entry; }
    const std::string& failure() const { return _failure; }

private:
    // One function per place in the grammar.
    Step startRecord(char b);
    Step endMarkerByte(char b);
    Step commandByte(char b);
    Step specialByte(char b);
    Step variableByte(char b);
    Step modifierByte(char b);
    Step constantByte(char b);

    // Pieces the records share.
    Step begin(char type, status::type next);
    Step codeByte(char b, status::type name);
    Step nameByte(char b, int32_t& firstField, status::type next);
    Step field(char b, int32_t& value, int32_t* nextField, status::type next);
    Step appendToName(char b);
    Step lineEndByte(char b);
    Step entryThenSkip();
    Step skipLineByte(char b);
    Step fail(std::string why);

    status::type _state = status::idle;
    size_t _match = 0; // bytes of CR LF or of the end marker matched so far
    bool _negative = false;
    TokenDef _entry;
    std::string _failure;
};

} // namespace Vantrel::HolvaneApi::TokenTableDownload
