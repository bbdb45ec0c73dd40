#include "support/FakePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace Vantrel::HolvaneApi::Testing {

namespace {
using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}
} // namespace

NumberFormat ControllerProfile::format() const
{
    const int type = static_cast<int>(controllerType);
    return (type <= 299 && type != 266) ? NumberFormat::Tms320 : NumberFormat::Ieee64;
}

bool ControllerProfile::escaping() const
{
    if (format() == NumberFormat::Ieee64)
        return true;
    // The version reaches the plug-in as a TMS320 number, i.e. in single precision.
    return static_cast<double>(static_cast<float>(version)) >= 1.51;
}

FakePeer::FakePeer(ControllerProfile profile) : _profile(std::move(profile))
{
    _listen = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (_listen < 0 || ::bind(_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(_listen, 4) != 0) {
        fail("cannot listen on 127.0.0.1");
        return;
    }
    socklen_t len = sizeof addr;
    ::getsockname(_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    _port = ntohs(addr.sin_port);
    _thread = std::thread([this] { run(); });
}

FakePeer::~FakePeer()
{
    _stop = true;
    _cv.notify_all();
    if (_thread.joinable())
        _thread.join();
    if (_client >= 0)
        ::close(_client);
    if (_listen >= 0)
        ::close(_listen);
}

FakePeer& FakePeer::push(Step step)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _steps.push_back(std::move(step));
        ++_appended;
    }
    _cv.notify_all();
    return *this;
}

FakePeer& FakePeer::expect(const Bytes& request, const std::string& label)
{
    Step s{Step::Expect, request, {}, request.size(), 0, label, {}};
    return push(std::move(s));
}

FakePeer& FakePeer::expectAny(size_t count) { return push(Step{Step::ExpectAny, {}, {}, count, 0, {}, {}}); }
FakePeer& FakePeer::send(const Bytes& reply) { return push(Step{Step::Send, reply, {}, 0, 0, {}, {}}); }
FakePeer& FakePeer::sendPieces(const std::vector<Bytes>& pieces, int delay_ms)
{
    return push(Step{Step::Send, {}, pieces, 0, delay_ms, {}, {}});
}
FakePeer& FakePeer::pause(int ms) { return push(Step{Step::Pause, {}, {}, 0, ms, {}, {}}); }
FakePeer& FakePeer::expectSilence(int ms) { return push(Step{Step::Silence, {}, {}, 0, ms, {}, {}}); }
FakePeer& FakePeer::closeClient() { return push(Step{Step::Close, {}, {}, 0, 0, {}, {}}); }
FakePeer& FakePeer::serve(size_t requests, Responder responder)
{
    return push(Step{Step::Serve, {}, {}, requests, 0, {}, std::move(responder)});
}

bool FakePeer::waitDone(int timeout_ms)
{
    std::unique_lock<std::mutex> lock(_mutex);
    return _cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return _finished == _appended; });
}

std::vector<std::string> FakePeer::failures() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _failures;
}

std::vector<Bytes> FakePeer::received() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _received;
}

Bytes FakePeer::allReceived() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _all;
}

void FakePeer::fail(const std::string& why)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _failures.push_back(why);
}

bool FakePeer::acceptClient()
{
    while (!_stop) {
        pollfd p{_listen, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            _client = ::accept(_listen, nullptr, nullptr);
            return _client >= 0;
        }
    }
    return false;
}

bool FakePeer::readExact(size_t count, Bytes& out, int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < count) {
        if (_stop || _client < 0)
            return false;
        const int left = msLeft(deadline);
        if (left == 0)
            return false;
        pollfd p{_client, POLLIN, 0};
        if (::poll(&p, 1, left < 20 ? left : 20) <= 0)
            continue;
        uint8_t buf[4096];
        const size_t want = count - out.size() < sizeof buf ? count - out.size() : sizeof buf;
        const ssize_t n = ::recv(_client, buf, want, 0);
        if (n <= 0)
            return false;
        out.insert(out.end(), buf, buf + n);
    }
    return true;
}

