#include "FloorPingPong.h"

#include "BlockingIo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Vantrel::HolvaneApi::Bench {
namespace {

class Socket {
public:
    explicit Socket(int fd = -1) : _fd(fd) {}
    ~Socket() { reset(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : _fd(other._fd) { other._fd = -1; }
    Socket& operator=(Socket&& other) noexcept
    {
        if (this != &other) {
            reset();
            _fd = other._fd;
            other._fd = -1;
        }
        return *this;
    }
    int fd() const { return _fd; }
    void reset()
    {
        if (_fd >= 0)
            ::close(_fd);
        _fd = -1;
    }

private:
    int _fd;
};

[[noreturn]] void fail(const char* what)
{
    throw std::runtime_error(std::string(what) + " failed, errno " + std::to_string(errno));
}

void setNoDelay(int fd)
{
    const int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        fail("setsockopt(TCP_NODELAY)");
}

// Waits for each 8-byte piece with poll, then takes it with a non-blocking
// receive: the system calls the plug-in makes for a simple reply.
bool recvInPieces(int fd, char* data, size_t size)
{
    while (size > 0) {
        const size_t piece = size < 8 ? size : 8;
        size_t got = 0;
        while (got < piece) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 10000) <= 0)
                return false;
            const ssize_t n = ::recv(fd, data + got, piece - got, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return false;
            if (n > 0)
                got += static_cast<size_t>(n);
        }
        data += piece;
        size -= piece;
    }
    return true;
}

// A connected pair of loopback sockets, both with TCP_NODELAY.
struct LoopbackPair {
    Socket client;
    Socket server;
};

LoopbackPair connectLoopback()
{
    Socket listener(::socket(AF_INET, SOCK_STREAM, 0));
    if (listener.fd() < 0)
        fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listener.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail("bind");
    if (::listen(listener.fd(), 1) != 0)
        fail("listen");
    socklen_t length = sizeof address;
    if (::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail("getsockname");

    LoopbackPair pair;
    pair.client = Socket(::socket(AF_INET, SOCK_STREAM, 0));
    if (pair.client.fd() < 0)
        fail("socket");
    if (::connect(pair.client.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail("connect");
    pair.server = Socket(::accept(listener.fd(), nullptr, nullptr));
    if (pair.server.fd() < 0)
        fail("accept");
    setNoDelay(pair.client.fd());
    setNoDelay(pair.server.fd());
    return pair;
}

} // namespace

struct FloorPingPong::Impl {
    LoopbackPair pair;
    std::thread server;
    std::vector<char> request;
    std::vector<char> reply;
};

FloorPingPong::FloorPingPong(size_t requestBytes, size_t replyBytes) : _impl(std::make_unique<Impl>())
{
    _impl->pair = connectLoopback();
    _impl->request.assign(requestBytes, '\x2a');
    _impl->reply.assign(replyBytes, 0);
    const int serverFd = _impl->pair.server.fd();
    _impl->server = std::thread([serverFd, requestBytes, replyBytes] {
        std::vector<char> request(requestBytes);
        std::vector<char> reply(replyBytes, '\x5a');
        while (recvAll(serverFd, request.data(), request.size()))
            if (!sendAll(serverFd, reply.data(), reply.size()))
                break;
    });
}

FloorPingPong::~FloorPingPong()
{
    ::shutdown(_impl->pair.client.fd(), SHUT_RDWR); // ends the server's loop
    _impl->server.join();
}

double FloorPingPong::run(size_t warmup, size_t iterations, Samples& samples, uint64_t& errors)
{
    const int fd = _impl->pair.client.fd();
    auto roundTrip = [&]() {
        if (!sendAll(fd, _impl->request.data(), _impl->request.size()) ||
            !recvAll(fd, _impl->reply.data(), _impl->reply.size()))
            ++errors;
    };
    return timeLoop(warmup, iterations, samples, roundTrip);
}

double FloorPingPong::runWithReaderThread(size_t warmup, size_t iterations, Samples& samples, uint64_t& errors,
                                          Reader mode)
{
    const bool readInPieces = mode == Reader::QueueWakePieces;
    const bool socketWait = mode == Reader::SocketWait;
    const int fd = _impl->pair.client.fd();
    std::mutex queueMutex;
    std::condition_variable queueCv;
    size_t tickets = 0; // requests whose reply the reader still has to read
    bool stopping = false;
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    std::atomic<uint64_t> readErrors{0};

    std::atomic<bool> stopReader{false};
    std::thread reader([&] {
        for (;;) {
            if (socketWait) {
                // The reply's arrival is the only wake-up; the ticket is taken after it.
                pollfd pfd{fd, POLLIN, 0};
                while (::poll(&pfd, 1, 20) == 0)
                    if (stopReader.load())
                        return;
                std::lock_guard<std::mutex> lock(queueMutex);
                if (tickets == 0)
                    return; // readable without a request: the pair was shut down
                --tickets;
            } else {
                std::unique_lock<std::mutex> lock(queueMutex);
                queueCv.wait(lock, [&] { return tickets != 0 || stopping; });
                if (tickets == 0)
                    return;
                --tickets;
            }
            if (!(readInPieces ? recvInPieces(fd, _impl->reply.data(), _impl->reply.size())
                               : recvAll(fd, _impl->reply.data(), _impl->reply.size())))
                readErrors.fetch_add(1);
            {
                std::lock_guard<std::mutex> lock(doneMutex);
                done = true;
            }
            doneCv.notify_all();
        }
    });
    auto roundTrip = [&]() {
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (!sendAll(fd, _impl->request.data(), _impl->request.size())) {
                ++errors;
                return;
            }
            ++tickets;
        }
        if (!socketWait)
            queueCv.notify_one();
        std::unique_lock<std::mutex> lock(doneMutex);
        doneCv.wait(lock, [&] { return done; });
        done = false;
    };
    const double wall = timeLoop(warmup, iterations, samples, roundTrip);
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopping = true;
    }
    stopReader.store(true);
    queueCv.notify_one();
    reader.join();
    errors += readErrors.load();
    return wall;
}

} // namespace Vantrel::HolvaneApi::Bench
