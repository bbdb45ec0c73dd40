#pragma once

#include "Connection/Port/TCP/Commands/Base/CmdBlockWrite.h"

namespace Vantrel::HolvaneApi::TCP {

// Writing a run of TABLE values (not carried by the TCP command set: Fail).
class CmdSetTABLE : public CmdBlockWrite {
public:
    explicit CmdSetTABLE(Connection_TCP* conn);

    const char* name() const override { return _name; }

private:
    const char* _name = "CmdSetTABLE";
};

} // namespace Vantrel::HolvaneApi::TCP
