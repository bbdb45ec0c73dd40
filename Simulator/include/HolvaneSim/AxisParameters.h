#pragma once

#include <cstddef>
#include <string_view>

namespace Vantrel::HolvaneApi::Sim {

// Parameters every axis carries. The first group is stored per axis; the
// read-only ones are computed from the axis' motion.
enum class AxisParam {
    SPEED,
    ACCEL,
    DECEL,
    JERK,
    UNITS,
    CREEP,
    FORCE_SPEED,
    ENDMOVE_SPEED,
    FE_LIMIT,
    SERVO,
    ATYPE,
    AXIS_ENABLE,
    P_GAIN,
    I_GAIN,
    D_GAIN,
    VFF_GAIN,
    OV_GAIN,
    FS_LIMIT,
    RS_LIMIT,
    DATUM_IN,
    FWD_IN,
    REV_IN,
    FHOLD_IN,
    REP_DIST,
    REP_OPTION,
    DAC,
    AXIS_MODE,
    FASTDEC,
    CLOSE_WIN,
    FHSPEED,
    JOGSPEED,
    // read-only from here on
    DPOS,
    MPOS,
    FE,
    MTYPE,
    NTYPE,
    REMAIN,
    VPSPEED,
    MSPEED,
    IDLE,
    AXISSTATUS,
    ENDMOVE,
    MOVES_BUFFERED,
    LOADED,
    ENCODER,
    DRIVE_STATUS,
    Count
};

constexpr size_t kAxisParamCount = static_cast<size_t>(AxisParam::Count);

struct AxisParamInfo {
    std::string_view name;
    bool writable;
    double defaultValue;
};

const AxisParamInfo& axisParamInfo(AxisParam p);
// Exact-case lookup; false when the name is not an axis parameter.
bool axisParamByName(std::string_view name, AxisParam& out);

} // namespace Vantrel::HolvaneApi::Sim
