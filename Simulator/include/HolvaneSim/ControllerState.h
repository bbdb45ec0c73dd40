#pragma once

#include "HolvaneSim/AxisModel.h"
#include "HolvaneSim/SimErrors.h"
#include "HolvaneSim/SystemVariables.h"
#include "HolvaneSim/WriteLog.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace Vantrel::HolvaneApi::Sim {

struct StateConfig {
    size_t vrCount = 65536;
    size_t tableCount = 500000;
    size_t axisCount = 16;
    size_t inputCount = 256;
    size_t maxVrStringLength = 65535;
    int controllerType = 400;
    double version = 2.0;
};

struct StoredFile {
    std::string name;
    uint32_t size = 0;
    uint32_t compiledSize = 0;
    int32_t autorunProcess = -1;
    int32_t type = 0;
    bool editable = true;
    bool autorun = false;
};

// Everything the controller holds, shared by all connections. Every member
// function takes the one lock; none calls another public one.
class ControllerState {
public:
    explicit ControllerState(const StateConfig& config = {});

    const StateConfig& config() const { return _config; }

    SimError readVr(double index, double& value);
    SimError writeVr(double index, double value);
    SimError readTable(double index, double& value);
    SimError writeTable(double index, double value);
    // Copies `count` values from every `step`-th index on; the caller has checked the range.
    void copyVr(size_t start, size_t step, size_t count, double* out);
    void copyTable(size_t start, size_t step, size_t count, double* out);

    SimError readVrString(double index, std::string& value);
    SimError writeVrString(double index, const std::string& value);

    SimError readAxisParam(AxisParam p, double axis, double& value);
    SimError writeAxisParam(AxisParam p, double axis, double value);
    SimError readSysVar(SysVar v, double& value);
    SimError writeSysVar(SysVar v, double value);

    // Motion on one axis; `kind` is one of the move types of AxisModel.
    SimError move(MoveType kind, double axis, double value);
    SimError cancel(double axis, double mode);
    SimError datum(double axis, double sequence);
    SimError defpos(double axis, double position);
    // Stops every axis and empties every move buffer.
    void haltAll();

    SimError invertInput(double input, bool invert);
    bool inputInverted(size_t input);

    std::vector<StoredFile> files();
    void addFile(const StoredFile& file);

    // Every change applied from now on is recorded there (none: null).
    void setWriteLog(std::shared_ptr<WriteLog> log);
    std::shared_ptr<WriteLog> writeLog();

    // Index checks shared with the request handlers: integral part of a finite,
    // non-negative value below `limit`.
    static bool toIndex(double value, size_t limit, size_t& index);

private:
    double now() const;
    bool axisIndex(double axis, size_t& index) const;
    // Records a change that succeeded; called with the lock held, so the
    // records come in the order the changes were made.
    SimError applied(SimError result, std::string_view kind, size_t target, double value);

    StateConfig _config;
    std::chrono::steady_clock::time_point _epoch;
    std::mutex _mutex;
    std::vector<double> _vr;
    std::vector<double> _table;
    std::unordered_map<size_t, std::string> _vrStrings;
    std::vector<AxisModel> _axes;
    std::vector<uint8_t> _inverted;
    std::vector<StoredFile> _files;
    double _wdog = 0.0;
    double _ticks = 0.0;
    double _powerUp = 0.0;
    std::shared_ptr<WriteLog> _writeLog;
};

} // namespace Vantrel::HolvaneApi::Sim
