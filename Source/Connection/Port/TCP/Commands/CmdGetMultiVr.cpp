#include "Connection/Port/TCP/Commands/CmdGetMultiVr.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"
#include "Connection/Port/TCP/Commands/ValueListReader.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdGetMultiVr::send(size_t start_index, size_t count, double* result)
{
    _start_index = start_index;
    _count = count;
    _result = result;
    if (result == nullptr && count != 0)
        return BadArgument;
    uint8_t ack = 0;
    const ErrorCode usable = ValueListReader::acknowledgementByte(tokens(), ack);
    if (usable != NoError)
        return usable;

    const size_t last = start_index + count - 1; // unsigned 64-bit arithmetic
    RequestBuilder request(tokens());
    request.token(Token::tVRVALUES).token(Token::tOPENBRACKETS);
    request.value(static_cast<double>(start_index)).token(Token::tCOMMA);
    request.value(static_cast<double>(last)).token(Token::tCOMMA);
    request.value(1).token(Token::tCLOSEBRACKETS).zero();
    return writeRequest(request.buffer(), TraceRequest::AfterWrite, request.error());
}

ErrorCode CmdGetMultiVr::readReply()
{
    ReplyTrace trace(*this);
    bool traced = false;
    const ErrorCode error = ValueListReader::read(connection(), _result, _count, traced);
    if (traced)
        trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
