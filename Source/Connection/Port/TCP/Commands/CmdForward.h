#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// FORWARD AXIS(axis).
class CmdForward : public CmdMotion {
public:
    explicit CmdForward(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdForward";
};

} // namespace Vantrel::HolvaneApi::TCP
