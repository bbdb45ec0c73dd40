#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdArray.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// INVERT_IN(input, on): "on" is the all-ones 32-bit pattern (4294967295), off is 0.
class CmdInvertIn : public CmdArray {
public:
    explicit CmdInvertIn(Connection_TCP* conn);

    ErrorCode send(uint32_t input, bool invert);
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdInvertIn";
};

} // namespace Vantrel::HolvaneApi::TCP
