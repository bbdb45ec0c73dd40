#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// MOVEABS: a move to an absolute position.
class CmdMoveAbs : public CmdMotion {
public:
    explicit CmdMoveAbs(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdMoveAbs";
};

} // namespace Vantrel::HolvaneApi::TCP
