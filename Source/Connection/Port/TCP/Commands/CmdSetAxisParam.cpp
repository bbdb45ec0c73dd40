#include "Connection/Port/TCP/Commands/CmdSetAxisParam.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdSetAxisParam::send(const std::string_view& param_name, int axis, double value)
{
    uint16_t code = 0;
    if (!tokens().getTokenCode(param_name, code, 0))
        return Remote_UnknownToken;
    return sendInternal(code, axis, value);
}

ErrorCode CmdSetAxisParam::send(Token::KnownTokens param, int axis, double value)
{
    uint16_t code = 0;
    if (!tokens().getTokenCode(param, code))
        return Remote_UnknownToken;
    return sendInternal(code, axis, value);
}

ErrorCode CmdSetAxisParam::sendInternal(uint16_t token_code, int axis, double value)
{
    // A keyword with code 0 names no parameter.
    if (token_code == 0)
        return BadArgument;
    RequestBuilder request(tokens());
    request.systemVariable(token_code).axis(axis).token(Token::tASSIGN).value(value).zero();
    return writeRequest(request.buffer(), TraceRequest::OnSuccess, request.error());
}

ErrorCode CmdSetAxisParam::readReply() { return readTracedSimpleReply(nullptr); }

} // namespace Vantrel::HolvaneApi::TCP
