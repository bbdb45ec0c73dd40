#include "Connection/Port/TCP/Port_TCP.h"
#include "Harness.h"
#include "SharedLib/ByteSniffer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::CoreTesting;
using Clock = std::chrono::steady_clock;

namespace {

const ErrorCode BadDescriptor = static_cast<ErrorCode>(0x200000009);

// TCP_NODELAY of this process's socket whose local end is the peer's remote end.
int noDelayOfClientOf(const PeerSocket& peer)
{
    sockaddr_in remote{};
    socklen_t length = sizeof(remote);
    ::getpeername(peer.fd(), reinterpret_cast<sockaddr*>(&remote), &length);
    int value = -1;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_in local{};
        socklen_t len = sizeof(local);
        if (fd != peer.fd() && ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
            local.sin_family == AF_INET && local.sin_port == remote.sin_port) {
            socklen_t size = sizeof(value);
            ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &size);
        }
    }
    if (dir)
        ::closedir(dir);
    return value;
}

struct OpenedPort {
    EventLog log;
    Listener listener;
    Port_TCP port{log.callback()};
    PeerSocket peer;

    OpenedPort()
    {
        EXPECT_EQ(port.Open("127.0.0.1", listener.port()), NoError);
        peer = listener.accept(2000);
        EXPECT_TRUE(peer.valid());
    }
};

std::atomic<int> g_sigpipes{0};

} // namespace

TEST(PortTcp, OpenReportsConnectedOnceAndSetsNoDelayOnlyOn3240)
{
    OpenedPort p;
    EXPECT_TRUE(p.port.isOpened());
    EXPECT_EQ(p.port.hostName(), "127.0.0.1");
    EXPECT_EQ(p.port.portNumber(), p.listener.port());
    const auto messages = p.log.ofType(EventType::Message);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].code, 0u);
    EXPECT_EQ(messages[0].text, "Connected to 127.0.0.1");
    EXPECT_TRUE(p.log.ofType(EventType::Error).empty());
    EXPECT_EQ(noDelayOfClientOf(p.peer), 0);

    EXPECT_EQ(p.port.Close(), NoError);
    EXPECT_EQ(p.port.Close(), NoError);
    EXPECT_FALSE(p.port.isOpened());

    Listener listener(3240);
    if (!listener.valid())
        GTEST_SKIP() << "port 3240 is taken on this machine";
    Port_TCP port{EventCallback()};
    ASSERT_EQ(port.Open("127.0.0.1", 3240), NoError);
    EXPECT_EQ(noDelayOfClientOf(listener.accept(2000)), 1);
}

TEST(PortTcp, RefusedConnectionFailsWithOneErrorAndNoSocket)
{
    const uint16_t port_number = closedPort();
    const size_t descriptors = openDescriptors();
    EventLog log;
    Port_TCP port(log.callback());
    EXPECT_EQ(port.Open("127.0.0.1", port_number), static_cast<ErrorCode>(0x20000006F));
    EXPECT_FALSE(port.isOpened());
    const auto errors = log.ofType(EventType::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, 0x20000006Fu);
    EXPECT_TRUE(log.ofType(EventType::Message).empty());
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST(PortTcp, SLOW_ConnectTimesOutAfterFiveSeconds)
{
    // A listener with a full accept queue drops further connection requests.
    Listener listener(0, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        fillers.push_back(connectRaw(listener.port(), SOCK_NONBLOCK));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EventLog log;
    Port_TCP port(log.callback());
    const auto start = Clock::now();
    EXPECT_EQ(port.Open("127.0.0.1", listener.port()), static_cast<ErrorCode>(0x20000006E));
    EXPECT_GE(msSince(start), 4900);
    EXPECT_LT(msSince(start), 8000);
    for (int fd : fillers)
        ::close(fd);
    EXPECT_FALSE(port.isOpened());
    const auto errors = log.ofType(EventType::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text.rfind("no answer from 127.0.0.1:" + std::to_string(listener.port()) +
                                       " within 5000 ms (TCP_ConnectTimeout) at ",
                                   0),
              0u)
        << errors[0].text;
    EXPECT_EQ(port.lossCause(), errors[0].text);
    EXPECT_TRUE(log.ofType(EventType::Message).empty());
}

TEST(PortTcp, ReadWaitsWithinItsLimitAndSniffersSeeExactlyTheBytesMoved)
{
    OpenedPort p;
    char buffer[16];
    size_t got = 99;
    auto start = Clock::now();
    EXPECT_EQ(p.port.Read(buffer, sizeof(buffer), got, 300), Timeout);
    EXPECT_GE(msSince(start), 280);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(p.log.ofType(EventType::Error).empty());

    // No limit waits as long as it takes; data ends the wait at once.
    ByteSniffer reads, writes;
    p.port.setReadSniffer(&reads);
    p.port.setWriteSniffer(&writes);
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        p.peer.send(Bytes{0xAA, 0xBB, 0xCC});
    });
    ASSERT_EQ(p.port.Read(buffer, 2, got, TimingPolicy::NoLimitMs), NoError);
    sender.join();
    ASSERT_EQ(p.port.Read(buffer + 2, 2, got, 1000), NoError);
    EXPECT_EQ(reads.bytes(), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));

    size_t written = 0;
    ASSERT_EQ(p.port.Write("\x01\x02", 2, written), NoError);
    ASSERT_EQ(p.port.WriteAll("\x03", 1, written, 1000), NoError);
    ASSERT_EQ(p.port.WriteAll("\x04", 1, written, 1000, false), NoError); // kept out of the trace
    Bytes at_peer;
    ASSERT_TRUE(p.peer.readExact(4, at_peer, 2000));
    EXPECT_EQ(at_peer, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(writes.bytes(), (std::vector<uint8_t>{1, 2, 3}));

    p.port.setReadSniffer(nullptr);
    p.port.setWriteSniffer(nullptr);
    p.peer.send(Bytes{0x11});
    ASSERT_EQ(p.port.Read(buffer, 2, got, 2000), NoError);
    ASSERT_EQ(p.port.Write("\x07", 1, written), NoError);
    EXPECT_EQ(reads.size(), 3u);
    EXPECT_EQ(writes.size(), 3u);
}

