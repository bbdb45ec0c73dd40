#pragma once
// A minimal controller on 127.0.0.1 for the fuzz targets that must drive the
// real connection: it serves a fixed token table and the VERSION / CONTROL
// answers of the connect sequence, then answers the next request with the
// fuzzer's bytes and ends the link. Every wait is bounded, so one execution
// can never hang.

#include "Connection/Port/TCP/Connection_TCP.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace Vantrel::HolvaneApi::Fuzz {

enum class Ending {
    Close, // orderly shutdown of the sending side, then wait for the host to go
    Reset, // abortive close: the host sees a connection reset
};

class FuzzController {
public:
    FuzzController();
    ~FuzzController();
    FuzzController(const FuzzController&) = delete;
    FuzzController& operator=(const FuzzController&) = delete;

    uint16_t port() const { return _port; }
    // A connection aimed at this controller, trace off, not yet connected.
    std::unique_ptr<Connection_TCP> makeConnection(EventCallback callback = {}) const;

    // Serves one connection on a thread. With `at_version` the bytes answer
    // the VERSION query instead of the first request after the connect
    // sequence. `tms320` chooses the controller type (TMS320 or IEEE 64).
    void serve(bool tms320, bool at_version, std::string reply, Ending ending);
    // Waits for the serving thread (it ends by itself within its bounds).
    void finish();

private:
    void run(bool tms320, bool at_version, std::string reply, Ending ending);

    int _listen = -1;
    uint16_t _port = 0;
    std::thread _thread;
};

} // namespace Vantrel::HolvaneApi::Fuzz
