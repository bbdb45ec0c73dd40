#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// CANCEL(mode) with an optional axis modifier.
class CmdCancel : public CmdMotion {
public:
    explicit CmdCancel(Connection_TCP* conn);

    // The unsigned argument as the one value.
    ErrorCode send(uint32_t mode, int axis) { return send_1(static_cast<double>(mode), axis); }

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdCancel";
};

} // namespace Vantrel::HolvaneApi::TCP
