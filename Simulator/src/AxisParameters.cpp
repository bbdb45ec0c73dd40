#include "HolvaneSim/AxisParameters.h"

#include <array>

namespace Vantrel::HolvaneApi::Sim {
namespace {

// Defaults make a fresh axis enabled and ready: a 100-unit move takes 1.2 s.
constexpr std::array<AxisParamInfo, kAxisParamCount> s_axisParams{{
    {"SPEED", true, 100.0},
    {"ACCEL", true, 500.0},
    {"DECEL", true, 500.0},
    {"JERK", true, 0.0},
    {"UNITS", true, 1.0},
    {"CREEP", true, 20.0},
    {"FORCE_SPEED", true, 100.0},
    {"ENDMOVE_SPEED", true, 0.0},
    {"FE_LIMIT", true, 10.0},
    {"SERVO", true, 1.0},
    {"ATYPE", true, 1.0},
    {"AXIS_ENABLE", true, 1.0},
    {"P_GAIN", true, 1.0},
    {"I_GAIN", true, 0.0},
    {"D_GAIN", true, 0.0},
    {"VFF_GAIN", true, 0.0},
    {"OV_GAIN", true, 0.0},
    {"FS_LIMIT", true, 200000000.0},
    {"RS_LIMIT", true, -200000000.0},
    {"DATUM_IN", true, -1.0},
    {"FWD_IN", true, -1.0},
    {"REV_IN", true, -1.0},
    {"FHOLD_IN", true, -1.0},
    {"REP_DIST", true, 200000000.0},
    {"REP_OPTION", true, 0.0},
    {"DAC", true, 0.0},
    {"AXIS_MODE", true, 0.0},
    {"FASTDEC", true, 0.0},
    {"CLOSE_WIN", true, 0.0},
    {"FHSPEED", true, 0.0},
    {"JOGSPEED", true, 10.0},
    {"DPOS", false, 0.0},
    {"MPOS", false, 0.0},
    {"FE", false, 0.0},
    {"MTYPE", false, 0.0},
    {"NTYPE", false, 0.0},
    {"REMAIN", false, 0.0},
    {"VPSPEED", false, 0.0},
    {"MSPEED", false, 0.0},
    {"IDLE", false, -1.0},
    {"AXISSTATUS", false, 0.0},
    {"ENDMOVE", false, 0.0},
    {"MOVES_BUFFERED", false, 0.0},
    {"LOADED", false, -1.0},
    {"ENCODER", false, 0.0},
    {"DRIVE_STATUS", false, 0.0},
}};

} // namespace

const AxisParamInfo& axisParamInfo(AxisParam p) { return s_axisParams[static_cast<size_t>(p)]; }

bool axisParamByName(std::string_view name, AxisParam& out)
{
    for (size_t i = 0; i < s_axisParams.size(); ++i) {
        if (s_axisParams[i].name == name) {
            out = static_cast<AxisParam>(i);
            return true;
        }
    }
    return false;
}

} // namespace Vantrel::HolvaneApi::Sim
