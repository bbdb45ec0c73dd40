#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::TCP {

// VRVALUES(first, last, 1): a block of VR values, answered by a value list.
class CmdGetMultiVr : public Command {
public:
    explicit CmdGetMultiVr(Connection_TCP* conn) : Command(conn) {}

    // BadArgument for a null array with a non-zero count; BadResponse when
    // the controller's table cannot acknowledge a value list. Nothing is
    // written then.
    ErrorCode send(size_t start_index, size_t count, double* result);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    size_t _start_index = 0;
    size_t _count = 0;
    double* _result = nullptr;
    const char* _name = "CmdGetMultiVr";
};

} // namespace Vantrel::HolvaneApi::TCP
