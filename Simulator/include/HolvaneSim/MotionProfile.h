#pragma once

namespace Vantrel::HolvaneApi::Sim {

// One timed piece of an axis' motion: a trapezoidal (or triangular) move from
// rest to rest, or a stop that ramps an existing velocity down to rest.
class MotionProfile {
public:
    // Move from `start` to `target` with the given limits. A non-positive
    // acceleration or deceleration means an instant change of speed.
    static MotionProfile move(double start, double target, double speed, double accel, double decel);
    // Ramp `velocity` (signed) down to rest at `decel`.
    static MotionProfile stop(double start, double velocity, double decel);

    double duration() const { return _duration; }
    double target() const { return _target; }
    // Position and signed velocity `t` seconds after the start; exact target at the end.
    double position(double t) const;
    double velocity(double t) const;

private:
    double _start = 0.0;
    double _target = 0.0;
    double _dir = 1.0;
    double _v0 = 0.0;   // speed at the start (stops only)
    double _peak = 0.0; // cruise speed reached
    double _accel = 0.0;
    double _decel = 0.0;
    double _tAccel = 0.0;  // end of acceleration
    double _tCruise = 0.0; // end of cruise
    double _duration = 0.0;
    double _distance = 0.0; // unsigned
};

} // namespace Vantrel::HolvaneApi::Sim
