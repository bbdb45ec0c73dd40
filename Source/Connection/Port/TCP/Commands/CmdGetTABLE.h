#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// TABLEVALUES(first, last, 1): a run of TABLE entries, answered by a value list.
class CmdGetTABLE : public Command {
public:
    explicit CmdGetTABLE(Connection_TCP* conn) : Command(conn) {}

    // BadArgument for a null array with a non-zero count; BadResponse when
    // the controller's table cannot acknowledge a value list. Nothing is
    // written then.
    ErrorCode send(uint32_t start_index, uint32_t count, double* result);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    uint32_t _start_index = 0;
    uint32_t _count = 0;
    double* _result = nullptr;
    const char* _name = "CmdGetTABLE";
};

} // namespace Vantrel::HolvaneApi::TCP
