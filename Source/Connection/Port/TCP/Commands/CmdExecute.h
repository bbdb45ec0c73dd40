#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"

#include <string_view>

namespace Vantrel::HolvaneApi::TCP {

// EXECUTE "text": a line of the controller's language, sent without a line end.
class CmdExecute : public Command {
public:
    explicit CmdExecute(Connection_TCP* conn) : Command(conn) {}

    ErrorCode send(const std::string_view& command);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdExecute";
};

} // namespace Vantrel::HolvaneApi::TCP
