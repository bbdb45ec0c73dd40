#pragma once

#include <string_view>

namespace Vantrel::HolvaneApi::Sim {

// System variables that belong to the controller as a whole.
enum class SysVar {
    VERSION,
    CONTROL,
    SERIAL_NUMBER,
    WDOG,
    SERVO_PERIOD,
    TICKS,
    ERROR_LINE,
    SYSTEM_ERROR,
    NIO,
    TABLE_SIZE,
    VR_SIZE,
    AXIS_COUNT,
    POWER_UP,
    LAST_AXIS,
    BATTERY_LOW,
    SCOPE_POS,
    TEMPERATURE,
    Count
};

struct SysVarInfo {
    std::string_view name;
    bool writable;
};

const SysVarInfo& sysVarInfo(SysVar v);
bool sysVarByName(std::string_view name, SysVar& out);

} // namespace Vantrel::HolvaneApi::Sim
