#pragma once
// A TCP forwarding proxy that delays every byte by a fixed time in each
// direction, keeping their order: a link with real latency on loopback, where
// no kernel traffic shaper is available.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Vantrel::HolvaneApi::Bench {

class DelayProxy {
public:
    // Listens on listenHost:listenPort (0: a free port) and forwards every
    // connection to targetHost:targetPort, each direction delayed by `delay`.
    DelayProxy(std::string listenHost, uint16_t listenPort, std::string targetHost, uint16_t targetPort,
               std::chrono::microseconds delay);
    ~DelayProxy();
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // Binds and starts accepting; an error text, empty on success.
    std::string start();
    uint16_t port() const { return _boundPort; }
    // Runs until stop() (from another thread or a signal handler's flag).
    void stop();

private:
    struct Link;
    void acceptLoop();

    const std::string _listenHost;
    const uint16_t _listenPort;
    const std::string _targetHost;
    const uint16_t _targetPort;
    const std::chrono::microseconds _delay;
    int _listener = -1;
    uint16_t _boundPort = 0;
    std::atomic<bool> _stop{false};
    std::thread _acceptor;
    std::mutex _linksMutex;
    std::vector<std::unique_ptr<Link>> _links;
};

} // namespace Vantrel::HolvaneApi::Bench
