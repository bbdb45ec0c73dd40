#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// MOVEABSSP: an absolute move at the programmed speed.
class CmdMoveAbsSp : public CmdMotion {
public:
    explicit CmdMoveAbsSp(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdMoveAbsSp";
};

} // namespace Vantrel::HolvaneApi::TCP
