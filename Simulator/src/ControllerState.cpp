#include "HolvaneSim/ControllerState.h"

#include <cmath>

namespace Vantrel::HolvaneApi::Sim {

ControllerState::ControllerState(const StateConfig& config)
    : _config(config), _epoch(std::chrono::steady_clock::now()), _vr(config.vrCount, 0.0),
      _table(config.tableCount, 0.0), _axes(config.axisCount), _inverted(config.inputCount, 0)
{
    _files = {
        {"STARTUP", 412, 300, 0, 0, true, true},      {"MAIN", 2048, 1720, 1, 0, true, true},
        {"HOMING", 936, 788, -1, 0, true, false},     {"PICKPLACE", 5120, 4410, -1, 0, true, false},
        {"CONVEYOR", 1460, 1210, -1, 0, true, false}, {"RECIPE_A", 256, 0, -1, 3, true, false},
        {"LIBRARY", 3300, 2904, -1, 4, false, false},
    };
}

double ControllerState::now() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - _epoch).count();
}

bool ControllerState::toIndex(double value, size_t limit, size_t& index)
{
    if (!std::isfinite(value) || value < 0.0 || value >= static_cast<double>(limit))
        return false;
    index = static_cast<size_t>(value);
    return index < limit;
}

bool ControllerState::axisIndex(double axis, size_t& index) const { return toIndex(axis, _axes.size(), index); }

void ControllerState::setWriteLog(std::shared_ptr<WriteLog> log)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _writeLog = std::move(log);
}

std::shared_ptr<WriteLog> ControllerState::writeLog()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _writeLog;
}

SimError ControllerState::applied(SimError result, std::string_view kind, size_t target, double value)
{
    if (result == eOk && _writeLog)
        _writeLog->record(kind, target, value);
    return result;
}

SimError ControllerState::readVr(double index, double& value)
{
    size_t i = 0;
    if (!toIndex(index, _vr.size(), i))
        return eIndexRange;
    std::lock_guard<std::mutex> lock(_mutex);
    value = _vr[i];
    return eOk;
}

SimError ControllerState::writeVr(double index, double value)
{
    size_t i = 0;
    if (!toIndex(index, _vr.size(), i))
        return eIndexRange;
    std::lock_guard<std::mutex> lock(_mutex);
    _vr[i] = value;
    return applied(eOk, "VR", i, value);
}

SimError ControllerState::readTable(double index, double& value)
{
    size_t i = 0;
    if (!toIndex(index, _table.size(), i))
        return eIndexRange;
    std::lock_guard<std::mutex> lock(_mutex);
    value = _table[i];
    return eOk;
}

SimError ControllerState::writeTable(double index, double value)
{
    size_t i = 0;
    if (!toIndex(index, _table.size(), i))
        return eIndexRange;
    std::lock_guard<std::mutex> lock(_mutex);
    _table[i] = value;
    return applied(eOk, "TABLE", i, value);
}

void ControllerState::copyVr(size_t start, size_t step, size_t count, double* out)
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (size_t k = 0; k < count; ++k)
        out[k] = _vr[start + k * step];
}

void ControllerState::copyTable(size_t start, size_t step, size_t count, double* out)
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (size_t k = 0; k < count; ++k)
        out[k] = _table[start + k * step];
}

SimError ControllerState::readVrString(double index, std::string& value)
{
    size_t i = 0;
    if (!toIndex(index, _vr.size(), i))
        return eIndexRange;
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _vrStrings.find(i);
    if (it == _vrStrings.end())
        value.clear();
    else
        value = it->second;
    return eOk;
}

SimError ControllerState::writeVrString(double index, const std::string& value)
{
    size_t i = 0;
    if (!toIndex(index, _vr.size(), i))
        return eIndexRange;
    if (value.size() > _config.maxVrStringLength)
        return eStringTooLong;
    std::lock_guard<std::mutex> lock(_mutex);
    _vrStrings[i] = value;
    return applied(eOk, "VRSTRING", i, static_cast<double>(value.size()));
}

SimError ControllerState::readAxisParam(AxisParam p, double axis, double& value)
{
    size_t a = 0;
    if (!axisIndex(axis, a))
        return eBadAxis;
    std::lock_guard<std::mutex> lock(_mutex);
    return _axes[a].read(p, now(), value);
}

SimError ControllerState::writeAxisParam(AxisParam p, double axis, double value)
{
    size_t a = 0;
    if (!axisIndex(axis, a))
        return eBadAxis;
    std::lock_guard<std::mutex> lock(_mutex);
    const SimError result = _axes[a].write(p, value, now());
    if (result == eOk && _writeLog)
        _writeLog->record("PARAM", std::string(axisParamInfo(p).name) + "(" + std::to_string(a) + ")", value);
    return result;
}

