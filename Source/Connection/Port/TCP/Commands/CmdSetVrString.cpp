#include "Connection/Port/TCP/Commands/CmdSetVrString.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"

namespace Vantrel::HolvaneApi::TCP {

CmdSetVrString::CmdSetVrString(Connection_TCP* conn) : CmdArray(conn)
{
    _requestTrace = TraceRequest::AfterWrite;
    _replyTrace = TraceReply::UnlessFailed;
}

ErrorCode CmdSetVrString::send(uint32_t vr, const std::string_view& str)
{
    RequestBuilder request(tokens());
    request.token(Token::tVR).bracketed(vr).token(Token::tASSIGN);
    request.token(Token::tQUOTES).text(str).token(Token::tQUOTES).token(Token::tEOX).zero();
    // The reply (CmdArray's) goes to the built-in result slot.
    return writeRequest(request.buffer(), _requestTrace, request.error());
}

} // namespace Vantrel::HolvaneApi::TCP
