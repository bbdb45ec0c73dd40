#pragma once

#include "HolvaneSim/FaultPlan.h"
#include "HolvaneSim/RequestHandler.h"
#include "HolvaneSim/RequestParser.h"
#include "HolvaneSim/ValueListWriter.h"

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Sim {

class SimServer;

// One client connection: reads the socket in large chunks, answers every
// complete request in order and sends the replies batched into one send.
class SimSession {
public:
    // Requests parsed but not yet answered (queued behind a value list).
    static constexpr size_t kMaxPendingRequests = 8192;

    SimSession(SimServer& server, int fd, const FaultPlan& faults);
    ~SimSession();
    SimSession(const SimSession&) = delete;
    SimSession& operator=(const SimSession&) = delete;

    void run();
    // Wakes a blocked receive; called by the server while stopping.
    void interrupt();

private:
    enum class Extracted { Drained, Full, Fatal };

    bool receive();
    Extracted extract();
    bool process();
    bool flush(bool allowDrip = true);
    void respectListGrace();
    void closeConnection();

    SimServer& _server;
    int _fd;
    FaultPlan _faults;
    RequestParser _parser;
    RequestHandler _handler;
    WireFormat _format = kHandshakeFormat;
    bool _tableRequested = false;
    std::vector<uint8_t> _in;
    size_t _inStart = 0;
    size_t _inEnd = 0;
    std::deque<ParsedRequest> _pending;
    ParsedRequest _scratch;
    std::string _out;
    std::unique_ptr<ValueListWriter> _list;
    size_t _acks = 0;
    int64_t _requests = 0;
    bool _silent = false;
    bool _closing = false;
    std::chrono::steady_clock::time_point _listEnded{};
    // With an arrival log: when the last receive returned, and the lines of
    // the requests it completed, written once they are all parsed.
    int64_t _receivedNs = 0;
    std::string _arrivals;
};

} // namespace Vantrel::HolvaneApi::Sim
