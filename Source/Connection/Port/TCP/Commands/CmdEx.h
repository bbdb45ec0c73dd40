#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// EX(mode). The controller answers 'O', 'K', 29, then a simple reply.
class CmdEx : public Command {
public:
    explicit CmdEx(Connection_TCP* conn) : Command(conn) {}

    ErrorCode send(uint32_t mode);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdEx";
};

} // namespace Vantrel::HolvaneApi::TCP
