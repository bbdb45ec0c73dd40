#include "Connection/Port/TCP/Commands/Base/CmdMotion.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"

namespace Vantrel::HolvaneApi::TCP {

CmdMotion::CmdMotion(Connection_TCP* conn, Token::KnownTokens commandToken) : Command(conn), _commandToken(commandToken)
{
}

ErrorCode CmdMotion::send_0(int axis) { return sendValues(0, nullptr, axis); }

ErrorCode CmdMotion::send_1(double value, int axis) { return sendValues(1, &value, axis); }

ErrorCode CmdMotion::send_m(size_t count, const double* values, int axis)
{
    if (values == nullptr && count != 0)
        return BadArgument;
    return sendValues(count, values, axis);
}

ErrorCode CmdMotion::sendValues(size_t count, const double* values, int axis)
{
    RequestBuilder request(tokens());
    request.token(_commandToken).list(count, values);
    // Axis 0 is a real axis; only a negative axis leaves the modifier out.
    if (axis >= 0)
        request.axis(axis);
    request.zero();
    return writeRequest(request.buffer(), TraceRequest::OnSuccess, request.error());
}

ErrorCode CmdMotion::readReply() { return readTracedSimpleReply(&_result); }

} // namespace Vantrel::HolvaneApi::TCP
