#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// DATUM(sequence) AXIS(axis).
class CmdDatum : public CmdMotion {
public:
    explicit CmdDatum(Connection_TCP* conn);

    // The unsigned argument as the one value.
    ErrorCode send(uint32_t sequence, int axis) { return send_1(static_cast<double>(sequence), axis); }

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdDatum";
};

} // namespace Vantrel::HolvaneApi::TCP
