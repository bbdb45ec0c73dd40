#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "SharedLib/CreateParameters.h"

#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// Reads a VR string by having the controller execute
// PRINT LEN(VRSTRING(vr))[0];"#";VRSTRING(vr);  and parsing "<length>#<bytes>",
// then a simple reply. The bytes reach the caller's handler in packets of the
// caller's record's buff_length bytes.
class CmdGetVrString : public Command {
public:
    // Longest string accepted. A controller's VR memory holds far less; a
    // larger length is a broken reply, and believing it would keep the pump
    // reading (and the caller waiting) for data that never comes.
    static constexpr uint32_t MaxStringLength = 16 * 1024 * 1024;
    // Length digits plus the zero bytes a controller may put before them.
    static constexpr size_t MaxLengthFieldBytes = 64;

    explicit CmdGetVrString(Connection_TCP* conn) : Command(conn) {}

    // BadArgument, nothing written, for a missing record, one with no room
    // (buff_length 0) or an empty handler.
    ErrorCode send(uint32_t vr, void* handler_context, StreamHandlerCallback handler, DataStreamPacket* buff);
    ErrorCode readReply() override;
    const char* name() const override { return _name; }

private:
    // Reads "<digits>#"; `lost` tells whether the stream is out of step.
    ErrorCode readLength(uint32_t& length, bool& lost);
    // Calls the handler; false once it has thrown.
    bool deliver();

    void* _handler_context = nullptr;
    StreamHandlerCallback _handler;
    DataStreamPacket* _buff = nullptr;
    bool _handlerFailed = false;
    const char* _name = "CmdGetVrString";
};

} // namespace Vantrel::HolvaneApi::TCP
