#include "Connection/Port/TCP/Commands/Base/CmdArray.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"
#include "Connection/Port/TCP/Connection_TCP.h"

namespace Vantrel::HolvaneApi::TCP {

CmdArray::CmdArray(Connection_TCP* conn) : Command(conn), _result(0.0), _resultArray(&_result), _count(1) {}

ErrorCode CmdArray::send(Token::KnownTokens command, size_t count, const uint32_t* indices, double* result)
{
    RequestBuilder request(tokens());
    request.token(command).list(count, indices).zero();
    const ErrorCode error = writeRequest(request.buffer(), _requestTrace, request.error());
    if (error == NoError) {
        _resultArray = (result != nullptr || count != 1) ? result : &_result;
        _count = count;
    }
    return error;
}

ErrorCode CmdArray::readReply()
{
    ReplyTrace trace(*this);
    const ErrorCode error = readSimpleReply(_resultArray);
    const bool readFailed = !Connection_TCP::replyEnded(error);
    if (_replyTrace == TraceReply::Always || (_replyTrace == TraceReply::UnlessFailed && !readFailed))
        trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
