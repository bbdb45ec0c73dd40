#include "HolvaneSim/RequestHandler.h"

#include "HolvaneSim/ExpressionEvaluator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace Vantrel::HolvaneApi::Sim {

// Walks the lexemes of one request.
class RequestHandler::Cursor {
public:
    Cursor(const std::vector<Lexeme>& items, const Keywords& kw) : _items(items), _kw(kw) {}

    bool atEnd() const { return _pos >= _items.size(); }
    bool peekToken(Kw k) const
    {
        return !atEnd() && _items[_pos].kind == Lexeme::Token && _kw.of(_items[_pos].code) == k;
    }
    bool token(Kw k)
    {
        if (!peekToken(k))
            return false;
        ++_pos;
        return true;
    }
    bool rawToken(uint16_t& code)
    {
        if (atEnd() || _items[_pos].kind != Lexeme::Token)
            return false;
        code = _items[_pos++].code;
        return true;
    }
    bool number(double& v)
    {
        if (atEnd() || _items[_pos].kind != Lexeme::Number)
            return false;
        v = _items[_pos++].number;
        return true;
    }
    bool string(std::string& s)
    {
        if (atEnd() || _items[_pos].kind != Lexeme::String)
            return false;
        s = _items[_pos++].text;
        return true;
    }
    bool peekString() const { return !atEnd() && _items[_pos].kind == Lexeme::String; }
    // "( n {, n} )"; false on any other shape.
    bool numberList(std::vector<double>& values)
    {
        values.clear();
        if (!token(Kw::OPENBRACKETS))
            return false;
        do {
            double v = 0;
            if (!number(v))
                return false;
            values.push_back(v);
        } while (token(Kw::COMMA));
        return token(Kw::CLOSEBRACKETS);
    }
    // Optional "MODIFIER AXIS ( n )"; false when malformed.
    bool axisModifier(bool& present, double& axis)
    {
        present = false;
        if (!token(Kw::MODIFIER))
            return true;
        std::vector<double> v;
        if (!token(Kw::AXIS) || !numberList(v) || v.size() != 1)
            return false;
        present = true;
        axis = v[0];
        return true;
    }

private:
    const std::vector<Lexeme>& _items;
    const Keywords& _kw;
    size_t _pos = 0;
};

struct RequestHandler::PrintValue {
    bool isString = false;
    double number = 0.0;
    std::string text;
};

RequestHandler::RequestHandler(ControllerState& state, const TokenTable& table, const Keywords& keywords)
    : _state(state), _table(table), _kw(keywords)
{
    for (size_t a = 0; a < state.config().axisCount; ++a)
        _base.push_back(static_cast<int>(a));
}

void RequestHandler::simpleReply(std::string& out, double value, SimError status, NumberFormat format) const
{
    appendNumber(out, value, format);
    appendNumber(out, static_cast<double>(status), format);
}

bool RequestHandler::readsControllerType(const ParsedRequest& request) const
{
    const auto& items = request.items;
    if (items.size() != 2 || items[0].kind != Lexeme::Token || items[1].kind != Lexeme::Token)
        return false;
    const Kw first = _kw.of(items[0].code);
    if (first != Kw::SYSTEMVARIABLE && first != Kw::SYSTEMVARIABLE2)
        return false;
    const TokenEntry* entry = systemVariableEntry(first, items[1].code);
    return entry != nullptr && entry->name == "CONTROL";
}

const TokenEntry* RequestHandler::systemVariableEntry(Kw prefix, uint16_t code) const
{
    const uint32_t full = prefix == Kw::SYSTEMVARIABLE2 ? code + 256u : code;
    return full <= 0xFFFF ? _table.byCode(static_cast<uint16_t>(full)) : nullptr;
}

SimError RequestHandler::accessVariable(const std::string& name, bool hasAxis, double axis,
                                        const std::optional<double>& newValue, double& value)
{
    AxisParam param{};
    if (axisParamByName(name, param))
        return newValue ? _state.writeAxisParam(param, axis, *newValue) : _state.readAxisParam(param, axis, value);
    SysVar sysVar{};
    if (!sysVarByName(name, sysVar) || hasAxis)
        return eNotAxisParameter;
    return newValue ? _state.writeSysVar(sysVar, *newValue) : _state.readSysVar(sysVar, value);
}

