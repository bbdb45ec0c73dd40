#include "Connection/Port/TCP/Commands/CmdExecute.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdExecute::send(const std::string_view& command)
{
    RequestBuilder request(tokens());
    request.token(Token::tEXECUTE).token(Token::tQUOTES).text(command).token(Token::tQUOTES).zero();
    return writeRequest(request.buffer(), TraceRequest::OnSuccess, request.error());
}

ErrorCode CmdExecute::readReply() { return readTracedSimpleReply(nullptr); }

} // namespace Vantrel::HolvaneApi::TCP
