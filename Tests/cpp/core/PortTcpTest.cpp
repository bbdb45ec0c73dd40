#include "Connection/Port/TCP/Port_TCP.h"
#include "EventLog.h"
#include "Loopback.h"
#include "SharedLib/ByteSniffer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
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

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The descriptor of this process whose socket is the client end of `peer`.
int clientDescriptorOf(const PeerSocket& peer)
{
    sockaddr_in remote{};
    socklen_t length = sizeof(remote);
    if (::getpeername(peer.fd(), reinterpret_cast<sockaddr*>(&remote), &length) != 0)
        return -1;
    int found = -1;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const int fd = std::atoi(entry->d_name);
            sockaddr_in local{};
            socklen_t len = sizeof(local);
            if (fd != peer.fd() && ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
                local.sin_family == AF_INET && local.sin_port == remote.sin_port &&
                local.sin_addr.s_addr == remote.sin_addr.s_addr) {
                found = fd;
                break;
            }
        }
        ::closedir(dir);
    }
    return found;
}

int noDelayOf(int fd)
{
    int value = -1;
    socklen_t length = sizeof(value);
    ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length);
    return value;
}

// A free port with nothing listening on it.
uint16_t closedPort()
{
    Listener probe;
    const uint16_t port = probe.port();
    probe.close();
    return port;
}

struct OpenedPort {
    EventLog log;
    Listener listener;
    Port_TCP port{log.callback()};
    PeerSocket peer;

    bool open()
    {
        if (!listener.valid() || port.Open("127.0.0.1", listener.port()) != NoError)
            return false;
        peer = listener.accept(2000);
        return peer.valid();
    }
};

std::atomic<int> g_sigpipes{0};
void countSigpipe(int) { g_sigpipes.fetch_add(1); }

} // namespace

TEST(PortTcp, OpenReportsConnectedOnceAndRecordsEndpoint)
{
    OpenedPort p;
    ASSERT_TRUE(p.open());
    EXPECT_TRUE(p.port.isOpened());
    EXPECT_EQ(p.port.hostName(), "127.0.0.1");
    EXPECT_EQ(p.port.portNumber(), p.listener.port());

    const auto messages = p.log.ofType(EventType::Message);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].code, 0u);
    EXPECT_EQ(messages[0].text, "Connected to 127.0.0.1");
    EXPECT_TRUE(p.log.ofType(EventType::Error).empty());

    // Send coalescing stays on for any port but 3240.
    const int fd = clientDescriptorOf(p.peer);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(noDelayOf(fd), 0);

    EXPECT_EQ(p.port.Close(), NoError);
    EXPECT_FALSE(p.port.isOpened());
    // Close on a closed port does nothing and succeeds.
    EXPECT_EQ(p.port.Close(), NoError);
    // The endpoint of the last open is kept.
    EXPECT_EQ(p.port.hostName(), "127.0.0.1");
}

TEST(PortTcp, Port3240SwitchesOffCoalescing)
{
    Listener listener(3240);
    if (!listener.valid())
        GTEST_SKIP() << "port 3240 is taken on this machine";
    EventLog log;
    Port_TCP port(log.callback());
    ASSERT_EQ(port.Open("127.0.0.1", 3240), NoError);
    PeerSocket peer = listener.accept(2000);
    ASSERT_TRUE(peer.valid());
    const int fd = clientDescriptorOf(peer);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(noDelayOf(fd), 1);
}

TEST(PortTcp, RefusedConnectionFailsWithOneErrorAndNoSocket)
{
    const uint16_t port_number = closedPort();
    const size_t descriptors = openDescriptorCount();
    EventLog log;
    Port_TCP port(log.callback());

    EXPECT_EQ(port.Open("127.0.0.1", port_number), static_cast<ErrorCode>(0x20000006F));
    EXPECT_FALSE(port.isOpened());
    const auto errors = log.ofType(EventType::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, 0x20000006Fu);
    EXPECT_TRUE(log.ofType(EventType::Message).empty());
    EXPECT_EQ(openDescriptorCount(), descriptors);

    // The port is usable for a later, successful open.
    Listener listener;
    EXPECT_EQ(port.Open("127.0.0.1", listener.port()), NoError);
}

