#include "Connection/Port/TCP/Commands/CmdEx.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"
#include "Connection/Port/TCP/Connection_TCP.h"

namespace Vantrel::HolvaneApi::TCP {

namespace {
constexpr char Acknowledge[3] = {'O', 'K', 29};
} // namespace

ErrorCode CmdEx::send(uint32_t mode)
{
    RequestBuilder request(tokens());
    request.token(Token::tEX).bracketed(mode).zero();
    return writeRequest(request.buffer(), TraceRequest::OnSuccess, request.error());
}

ErrorCode CmdEx::readReply()
{
    ReplyTrace trace(*this);
    char head[3] = {};
    ErrorCode error = connection().ReadBytes(head, sizeof head, connection().replyTimeoutMs());
    if (error == NoError && (head[0] != Acknowledge[0] || head[1] != Acknowledge[1] || head[2] != Acknowledge[2]))
        error = BadResponse;
    if (error != NoError) {
        // The reply's length is unknown from here: drop the link rather than
        // read its rest as the answer to the next request.
        connection().abandonStream(error);
    } else {
        error = readSimpleReply(nullptr);
    }
    trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
