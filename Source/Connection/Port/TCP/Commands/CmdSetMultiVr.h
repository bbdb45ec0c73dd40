#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdBlockWrite.h"

namespace Vantrel::HolvaneApi::TCP {

// Writing a block of VR values (not carried by the TCP command set: Fail).
class CmdSetMultiVr : public CmdBlockWrite {
public:
    explicit CmdSetMultiVr(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdSetMultiVr";
};

} // namespace Vantrel::HolvaneApi::TCP
