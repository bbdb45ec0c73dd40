#include "DelayProxy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>

namespace Vantrel::HolvaneApi::Bench {

namespace {

using Clock = std::chrono::steady_clock;

// The last stretch of a delay is waited out on the clock: a sleep ends up
// to a wake-up's latency late, which would add to the delay's jitter.
constexpr auto SpinBefore = std::chrono::microseconds(20);

void noDelay(int fd)
{
    // The proxy adds the set delay and nothing else of its own.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Bytes carry the time they reached the socket, so that a reader that
    // wakes late does not delay them further.
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
}

// When the bytes of one receive reached the socket, on the steady clock;
// now when the system gives no time stamp.
Clock::time_point arrivedAt(msghdr& message)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        const auto wall = std::chrono::system_clock::now();
        const auto steady = Clock::now();
        const auto since =
            wall.time_since_epoch() - (std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec));
        // A stamp from the future (the wall clock stepped) counts as now.
        return since.count() > 0 ? steady - std::chrono::duration_cast<Clock::duration>(since) : steady;
    }
    return Clock::now();
}

bool resolve(const std::string& host, uint16_t port, sockaddr_in& address)
{
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1;
}

} // namespace

// One forwarded connection: two directions, each a reader thread that stamps
// what arrives and a writer thread that sends it once its time has come.
struct DelayProxy::Link {
    struct Direction {
        int from = -1;
        int to = -1;
        std::chrono::microseconds delay{0};
        const std::atomic<bool>* stop = nullptr;
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::pair<Clock::time_point, std::vector<char>>> chunks;
        bool ended = false; // the reader saw the end of the stream
        std::thread reader;
        std::thread writer;

        void read()
        {
            char buffer[65536];
            for (;;) {
                pollfd p{from, POLLIN, 0};
                const int ready_count = ::poll(&p, 1, 100);
                if (stop->load())
                    break;
                if (ready_count <= 0)
                    continue;
                iovec part{buffer, sizeof buffer};
                alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
                msghdr message{};
                message.msg_iov = &part;
                message.msg_iovlen = 1;
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                const ssize_t n = ::recvmsg(from, &message, 0);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                const Clock::time_point due = arrivedAt(message) + delay;
                std::lock_guard<std::mutex> lock(mutex);
                chunks.emplace_back(due, std::vector<char>(buffer, buffer + n));
                ready.notify_one();
            }
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
            ready.notify_one();
        }

        void write()
        {
            for (;;) {
                std::pair<Clock::time_point, std::vector<char>> chunk;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    ready.wait(lock, [this] { return !chunks.empty() || ended; });
                    if (chunks.empty())
                        break;
                    chunk = std::move(chunks.front());
                    chunks.pop_front();
                }
                std::this_thread::sleep_until(chunk.first - SpinBefore);
                while (Clock::now() < chunk.first)
                    continue;
                size_t sent = 0;
                while (sent < chunk.second.size()) {
                    const ssize_t n = ::send(to, chunk.second.data() + sent, chunk.second.size() - sent, MSG_NOSIGNAL);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0) {
                        ::shutdown(from, SHUT_RDWR); // the other end is gone: end this direction
                        return;
                    }
                    sent += static_cast<size_t>(n);
                }
            }
            // The end of the stream travels with the same delay as the bytes.
            ::shutdown(to, SHUT_WR);
        }
    };

    Link(int client, int server, std::chrono::microseconds delay, const std::atomic<bool>& stop)
        : client(client), server(server)
    {
        for (Direction* d : {&up, &down}) {
            d->delay = delay;
            d->stop = &stop;
        }
        up.from = client;
        up.to = server;
        down.from = server;
        down.to = client;
        for (Direction* d : {&up, &down}) {
            d->reader = std::thread([d] { d->read(); });
            d->writer = std::thread([d] { d->write(); });
        }
    }
    ~Link()
    {
        ::shutdown(client, SHUT_RDWR);
        ::shutdown(server, SHUT_RDWR);
        for (Direction* d : {&up, &down}) {
            d->reader.join();
            d->writer.join();
        }
        ::close(client);
        ::close(server);
    }

    int client;
    int server;
    Direction up;   // client to controller
    Direction down; // controller to client
};

DelayProxy::DelayProxy(std::string listenHost, uint16_t listenPort, std::string targetHost, uint16_t targetPort,
                       std::chrono::microseconds delay)
    : _listenHost(std::move(listenHost)), _listenPort(listenPort), _targetHost(std::move(targetHost)),
      _targetPort(targetPort), _delay(delay)
{
}

DelayProxy::~DelayProxy() { stop(); }

std::string DelayProxy::start()
{
    sockaddr_in address{};
    if (!resolve(_listenHost, _listenPort, address))
        return "not an IPv4 address: " + _listenHost;
    _listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (_listener < 0)
        return std::string("socket: ") + std::strerror(errno);
    int one = 1;
    ::setsockopt(_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(_listener, 64) != 0) {
        const std::string error = std::strerror(errno);
        ::close(_listener);
        _listener = -1;
        return "cannot listen on " + _listenHost + ":" + std::to_string(_listenPort) + ": " + error;
    }
    socklen_t length = sizeof address;
    ::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length);
    _boundPort = ntohs(address.sin_port);
    _acceptor = std::thread([this] { acceptLoop(); });
    return {};
}

void DelayProxy::acceptLoop()
{
    while (!_stop.load()) {
        pollfd p{_listener, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const int client = ::accept(_listener, nullptr, nullptr);
        if (client < 0)
            continue;
        sockaddr_in target{};
        resolve(_targetHost, _targetPort, target);
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
            if (server >= 0)
                ::close(server);
            ::close(client);
            continue;
        }
        noDelay(client);
        noDelay(server);
        std::lock_guard<std::mutex> lock(_linksMutex);
        _links.push_back(std::make_unique<Link>(client, server, _delay, _stop));
    }
}

void DelayProxy::stop()
{
    _stop.store(true);
    if (_acceptor.joinable())
        _acceptor.join();
    std::lock_guard<std::mutex> lock(_linksMutex);
    _links.clear();
    if (_listener >= 0) {
        ::close(_listener);
        _listener = -1;
    }
}

} // namespace Vantrel::HolvaneApi::Bench