SimError ControllerState::readSysVar(SysVar v, double& value)
{
    std::lock_guard<std::mutex> lock(_mutex);
    switch (v) {
    case SysVar::VERSION: value = _config.version; break;
    case SysVar::CONTROL: value = _config.controllerType; break;
    case SysVar::SERIAL_NUMBER: value = 40123; break;
    case SysVar::WDOG: value = _wdog; break;
    case SysVar::SERVO_PERIOD: value = 1000; break;
    case SysVar::TICKS: value = _ticks - std::floor(now() * 1000.0); break;
    case SysVar::ERROR_LINE:
    case SysVar::SYSTEM_ERROR: value = 0; break;
    case SysVar::NIO: value = static_cast<double>(_inverted.size()); break;
    case SysVar::TABLE_SIZE: value = static_cast<double>(_table.size()); break;
    case SysVar::VR_SIZE: value = static_cast<double>(_vr.size()); break;
    case SysVar::AXIS_COUNT: value = static_cast<double>(_axes.size()); break;
    case SysVar::POWER_UP: value = _powerUp; break;
    case SysVar::LAST_AXIS: value = static_cast<double>(_axes.size()) - 1; break;
    case SysVar::BATTERY_LOW:
    case SysVar::SCOPE_POS: value = 0; break;
    case SysVar::TEMPERATURE: value = 38.5; break;
    case SysVar::Count: return eUnknownToken;
    }
    return eOk;
}

SimError ControllerState::writeSysVar(SysVar v, double value)
{
    if (!sysVarInfo(v).writable)
        return eReadOnly;
    if (!std::isfinite(value))
        return eBadValue;
    std::lock_guard<std::mutex> lock(_mutex);
    switch (v) {
    case SysVar::WDOG: _wdog = value; break;
    case SysVar::TICKS: _ticks = value + std::floor(now() * 1000.0); break; // counts down
    case SysVar::POWER_UP: _powerUp = value; break;
    default: return eReadOnly;
    }
    if (_writeLog)
        _writeLog->record("SYSVAR", sysVarInfo(v).name, value);
    return eOk;
}

SimError ControllerState::move(MoveType kind, double axis, double value)
{
    size_t a = 0;
    if (!axisIndex(axis, a))
        return eBadAxis;
    std::lock_guard<std::mutex> lock(_mutex);
    const double t = now();
    switch (kind) {
    case mtMove: return applied(_axes[a].moveRelative(value, false, t), "MOVE", a, value);
    case mtMoveSp: return applied(_axes[a].moveRelative(value, true, t), "MOVESP", a, value);
    case mtMoveAbs: return applied(_axes[a].moveAbsolute(value, false, t), "MOVEABS", a, value);
    case mtMoveAbsSp: return applied(_axes[a].moveAbsolute(value, true, t), "MOVEABSSP", a, value);
    case mtForward: return applied(_axes[a].forward(t), "FORWARD", a, 0.0);
    case mtReverse: return applied(_axes[a].reverse(t), "REVERSE", a, 0.0);
    default: return eUnsupported;
    }
}

SimError ControllerState::cancel(double axis, double mode)
{
    size_t a = 0;
    if (!axisIndex(axis, a))
        return eBadAxis;
    if (!std::isfinite(mode) || mode != std::floor(mode))
        return eBadMode;
    std::lock_guard<std::mutex> lock(_mutex);
    return applied(_axes[a].cancel(static_cast<int>(std::fmax(-1.0, std::fmin(mode, 100.0))), now()), "CANCEL", a,
                   mode);
}

SimError ControllerState::datum(double axis, double sequence)
{
    size_t a = 0;
    if (!axisIndex(axis, a))
        return eBadAxis;
    if (!std::isfinite(sequence) || sequence != std::floor(sequence))
        return eBadMode;
    std::lock_guard<std::mutex> lock(_mutex);
    return applied(_axes[a].datum(static_cast<int>(std::fmax(-1.0, std::fmin(sequence, 100.0))), now()), "DATUM", a,
                   sequence);
}

SimError ControllerState::defpos(double axis, double position)
{
    size_t a = 0;
    if (!axisIndex(axis, a))
        return eBadAxis;
    std::lock_guard<std::mutex> lock(_mutex);
    return applied(_axes[a].defpos(position, now()), "DEFPOS", a, position);
}

void ControllerState::haltAll()
{
    std::lock_guard<std::mutex> lock(_mutex);
    const double t = now();
    for (auto& axis : _axes)
        axis.halt(t);
    if (_writeLog)
        _writeLog->record("HALT", "*", 0.0);
}

SimError ControllerState::invertInput(double input, bool invert)
{
    size_t i = 0;
    if (!toIndex(input, _inverted.size(), i))
        return eIndexRange;
    std::lock_guard<std::mutex> lock(_mutex);
    _inverted[i] = invert ? 1 : 0;
    return applied(eOk, "INVERT_IN", i, invert ? 1.0 : 0.0);
}

bool ControllerState::inputInverted(size_t input)
{
    std::lock_guard<std::mutex> lock(_mutex);
    return input < _inverted.size() && _inverted[input] != 0;
}

std::vector<StoredFile> ControllerState::files()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _files;
}

void ControllerState::addFile(const StoredFile& file)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _files.push_back(file);
}

} // namespace Vantrel::HolvaneApi::Sim
