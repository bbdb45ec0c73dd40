#include "HolvaneSim/MotionProfile.h"

#include <algorithm>
#include <cmath>

namespace Vantrel::HolvaneApi::Sim {

MotionProfile MotionProfile::move(double start, double target, double speed, double accel, double decel)
{
    MotionProfile p;
    p._start = start;
    p._target = target;
    p._distance = std::fabs(target - start);
    p._dir = target >= start ? 1.0 : -1.0;
    if (p._distance == 0.0 || !(speed > 0.0))
        return p;
    const double dAccel = accel > 0.0 ? speed * speed / (2.0 * accel) : 0.0;
    const double dDecel = decel > 0.0 ? speed * speed / (2.0 * decel) : 0.0;
    double peak = speed;
    if (dAccel + dDecel > p._distance) {
        // Triangle: the distance is too short to reach the speed.
        const double inv = (accel > 0.0 ? 1.0 / accel : 0.0) + (decel > 0.0 ? 1.0 / decel : 0.0);
        peak = std::sqrt(2.0 * p._distance / inv);
    }
    p._peak = peak;
    p._accel = accel > 0.0 ? accel : 0.0;
    p._decel = decel > 0.0 ? decel : 0.0;
    const double tAccel = p._accel > 0.0 ? peak / p._accel : 0.0;
    const double tDecel = p._decel > 0.0 ? peak / p._decel : 0.0;
    const double distAccel = 0.5 * peak * tAccel;
    const double distDecel = 0.5 * peak * tDecel;
    const double cruise = std::max(0.0, p._distance - distAccel - distDecel);
    p._tAccel = tAccel;
    p._tCruise = tAccel + cruise / peak;
    p._duration = p._tCruise + tDecel;
    return p;
}

MotionProfile MotionProfile::stop(double start, double velocity, double decel)
{
    MotionProfile p;
    p._start = start;
    p._dir = velocity >= 0.0 ? 1.0 : -1.0;
    p._v0 = std::fabs(velocity);
    if (p._v0 == 0.0 || !(decel > 0.0)) {
        p._target = start;
        return p;
    }
    p._decel = decel;
    p._duration = p._v0 / decel;
    p._distance = 0.5 * p._v0 * p._duration;
    p._target = start + p._dir * p._distance;
    return p;
}

double MotionProfile::position(double t) const
{
    if (t >= _duration)
        return _target;
    if (t <= 0.0)
        return _start;
    double travelled = 0.0;
    if (_v0 > 0.0) {
        travelled = _v0 * t - 0.5 * _decel * t * t;
    } else if (t < _tAccel) {
        travelled = 0.5 * _accel * t * t;
    } else if (t < _tCruise) {
        travelled = 0.5 * _peak * _tAccel + _peak * (t - _tAccel);
    } else {
        const double left = _duration - t;
        travelled = _distance - 0.5 * _decel * left * left;
    }
    return _start + _dir * std::min(travelled, _distance);
}

double MotionProfile::velocity(double t) const
{
    if (t >= _duration || t < 0.0)
        return 0.0;
    double v = 0.0;
    if (_v0 > 0.0)
        v = _v0 - _decel * t;
    else if (t < _tAccel)
        v = _accel * t;
    else if (t < _tCruise)
        v = _peak;
    else
        v = _decel * (_duration - t);
    return _dir * v;
}

} // namespace Vantrel::HolvaneApi::Sim
