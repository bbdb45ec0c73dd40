#pragma once
// A scripted controller on 127.0.0.1 for byte-exact tests. It accepts one
// connection, serves the token table download and the VERSION / CONTROL
// queries of the connect sequence, then runs a script of steps appended by the
// test: expect exact request bytes (recorded for assertions), send reply bytes
// (whole, in delayed pieces, or not at all), close. Every wait is bounded and
// the destructor stops and joins the thread.

#include "support/TokenTableText.h"
#include "support/WireFormat.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Vantrel::HolvaneApi::Testing {

struct ControllerProfile {
    TokenTableText table = TokenTableText::standard();
    double controllerType = 400; // an IEEE 64-bit controller
    double version = 2.0;

    static ControllerProfile tms320(double version = 2.0) { return {TokenTableText::standard(), 206, version}; }
    static ControllerProfile ieee64() { return {TokenTableText::standard(), 400, 2.0}; }

    NumberFormat format() const;
    bool escaping() const;
    Wire wire() const { return Wire(table, format(), escaping()); }
};

class FakePeer {
public:
    // Looks at the bytes received and not yet answered; when they hold
    // something to answer, removes what it answers from `pending`, sets
    // `reply` and returns true (an empty reply answers nothing and is not
    // counted). Returns false to wait for more bytes.
    using Responder = std::function<bool(Bytes& pending, Bytes& reply)>;

    explicit FakePeer(ControllerProfile profile = ControllerProfile::ieee64());
    ~FakePeer();
    FakePeer(const FakePeer&) = delete;
    FakePeer& operator=(const FakePeer&) = delete;

    uint16_t port() const { return _port; }
    const ControllerProfile& profile() const { return _profile; }
    Wire wire() const { return _profile.wire(); }

    // Script steps, run in order on the peer's thread.
    FakePeer& expect(const Bytes& request, const std::string& label = {});
    FakePeer& expectAny(size_t count);
    FakePeer& send(const Bytes& reply);
    FakePeer& sendPieces(const std::vector<Bytes>& pieces, int delay_ms);
    FakePeer& pause(int ms);
    // Fails the script if any byte arrives within `ms`.
    FakePeer& expectSilence(int ms);
    FakePeer& closeClient();
    // Answers requests through `responder` until `requests` were answered.
    FakePeer& serve(size_t requests, Responder responder);

    // Waits until every appended step has run (bounded); false on time-out.
    bool waitDone(int timeout_ms = 15000);
    std::vector<std::string> failures() const;
    std::vector<Bytes> received() const; // one entry per expect / expectAny step
    Bytes allReceived() const;           // every byte after the connect sequence
    bool handshakeDone() const { return _handshakeDone.load(); }

    int stepTimeoutMs = 12000;

private:
    struct Step {
        enum Kind { Expect, ExpectAny, Send, Pause, Silence, Close, Serve } kind;
        Bytes bytes;
        std::vector<Bytes> pieces;
        size_t count = 0;
        int ms = 0;
        std::string label;
        Responder responder;
    };

    FakePeer& push(Step step);
    void run();
    bool acceptClient();
    bool handshake();
    bool readExact(size_t count, Bytes& out, int timeout_ms);
    bool writeAll(const Bytes& bytes);
    void fail(const std::string& why);
    void runStep(Step& step);

    ControllerProfile _profile;
    int _listen = -1;
    int _client = -1;
    uint16_t _port = 0;
    std::atomic<bool> _stop{false};
    std::atomic<bool> _handshakeDone{false};

    mutable std::mutex _mutex;
    std::condition_variable _cv;
    std::deque<Step> _steps;
    size_t _appended = 0;
    size_t _finished = 0;
    std::vector<std::string> _failures;
    std::vector<Bytes> _received;
    Bytes _all;

    std::thread _thread;
};

} // namespace Vantrel::HolvaneApi::Testing
