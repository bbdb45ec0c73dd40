// Measures VR-read round trips against the simulator over loopback with a
// raw-socket client: one request at a time, then several clients pipelining.
#include "HolvaneSim/NumberCodec.h"
#include "HolvaneSim/RequestHandler.h"
#include "HolvaneSim/RequestParser.h"
#include "HolvaneSim/SimServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Vantrel::HolvaneApi::Sim;
using Clock = std::chrono::steady_clock;

namespace {

// VR(index) in the IEEE format, closed by ZERO.
std::string vrReadRequest(const SimServer& server, int index)
{
    const Keywords& kw = server.keywords();
    const auto code = [&](Kw k) { return static_cast<char>(kw.code(k)); };
    std::string request{code(Kw::VR), code(Kw::OPENBRACKETS), code(Kw::NUMBER)};
    appendNumber(request, index, NumberFormat::Ieee64);
    request += std::string{code(Kw::EOX), code(Kw::CLOSEBRACKETS), static_cast<char>(server.tokenTable().zeroCode())};
    return request;
}

class BenchClient {
public:
    explicit BenchClient(const SimServer& server)
    {
        const TokenTable& table = server.tokenTable();
        _fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(server.port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect failed");
        const int one = 1;
        ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // Token table, then CONTROL in the handshake format switches to IEEE.
        sendAll(std::string("\x00\xc8", 2));
        std::string text;
        while (text.find("[EOT]\r\n") == std::string::npos)
            text += readSome();
        const auto code = [&](const char* n) { return static_cast<char>(table.codeOf(n)); };
        sendAll(std::string{code("SYSTEMVARIABLE"), code("CONTROL"), static_cast<char>(table.zeroCode())});
        readExact(8);
        for (int i = 0; i < 8; ++i)
            _requests.push_back(vrReadRequest(server, i));
    }
    ~BenchClient() { ::close(_fd); }

    void roundTrips(int count, int depth)
    {
        std::string batch;
        for (int i = 0; i < depth; ++i)
            batch += _requests[static_cast<size_t>(i) % _requests.size()];
        for (int done = 0; done < count; done += depth) {
            sendAll(batch);
            readExact(16u * static_cast<size_t>(depth));
        }
    }

private:
    void sendAll(const std::string& s)
    {
        size_t sent = 0;
        while (sent < s.size()) {
            const ssize_t n = ::send(_fd, s.data() + sent, s.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("send failed");
            sent += static_cast<size_t>(n);
        }
    }
    std::string readSome()
    {
        char buffer[65536];
        const ssize_t n = ::recv(_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            throw std::runtime_error("connection closed");
        return std::string(buffer, static_cast<size_t>(n));
    }
    void readExact(size_t count)
    {
        static thread_local std::vector<char> buffer(1 << 20);
        size_t got = 0;
        while (got < count) {
            const ssize_t n = ::recv(_fd, buffer.data(), std::min(buffer.size(), count - got), 0);
            if (n <= 0)
                throw std::runtime_error("connection closed");
            got += static_cast<size_t>(n);
        }
    }

    int _fd = -1;
    std::vector<std::string> _requests;
};

} // namespace

// The simulator's own time for one VR read: parse the request and build the
// reply, without the sockets.
void ownTime(SimServer& server, int count)
{
    RequestParser parser(lexerCodes(server.tokenTable(), server.keywords()));
    RequestHandler handler(server.state(), server.tokenTable(), server.keywords());
    const std::string request = vrReadRequest(server, 17);
    const WireFormat ieee{NumberFormat::Ieee64, true};
    ParsedRequest parsed;
    std::string out;
    std::unique_ptr<ValueListWriter> list;
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        size_t consumed = 0;
        parser.next(reinterpret_cast<const uint8_t*>(request.data()), request.size(), ieee, false, parsed, consumed);
        out.clear();
        handler.handle(parsed, out, list);
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    std::printf("own time: %.0f ns per VR read (parse and answer, no sockets)\n", ns / count);
}

// A benchmark whose simulator cannot start may end on the exception: nothing to recover.
int main(int argc, char** argv) // NOLINT(bugprone-exception-escape)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 50000;
    SimConfig config;
    config.port = 0;
    SimServer server(config);
    server.start();
    ownTime(server, count * 20);

    {
        BenchClient client(server);
        client.roundTrips(2000, 1); // warm-up
        const auto t0 = Clock::now();
        client.roundTrips(count, 1);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        std::printf("sequential: %d VR reads, %.2f us per round trip, %.0f reads/s\n", count, us / count,
                    count / (us / 1e6));
    }
    for (int clients : {1, 4}) {
        const int depth = 64;
        std::vector<std::thread> threads;
        threads.reserve(static_cast<size_t>(clients));
        const auto t0 = Clock::now();
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&] {
                BenchClient client(server);
                client.roundTrips(count * 4, depth);
            });
        for (auto& t : threads)
            t.join();
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("pipelined: %d client(s), depth %d, %.0f reads/s in total\n", clients, depth,
                    clients * count * 4.0 / s);
    }
    server.stop();
    return 0;
}
