#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// MOVE: a move relative to the current position.
class CmdMoveRel : public CmdMotion {
public:
    explicit CmdMoveRel(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdMoveRel";
};

} // namespace Vantrel::HolvaneApi::TCP
