#include "Connection/Port/TCP/Commands/Base/CmdArray.h"

#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/TokenBuffer.h"

namespace Vantrel::HolvaneApi::TCP {

CmdArray::CmdArray(Connection_TCP* conn) : Command(conn), _result(0.0), _resultArray(&_result), _count(1) {}

ErrorCode CmdArray::buildRequest(TokenBuffer& request, Token::KnownTokens command, size_t count,
                                 const uint32_t* indices) const
{
    const Token& table = tokens();
    ErrorCode error = table.appendToken(command, request);
    if (error != NoError)
        return error;
    if (count != 0) {
        error = table.appendToken(Token::tOPENBRACKETS, request);
        for (size_t i = 0; error == NoError && i < count; ++i) {
            if (i != 0)
                error = table.appendToken(Token::tCOMMA, request);
            if (error == NoError)
                error = table.appendValue(static_cast<double>(indices[i]), request);
        }
        if (error == NoError)
            error = table.appendToken(Token::tCLOSEBRACKETS, request);
        if (error != NoError)
            return error;
    }
    return table.appendZeroToken(request);
}

ErrorCode CmdArray::send(Token::KnownTokens command, size_t count, const uint32_t* indices, double* result)
{
    TokenBuffer request(tokens());
    const ErrorCode built = buildRequest(request, command, count, indices);
    const ErrorCode error = writeRequest(request, _requestTrace, built);
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
    // A controller error or an unusable status still ends a complete reply;
    // any other failure is a read that did not finish.
    const bool readFailed = error != NoError && errorBand(error) != 4 && error != BadResponse;
    if (_replyTrace == TraceReply::Always || (_replyTrace == TraceReply::UnlessFailed && !readFailed))
        trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
