#include "Connection/Port/TCP/Commands/Base/CmdBlockRead.h"

#include "Connection/Port/TCP/Commands/RequestBuilder.h"
#include "Connection/Port/TCP/Commands/ValueListReader.h"

#include <type_traits>

namespace Vantrel::HolvaneApi::TCP {

template <typename Index>
CmdBlockRead<Index>::CmdBlockRead(Connection_TCP* conn, Token::KnownTokens keyword) : Command(conn), _keyword(keyword)
{
    static_assert(std::is_unsigned_v<Index>, "block indices wrap, never overflow");
}

template <typename Index>
ErrorCode CmdBlockRead<Index>::send(Index start_index, Index count, double* result)
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

    const Index last = static_cast<Index>(start_index + count - 1); // wraps in Index for count 0
    RequestBuilder request(tokens());
    request.token(_keyword).token(Token::tOPENBRACKETS);
    request.value(static_cast<double>(start_index)).token(Token::tCOMMA);
    request.value(static_cast<double>(last)).token(Token::tCOMMA);
    request.value(1).token(Token::tCLOSEBRACKETS).zero();
    return writeRequest(request.buffer(), TraceRequest::AfterWrite, request.error());
}

template <typename Index>
ErrorCode CmdBlockRead<Index>::readReply()
{
    ReplyTrace trace(*this);
    bool traced = false;
    const ErrorCode error = ValueListReader::read(connection(), _result, _count, traced);
    if (traced)
        trace.print();
    setError(error);
    return error;
}

template class CmdBlockRead<uint32_t>;
template class CmdBlockRead<size_t>;

} // namespace Vantrel::HolvaneApi::TCP
