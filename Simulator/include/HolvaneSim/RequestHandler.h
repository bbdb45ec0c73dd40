#pragma once

#include "HolvaneSim/ControllerState.h"
#include "HolvaneSim/Keywords.h"
#include "HolvaneSim/RequestParser.h"
#include "HolvaneSim/ValueListWriter.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Sim {

// Carries out one parsed request against the controller state and writes its
// reply. Holds what belongs to one connection: its base axes.
class RequestHandler {
public:
    RequestHandler(ControllerState& state, const TokenTable& table, const Keywords& keywords);

    // Appends the immediate reply to `out`. A block read also leaves a writer
    // in `list` that serves the value text, one chunk per acknowledgement.
    void handle(const ParsedRequest& request, std::string& out, std::unique_ptr<ValueListWriter>& list);

    // True for the request that reads CONTROL: once it is answered the
    // connection talks in the controller's own number format.
    bool readsControllerType(const ParsedRequest& request) const;

private:
    class Cursor;
    struct PrintValue;

    void simpleReply(std::string& out, double value, SimError status, NumberFormat format) const;

    SimError handleVr(Cursor& c, double& value);
    SimError handleTable(Cursor& c, double& value);
    // The entry after SYSTEMVARIABLE (codes 0..255) or SYSTEMVARIABLE2 (from
    // 256 on); null when no entry carries the code.
    const TokenEntry* systemVariableEntry(Kw prefix, uint16_t code) const;
    // Reads, or with `newValue` writes, the axis parameter or system variable
    // `name`; a system variable takes no axis, and any other name is refused.
    SimError accessVariable(const std::string& name, bool hasAxis, double axis, const std::optional<double>& newValue,
                            double& value);
    SimError handleSystemVariable(Cursor& c, const TokenEntry& entry, double& value);
    SimError handleBase(Cursor& c, double& value);
    SimError handleMotion(Kw kw, Cursor& c);
    SimError handleInvert(Cursor& c);
    SimError handlePrint(Cursor& c, std::string& text);
    SimError printExpression(Cursor& c, PrintValue& v, int depth);
    SimError printArgument(Cursor& c, PrintValue& v, int depth);
    SimError startList(Kw kw, Cursor& c, std::unique_ptr<ValueListWriter>& list, double& value);
    void writeDirectory(std::string& out);

    ControllerState& _state;
    const TokenTable& _table;
    const Keywords& _kw;
    std::vector<int> _base;
};

} // namespace Vantrel::HolvaneApi::Sim
