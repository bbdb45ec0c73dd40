#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdArray.h"

#include <cstdint>
#include <string_view>

namespace Vantrel::HolvaneApi::TCP {

// VR(vr) = "text": stores a string under a VR number; one simple reply.
class CmdSetVrString : public CmdArray {
public:
    explicit CmdSetVrString(Connection_TCP* conn);

    ErrorCode send(uint32_t vr, const std::string_view& str);
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdSetVrString";
};

} // namespace Vantrel::HolvaneApi::TCP
