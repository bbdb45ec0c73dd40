#include "HolvaneSim/ExpressionEvaluator.h"

#include "HolvaneSim/TokenTable.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>

namespace Vantrel::HolvaneApi::Sim {
namespace {
constexpr int kMaxDepth = 64;

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
} // namespace

SimError ExpressionEvaluator::lexNext()
{
    while (_pos < _line.size() &&
           (_line[_pos] == ' ' || _line[_pos] == '\t' || _line[_pos] == '\r' || _line[_pos] == '\n'))
        ++_pos;
    _cur = Lex{};
    if (_pos >= _line.size())
        return eOk;
    const char c = _line[_pos];
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
        // Digits, an optional fraction and exponent; no sign (that is an operator).
        size_t end = _pos;
        while (end < _line.size() && std::isdigit(static_cast<unsigned char>(_line[end])))
            ++end;
        if (end < _line.size() && _line[end] == '.') {
            ++end;
            while (end < _line.size() && std::isdigit(static_cast<unsigned char>(_line[end])))
                ++end;
        }
        if (end < _line.size() && (_line[end] == 'e' || _line[end] == 'E')) {
            size_t exp = end + 1;
            if (exp < _line.size() && (_line[exp] == '+' || _line[exp] == '-'))
                ++exp;
            if (exp < _line.size() && std::isdigit(static_cast<unsigned char>(_line[exp]))) {
                while (exp < _line.size() && std::isdigit(static_cast<unsigned char>(_line[exp])))
                    ++exp;
                end = exp;
            }
        }
        const std::string text(_line.substr(_pos, end - _pos));
        char* stop = nullptr;
        const double v = std::strtod(text.c_str(), &stop);
        if (text == "." || stop != text.c_str() + text.size())
            return eSyntax;
        _cur.kind = Kind::Number;
        _cur.number = v;
        _pos = end;
        return eOk;
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        size_t end = _pos;
        while (end < _line.size() &&
               (std::isalnum(static_cast<unsigned char>(_line[end])) || _line[end] == '_' || _line[end] == '$'))
            ++end;
        _cur.kind = Kind::Name;
        _cur.text = _line.substr(_pos, end - _pos);
        _pos = end;
        return eOk;
    }
    if (c == '+' || c == '-' || c == '*' || c == '/' || c == '(' || c == ')' || c == '=' || c == ':') {
        _cur.kind = Kind::Symbol;
        _cur.symbol = c;
        ++_pos;
        return eOk;
    }
    return eSyntax;
}

SimError ExpressionEvaluator::execute(std::string_view line)
{
    _line = line;
    if (SimError e = run(true))
        return e;
    return run(false);
}

SimError ExpressionEvaluator::run(bool dryRun)
{
    _dryRun = dryRun;
    _pos = 0;
    if (SimError e = lexNext())
        return e;
    while (_cur.kind != Kind::End) {
        if (isSymbol(':')) {
            if (SimError e = lexNext())
                return e;
            continue;
        }
        if (SimError e = statement())
            return e;
        if (_cur.kind != Kind::End && !isSymbol(':'))
            return eSyntax;
    }
    return eOk;
}

SimError ExpressionEvaluator::bracketed(double& value, int depth)
{
    if (!isSymbol('('))
        return eSyntax;
    if (SimError e = lexNext())
        return e;
    if (SimError e = expression(value, depth + 1))
        return e;
    if (!isSymbol(')'))
        return eSyntax;
    return lexNext();
}

SimError ExpressionEvaluator::optionalAxis(double& axis, int depth)
{
    axis = _baseAxis;
    if (_cur.kind == Kind::Name && equalsNoCase(_cur.text, "AXIS")) {
        if (SimError e = lexNext())
            return e;
        return bracketed(axis, depth);
    }
    return eOk;
}

