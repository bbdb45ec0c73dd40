#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// MOVESP: a relative move at the programmed speed.
class CmdMoveRelSp : public CmdMotion {
public:
    explicit CmdMoveRelSp(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdMoveRelSp";
};

} // namespace Vantrel::HolvaneApi::TCP
