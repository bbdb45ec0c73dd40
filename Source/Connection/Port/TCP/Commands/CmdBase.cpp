#include "Connection/Port/TCP/Commands/CmdBase.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdBase::send(int axis)
{
    RequestBuilder request(tokens());
    request.token(Token::tBASE).bracketed(axis).zero();
    return writeRequest(request.buffer(), TraceRequest::OnSuccess, request.error());
}

ErrorCode CmdBase::readReply() { return readTracedSimpleReply(nullptr); }

} // namespace Vantrel::HolvaneApi::TCP
