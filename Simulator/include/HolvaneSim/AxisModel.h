#pragma once

#include "HolvaneSim/AxisParameters.h"
#include "HolvaneSim/MotionProfile.h"
#include "HolvaneSim/SimErrors.h"

#include <array>
#include <deque>
#include <optional>

namespace Vantrel::HolvaneApi::Sim {

// Motion types reported by MTYPE and NTYPE.
enum MoveType : int {
    mtIdle = 0,
    mtMove = 2,
    mtMoveAbs = 3,
    mtMoveSp = 4,
    mtMoveAbsSp = 5,
    mtForward = 10,
    mtReverse = 11,
    mtDatum = 14,
    mtDefPos = 15,
    mtCancel = 20,
};

// One axis: its parameters and a move buffer driven by a real-time profile.
// Time is given by the caller in seconds; the owner serialises access.
class AxisModel {
public:
    static constexpr size_t kMoveBufferSize = 64;

    AxisModel();

    SimError read(AxisParam p, double now, double& value);
    SimError write(AxisParam p, double value, double now);

    // Loads a move into the buffer; it starts when the moves before it end.
    SimError moveRelative(double distance, bool forceSpeed, double now);
    SimError moveAbsolute(double target, bool forceSpeed, double now);
    SimError forward(double now);
    SimError reverse(double now);
    SimError datum(int sequence, double now);
    SimError defpos(double position, double now);
    // 0 the current move, 1 the buffered moves, 2 both.
    SimError cancel(int mode, double now);
    // Stops dead and forgets every buffered move (reset, disable).
    void halt(double now);

    double position(double now);

private:
    struct Pending {
        MoveType type;
        double value; // distance, target or new position
        bool forceSpeed() const { return type == mtMoveSp || type == mtMoveAbsSp; }
    };
    struct Running {
        MoveType type;
        MotionProfile profile;
        double startTime;
        bool zeroAtEnd; // a datum defines the position as 0 when it ends
    };

    void advance(double now);
    bool startNext(double startTime);
    SimError load(Pending move, double now);
    bool enabled() const;
    double param(AxisParam p) const { return _params[static_cast<size_t>(p)]; }

    std::array<double, kAxisParamCount> _params{};
    double _position = 0.0; // position when no move is running
    std::optional<Running> _running;
    std::deque<Pending> _buffer;
    double _axisStatus = 0.0;
};

} // namespace Vantrel::HolvaneApi::Sim
