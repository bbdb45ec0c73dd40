#pragma once

#include "HolvaneSim/ArrivalLog.h"
#include "HolvaneSim/ControllerState.h"
#include "HolvaneSim/FaultPlan.h"
#include "HolvaneSim/Keywords.h"
#include "HolvaneSim/TokenTable.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Vantrel::HolvaneApi::Sim {

struct SimConfig {
    std::string host = "127.0.0.1";
    uint16_t port = 3240; // 0 picks a free port
    uint16_t zeroToken = TokenTable::kDefaultZero;
    uint16_t extendedToken = TokenTable::kDefaultExtended;
    StateConfig state; // sizes, controller type and version
    FaultPlan faults;
    size_t maxConnections = 512;
    // Pause after the last chunk of a value list before the next reply. The
    // host reads each chunk with one read of up to 256 bytes and drops what
    // else that read brings; full-size chunks already keep the next reply out
    // of it, so this only matters for hosts whose reads fall out of step.
    uint32_t listGraceMicros = 0;
    // File to which every applied change is appended (WriteLog); empty: none.
    std::string writeLogPath;
    // When set, every request received is logged to this file (ArrivalLog).
    std::string arrivalLog;
};

class SimSession;

// The simulated controller: a TCP listener with one thread per connection,
// all sharing one ControllerState.
class SimServer {
public:
    explicit SimServer(SimConfig config);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds and starts accepting; throws std::system_error when it cannot.
    void start();
    // Closes the listener and every connection, and joins their threads.
    void stop();
    uint16_t port() const { return _boundPort; }
    const std::string& host() const { return _config.host; }

    // Applies to connections accepted from now on.
    void setFaults(const FaultPlan& faults);

    ControllerState& state() { return _state; }
    // The record of applied changes (SimConfig::writeLogPath); null without one.
    std::shared_ptr<WriteLog> writeLog() { return _state.writeLog(); }
    const TokenTable& tokenTable() const { return _table; }
    const Keywords& keywords() const { return _keywords; }
    const SimConfig& config() const { return _config; }
    size_t activeConnections() const { return _active.load(); }
    // Null unless the configuration names a file.
    ArrivalLog* arrivalLog() { return _arrivalLog.get(); }

    // Waits up to `micros`, returning early when the server stops. True if stopping.
    bool pause(uint64_t micros);
    bool stopping() const { return _stopping.load(); }

private:
    struct Worker {
        std::unique_ptr<SimSession> session;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void acceptLoop();
    void reapFinished(bool all);

    SimConfig _config;
    TokenTable _table;
    Keywords _keywords;
    ControllerState _state;
    int _listenFd = -1;
    int _wakePipe[2] = {-1, -1};
    uint16_t _boundPort = 0;
    std::thread _acceptThread;
    std::atomic<bool> _stopping{false};
    std::atomic<size_t> _active{0};
    mutable std::mutex _mutex; // guards _faults and _workers
    FaultPlan _faults;
    std::list<Worker> _workers;
    std::unique_ptr<ArrivalLog> _arrivalLog;
    std::mutex _pauseMutex;
    std::condition_variable _pauseCv;
};

} // namespace Vantrel::HolvaneApi::Sim
