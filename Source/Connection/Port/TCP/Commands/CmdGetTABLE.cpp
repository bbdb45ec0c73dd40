#include "Connection/Port/TCP/Commands/CmdGetTABLE.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"
#include "Connection/Port/TCP/Commands/ValueListReader.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdGetTABLE::send(uint32_t start_index, uint32_t count, double* result)
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

    const uint32_t last = start_index + count - 1; // wraps in 32 bits for count 0
    RequestBuilder request(tokens());
    request.token(Token::tTABLEVALUES).token(Token::tOPENBRACKETS);
    request.value(start_index).token(Token::tCOMMA);
    request.value(last).token(Token::tCOMMA);
    request.value(1).token(Token::tCLOSEBRACKETS).zero();
    return writeRequest(request.buffer(), TraceRequest::AfterWrite, request.error());
}

ErrorCode CmdGetTABLE::readReply()
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
