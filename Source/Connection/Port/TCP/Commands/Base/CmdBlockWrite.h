#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::TCP {

// Writing a block of values: the TCP command set has no request encoding for
// it, so send() writes nothing and reports Fail. The reply side reads one
// simple reply per chunk sent, stopping at the first failure. Subclasses fix
// the name shown in traces.
class CmdBlockWrite : public Command {
public:
    ErrorCode send(size_t start_index, size_t count, const double* values);
    ErrorCode readReply() override;

protected:
    explicit CmdBlockWrite(Connection_TCP* conn) : Command(conn) {}

    size_t _chunksSent = 0;
};

} // namespace Vantrel::HolvaneApi::TCP
