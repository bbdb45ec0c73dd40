#include "Connection/Port/TCP/Commands/CmdGetSysVar.h"

#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/TokenBuffer.h"

namespace Vantrel::HolvaneApi::TCP {

CmdGetSysVar::CmdGetSysVar(Connection_TCP* conn) : Command(conn) {}

ErrorCode CmdGetSysVar::send(Token::KnownTokens variable)
{
    const Token& table = tokens();
    TokenBuffer request(table);
    ErrorCode built = table.appendToken_SystemVariable(request, variable);
    if (built == NoError)
        built = table.appendZeroToken(request);
    return writeRequest(request, TraceRequest::Never, built);
}

ErrorCode CmdGetSysVar::readReply()
{
    const ErrorCode error = readSimpleReply(&_result);
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
