#pragma once
// The connections and simulators the tests start on 127.0.0.1.

#include "Connection/Port/TCP/Connection_TCP.h"

#ifdef HOLVANE_HAVE_SIM
#include "HolvaneSim/SimServer.h"
#endif

#include <cstdint>
#include <memory>

namespace Vantrel::HolvaneApi::Testing {

// A loopback port with nothing listening on it.
uint16_t closedPort();

// Aims a connection, however it was made, at `host`:`port` with tracing off.
void aimAt(IConnection& connection, uint16_t port, const char* host = "127.0.0.1");

// A TCP connection aimed at `host`:`port` with tracing off, not yet connected.
std::unique_ptr<Connection_TCP> makeConnection(uint16_t port, EventCallback callback = {},
                                               const char* host = "127.0.0.1");

#ifdef HOLVANE_HAVE_SIM
// A simulator running in-process on a free port.
std::unique_ptr<Sim::SimServer> startSim(Sim::SimConfig config = {});
#endif

} // namespace Vantrel::HolvaneApi::Testing
