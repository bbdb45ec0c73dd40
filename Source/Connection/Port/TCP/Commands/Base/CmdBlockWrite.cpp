#include "Connection/Port/TCP/Commands/Base/CmdBlockWrite.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdBlockWrite::send(size_t /*start_index*/, size_t /*count*/, const double* /*values*/) { return Fail; }

ErrorCode CmdBlockWrite::readReply()
{
    ReplyTrace trace(*this);
    ErrorCode error = NoError;
    for (size_t chunk = 0; chunk < _chunksSent && error == NoError; ++chunk)
        error = readSimpleReply(nullptr);
    trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
