#include "HolvaneSim/AxisModel.h"

#include <cmath>

namespace Vantrel::HolvaneApi::Sim {

AxisModel::AxisModel()
{
    for (size_t i = 0; i < kAxisParamCount; ++i)
        _params[i] = axisParamInfo(static_cast<AxisParam>(i)).defaultValue;
}

bool AxisModel::enabled() const { return param(AxisParam::AXIS_ENABLE) != 0.0 && param(AxisParam::SERVO) != 0.0; }

bool AxisModel::startNext(double startTime)
{
    while (!_buffer.empty()) {
        const Pending next = _buffer.front();
        _buffer.pop_front();
        if (next.type == mtDefPos) {
            _position = next.value;
            continue;
        }
        double target = _position;
        switch (next.type) {
        case mtMove:
        case mtMoveSp: target = _position + next.value; break;
        default: target = next.value; break;
        }
        double speed = next.forceSpeed() ? param(AxisParam::FORCE_SPEED) : param(AxisParam::SPEED);
        if (next.type == mtDatum && param(AxisParam::CREEP) > 0.0)
            speed = param(AxisParam::CREEP);
        if (!(speed > 0.0))
            speed = axisParamInfo(AxisParam::SPEED).defaultValue; // checked when loaded
        _running = Running{
            next.type, MotionProfile::move(_position, target, speed, param(AxisParam::ACCEL), param(AxisParam::DECEL)),
            startTime, next.type == mtDatum};
        return true;
    }
    return false;
}

void AxisModel::advance(double now)
{
    while (true) {
        if (_running) {
            const double end = _running->startTime + _running->profile.duration();
            if (now < end)
                return;
            _position = _running->zeroAtEnd ? 0.0 : _running->profile.target();
            _running.reset();
            if (!startNext(end))
                return;
        } else if (!startNext(now)) {
            return;
        }
    }
}

double AxisModel::position(double now)
{
    advance(now);
    return _running ? _running->profile.position(now - _running->startTime) : _position;
}

SimError AxisModel::read(AxisParam p, double now, double& value)
{
    advance(now);
    const double t = _running ? now - _running->startTime : 0.0;
    const double pos = _running ? _running->profile.position(t) : _position;
    const double vel = _running ? _running->profile.velocity(t) : 0.0;
    switch (p) {
    case AxisParam::DPOS:
    case AxisParam::MPOS: value = pos; break;
    case AxisParam::ENCODER: value = std::round(pos * param(AxisParam::UNITS)); break;
    case AxisParam::FE: value = 0.0; break;
    case AxisParam::MTYPE: value = _running ? _running->type : mtIdle; break;
    case AxisParam::NTYPE: value = _buffer.empty() ? mtIdle : _buffer.front().type; break;
    case AxisParam::REMAIN: value = _running ? std::fabs(_running->profile.target() - pos) : 0.0; break;
    case AxisParam::VPSPEED:
    case AxisParam::MSPEED: value = std::fabs(vel); break;
    case AxisParam::IDLE: value = (!_running && _buffer.empty()) ? -1.0 : 0.0; break;
    case AxisParam::AXISSTATUS: value = _axisStatus; break;
    case AxisParam::ENDMOVE: value = _running ? _running->profile.target() : _position; break;
    case AxisParam::MOVES_BUFFERED: value = static_cast<double>(_buffer.size()); break;
    case AxisParam::LOADED: value = _buffer.empty() ? -1.0 : 0.0; break;
    case AxisParam::DRIVE_STATUS: value = enabled() ? 1.0 : 0.0; break;
    default: value = param(p); break;
    }
    return eOk;
}

SimError AxisModel::write(AxisParam p, double value, double now)
{
    if (!axisParamInfo(p).writable)
        return eReadOnly;
    if (!std::isfinite(value))
        return eBadValue;
    switch (p) {
    case AxisParam::SPEED:
    case AxisParam::FORCE_SPEED:
    case AxisParam::ACCEL:
    case AxisParam::DECEL:
    case AxisParam::JERK:
    case AxisParam::CREEP:
    case AxisParam::ENDMOVE_SPEED:
    case AxisParam::JOGSPEED:
    case AxisParam::FE_LIMIT:
        if (value < 0.0)
            return eBadValue;
        break;
    case AxisParam::UNITS:
        if (value == 0.0)
            return eBadValue;
        break;
    default: break;
    }
    advance(now);
    _params[static_cast<size_t>(p)] = value;
    if ((p == AxisParam::AXIS_ENABLE || p == AxisParam::SERVO) && value == 0.0)
        halt(now);
    return eOk;
}

SimError AxisModel::load(Pending move, double now)
{
    if (!enabled())
        return eAxisDisabled;
    if (move.type != mtDefPos) {
        const double speed = move.forceSpeed() ? param(AxisParam::FORCE_SPEED) : param(AxisParam::SPEED);
        if (!(speed > 0.0))
            return eMotionParameters;
    }
    advance(now);
    if (_buffer.size() >= kMoveBufferSize)
        return eMoveBufferFull;
    _buffer.push_back(move);
    advance(now);
    return eOk;
}

SimError AxisModel::moveRelative(double distance, bool forceSpeed, double now)
{
    if (!std::isfinite(distance))
        return eBadValue;
    return load({forceSpeed ? mtMoveSp : mtMove, distance}, now);
}

SimError AxisModel::moveAbsolute(double target, bool forceSpeed, double now)
{
    if (!std::isfinite(target))
        return eBadValue;
    return load({forceSpeed ? mtMoveAbsSp : mtMoveAbs, target}, now);
}

SimError AxisModel::forward(double now) { return load({mtForward, param(AxisParam::FS_LIMIT)}, now); }

SimError AxisModel::reverse(double now) { return load({mtReverse, param(AxisParam::RS_LIMIT)}, now); }

SimError AxisModel::datum(int sequence, double now)
{
    if (sequence < 0 || sequence > 6)
        return eBadMode;
    if (sequence == 0) {
        _axisStatus = 0.0; // clears the axis' error state only
        return eOk;
    }
    return load({mtDatum, 0.0}, now);
}

SimError AxisModel::defpos(double position, double now)
{
    if (!std::isfinite(position))
        return eBadValue;
    if (!enabled()) {
        advance(now);
        if (_running || !_buffer.empty())
            return eAxisDisabled;
        _position = position;
        return eOk;
    }
    return load({mtDefPos, position}, now);
}

SimError AxisModel::cancel(int mode, double now)
{
    if (mode < 0 || mode > 2)
        return eBadMode;
    advance(now);
    if (mode >= 1)
        _buffer.clear();
    if ((mode == 0 || mode == 2) && _running && _running->type != mtCancel) {
        const double t = now - _running->startTime;
        const double pos = _running->profile.position(t);
        const double vel = _running->profile.velocity(t);
        _running = Running{mtCancel, MotionProfile::stop(pos, vel, param(AxisParam::DECEL)), now, false};
        advance(now);
    }
    return eOk;
}

void AxisModel::halt(double now)
{
    _position = position(now);
    _running.reset();
    _buffer.clear();
}

} // namespace Vantrel::HolvaneApi::Sim
