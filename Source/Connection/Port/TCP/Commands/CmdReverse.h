#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// REVERSE AXIS(axis).
class CmdReverse : public CmdMotion {
public:
    explicit CmdReverse(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdReverse";
};

} // namespace Vantrel::HolvaneApi::TCP
