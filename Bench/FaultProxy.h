#pragma once
// A TCP forwarding proxy that injects link faults on command: resets, black
// holes, delayed, split and dripped replies, and outages in which it refuses
// connections. It runs one event loop on one thread, so a fault lands exactly
// where it is aimed: at the next request that arrives, or at the reply to it.

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Bench {

// What an armed fault does to the request that sets it off.
enum class FaultKind {
    None,
    ResetOnRequest,   // the request is dropped and the client's link reset
    ResetOnReply,     // the request goes through; `bytes` of its reply, then a reset
    BlackholeRequest, // the request and all later bytes vanish both ways; the link stays open
    BlackholeReply,   // requests go through, every reply vanishes; the link stays open
    Delay,            // the reply is held `micros`
    Split,            // the reply is cut into `pieces` at random points, `micros` apart
    Drip,             // the next `bytes` of reply travel one by one, `micros` apart
};

struct Fault {
    FaultKind kind = FaultKind::None;
    int64_t bytes = 0;
    int64_t micros = 0;
    int64_t pieces = 0;
    uint64_t cutPattern = 0; // where a split cuts: the same number, the same cut points
};

class FaultProxy {
public:
    using Clock = std::chrono::steady_clock;

    FaultProxy(std::string listenHost, uint16_t listenPort, std::string targetHost, uint16_t targetPort);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    // Binds and listens; an error text, empty on success.
    std::string start();
    uint16_t port() const { return _boundPort; }

    // Serves until the control input ends or says "quit": one command per
    // line from `controlFd`, one answer line each to `answerFd`.
    void run(int controlFd, int answerFd);

    // Carries out one command line and returns its answer (see
    // holvane_fault_proxy --help for the commands).
    std::string command(const std::string& line);

private:
    struct Piece {
        Clock::time_point due;
        std::string bytes;
        size_t sent = 0;
        bool resetAfter = false; // the link is reset once this piece is out
        bool endsFault = false;  // the armed fault stops acting once this piece is out
    };
    struct Link {
        int client = -1;
        int server = -1;
        std::deque<Piece> toServer;
        std::deque<Piece> toClient;
        bool swallowRequests = false;
        bool swallowReplies = false;
        bool serverEnded = false; // the controller closed its end: close after the last piece
        uint64_t faultSerial = 0; // the fault that acts on this link (0: none)
        Fault replyFault;         // what the next reply bytes meet
        int64_t dripLeft = 0;
        Clock::time_point lastDue{};
    };
    using LinkIt = std::list<Link>::iterator;

    void acceptOne();
    // Both false when the link has been closed.
    bool fromClient(LinkIt link);
    bool fromServer(LinkIt link);
    void queueReply(Link& link, std::string bytes);
    // Sends what is due; false when the link has been closed.
    bool flush(LinkIt link);
    bool flushDirection(LinkIt link, std::deque<Piece>& queue, int fd);
    void closeLink(LinkIt link, bool resetClient);
    // Notes when the fault numbered `serial` stopped acting, if it is the current one.
    void endFault(uint64_t serial);
    // A fault that starts now, set off by a command rather than by a request.
    void startFault();
    // Reply faults that have not met their bytes yet are dropped; the fault
    // ends now unless it still holds bytes back or keeps a link black-holed.
    void settle();
    std::string openListener();
    void closeListener();
    int pollTimeoutMicros() const;

    const std::string _listenHost;
    uint16_t _listenPort;
    const std::string _targetHost;
    const uint16_t _targetPort;
    int _listener = -1;
    uint16_t _boundPort = 0;
    std::list<Link> _links;
    Fault _armed;
    uint64_t _faultSerial = 0; // numbers every fault armed or started
    bool _fired = false;
    int64_t _firedAt = 0;
    int64_t _endedAt = 0;
    uint64_t _accepted = 0;
    uint64_t _refused = 0; // accepted while the controller could not be reached
    bool _quit = false;
};

} // namespace Vantrel::HolvaneApi::Bench
