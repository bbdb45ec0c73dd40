#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdBlockRead.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::TCP {

// VRVALUES(first, last, 1): a block of VR values, answered by a value list.
class CmdGetMultiVr final : public CmdBlockRead<size_t> {
public:
    explicit CmdGetMultiVr(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdGetMultiVr";
};

} // namespace Vantrel::HolvaneApi::TCP