TEST(PortTcp, SLOW_ConnectTimesOutAfterFiveSeconds)
{
    // A listener whose accept queue is full drops further connection requests,
    // so a connect neither succeeds nor fails.
    Listener listener(0, 0);
    ASSERT_TRUE(listener.valid());
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(listener.port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fillers.push_back(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    EventLog log;
    Port_TCP port(log.callback());
    const auto start = Clock::now();
    const ErrorCode error = port.Open("127.0.0.1", listener.port());
    const long long elapsed = msSince(start);
    for (int fd : fillers)
        ::close(fd);

    EXPECT_EQ(error, static_cast<ErrorCode>(0x200000073));
    EXPECT_GE(elapsed, 4900);
    EXPECT_LT(elapsed, 8000);
    EXPECT_FALSE(port.isOpened());
    const auto errors = log.ofType(EventType::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text, "Timeout connecting to the port");
    EXPECT_TRUE(log.ofType(EventType::Message).empty());
}

TEST(PortTcp, ReadWaitsForDataWithinItsLimit)
{
    OpenedPort p;
    ASSERT_TRUE(p.open());
    char buffer[16];
    size_t got = 99;

    const auto start = Clock::now();
    EXPECT_EQ(p.port.Read(buffer, sizeof(buffer), got, 300), Timeout);
    EXPECT_GE(msSince(start), 280);
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(p.port.isOpened());
    EXPECT_TRUE(p.log.ofType(EventType::Error).empty()); // a time-out raises no event

    // Data that arrives during the wait is returned at once.
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.peer.sendAll(std::string("abc"));
    });
    const auto start2 = Clock::now();
    EXPECT_EQ(p.port.Read(buffer, sizeof(buffer), got, 5000), NoError);
    EXPECT_LT(msSince(start2), 3000);
    sender.join();
    EXPECT_EQ(std::string(buffer, got), "abc");

    // A limit of 0 waits for as long as it takes.
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        p.peer.sendAll(std::string("z"));
    });
    EXPECT_EQ(p.port.Read(buffer, sizeof(buffer), got, 0), NoError);
    late.join();
    EXPECT_EQ(std::string(buffer, got), "z");
}

TEST(PortTcp, PeerCloseClosesThePortAndLaterUseFailsWithBadDescriptor)
{
    OpenedPort p;
    ASSERT_TRUE(p.open());
    p.peer.close();

    char buffer[8];
    size_t got = 99;
    EXPECT_EQ(p.port.Read(buffer, sizeof(buffer), got, 2000), NoError);
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(p.port.isOpened());

    EXPECT_EQ(p.port.Read(buffer, sizeof(buffer), got, 2000), static_cast<ErrorCode>(0x200000009));
    size_t written = 7;
    EXPECT_EQ(p.port.Write("x", 1, written), static_cast<ErrorCode>(0x200000009));
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(p.port.WriteAll("x", 1, written, 100), static_cast<ErrorCode>(0x200000009));
}

TEST(PortTcp, NeverOpenedPortRefusesReadAndWrite)
{
    EventLog log;
    Port_TCP port(log.callback());
    char buffer[4];
    size_t got = 5;
    EXPECT_EQ(port.Read(buffer, sizeof(buffer), got, 100), static_cast<ErrorCode>(0x200000009));
    EXPECT_EQ(got, 0u);
    size_t written = 0;
    EXPECT_EQ(port.Write("ab", 2, written), static_cast<ErrorCode>(0x200000009));
    EXPECT_EQ(port.Close(), NoError);
    EXPECT_FALSE(port.isOpened());
    // An empty callback is never called and nothing fails because of it.
    Port_TCP silent{EventCallback()};
    EXPECT_EQ(silent.Read(buffer, sizeof(buffer), got, 10), static_cast<ErrorCode>(0x200000009));
}

TEST(PortTcp, WriteToAClosedPeerFailsWithBrokenPipeAndNoSignal)
{
    g_sigpipes = 0;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = countSigpipe;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGPIPE, &action, &previous), 0);

    OpenedPort p;
    ASSERT_TRUE(p.open());
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
    EXPECT_FALSE(p.log.ofType(EventType::Error).empty());
}