TEST(PortTcp, ClosedPortsFailWithBadDescriptor)
{
    OpenedPort p;
    EXPECT_EQ(p.port.lossCause(), "");
    p.peer.close();
    char buffer[8];
    size_t got = 99;
    // The peer's close reads as 0 bytes and closes the port.
    EXPECT_EQ(p.port.Read(buffer, sizeof(buffer), got, 2000), NoError);
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(p.port.isOpened());
    // A read waits for a reply whose request went out: it meets the loss.
    // A write sends nothing: the link is down.
    EXPECT_EQ(p.port.Read(buffer, sizeof(buffer), got, 2000), systemError(ENOTCONN));
    size_t written = 7;
    EXPECT_EQ(p.port.Write("x", 1, written), BadDescriptor);
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(p.port.WriteAll("x", 1, written, 100), BadDescriptor);
    // The lost link was reported once, with its cause; what meets the
    // closed port after it adds nothing.
    const auto errors = p.log.ofType(EventType::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, systemError(ENOTCONN));
    EXPECT_EQ(errors[0].text.rfind("the link was closed by the controller at ", 0), 0u) << errors[0].text;
    EXPECT_EQ(p.port.lossCause(), errors[0].text);

    // A request is not sent on a link the controller has closed, though no
    // read has met the close yet: the write tells the loss and sends nothing.
    OpenedPort q;
    ASSERT_EQ(::shutdown(q.peer.fd(), SHUT_WR), 0);
    for (int i = 0; i < 200 && q.port.isAlive(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(q.port.WriteAll("request", 7, written, 1000), BadDescriptor);
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(q.port.isOpened());
    EXPECT_EQ(q.port.Read(buffer, sizeof(buffer), got, 100), systemError(ENOTCONN));
    ASSERT_EQ(q.log.ofType(EventType::Error).size(), 1u);
    EXPECT_EQ(q.log.ofType(EventType::Error)[0].text, q.port.lossCause());
    EXPECT_TRUE(q.peer.readSome(100).empty());

    Port_TCP never{EventCallback()}; // an empty callback is simply not called
    EXPECT_EQ(never.Read(buffer, sizeof(buffer), got, 100), BadDescriptor);
    EXPECT_EQ(never.Write("ab", 2, written), BadDescriptor);
    EXPECT_EQ(never.Close(), NoError);
    // A port that was never opened, or closed by its owner, says so each time.
    EventLog log;
    Port_TCP closed{log.callback()};
    EXPECT_EQ(closed.Read(buffer, sizeof(buffer), got, 100), BadDescriptor);
    EXPECT_EQ(closed.Write("ab", 2, written), BadDescriptor);
    EXPECT_EQ(log.ofType(EventType::Error).size(), 2u);
    EXPECT_TRUE(log.hasText("Port is not open"));
}

TEST(PortTcp, ALinkOpenedWhileTheLastOneIsReportedLostStaysOpen)
{
    // The loss event's handler reconnects at once (as another thread might
    // meanwhile): closing the lost link must not close the new one.
    Listener first;
    Listener second;
    EventLog log;
    const EventCallback record = log.callback();
    Port_TCP* self = nullptr;
    ErrorCode reopened = Fail;
    Port_TCP port([&](EventType type, uint64_t code, const std::string_view& text) {
        record(type, code, text);
        if (type == EventType::Error && self != nullptr) {
            self->Close();
            reopened = self->Open("127.0.0.1", second.port());
        }
    });
    self = &port;
    ASSERT_EQ(port.Open("127.0.0.1", first.port()), NoError);
    PeerSocket lost = first.accept(2000);
    ASSERT_TRUE(lost.valid());
    lost.close();
    char buffer[8];
    size_t got = 99;
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), got, 2000), NoError);
    EXPECT_EQ(got, 0u);
    self = nullptr;
    EXPECT_EQ(reopened, NoError);
    EXPECT_TRUE(port.isOpened());
    EXPECT_EQ(port.portNumber(), second.port());
    PeerSocket fresh = second.accept(2000);
    ASSERT_TRUE(fresh.valid());
    ASSERT_TRUE(fresh.send(Bytes{0x6f, 0x6b}));
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), got, 2000), NoError);
    EXPECT_EQ(got, 2u);
}

