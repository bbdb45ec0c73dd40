#include "Connection/Port/TCP/Commands/CmdGetVr.h"

namespace Vantrel::HolvaneApi::TCP {

CmdGetVr::CmdGetVr(Connection_TCP* conn) : CmdArray(conn)
{
    _requestTrace = TraceRequest::Always;
    _replyTrace = TraceReply::Always;
}

ErrorCode CmdGetVr::send(uint32_t index) { return CmdArray::send(Token::tVR, 1, &index, nullptr); }

} // namespace Vantrel::HolvaneApi::TCP
