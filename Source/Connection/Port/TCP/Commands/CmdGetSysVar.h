#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/Token.h"

namespace Vantrel::HolvaneApi::TCP {

// Reads one system variable (VERSION, CONTROL) during the connect sequence.
// Prints no trace lines.
class CmdGetSysVar : public Command {
public:
    explicit CmdGetSysVar(Connection_TCP* conn);

    // SYSTEMVARIABLE <code> ZERO; Remote_UnknownToken (nothing written) when
    // the table lacks the variable.
    ErrorCode send(Token::KnownTokens variable);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

    double result() const { return _result; }

private:
    double _result = 0.0;
    const char* _name = "CmdGetSysVar";
};

} // namespace Vantrel::HolvaneApi::TCP
