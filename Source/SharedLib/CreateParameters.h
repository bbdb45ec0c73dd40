#pragma once

#include "SharedLib/ApiEnums.h"

#include <cstdint>
#include <functional>
#include <string_view>

namespace Vantrel::HolvaneApi {

// Receives the diagnostics of a connection. The text lives only for the call.
using EventCallback = std::function<void(EventType, uint64_t, const std::string_view&)>;

struct CreateParams {
    ConnectionType connectionType = ConnectionType::Unknown;
    EventCallback eventCallback;
};

// One directory entry of the controller.
struct ControllerFileInfo {
    int32_t type = 0;
    char szName[132] = {};
    uint32_t size = 0;
    uint32_t compiled_size = 0;
    int32_t autorun_process = -1;
    uint32_t editable : 1;
    uint32_t autorun : 1;

    ControllerFileInfo() : editable(0), autorun(0) {}
};

// One packet of a streamed VR string. The caller allocates the record with room
// for buff_length bytes in buff; the same record is reused for every packet.
struct DataStreamPacket {
    uint32_t packet_number = 0;
    uint32_t packet_count = 0;
    uint32_t data_length = 0;
    uint32_t buff_length = 0;
    uint8_t buff[8] = {};
};

using ReportControllerFileCallback = std::function<void(void*, const ControllerFileInfo&)>;
using StreamHandlerCallback = std::function<void(void*, DataStreamPacket*)>;

// Asked now and then on the thread of a caller waiting inside an operation;
// true abandons the operation. A plain function, so that it crosses the
// library boundary as it stands.
using InterruptCheck = bool (*)(void* context);

} // namespace Vantrel::HolvaneApi
