#include "Connection/Port/TCP/Commands/CmdGetVrString.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"
#include "Connection/Port/TCP/Connection_TCP.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdGetVrString::send(uint32_t vr, void* handler_context, StreamHandlerCallback handler,
                               DataStreamPacket* buff)
{
    _handler = std::move(handler);
    _handler_context = handler_context;
    _buff = buff;
    if (buff == nullptr || buff->buff_length == 0 || !_handler)
        return BadArgument;

    // PRINT LEN(VRSTRING(vr))[0];"#";VRSTRING(vr);:
    RequestBuilder request(tokens());
    request.token(Token::tPRINT).token(Token::tLEN).token(Token::tOPENBRACKETS);
    request.token(Token::tVRSTRING).bracketed(vr).token(Token::tEOX).token(Token::tCLOSEBRACKETS);
    request.token(Token::tEOX).token(Token::tOPENSQUAREBRACKETS).value(0).token(Token::tCLOSESQUAREBRACKETS);
    request.token(Token::tSEMICOLON).token(Token::tQUOTES).literal("#").token(Token::tQUOTES).token(Token::tEOX);
    request.token(Token::tSEMICOLON).token(Token::tVRSTRING).bracketed(vr).token(Token::tEOX);
    request.token(Token::tSEMICOLON).token(Token::tCOLON).zero();
    return writeRequest(request.buffer(), TraceRequest::AfterWrite, request.error());
}

ErrorCode CmdGetVrString::readLength(uint32_t& length, bool& lost)
{
    length = 0;
    lost = true;
    for (size_t seen = 0; seen < MaxLengthFieldBytes; ++seen) {
        char byte = 0;
        const ErrorCode error = connection().ReadBytes(&byte, 1, connection().replyTimeoutMs());
        if (error != NoError)
            return error;
        if (byte == '\0')
            continue;
        if (byte == '#') {
            lost = false;
            return NoError;
        }
        if (byte < '0' || byte > '9')
            return BadResponse;
        length = length * 10 + static_cast<uint32_t>(byte - '0');
        if (length > MaxStringLength)
            return BadResponse;
    }
    return BadResponse;
}

bool CmdGetVrString::deliver()
{
    if (_handlerFailed)
        return false;
    try {
        _handler(_handler_context, _buff);
    } catch (...) {
        // Nothing may escape on the pump thread; the string is still read
        // to its end so that the stream stays in step.
        _handlerFailed = true;
    }
    return !_handlerFailed;
}

ErrorCode CmdGetVrString::readReply()
{
    ReplyTrace trace(*this);
    uint32_t length = 0;
    bool lost = false;
    ErrorCode error = readLength(length, lost);
    if (error != NoError) {
        // Where the string ends is unknown: drop the link rather than read
        // its bytes as the next reply.
        connection().abandonStream(error);
        if (error == BadResponse)
            trace.print();
        setError(error);
        return error;
    }

    // The caller's record holds buff_length data bytes from `buff` on, which
    // may run past the declared array.
    char* data = reinterpret_cast<char*>(_buff) + offsetof(DataStreamPacket, buff);
    const uint32_t capacity = _buff->buff_length;
    if (length == 0) {
        _buff->data_length = 0;
        _buff->packet_count = 1;
        _buff->packet_number = 1;
        deliver();
    } else {
        const uint32_t count = static_cast<uint32_t>((static_cast<uint64_t>(length) + capacity - 1) / capacity);
        uint32_t remaining = length;
        for (uint32_t number = 0; remaining != 0; ++number) {
            const uint32_t piece = remaining < capacity ? remaining : capacity;
            _buff->data_length = piece;
            _buff->packet_count = count;
            _buff->packet_number = number;
            error = connection().ReadBytes(data, piece, connection().replyTimeoutMs());
            if (error != NoError) {
                connection().abandonStream(error);
                setError(error);
                return error;
            }
            remaining -= piece;
            deliver();
        }
    }

    error = readSimpleReply(nullptr);
    if (error == NoError && _handlerFailed)
        error = BadArgument;
    trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
