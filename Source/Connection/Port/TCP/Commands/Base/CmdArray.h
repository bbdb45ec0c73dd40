#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/Token.h"

#include <cstddef>
#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// A request of the form KEYWORD(i0,i1,...) ZERO answered by one simple reply.
// Subclasses choose their trace lines by setting _requestTrace and
// _replyTrace in their constructors (default: no lines).
class CmdArray : public Command {
public:
    explicit CmdArray(Connection_TCP* conn);

    // Sends `command`, then the indices in brackets (no brackets for count 0),
    // then ZERO. After a successful write the reply value goes to `result`,
    // or to the built-in slot for a null result with count 1 (nowhere for a
    // null result with another count).
    ErrorCode send(Token::KnownTokens command, size_t count, const uint32_t* indices, double* result);
    ErrorCode readReply() override;

    double result() const { return _result; }

    // When the " << " line of the reply is printed.
    enum class TraceReply {
        Never,
        Always,       // after the reply, whatever happened
        UnlessFailed, // after the reply, not when it ended at a failed read
    };

protected:
    double _result;
    double* _resultArray;
    size_t _count;
    TraceRequest _requestTrace = TraceRequest::Never;
    TraceReply _replyTrace = TraceReply::Never;
};

} // namespace Vantrel::HolvaneApi::TCP
