#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// VR(index) = value. The reply's value is read and dropped.
class CmdSetVr final : public Command {
public:
    explicit CmdSetVr(Connection_TCP* conn) : Command(conn) {}

    ErrorCode send(uint32_t index, double value);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdSetVr";
};

} // namespace Vantrel::HolvaneApi::TCP
