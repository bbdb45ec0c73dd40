#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/Token.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::TCP {

// A motion keyword with no value, one value or a list of values in brackets,
// then the axis modifier when axis >= 0, then ZERO. Subclasses fix the
// keyword and the name shown in traces.
class CmdMotion : public Command {
public:
    CmdMotion(Connection_TCP* conn, Token::KnownTokens commandToken);

    ErrorCode send_0(int axis);
    ErrorCode send_1(double value, int axis);
    // BadArgument, nothing written, when values is null but count is not 0.
    ErrorCode send_m(size_t count, const double* values, int axis);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

    double getResult() const { return _result; }

private:
    ErrorCode sendValues(size_t count, const double* values, int axis);

    double _result = 0.0;
    const Token::KnownTokens _commandToken;
    const char* _name = "CmdMotion";
};

} // namespace Vantrel::HolvaneApi::TCP
