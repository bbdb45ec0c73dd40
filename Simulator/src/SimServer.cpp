#include "HolvaneSim/SimServer.h"

#include "HolvaneSim/SimSession.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace Vantrel::HolvaneApi::Sim {
namespace {
[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }
} // namespace

SimServer::SimServer(SimConfig config)
    : _config(std::move(config)), _table(_config.zeroToken, _config.extendedToken), _keywords(_table),
      _state(_config.state), _faults(_config.faults)
{
    if (!_config.arrivalLog.empty())
        _arrivalLog = std::make_unique<ArrivalLog>(_config.arrivalLog);
}

SimServer::~SimServer() { stop(); }

void SimServer::start()
{
    if (_listenFd >= 0)
        return;
    if (!_config.writeLogPath.empty())
        _state.setWriteLog(std::make_shared<WriteLog>(_config.writeLogPath));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(_config.port);
    if (::inet_pton(AF_INET, _config.host.c_str(), &address.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(_config.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
            throw std::system_error(EINVAL, std::generic_category(), "cannot resolve " + _config.host);
        address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        ::freeaddrinfo(found);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throwErrno("socket");
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 256) != 0) {
        const int err = errno;
        ::close(fd);
        throw std::system_error(err, std::generic_category(), "bind/listen");
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    _boundPort = ntohs(address.sin_port);
    if (::pipe2(_wakePipe, O_CLOEXEC) != 0) {
        const int err = errno;
        ::close(fd);
        throw std::system_error(err, std::generic_category(), "pipe");
    }
    _listenFd = fd;
    _stopping = false;
    _acceptThread = std::thread([this] { acceptLoop(); });
}

void SimServer::stop()
{
    if (_listenFd < 0)
        return;
    {
        std::lock_guard<std::mutex> lock(_pauseMutex);
        _stopping = true;
    }
    _pauseCv.notify_all();
    const char wake = 1;
    [[maybe_unused]] const ssize_t n = ::write(_wakePipe[1], &wake, 1);
    if (_acceptThread.joinable())
        _acceptThread.join();
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto& w : _workers)
            w.session->interrupt();
    }
    reapFinished(true);
    ::close(_listenFd);
    ::close(_wakePipe[0]);
    ::close(_wakePipe[1]);
    _listenFd = _wakePipe[0] = _wakePipe[1] = -1;
}

void SimServer::setFaults(const FaultPlan& faults)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _faults = faults;
}

bool SimServer::pause(uint64_t micros)
{
    std::unique_lock<std::mutex> lock(_pauseMutex);
    return _pauseCv.wait_for(lock, std::chrono::microseconds(micros), [this] { return _stopping.load(); });
}

void SimServer::reapFinished(bool all)
{
    std::list<Worker> finished;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto it = _workers.begin(); it != _workers.end();) {
            auto next = std::next(it);
            if (all || it->done.load())
                finished.splice(finished.end(), _workers, it);
            it = next;
        }
    }
    for (auto& w : finished)
        if (w.thread.joinable())
            w.thread.join();
}

void SimServer::acceptLoop()
{
    pollfd fds[2] = {{_listenFd, POLLIN, 0}, {_wakePipe[0], POLLIN, 0}};
    while (!_stopping) {
        const int ready = ::poll(fds, 2, 200);
        reapFinished(false);
        if (ready <= 0 || (fds[1].revents & POLLIN) != 0)
            continue;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                pause(10000); // out of descriptors: do not spin on the ready listener
            continue;
        }
        if (_active.load() >= _config.maxConnections) {
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(_mutex);
        _workers.emplace_back();
        Worker& w = _workers.back();
        try {
            w.session = std::make_unique<SimSession>(*this, fd, _faults);
            ++_active;
            w.thread = std::thread([this, &w] {
                w.session->run();
                --_active;
                w.done = true;
            });
        } catch (const std::exception&) {
            // No thread (or memory) for it: refuse this client, keep serving the others.
            if (w.session)
                --_active;
            else
                ::close(fd);
            _workers.pop_back();
        }
    }
}

} // namespace Vantrel::HolvaneApi::Sim
