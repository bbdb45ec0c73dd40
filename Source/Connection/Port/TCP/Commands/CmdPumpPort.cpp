#include "Connection/Port/TCP/Commands/CmdPumpPort.h"

#include "Connection/Port/TCP/Connection_TCP.h"

namespace Vantrel::HolvaneApi::TCP {

ErrorCode CmdPumpPort::readReply()
{
    ReplyTrace trace(*this);
    char scratch[256];
    ErrorCode error = NoError;
    size_t drained = 0;
    while (error == NoError) {
        size_t got = 0;
        // 0 bytes: the peer closed and the port with it, so the next read fails.
        error = connection().ReadBytes(scratch, sizeof scratch, got, QuietMs);
        drained += got;
        if (error == NoError && drained > MaxDrainBytes)
            error = BadResponse;
    }
    trace.print();
    setError(error);
    return error;
}

} // namespace Vantrel::HolvaneApi::TCP
