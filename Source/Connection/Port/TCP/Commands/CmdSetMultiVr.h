#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::TCP {

// Writing a block of VR values: the TCP command set has no request encoding for it, so
// send() writes nothing and reports Fail. The reply side reads one simple
// reply per chunk sent, stopping at the first failure.
class CmdSetMultiVr : public Command {
public:
    explicit CmdSetMultiVr(Connection_TCP* conn) : Command(conn) {}

    ErrorCode send(size_t start_index, size_t count, const double* values);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    size_t _chunksSent = 0;
    const char* _name = "CmdSetMultiVr";
};

} // namespace Vantrel::HolvaneApi::TCP
