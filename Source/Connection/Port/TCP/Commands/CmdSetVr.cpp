#include "Connection/Port/TCP/Commands/CmdSetVr.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdSetVr::send(uint32_t index, double value)
{
    RequestBuilder request(tokens());
    request.token(Token::tVR).bracketed(index).token(Token::tASSIGN).value(value).zero();
    return writeRequest(request.buffer(), TraceRequest::OnSuccess, request.error());
}

ErrorCode CmdSetVr::readReply() { return readTracedSimpleReply(nullptr); }

} // namespace Vantrel::HolvaneApi::TCP
