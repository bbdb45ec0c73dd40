#include "HolvaneSim/SystemVariables.h"

#include <array>

namespace Vantrel::HolvaneApi::Sim {
namespace {
constexpr std::array<SysVarInfo, static_cast<size_t>(SysVar::Count)> s_sysVars{{
    {"VERSION", false},
    {"CONTROL", false},
    {"SERIAL_NUMBER", false},
    {"WDOG", true},
    {"SERVO_PERIOD", false},
    {"TICKS", true},
    {"ERROR_LINE", false},
    {"SYSTEM_ERROR", false},
    {"NIO", false},
    {"TABLE_SIZE", false},
    {"VR_SIZE", false},
    {"AXIS_COUNT", false},
    {"POWER_UP", true},
    {"LAST_AXIS", false},
    {"BATTERY_LOW", false},
    {"SCOPE_POS", false},
    {"TEMPERATURE", false},
}};
} // namespace

const SysVarInfo& sysVarInfo(SysVar v) { return s_sysVars[static_cast<size_t>(v)]; }

bool sysVarByName(std::string_view name, SysVar& out)
{
    for (size_t i = 0; i < s_sysVars.size(); ++i) {
        if (s_sysVars[i].name == name) {
            out = static_cast<SysVar>(i);
            return true;
        }
    }
    return false;
}

} // namespace Vantrel::HolvaneApi::Sim
