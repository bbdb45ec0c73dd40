#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdArray.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// VR(index): one simple reply whose value is the variable.
class CmdGetVr final : public CmdArray {
public:
    explicit CmdGetVr(Connection_TCP* conn);

    ErrorCode send(uint32_t index);
    double getResult() const { return _result; }
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdGetVr";
};

} // namespace Vantrel::HolvaneApi::TCP