TEST(PortTcp, SniffersSeeExactlyTheBytesMoved)
{
    OpenedPort p;
    ASSERT_TRUE(p.open());
    ByteSniffer written_bytes;
    ByteSniffer read_bytes;
    p.port.setWriteSniffer(&written_bytes);
    p.port.setReadSniffer(&read_bytes);

    size_t written = 0;
    ASSERT_EQ(p.port.Write("\x01\x02\x03", 3, written), NoError);
    ASSERT_EQ(p.port.WriteAll("\x04\x05", 2, written, 1000), NoError);
    EXPECT_EQ(written, 2u);
    Bytes at_peer;
    ASSERT_TRUE(p.peer.readExact(5, at_peer, 2000));
    EXPECT_EQ(at_peer, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(written_bytes.bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    // Bytes written outside the sniffer stay out of it.
    ASSERT_EQ(p.port.WriteAll("\x06", 1, written, 1000, false), NoError);
    EXPECT_EQ(written_bytes.size(), 5u);

    ASSERT_TRUE(p.peer.sendAll(Bytes{0xAA, 0xBB, 0xCC}));
    char buffer[2];
    size_t got = 0;
    ASSERT_EQ(p.port.Read(buffer, 2, got, 2000), NoError);
    ASSERT_EQ(got, 2u);
    EXPECT_EQ(read_bytes.bytes(), (std::vector<uint8_t>{0xAA, 0xBB}));
    ASSERT_EQ(p.port.Read(buffer, 2, got, 2000), NoError);
    EXPECT_EQ(read_bytes.bytes(), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));

    // Switched off: nothing more is recorded.
    p.port.setReadSniffer(nullptr);
    p.port.setWriteSniffer(nullptr);
    ASSERT_TRUE(p.peer.sendAll(Bytes{0x11}));
    ASSERT_EQ(p.port.Read(buffer, 2, got, 2000), NoError);
    ASSERT_EQ(p.port.Write("\x07", 1, written), NoError);
    EXPECT_EQ(read_bytes.size(), 3u);
    EXPECT_EQ(written_bytes.size(), 5u);
}

TEST(PortTcp, WriteAllDeliversLargeRequestsWholeOrClosesThePort)
{
    OpenedPort p;
    ASSERT_TRUE(p.open());

    // A request far larger than the socket buffers goes out whole while the
    // peer reads slowly.
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

    // A peer that takes nothing: the write gives up at its limit, and since
    // part of the request went out, the port is closed rather than left with
    // half a request on the wire.
    const auto start = Clock::now();
    const ErrorCode error = p.port.WriteAll(big.data(), big.size(), written, 300);
    EXPECT_EQ(error, Timeout);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_FALSE(p.port.isOpened());
}

TEST(PortTcp, CloseWakesABlockedReaderAndReleasesTheDescriptor)
{
    const size_t baseline = openDescriptorCount();
    {
        OpenedPort p;
        ASSERT_TRUE(p.open());
        std::atomic<bool> returned{false};
        ErrorCode read_result = Fail;
        std::thread reader([&] {
            char buffer[8];
            size_t got = 0;
            read_result = p.port.Read(buffer, sizeof(buffer), got, 0); // no limit
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(returned.load());
        const auto start = Clock::now();
        EXPECT_EQ(p.port.Close(), NoError);
        reader.join();
        EXPECT_LT(msSince(start), 2000);
        // Either the shutdown was seen as an end of stream or the port as closed.
        EXPECT_TRUE(read_result == NoError || read_result == static_cast<ErrorCode>(0x200000009));
        // The peer sees the connection end.
        EXPECT_TRUE(p.peer.waitClosed(2000));
    }
    EXPECT_EQ(openDescriptorCount(), baseline);
}

TEST(PortTcp, WriteRacingACloseNeverReachesAnotherSocket)
{
    // One thread closes the port while another keeps writing. A new socket
    // opened right after the close may get the same descriptor number; not a
    // byte of the old writer may arrive on it.
    for (int round = 0; round < 20; ++round) {
        OpenedPort p;
        ASSERT_TRUE(p.open());
        Listener other;
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            while (!stop.load()) {
                size_t written = 0;
                p.port.Write("X", 1, written);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        p.port.Close();
        // A fresh connection that may reuse the descriptor number.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(other.port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        PeerSocket other_peer = other.accept(2000);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        stop = true;
        writer.join();
        EXPECT_TRUE(other_peer.readSome(50).empty()) << "round " << round;
        ::close(fd);
    }
}