SimError ExpressionEvaluator::statement()
{
    if (_cur.kind != Kind::Name)
        return eSyntax;
    const std::string name = upper(_cur.text);
    if (SimError e = lexNext())
        return e;

    enum class Target { Vr, Table, Axis, Sys } target;
    double index = 0.0;
    AxisParam param{};
    SysVar sysVar{};
    if (name == "VR") {
        target = Target::Vr;
        if (SimError e = bracketed(index, 0))
            return e;
    } else if (name == "TABLE") {
        target = Target::Table;
        if (SimError e = bracketed(index, 0))
            return e;
    } else if (axisParamByName(name, param)) {
        target = Target::Axis;
        if (SimError e = optionalAxis(index, 0))
            return e;
    } else if (sysVarByName(name, sysVar)) {
        target = Target::Sys;
    } else {
        return _table.byNameNoCase(name) != nullptr ? eUnsupported : eUnknownToken;
    }
    if (!isSymbol('='))
        return eSyntax;
    if (SimError e = lexNext())
        return e;
    double value = 0.0;
    if (SimError e = expression(value, 0))
        return e;
    if (_dryRun) {
        const StateConfig& config = _state.config();
        size_t checked = 0;
        switch (target) {
        case Target::Vr: return ControllerState::toIndex(index, config.vrCount, checked) ? eOk : eIndexRange;
        case Target::Table: return ControllerState::toIndex(index, config.tableCount, checked) ? eOk : eIndexRange;
        case Target::Axis:
            if (!ControllerState::toIndex(index, config.axisCount, checked))
                return eBadAxis;
            return axisParamInfo(param).writable ? eOk : eReadOnly;
        case Target::Sys: return sysVarInfo(sysVar).writable ? eOk : eReadOnly;
        }
    }
    switch (target) {
    case Target::Vr: return _state.writeVr(index, value);
    case Target::Table: return _state.writeTable(index, value);
    case Target::Axis: return _state.writeAxisParam(param, index, value);
    case Target::Sys: return _state.writeSysVar(sysVar, value);
    }
    return eSyntax;
}

SimError ExpressionEvaluator::expression(double& value, int depth)
{
    if (depth > kMaxDepth)
        return eSyntax;
    if (SimError e = term(value, depth))
        return e;
    while (isSymbol('+') || isSymbol('-')) {
        const char op = _cur.symbol;
        if (SimError e = lexNext())
            return e;
        double rhs = 0.0;
        if (SimError e = term(rhs, depth))
            return e;
        value = op == '+' ? value + rhs : value - rhs;
    }
    return eOk;
}

SimError ExpressionEvaluator::term(double& value, int depth)
{
    if (SimError e = factor(value, depth))
        return e;
    while (isSymbol('*') || isSymbol('/')) {
        const char op = _cur.symbol;
        if (SimError e = lexNext())
            return e;
        double rhs = 0.0;
        if (SimError e = factor(rhs, depth))
            return e;
        if (op == '/') {
            if (rhs == 0.0)
                return eDivideByZero;
            value /= rhs;
        } else {
            value *= rhs;
        }
    }
    return eOk;
}

SimError ExpressionEvaluator::factor(double& value, int depth)
{
    if (depth > kMaxDepth)
        return eSyntax;
    if (isSymbol('-') || isSymbol('+')) {
        const bool negate = _cur.symbol == '-';
        if (SimError e = lexNext())
            return e;
        if (SimError e = factor(value, depth + 1))
            return e;
        if (negate)
            value = -value;
        return eOk;
    }
    if (_cur.kind == Kind::Number) {
        value = _cur.number;
        return lexNext();
    }
    if (isSymbol('('))
        return bracketed(value, depth);
    if (_cur.kind != Kind::Name)
        return eSyntax;
    const std::string name = upper(_cur.text);
    if (SimError e = lexNext())
        return e;
    if (name == "VR" || name == "TABLE") {
        double index = 0.0;
        if (SimError e = bracketed(index, depth))
            return e;
        return name == "VR" ? _state.readVr(index, value) : _state.readTable(index, value);
    }
    AxisParam param{};
    if (axisParamByName(name, param)) {
        double axis = 0.0;
        if (SimError e = optionalAxis(axis, depth))
            return e;
        return _state.readAxisParam(param, axis, value);
    }
    SysVar sysVar{};
    if (sysVarByName(name, sysVar))
        return _state.readSysVar(sysVar, value);
    const TokenEntry* entry = _table.byNameNoCase(name);
    if (entry != nullptr && entry->type == 'T') {
        // Constants are published with four decimals.
        value = std::strtod(entry->fields.c_str(), nullptr);
        return eOk;
    }
    return entry != nullptr ? eUnsupported : eUnknownToken;
}

} // namespace Vantrel::HolvaneApi::Sim
