#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// DEFPOS(pos) AXIS(axis), or DEFPOS(p0,p1,...).
class CmdDefPos : public CmdMotion {
public:
    explicit CmdDefPos(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdDefPos";
};

} // namespace Vantrel::HolvaneApi::TCP
