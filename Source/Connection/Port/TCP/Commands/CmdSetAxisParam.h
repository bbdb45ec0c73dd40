#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/Token.h"

#include <cstdint>
#include <string_view>

namespace Vantrel::HolvaneApi::TCP {

// <parameter> AXIS(axis) = value, the parameter named by its keyword in the
// controller's token table.
class CmdSetAxisParam final : public Command {
public:
    explicit CmdSetAxisParam(Connection_TCP* conn) : Command(conn) {}

    // Remote_UnknownToken when the table lacks the keyword, BadArgument when
    // its code is 0 (not a parameter); nothing is written then.
    ErrorCode send(const std::string_view& param_name, int axis, double value);
    ErrorCode send(Token::KnownTokens param, int axis, double value);
    ErrorCode sendInternal(uint16_t token_code, int axis, double value);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdSetAxisParam";
};

} // namespace Vantrel::HolvaneApi::TCP