void RequestHandler::handle(const ParsedRequest& request, std::string& out, std::unique_ptr<ValueListWriter>& list)
{
    const NumberFormat fmt = request.format.format;
    if (request.malformed) {
        simpleReply(out, 0.0, eSyntax, fmt);
        return;
    }
    if (request.tokenTableRequest) {
        out += _table.text();
        return;
    }
    Cursor c(request.items, _kw);
    double value = 0.0;
    SimError status = eOk;
    uint16_t first = 0;
    if (!c.rawToken(first)) {
        simpleReply(out, 0.0, eSyntax, fmt);
        return;
    }
    const Kw kw = _kw.of(first);
    switch (kw) {
    case Kw::VR: status = handleVr(c, value); break;
    case Kw::TABLE: status = handleTable(c, value); break;
    case Kw::SYSTEMVARIABLE:
    case Kw::SYSTEMVARIABLE2: {
        uint16_t code = 0;
        if (!c.rawToken(code)) {
            status = eSyntax;
            break;
        }
        const TokenEntry* entry = systemVariableEntry(kw, code);
        status = entry == nullptr ? eUnknownToken : handleSystemVariable(c, *entry, value);
        break;
    }
    case Kw::VRVALUES:
    case Kw::TABLEVALUES: status = startList(kw, c, list, value); break;
    case Kw::BASE: status = handleBase(c, value); break;
    case Kw::EX: {
        std::vector<double> mode{0.0};
        if (!c.atEnd() && (!c.numberList(mode) || mode.size() != 1 || !c.atEnd())) {
            status = eSyntax;
        } else if (!(mode[0] >= 0.0 && mode[0] <= 2.0)) {
            status = eBadMode;
        } else {
            _state.haltAll(); // a reset stops every axis
        }
        out += "OK\x1d";
        break;
    }
    case Kw::EXECUTE: {
        std::string text;
        if (!c.string(text) || !c.atEnd()) {
            status = eSyntax;
        } else {
            ExpressionEvaluator eval(_state, _table, _base.front());
            status = eval.execute(text);
        }
        break;
    }
    case Kw::DIR: {
        std::string option;
        if (c.peekString())
            c.string(option);
        if (!c.atEnd()) {
            status = eSyntax;
            break;
        }
        writeDirectory(out);
        value = static_cast<double>(_state.files().size());
        break;
    }
    case Kw::MOVE:
    case Kw::MOVESP:
    case Kw::MOVEABS:
    case Kw::MOVEABSSP:
    case Kw::FORWARD:
    case Kw::REVERSE:
    case Kw::CANCEL:
    case Kw::DATUM:
    case Kw::DEFPOS: status = handleMotion(kw, c); break;
    case Kw::INVERT_IN: status = handleInvert(c); break;
    case Kw::PRINT: {
        std::string text;
        status = handlePrint(c, text);
        if (status == eOk)
            out += text;
        break;
    }
    case Kw::None: status = _table.byCode(first) != nullptr ? eUnsupported : eUnknownToken; break;
    default: status = eUnsupported; break;
    }
    if (status != eOk)
        value = 0.0;
    simpleReply(out, value, status, fmt);
}

SimError RequestHandler::handleVr(Cursor& c, double& value)
{
    std::vector<double> index;
    if (!c.numberList(index) || index.size() != 1)
        return eSyntax;
    if (c.atEnd())
        return _state.readVr(index[0], value);
    if (!c.token(Kw::ASSIGN))
        return eSyntax;
    if (c.peekString()) {
        std::string text;
        c.string(text);
        c.token(Kw::EOX);
        if (!c.atEnd())
            return eSyntax;
        return _state.writeVrString(index[0], text);
    }
    double v = 0.0;
    if (!c.number(v) || !c.atEnd())
        return eSyntax;
    return _state.writeVr(index[0], v);
}

SimError RequestHandler::handleTable(Cursor& c, double& value)
{
    std::vector<double> args;
    if (!c.numberList(args))
        return eSyntax;
    if (args.size() == 1 && c.atEnd())
        return _state.readTable(args[0], value);
    if (args.size() == 1) {
        double v = 0.0;
        if (!c.token(Kw::ASSIGN) || !c.number(v) || !c.atEnd())
            return eSyntax;
        return _state.writeTable(args[0], v);
    }
    if (!c.atEnd())
        return eSyntax;
    // TABLE(n, v0, v1, ...) writes consecutive entries from n on.
    size_t start = 0;
    if (!ControllerState::toIndex(args[0], _state.config().tableCount, start) ||
        start + (args.size() - 1) > _state.config().tableCount)
        return eIndexRange;
    for (size_t k = 1; k < args.size(); ++k)
        if (SimError e = _state.writeTable(static_cast<double>(start + k - 1), args[k]))
            return e;
    return eOk;
}

SimError RequestHandler::handleSystemVariable(Cursor& c, const TokenEntry& entry, double& value)
{
    if (entry.type != 'V')
        return eNotAxisParameter;
    bool hasAxis = false;
    double axis = _base.front();
    if (!c.axisModifier(hasAxis, axis))
        return eSyntax;
    std::optional<double> newValue;
    if (c.token(Kw::ASSIGN)) {
        double v = 0.0;
        if (!c.number(v))
            return eSyntax;
        newValue = v;
    }
    if (!c.atEnd())
        return eSyntax;
    return accessVariable(entry.name, hasAxis, axis, newValue, value);
}

