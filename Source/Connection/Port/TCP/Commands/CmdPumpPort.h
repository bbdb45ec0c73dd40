#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/TimingPolicy.h"

#include <cstddef>

namespace Vantrel::HolvaneApi::TCP {

// Sends nothing; its "reply" drains whatever input is waiting, until no byte
// has come for QuietMs (normally ending with Timeout).
class CmdPumpPort : public Command {
public:
    static constexpr uint32_t QuietMs = TimingPolicy::DrainQuietMs;
    // A peer that never stops sending ends the drain with BadResponse.
    static constexpr size_t MaxDrainBytes = size_t{16} * 1024 * 1024;

    explicit CmdPumpPort(Connection_TCP* conn) : Command(conn) {}

    ErrorCode send() { return NoError; }
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    const char* _name = "CmdPumpPort";
};

} // namespace Vantrel::HolvaneApi::TCP
