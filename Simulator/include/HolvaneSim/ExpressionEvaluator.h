#pragma once

#include "HolvaneSim/ControllerState.h"
#include "HolvaneSim/SimErrors.h"

#include <string_view>

namespace Vantrel::HolvaneApi::Sim {

class TokenTable;

// Executes one line of program text: assignments to VR(n), TABLE(n), axis
// parameters ("SPEED AXIS(2)=100", or "SPEED=100" on the base axis) and
// writable system variables, from numeric expressions with + - * /, unary
// signs, brackets, numbers, constants and reads of the same targets.
// Statements may be separated by ':'; an empty line does nothing.
class ExpressionEvaluator {
public:
    ExpressionEvaluator(ControllerState& state, const TokenTable& table, int baseAxis)
        : _state(state), _table(table), _baseAxis(baseAxis)
    {
    }

    SimError execute(std::string_view line);

private:
    enum class Kind { End, Number, Name, Symbol };
    struct Lex {
        Kind kind = Kind::End;
        double number = 0.0;
        std::string_view text;
        char symbol = 0;
    };

    SimError lexNext();
    SimError statement();
    SimError expression(double& value, int depth);
    SimError term(double& value, int depth);
    SimError factor(double& value, int depth);
    SimError bracketed(double& value, int depth);
    SimError optionalAxis(double& axis, int depth);
    SimError run(bool dryRun);
    bool isSymbol(char c) const { return _cur.kind == Kind::Symbol && _cur.symbol == c; }

    ControllerState& _state;
    const TokenTable& _table;
    int _baseAxis;
    std::string_view _line;
    size_t _pos = 0;
    Lex _cur;
    bool _dryRun = false; // checks the whole line before anything is written
};

} // namespace Vantrel::HolvaneApi::Sim