SimError RequestHandler::handleBase(Cursor& c, double& value)
{
    if (c.atEnd()) {
        value = _base.front();
        return eOk;
    }
    std::vector<double> axes;
    if (!c.numberList(axes) || !c.atEnd())
        return eSyntax;
    const size_t count = _state.config().axisCount;
    std::vector<int> base;
    std::vector<bool> used(count, false);
    for (double a : axes) {
        size_t index = 0;
        if (!ControllerState::toIndex(a, count, index) || a != std::floor(a) || used[index])
            return eBadAxis;
        used[index] = true;
        base.push_back(static_cast<int>(index));
    }
    for (size_t a = 0; a < count; ++a)
        if (!used[a])
            base.push_back(static_cast<int>(a));
    _base = std::move(base);
    value = _base.front();
    return eOk;
}

SimError RequestHandler::handleMotion(Kw kw, Cursor& c)
{
    std::vector<double> values;
    if (c.peekToken(Kw::OPENBRACKETS) && !c.numberList(values))
        return eSyntax;
    bool hasAxis = false;
    double axis = 0.0;
    if (!c.axisModifier(hasAxis, axis) || !c.atEnd())
        return eSyntax;

    // The axes the values go to: the modifier's axis, or the base axes in order.
    const size_t count = _state.config().axisCount;
    std::vector<double> axes;
    if (hasAxis) {
        size_t first = 0;
        if (!ControllerState::toIndex(axis, count, first) || axis != std::floor(axis))
            return eBadAxis;
        for (size_t a = first; a < count; ++a)
            axes.push_back(static_cast<double>(a));
    } else {
        for (int a : _base)
            axes.push_back(a);
    }

    switch (kw) {
    case Kw::FORWARD:
    case Kw::REVERSE:
        if (!values.empty())
            return eSyntax;
        return _state.move(kw == Kw::FORWARD ? mtForward : mtReverse, axes.front(), 0.0);
    case Kw::CANCEL:
        if (values.size() > 1)
            return eSyntax;
        return _state.cancel(axes.front(), values.empty() ? 0.0 : values[0]);
    case Kw::DATUM:
        if (values.size() != 1)
            return eSyntax;
        return _state.datum(axes.front(), values[0]);
    default: break;
    }
    if (values.empty())
        return eSyntax;
    if (values.size() > axes.size())
        return eBadAxis;
    for (double v : values)
        if (!std::isfinite(v))
            return eBadValue;
    for (size_t i = 0; i < values.size(); ++i) {
        SimError e = eOk;
        switch (kw) {
        case Kw::MOVE: e = _state.move(mtMove, axes[i], values[i]); break;
        case Kw::MOVESP: e = _state.move(mtMoveSp, axes[i], values[i]); break;
        case Kw::MOVEABS: e = _state.move(mtMoveAbs, axes[i], values[i]); break;
        case Kw::MOVEABSSP: e = _state.move(mtMoveAbsSp, axes[i], values[i]); break;
        case Kw::DEFPOS: e = _state.defpos(axes[i], values[i]); break;
        default: e = eUnsupported; break;
        }
        if (e != eOk)
            return e;
    }
    return eOk;
}

SimError RequestHandler::handleInvert(Cursor& c)
{
    std::vector<double> args;
    if (!c.numberList(args) || args.size() != 2 || !c.atEnd())
        return eSyntax;
    if (!std::isfinite(args[1]))
        return eBadValue;
    return _state.invertInput(args[0], args[1] != 0.0);
}

SimError RequestHandler::startList(Kw kw, Cursor& c, std::unique_ptr<ValueListWriter>& list, double& value)
{
    std::vector<double> args;
    if (!c.numberList(args) || args.size() < 2 || args.size() > 3 || !c.atEnd())
        return eSyntax;
    const bool vr = kw == Kw::VRVALUES;
    const size_t limit = vr ? _state.config().vrCount : _state.config().tableCount;
    size_t first = 0;
    size_t last = 0;
    if (!ControllerState::toIndex(args[0], limit, first) || !ControllerState::toIndex(args[1], limit, last) ||
        first > last)
        return eIndexRange;
    double stepValue = args.size() == 3 ? args[2] : 1.0;
    if (!(stepValue >= 1.0) || !std::isfinite(stepValue) || stepValue != std::floor(stepValue))
        return eBadValue;
    const size_t step = static_cast<size_t>(std::min(stepValue, static_cast<double>(limit)));
    const size_t count = (last - first) / step + 1;
    list = std::make_unique<ValueListWriter>(_state, vr ? ValueListWriter::Source::Vr : ValueListWriter::Source::Table,
                                             first, step, count);
    value = static_cast<double>(count);
    return eOk;
}

