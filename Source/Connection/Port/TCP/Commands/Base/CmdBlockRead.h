#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/Token.h"

#include <cstddef>
#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// KEYWORD(first, last, 1): a block of consecutive values, answered by a value
// list. `Index` is the width of the block's bookkeeping and of the arithmetic
// that gives the last index, so a block of 0 values wraps in that width.
// Subclasses fix the keyword and the name shown in traces.
template <typename Index>
class CmdBlockRead : public Command {
public:
    // BadArgument for a null array with a non-zero count; BadResponse when
    // the controller's table cannot acknowledge a value list. Nothing is
    // written then.
    ErrorCode send(Index start_index, Index count, double* result);
    ErrorCode readReply() override;

protected:
    CmdBlockRead(Connection_TCP* conn, Token::KnownTokens keyword);

    Index _start_index = 0;
    Index _count = 0;
    double* _result = nullptr;

private:
    const Token::KnownTokens _keyword;
};

// The two widths in use: TABLE indices (32 bits) and VR blocks (size_t).
extern template class CmdBlockRead<uint32_t>;
extern template class CmdBlockRead<size_t>;

} // namespace Vantrel::HolvaneApi::TCP
