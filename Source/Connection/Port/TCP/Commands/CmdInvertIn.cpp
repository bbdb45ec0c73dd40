#include "Connection/Port/TCP/Commands/CmdInvertIn.h"

namespace Vantrel::HolvaneApi::TCP {

CmdInvertIn::CmdInvertIn(Connection_TCP* conn) : CmdArray(conn)
{
    _requestTrace = TraceRequest::Always;
    _replyTrace = TraceReply::Always;
}

ErrorCode CmdInvertIn::send(uint32_t input, bool invert)
{
    const uint32_t indices[2] = {input, invert ? 0xFFFFFFFFu : 0u};
    // Two indices and no result array: the reply's value is dropped.
    return CmdArray::send(Token::tINVERT_IN, 2, indices, nullptr);
}

} // namespace Vantrel::HolvaneApi::TCP
