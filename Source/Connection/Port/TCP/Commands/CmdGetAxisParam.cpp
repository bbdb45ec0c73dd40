#include "Connection/Port/TCP/Commands/CmdGetAxisParam.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdGetAxisParam::send(const std::string_view& param_name, int axis)
{
    uint16_t code = 0;
    if (!tokens().getTokenCode(param_name, code, 0))
        return Remote_UnknownToken;
    return sendInternal(code, axis);
}

ErrorCode CmdGetAxisParam::send(Token::KnownTokens param, int axis)
{
    uint16_t code = 0;
    if (!tokens().getTokenCode(param, code))
        return Remote_UnknownToken;
    return sendInternal(code, axis);
}

ErrorCode CmdGetAxisParam::sendInternal(uint16_t token_code, int axis)
{
    if (token_code == 0)
        return BadArgument;
    RequestBuilder request(tokens());
    request.systemVariable(token_code).axis(axis).zero();
    return writeRequest(request.buffer(), TraceRequest::OnSuccess, request.error());
}

ErrorCode CmdGetAxisParam::readReply() { return readTracedSimpleReply(&_result); }

} // namespace Vantrel::HolvaneApi::TCP
