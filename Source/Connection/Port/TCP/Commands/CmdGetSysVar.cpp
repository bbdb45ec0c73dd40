#include "Connection/Port/TCP/Commands/CmdGetSysVar.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"
#include "Connection/Port/TCP/Connection_TCP.h"

namespace Vantrel::HolvaneApi::TCP {

CmdGetSysVar::CmdGetSysVar(Connection_TCP* conn) : Command(conn) {}

ErrorCode CmdGetSysVar::send(Token::KnownTokens variable)
{
    RequestBuilder request(tokens());
    request.systemVariable(variable).zero();
    return writeRequest(request.buffer(), TraceRequest::Never, request.error());
}

ErrorCode CmdGetSysVar::readReply()
{
    const ErrorCode error = readSimpleReply(&_result);
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