void RequestHandler::writeDirectory(std::string& out)
{
    out += "RAM,NAME,SIZE,COMPILED,PROCESS,TYPE,EDIT,AUTORUN\r\n";
    for (const StoredFile& f : _state.files()) {
        out += f.name;
        out += ',' + std::to_string(f.size) + ',' + std::to_string(f.compiledSize) + ',' +
               std::to_string(f.autorunProcess) + ',' + std::to_string(f.type) + ',' + (f.editable ? "1" : "0") + ',' +
               (f.autorun ? "1" : "0") + "\r\n";
    }
    out += "OK\r\n";
}

SimError RequestHandler::printArgument(Cursor& c, PrintValue& v, int depth)
{
    if (!c.token(Kw::OPENBRACKETS))
        return eSyntax;
    if (SimError e = printExpression(c, v, depth + 1))
        return e;
    c.token(Kw::EOX);
    return c.token(Kw::CLOSEBRACKETS) ? eOk : eSyntax;
}

SimError RequestHandler::printExpression(Cursor& c, PrintValue& v, int depth)
{
    if (depth > 16)
        return eSyntax;
    v = PrintValue{};
    if (c.number(v.number))
        return eOk;
    if (c.peekString()) {
        v.isString = true;
        c.string(v.text);
        return eOk;
    }
    uint16_t code = 0;
    if (!c.rawToken(code))
        return eSyntax;
    const Kw kw = _kw.of(code);
    PrintValue arg;
    switch (kw) {
    case Kw::VR:
    case Kw::TABLE:
    case Kw::VRSTRING: {
        if (SimError e = printArgument(c, arg, depth))
            return e;
        if (arg.isString)
            return eSyntax;
        if (kw == Kw::VRSTRING) {
            v.isString = true;
            return _state.readVrString(arg.number, v.text);
        }
        return kw == Kw::VR ? _state.readVr(arg.number, v.number) : _state.readTable(arg.number, v.number);
    }
    case Kw::LEN:
        if (SimError e = printArgument(c, arg, depth))
            return e;
        if (!arg.isString)
            return eSyntax;
        v.number = static_cast<double>(arg.text.size());
        return eOk;
    case Kw::SYSTEMVARIABLE:
    case Kw::SYSTEMVARIABLE2: {
        uint16_t var = 0;
        if (!c.rawToken(var))
            return eSyntax;
        const TokenEntry* entry = systemVariableEntry(kw, var);
        if (entry == nullptr)
            return eUnknownToken;
        bool hasAxis = false;
        double axis = _base.front();
        if (!c.axisModifier(hasAxis, axis))
            return eSyntax;
        return accessVariable(entry->name, hasAxis, axis, std::nullopt, v.number);
    }
    default: return _table.byCode(code) != nullptr ? eUnsupported : eUnknownToken;
    }
}

SimError RequestHandler::handlePrint(Cursor& c, std::string& text)
{
    // PRINT item {; item}: ';' joins without space, ',' with a tab; a trailing
    // separator suppresses the line end; ':' ends the statement.
    bool lineEnd = true;
    while (!c.atEnd() && !c.peekToken(Kw::COLON)) {
        PrintValue v;
        if (SimError e = printExpression(c, v, 0))
            return e;
        c.token(Kw::EOX);
        int decimals = 4;
        if (c.token(Kw::OPENSQUAREBRACKETS)) {
            double d = 0.0;
            if (!c.number(d))
                return eSyntax;
            if (c.token(Kw::COMMA) && !c.number(d))
                return eSyntax;
            if (!c.token(Kw::CLOSESQUAREBRACKETS))
                return eSyntax;
            if (!(d >= 0.0 && d <= 15.0))
                return eBadValue;
            decimals = static_cast<int>(d);
        }
        if (v.isString) {
            text += v.text;
        } else {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v.number);
            if (std::fabs(v.number) >= 1e15)
                std::snprintf(buffer, sizeof buffer, "%.*g", 15, v.number);
            text += buffer;
        }
        lineEnd = true;
        if (c.token(Kw::SEMICOLON)) {
            lineEnd = false;
        } else if (c.token(Kw::COMMA)) {
            text += '\t';
            lineEnd = false;
        } else if (!c.atEnd() && !c.peekToken(Kw::COLON)) {
            return eSyntax;
        }
    }
    if (c.token(Kw::COLON) && !c.atEnd())
        return eUnsupported; // one statement per request
    if (!c.atEnd())
        return eSyntax;
    if (lineEnd)
        text += "\r\n";
    return eOk;
}

} // namespace Vantrel::HolvaneApi::Sim
