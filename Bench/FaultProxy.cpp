#include "FaultProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <random>
#include <sstream>
#include <system_error>

namespace Vantrel::HolvaneApi::Bench {

namespace {

using Clock = FaultProxy::Clock;

int64_t nanos(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

bool toAddress(const std::string& host, uint16_t port, sockaddr_in& address)
{
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
}

void tune(int fd)
{
    // Every piece leaves as its own segment, and nothing waits for more.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void resetAndClose(int fd)
{
    // A zero linger time makes close() send RST instead of FIN.
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

bool parseFault(std::istringstream& in, Fault& fault)
{
    std::string kind;
    in >> kind;
    if (kind == "reset-request")
        fault.kind = FaultKind::ResetOnRequest;
    else if (kind == "reset-reply" && in >> fault.bytes)
        fault.kind = FaultKind::ResetOnReply;
    else if (kind == "blackhole-request")
        fault.kind = FaultKind::BlackholeRequest;
    else if (kind == "blackhole-reply")
        fault.kind = FaultKind::BlackholeReply;
    else if (kind == "delay" && in >> fault.micros)
        fault.kind = FaultKind::Delay;
    else if (kind == "split" && in >> fault.pieces >> fault.micros >> fault.cutPattern)
        fault.kind = FaultKind::Split;
    else if (kind == "drip" && in >> fault.micros >> fault.bytes)
        fault.kind = FaultKind::Drip;
    else
        return false;
    std::string extra;
    return !(in >> extra) && fault.bytes >= 0 && fault.micros >= 0 && fault.pieces >= 0;
}

} // namespace

FaultProxy::FaultProxy(std::string listenHost, uint16_t listenPort, std::string targetHost, uint16_t targetPort)
    : _listenHost(std::move(listenHost)), _listenPort(listenPort), _targetHost(std::move(targetHost)),
      _targetPort(targetPort)
{
}

FaultProxy::~FaultProxy()
{
    while (!_links.empty())
        closeLink(_links.begin(), false);
    closeListener();
}

std::string FaultProxy::start()
{
    sockaddr_in target{};
    if (!toAddress(_targetHost, _targetPort, target))
        return "not an IPv4 address: " + _targetHost;
    return openListener();
}

std::string FaultProxy::openListener()
{
    sockaddr_in address{};
    if (!toAddress(_listenHost, _listenPort, address))
        return "not an IPv4 address: " + _listenHost;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "socket: " + std::generic_category().message(errno);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0) {
        const std::string error = std::generic_category().message(errno);
        ::close(fd);
        return "cannot listen on " + _listenHost + ":" + std::to_string(_listenPort) + ": " + error;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    _boundPort = ntohs(address.sin_port);
    _listenPort = _boundPort; // an outage ends on the same port
    _listener = fd;
    return {};
}

void FaultProxy::closeListener()
{
    if (_listener >= 0) {
        ::close(_listener);
        _listener = -1;
    }
}

void FaultProxy::acceptOne()
{
    const int client = ::accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    ++_accepted;
    sockaddr_in target{};
    toAddress(_targetHost, _targetPort, target);
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
        // The controller is not there: the client learns it at once.
        if (server >= 0)
            ::close(server);
        resetAndClose(client);
        ++_refused;
        return;
    }
    tune(client);
    tune(server);
    Link& link = _links.emplace_back();
    link.client = client;
    link.server = server;
}

void FaultProxy::endFault(uint64_t serial)
{
    if (serial == _faultSerial && _fired && _endedAt == 0)
        _endedAt = nanos(Clock::now());
}

void FaultProxy::startFault()
{
    _armed = Fault{};
    ++_faultSerial;
    _fired = true;
    _firedAt = nanos(Clock::now());
    _endedAt = 0;
}

void FaultProxy::settle()
{
    bool acting = false;
    for (Link& link : _links) {
        if (link.faultSerial != _faultSerial)
            continue;
        if (link.replyFault.kind == FaultKind::Drip && !link.toClient.empty())
            link.toClient.back().endsFault = true; // the drip ends with what it has already taken
        link.replyFault = Fault{};
        link.dripLeft = 0;
        const bool pieceOwed =
            std::any_of(link.toClient.begin(), link.toClient.end(), [](const Piece& piece) { return piece.endsFault; });
        acting = acting || pieceOwed || link.swallowReplies;
    }
    if (!acting)
        endFault(_faultSerial);
}

void FaultProxy::closeLink(LinkIt link, bool resetClient)
{
    if (link->faultSerial != 0)
        endFault(link->faultSerial); // a fault that lasts as long as its link
    if (resetClient)
        resetAndClose(link->client);
    else
        ::close(link->client);
    ::close(link->server);
    _links.erase(link);
}

bool FaultProxy::fromClient(LinkIt link)
{
    char buffer[65536];
    const ssize_t n = ::recv(link->client, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n <= 0) {
        closeLink(link, false); // the client is gone: nothing more is owed to it
        return false;
    }
    if (link->swallowRequests)
        return true;
    if (_armed.kind != FaultKind::None) {
        const Fault fault = _armed;
        _armed = Fault{};
        _fired = true;
        _firedAt = nanos(Clock::now());
        link->faultSerial = _faultSerial;
        switch (fault.kind) {
        case FaultKind::ResetOnRequest: closeLink(link, true); return false;
        case FaultKind::BlackholeRequest: link->swallowRequests = link->swallowReplies = true; return true;
        case FaultKind::BlackholeReply: link->swallowReplies = true; break;
        default:
            link->replyFault = fault;
            link->dripLeft = fault.bytes;
            break;
        }
    }
    link->toServer.push_back(Piece{Clock::now(), std::string(buffer, static_cast<size_t>(n))});
    return flush(link);
}

bool FaultProxy::fromServer(LinkIt link)
{
    char buffer[65536];
    const ssize_t n = ::recv(link->server, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (n < 0) {
        closeLink(link, true); // the controller reset its end: so does the client's
        return false;
    }
    if (n == 0) {
        link->serverEnded = true;
        return flush(link);
    }
    queueReply(*link, std::string(buffer, static_cast<size_t>(n)));
    return flush(link);
}

void FaultProxy::queueReply(Link& link, std::string bytes)
{
    if (link.swallowReplies)
        return;
    const Clock::time_point now = Clock::now();
    auto push = [&](Clock::time_point due, std::string piece, bool endsFault, bool resetAfter = false) {
        // Pieces leave in order: none before the one queued ahead of it.
        due = std::max(due, link.lastDue);
        link.lastDue = due;
        link.toClient.push_back(Piece{due, std::move(piece), 0, resetAfter, endsFault});
    };
    const Fault fault = link.replyFault;
    switch (fault.kind) {
    case FaultKind::ResetOnReply: {
        bytes.resize(std::min(bytes.size(), static_cast<size_t>(fault.bytes)));
        push(now, std::move(bytes), true, true);
        link.swallowReplies = true; // the rest never reaches the client
        break;
    }
    case FaultKind::Delay: push(now + std::chrono::microseconds(fault.micros), std::move(bytes), true); break;
    case FaultKind::Split: {
        const size_t pieces = std::max<size_t>(1, std::min(bytes.size(), static_cast<size_t>(fault.pieces)));
        std::vector<size_t> cuts(bytes.size() > 1 ? bytes.size() - 1 : 0);
        std::iota(cuts.begin(), cuts.end(), size_t{1});
        std::mt19937_64 random(fault.cutPattern);
        std::shuffle(cuts.begin(), cuts.end(), random);
        cuts.resize(pieces - 1);
        std::sort(cuts.begin(), cuts.end());
        cuts.push_back(bytes.size());
        size_t from = 0;
        for (size_t i = 0; i < cuts.size(); ++i) {
            push(now + std::chrono::microseconds(fault.micros * static_cast<int64_t>(i)),
                 bytes.substr(from, cuts[i] - from), i + 1 == cuts.size());
            from = cuts[i];
        }
        break;
    }
    case FaultKind::Drip: {
        size_t at = 0;
        for (; at < bytes.size() && link.dripLeft > 0; ++at) {
            const bool first = link.dripLeft == fault.bytes;
            --link.dripLeft;
            const auto due = first ? now : link.lastDue + std::chrono::microseconds(fault.micros);
            push(due, bytes.substr(at, 1), link.dripLeft == 0);
        }
        if (link.dripLeft > 0)
            return; // the drip goes on into the next bytes
        if (at < bytes.size())
            push(now, bytes.substr(at), false);
        break;
    }
    default: push(now, std::move(bytes), false); return;
    }
    link.replyFault = Fault{};
}

bool FaultProxy::flushDirection(LinkIt link, std::deque<Piece>& queue, int fd)
{
    const Clock::time_point now = Clock::now();
    while (!queue.empty() && queue.front().due <= now) {
        Piece& piece = queue.front();
        while (piece.sent < piece.bytes.size()) {
            const ssize_t n =
                ::send(fd, piece.bytes.data() + piece.sent, piece.bytes.size() - piece.sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return true; // the rest when the socket takes more
            if (n <= 0) {
                closeLink(link, fd == link->server);
                return false;
            }
            piece.sent += static_cast<size_t>(n);
        }
        if (piece.endsFault)
            endFault(link->faultSerial);
        if (piece.resetAfter) {
            closeLink(link, true);
            return false;
        }
        queue.pop_front();
    }
    return true;
}

bool FaultProxy::flush(LinkIt link)
{
    if (!flushDirection(link, link->toServer, link->server) || !flushDirection(link, link->toClient, link->client))
        return false;
    if (link->serverEnded && link->toClient.empty()) {
        closeLink(link, false); // the controller's close reaches the client after its last byte
        return false;
    }
    return true;
}

int FaultProxy::pollTimeoutMicros() const
{
    // Until the earliest piece that is not yet due; -1 (none) waits for input.
    const Clock::time_point now = Clock::now();
    int64_t wait = -1;
    for (const Link& link : _links) {
        for (const auto* queue : {&link.toServer, &link.toClient}) {
            if (queue->empty())
                continue;
            const int64_t until = std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::microseconds>(queue->front().due - now).count());
            wait = wait < 0 ? until : std::min(wait, until);
        }
    }
    return static_cast<int>(std::min<int64_t>(wait, 60'000'000));
}

std::string FaultProxy::command(const std::string& line)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    std::ostringstream answer;
    if (verb == "arm") {
        Fault fault;
        if (!parseFault(in, fault))
            return "error bad fault: " + line;
        _armed = fault;
        ++_faultSerial;
        _fired = false;
        _firedAt = _endedAt = 0;
        return "ok";
    }
    if (verb == "disarm") {
        _armed = Fault{};
        return "ok";
    }
    if (verb == "settle") {
        settle();
        return "ok";
    }
    if (verb == "status") {
        answer << "ok fired=" << (_fired ? 1 : 0) << " fired_at=" << _firedAt << " ended_at=" << _endedAt;
        return answer.str();
    }
    if (verb == "reset" || verb == "down") {
        // reset: every link is reset at once. down: the controller goes
        // away, closing its links, and refuses connections until "up".
        const size_t count = _links.size();
        const bool reset = verb == "reset";
        startFault();
        while (!_links.empty())
            closeLink(_links.begin(), reset);
        if (reset)
            endFault(_faultSerial);
        else
            closeListener();
        answer << "ok " << count;
        return answer.str();
    }
    if (verb == "up") {
        if (_listener >= 0)
            return "ok";
        const std::string error = openListener();
        if (!error.empty())
            return "error " + error;
        endFault(_faultSerial); // the outage is over
        return "ok";
    }
    if (verb == "stats") {
        answer << "ok accepted=" << _accepted << " refused=" << _refused << " links=" << _links.size();
        return answer.str();
    }
    if (verb == "quit") {
        _quit = true;
        return "ok";
    }
    return "error unknown command: " + line;
}

void FaultProxy::run(int controlFd, int answerFd)
{
    std::string input;
    std::vector<pollfd> fds;
    std::vector<LinkIt> polled;
    while (!_quit) {
        fds.clear();
        polled.clear();
        fds.push_back({controlFd, POLLIN, 0});
        fds.push_back({_listener, static_cast<short>(_listener >= 0 ? POLLIN : 0), 0});
        const Clock::time_point now = Clock::now();
        for (auto it = _links.begin(); it != _links.end(); ++it) {
            // POLLOUT only for a due piece the socket did not take at once.
            const bool upBlocked = !it->toServer.empty() && it->toServer.front().due <= now;
            const bool downBlocked = !it->toClient.empty() && it->toClient.front().due <= now;
            fds.push_back({it->client, static_cast<short>(POLLIN | (downBlocked ? POLLOUT : 0)), 0});
            // A controller that has closed its end has nothing more to read.
            const short serverIn = it->serverEnded ? 0 : POLLIN;
            fds.push_back({it->server, static_cast<short>(serverIn | (upBlocked ? POLLOUT : 0)), 0});
            polled.push_back(it);
        }
        const int waitMicros = pollTimeoutMicros();
        timespec timeout{waitMicros / 1'000'000, (waitMicros % 1'000'000) * 1000L};
        if (::ppoll(fds.data(), fds.size(), waitMicros < 0 ? nullptr : &timeout, nullptr) < 0 && errno != EINTR)
            break;

        for (size_t i = 0; i < polled.size(); ++i) {
            const short clientEvents = fds[2 + 2 * i].revents;
            const short serverEvents = fds[3 + 2 * i].revents;
            const LinkIt link = polled[i];
            if ((clientEvents & (POLLIN | POLLHUP | POLLERR)) != 0 && !fromClient(link))
                continue;
            if (!link->serverEnded && (serverEvents & (POLLIN | POLLHUP | POLLERR)) != 0 && !fromServer(link))
                continue;
        }
        for (auto it = _links.begin(); it != _links.end();) {
            const auto next = std::next(it);
            flush(it);
            it = next;
        }
        if ((fds[1].revents & POLLIN) != 0)
            acceptOne();
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char buffer[4096];
            const ssize_t n = ::read(controlFd, buffer, sizeof buffer);
            if (n <= 0)
                break; // the controlling program is gone
            input.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = input.find('\n')) != std::string::npos;) {
                const std::string reply = command(input.substr(0, end)) + "\n";
                input.erase(0, end + 1);
                for (size_t sent = 0; sent < reply.size();) {
                    const ssize_t w = ::write(answerFd, reply.data() + sent, reply.size() - sent);
                    if (w <= 0 && errno != EINTR)
                        return;
                    sent += w > 0 ? static_cast<size_t>(w) : 0;
                }
            }
        }
    }
}

} // namespace Vantrel::HolvaneApi::Bench
