#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"

namespace Vantrel::HolvaneApi::TCP {

// BASE(axis): selects the base axis.
class CmdBase : public Command {
public:
    explicit CmdBase(Connection_TCP* conn) : Command(conn) {}

    ErrorCode send(int axis);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdBase";
};

} // namespace Vantrel::HolvaneApi::TCP