TEST(PortTcp, WriteToAClosedPeerFailsWithBrokenPipeAndNoSignal)
{
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) { g_sigpipes.fetch_add(1); };
    ASSERT_EQ(::sigaction(SIGPIPE, &action, &previous), 0);
    OpenedPort p;
    p.peer.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ErrorCode error = NoError;
    for (int i = 0; i < 50 && error == NoError; ++i) {
        size_t written = 0;
        error = p.port.Write("data", 4, written);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(error, static_cast<ErrorCode>(0x200000020));
    EXPECT_EQ(g_sigpipes.load(), 0);
}

TEST(PortTcp, WriteAllSendsTheWholeRequestOrClosesThePort)
{
    OpenedPort p;
    std::vector<char> big(8 * 1024 * 1024);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    Bytes at_peer;
    std::thread reader([&] { p.peer.readExact(big.size(), at_peer, 20000); });
    size_t written = 0;
    EXPECT_EQ(p.port.WriteAll(big.data(), big.size(), written, 10000), NoError);
    reader.join();
    EXPECT_EQ(written, big.size());
    ASSERT_EQ(at_peer.size(), big.size());
    EXPECT_EQ(std::memcmp(at_peer.data(), big.data(), big.size()), 0);

    // Nobody reads: the write gives up at its limit, and since the controller
    // now holds half a request, the port is closed.
    const auto start = Clock::now();
    EXPECT_EQ(p.port.WriteAll(big.data(), big.size(), written, 300), Timeout);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_FALSE(p.port.isOpened());
}

TEST(PortTcp, CloseWakesABlockedReaderAndNeverLetsAWriteReachAReusedDescriptor)
{
    const size_t baseline = openDescriptors();
    {
        OpenedPort p;
        ErrorCode read_result = Fail;
        std::thread reader([&] {
            char buffer[8];
            size_t got = 0;
            read_result = p.port.Read(buffer, sizeof(buffer), got, TimingPolicy::NoLimitMs);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto start = Clock::now();
        EXPECT_EQ(p.port.Close(), NoError);
        reader.join();
        EXPECT_LT(msSince(start), 2000);
        EXPECT_TRUE(read_result == NoError || read_result == BadDescriptor);
        EXPECT_TRUE(p.peer.waitClosed(2000));
    }
    EXPECT_EQ(openDescriptors(), baseline);

    // A socket opened right after a close may get the old descriptor number;
    // a writer still running on the closed port must not reach it.
    for (int round = 0; round < 20; ++round) {
        OpenedPort p;
        Listener other;
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            size_t written = 0;
            while (!stop.load())
                p.port.Write("X", 1, written);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        p.port.Close();
        const int fd = connectRaw(other.port());
        PeerSocket other_peer = other.accept(2000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop = true;
        writer.join();
        EXPECT_TRUE(other_peer.readSome(50).empty()) << "round " << round;
        ::close(fd);
    }
}