bool FakePeer::writeAll(const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        if (_client < 0)
            return false;
        const ssize_t n = ::send(_client, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool FakePeer::handshake()
{
    Bytes got;
    if (!readExact(2, got, stepTimeoutMs) || got != Bytes{0x00, 0xC8}) {
        fail("token table request: got " + hexOf(got));
        return false;
    }
    if (!writeAll(bytesOf(_profile.table.text())))
        return false;
    // Until the capabilities are settled the plug-in speaks TMS320 without escaping.
    Wire plain(_profile.table, NumberFormat::Tms320, false);
    const struct {
        const char* name;
        double value;
    } queries[] = {{"VERSION", _profile.version}, {"CONTROL", _profile.controllerType}};
    for (const auto& q : queries) {
        const Bytes expected = Wire(plain).sysvar(q.name).zero().bytes();
        got.clear();
        if (!readExact(expected.size(), got, stepTimeoutMs) || got != expected) {
            fail(std::string(q.name) + " query: expected " + hexOf(expected) + " got " + hexOf(got));
            return false;
        }
        // Flagged before the last reply leaves, so that a test that sees its
        // Connect return also sees the flag.
        if (&q == &queries[1])
            _handshakeDone = true;
        if (!writeAll(plain.reply(q.value, 0)))
            return false;
    }
    return true;
}

void FakePeer::runStep(Step& step)
{
    switch (step.kind) {
    case Step::Expect:
    case Step::ExpectAny: {
        Bytes got;
        const bool complete = readExact(step.count, got, stepTimeoutMs);
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _received.push_back(got);
            _all.insert(_all.end(), got.begin(), got.end());
        }
        if (!complete)
            fail("step " + step.label + ": wanted " + std::to_string(step.count) + " bytes, got " + hexOf(got));
        else if (step.kind == Step::Expect && got != step.bytes)
            fail("step " + step.label + ": expected " + hexOf(step.bytes) + " got " + hexOf(got));
        break;
    }
    case Step::Send:
        if (step.pieces.empty()) {
            writeAll(step.bytes);
        } else {
            for (size_t i = 0; i < step.pieces.size() && !_stop; ++i) {
                if (i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
                writeAll(step.pieces[i]);
            }
        }
        break;
    case Step::Pause: {
        const auto until = Clock::now() + std::chrono::milliseconds(step.ms);
        while (!_stop && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        break;
    }
    case Step::Silence: {
        Bytes got;
        readExact(1, got, step.ms);
        if (!got.empty()) {
            // Take whatever else came with it so that the failure shows it.
            readExact(4096, got, 50);
            std::lock_guard<std::mutex> lock(_mutex);
            _all.insert(_all.end(), got.begin(), got.end());
            _failures.push_back("unexpected bytes: " + hexOf(got));
        }
        break;
    }
    case Step::Close:
        if (_client >= 0) {
            ::shutdown(_client, SHUT_RDWR);
            ::close(_client);
            _client = -1;
        }
        break;
    case Step::Serve: {
        Bytes pending;
        size_t answered = 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(stepTimeoutMs);
        while (answered < step.count && !_stop && _client >= 0 && msLeft(deadline) > 0) {
            pollfd p{_client, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            uint8_t buf[4096];
            const ssize_t n = ::recv(_client, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            pending.insert(pending.end(), buf, buf + n);
            {
                std::lock_guard<std::mutex> lock(_mutex);
                _all.insert(_all.end(), buf, buf + n);
            }
            for (;;) {
                Bytes reply;
                if (!step.responder(pending, reply))
                    break;
                if (reply.empty())
                    continue; // something taken that needs no answer
                writeAll(reply);
                ++answered;
                deadline = Clock::now() + std::chrono::milliseconds(stepTimeoutMs);
            }
        }
        if (answered < step.count)
            fail("served " + std::to_string(answered) + " of " + std::to_string(step.count) + " requests; pending " +
                 hexOf(pending));
        break;
    }
    }
}

void FakePeer::run()
{
    if (!acceptClient())
        return;
    handshake();
    for (;;) {
        Step step;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _cv.wait_for(lock, std::chrono::milliseconds(20), [this] { return _stop || !_steps.empty(); });
            if (_stop)
                return;
            if (_steps.empty())
                continue;
            step = std::move(_steps.front());
            _steps.pop_front();
        }
        runStep(step);
        {
            std::lock_guard<std::mutex> lock(_mutex);
            ++_finished;
        }
        _cv.notify_all();
    }
}

} // namespace Vantrel::HolvaneApi::Testing
