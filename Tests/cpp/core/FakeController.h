#pragma once
// The controller side of a connection test, driven step by step from a test
// thread over a loopback socket: the token table download, the VERSION and
// CONTROL queries, then whatever the test scripts. Every wait is bounded.

#include "Loopback.h"
#include "support/TokenTableText.h"

#include <string>

namespace Vantrel::HolvaneApi::CoreTesting {

class FakeController {
public:
    FakeController();

    uint16_t port() const { return _listener.port(); }
    Testing::TokenTableText& table() { return _table; }
    PeerSocket& peer() { return _peer; }

    // Accepts the connection and checks the table request (00 c8).
    bool acceptAndExpectTableRequest(int timeout_ms = 5000);
    // Sends the table text (all of it, or stops before "[EOT]").
    bool sendTable(bool complete = true);
    // Reads one system-variable request for `name` and answers it with TMS320
    // numbers, as every controller does before the format is settled.
    bool answerSysVar(const std::string& name, double value, double status = 0.0);
    // The whole connect sequence.
    bool handshake(double version, double type);

    // Request bytes as the plug-in sends them after the handshake.
    Bytes sysVarRequest(const std::string& name) const;
    // A number in the settled format.
    Bytes number(double value) const;
    Bytes reply(double value, double status = 0.0) const;

    bool expect(const Bytes& request, int timeout_ms = 5000);
    bool send(const Bytes& bytes) { return _peer.sendAll(bytes); }

    // Accepts a further connection (after the plug-in reconnected).
    bool acceptAgain(int timeout_ms = 5000);

    bool ieee() const { return _ieee; }

private:
    Listener _listener;
    PeerSocket _peer;
    Testing::TokenTableText _table;
    bool _ieee = false;
};

} // namespace Vantrel::HolvaneApi::CoreTesting
