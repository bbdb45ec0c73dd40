#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdBlockRead.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// TABLEVALUES(first, last, 1): a run of TABLE entries, answered by a value list.
class CmdGetTABLE final : public CmdBlockRead<uint32_t> {
public:
    explicit CmdGetTABLE(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdGetTABLE";
};

} // namespace Vantrel::HolvaneApi::TCP
