#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/Token.h"

#include <cstdint>
#include <string_view>

namespace Vantrel::HolvaneApi::TCP {

// <parameter> AXIS(axis): the reply's value is the parameter.
class CmdGetAxisParam final : public Command {
public:
    explicit CmdGetAxisParam(Connection_TCP* conn) : Command(conn) {}

    // Remote_UnknownToken when the table lacks the keyword, BadArgument when
    // its code is 0 (not a parameter); nothing is written then.
    ErrorCode send(const std::string_view& param_name, int axis);
    ErrorCode send(Token::KnownTokens param, int axis);
    ErrorCode sendInternal(uint16_t token_code, int axis);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

    double getResult() const { return _result; }

private:
    double _result = 0.0;
    const char* _name = "CmdGetAxisParam";
};

} // namespace Vantrel::HolvaneApi::TCP
