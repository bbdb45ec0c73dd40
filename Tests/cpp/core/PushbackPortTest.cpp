// The connection's read side: bytes put back are read before the wrapped
// port's, are shown to the read sniffer only when handed out, are bounded,
// and go when the port closes or reopens.
#include "Connection/Port/TCP/PushbackPort.h"
#include "SharedLib/ByteSniffer.h"
#include "SharedLib/MemPort.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace Vantrel::HolvaneApi;

namespace {

std::string text(const ByteSniffer& sniffer)
{
    return std::string(reinterpret_cast<const char*>(sniffer.data()), sniffer.size());
}

// A port over `wire` whose handed-out bytes are recorded.
struct TracedPort {
    explicit TracedPort(const std::string& wire) : port(inner, nullptr)
    {
        opened = inner.Open(wire.data(), wire.size()) == NoError;
        port.setReadSniffer(&sniffer);
    }
    MemPort inner;
    PushbackPort port;
    ByteSniffer sniffer;
    bool opened = false;
};

std::string readOnce(PushbackPort& port, size_t size)
{
    std::vector<char> buffer(size);
    size_t got = 0;
    EXPECT_EQ(port.Read(buffer.data(), buffer.size(), got, 100), NoError);
    return std::string(buffer.data(), got);
}

TEST(PushbackPort, PutBackBytesAreReadFirstAndTracedWhenHandedOut)
{
    const std::string wire = "socket";
    TracedPort traced(wire);
    ASSERT_TRUE(traced.opened);
    PushbackPort& port = traced.port;
    const ByteSniffer& sniffer = traced.sniffer;

    // A read past the end of one reply: shown only in part, the rest put back.
    char buffer[16] = {};
    size_t got = 0;
    EXPECT_EQ(port.ReadUnshown(buffer, 4, got, 100), NoError);
    ASSERT_EQ(got, 4u);
    EXPECT_EQ(sniffer.size(), 0u);
    EXPECT_EQ(port.readAhead(), 2u) << "one receive takes what has arrived";
    port.show(buffer, 1);
    EXPECT_TRUE(port.putBack(buffer + 1, 3));
    EXPECT_EQ(text(sniffer), "s");
    // Newer put-back bytes go in front of those still held.
    EXPECT_TRUE(port.putBack("AB", 2));
    EXPECT_EQ(port.pending(), 5u);

    // Served in pieces, never mixed with the wrapped port's bytes in one read.
    EXPECT_EQ(readOnce(port, 3), "ABo");
    EXPECT_EQ(port.readAhead(), 2u) << "bytes read ahead were served before those put back";
    EXPECT_EQ(readOnce(port, 16), "ck");
    EXPECT_EQ(port.pending(), 0u);
    EXPECT_EQ(readOnce(port, 16), "et");
    EXPECT_EQ(text(sniffer), "sABocket");

    // Unshown reads of held bytes stay out of the trace too.
    EXPECT_TRUE(port.putBack("xyz", 3));
    EXPECT_EQ(port.ReadUnshown(buffer, 2, got, 100), NoError);
    EXPECT_EQ(std::string(buffer, got), "xy");
    EXPECT_EQ(text(sniffer), "sABocket");
    EXPECT_EQ(readOnce(port, 16), "z");
    port.setReadSniffer(nullptr);
}

TEST(PushbackPort, HoldsAtMostOneReadsWorthAndDropsItWithTheLink)
{
    MemPort inner;
    const std::string wire = "after";
    ASSERT_EQ(inner.Open(wire.data(), wire.size()), NoError);
    PushbackPort port(inner, nullptr);

    const std::string full(PushbackPort::Capacity, 'f');
    EXPECT_FALSE(port.putBack(full.data(), full.size() + 1));
    EXPECT_EQ(port.pending(), 0u) << "a refused put-back keeps nothing";
    EXPECT_TRUE(port.putBack(full.data(), full.size()));
    EXPECT_FALSE(port.putBack("g", 1));
    EXPECT_EQ(port.pending(), PushbackPort::Capacity);
    EXPECT_EQ(readOnce(port, PushbackPort::Capacity + 10), full);

    // Refilled after being partly read: what is held moves to make room.
    EXPECT_TRUE(port.putBack(full.data(), 200));
    EXPECT_EQ(readOnce(port, 150), full.substr(0, 150));
    EXPECT_TRUE(port.putBack("0123456789", 10));
    EXPECT_TRUE(port.putBack(full.data(), PushbackPort::Capacity - 60));
    EXPECT_FALSE(port.putBack("h", 1));
    EXPECT_EQ(readOnce(port, PushbackPort::Capacity), full.substr(0, 196) + "0123456789" + full.substr(0, 50));

    EXPECT_TRUE(port.putBack("stale", 5));
    port.discard();
    EXPECT_EQ(readOnce(port, 16), "after");

    EXPECT_TRUE(port.putBack("stale", 5));
    EXPECT_EQ(port.Open("127.0.0.1", 1), Fail); // a memory port cannot be opened by name
    EXPECT_EQ(port.pending(), 0u) << "reopening keeps bytes of the old link";

    EXPECT_TRUE(port.putBack("stale", 5));
    EXPECT_EQ(port.Close(), NoError);
    EXPECT_EQ(port.pending(), 0u) << "closing keeps bytes of the old link";
    EXPECT_FALSE(inner.isOpened());
}

TEST(PushbackPort, BytesReadAheadAreServedInOrderShownWhenHandedOutAndDroppedWithTheLink)
{
    const std::string wire = "0123456789abcdef";
    TracedPort traced(wire);
    ASSERT_TRUE(traced.opened);
    MemPort& inner = traced.inner;
    PushbackPort& port = traced.port;
    const ByteSniffer& sniffer = traced.sniffer;

    EXPECT_EQ(readOnce(port, 4), "0123");
    EXPECT_EQ(inner.position(), wire.size());
    EXPECT_EQ(port.readAhead(), 12u);
    EXPECT_EQ(text(sniffer), "0123") << "bytes read ahead are shown only when handed out";

    // A reader's surplus goes back in front of what was read ahead.
    char buffer[8] = {};
    size_t got = 0;
    EXPECT_EQ(port.ReadUnshown(buffer, 5, got, 100), NoError);
    EXPECT_EQ(std::string(buffer, got), "45678");
    port.show(buffer, 2);
    EXPECT_TRUE(port.putBack(buffer + 2, 3));
    EXPECT_EQ(readOnce(port, 16), "678");
    EXPECT_EQ(readOnce(port, 2), "9a");
    EXPECT_EQ(readOnce(port, 16), "bcdef");
    EXPECT_EQ(port.readAhead(), 0u);
    EXPECT_EQ(text(sniffer), wire);
    port.setReadSniffer(nullptr);
    const auto reopen = [&] {
        inner.Close();
        ASSERT_EQ(inner.Open(wire.data(), wire.size()), NoError);
    };

    // Reads as large as the read-ahead store go straight to the caller.
    reopen();
    std::vector<char> large(PushbackPort::ReadAhead);
    EXPECT_EQ(port.Read(large.data(), large.size(), got, 100), NoError);
    EXPECT_EQ(std::string(large.data(), got), wire);

    // Dropped on abandon, close and reopen: the next bytes are the link's own.
    reopen();
    EXPECT_EQ(readOnce(port, 2), "01");
    port.discard();
    EXPECT_EQ(port.readAhead(), 0u);
    reopen();
    EXPECT_EQ(readOnce(port, 2), "01");
    EXPECT_EQ(port.Open("127.0.0.1", 1), Fail);
    EXPECT_EQ(port.readAhead(), 0u);
    reopen();
    EXPECT_EQ(readOnce(port, 2), "01");
    EXPECT_EQ(port.Close(), NoError);
    EXPECT_EQ(port.readAhead(), 0u);
    EXPECT_EQ(port.Read(buffer, sizeof buffer, got, 100), Fail) << "nothing is served from a closed link";
    EXPECT_EQ(got, 0u);
}

} // namespace

TEST(PushbackPort, AwaitingBytesReadsThemAheadUnshownAndReportsAnEndedLink)
{
    const std::string wire = "reply";
    TracedPort traced(wire);
    ASSERT_TRUE(traced.opened);
    MemPort& inner = traced.inner;
    PushbackPort& port = traced.port;
    const ByteSniffer& sniffer = traced.sniffer;

    // 0 only looks: the bytes there are read ahead, none waited for.
    EXPECT_EQ(port.awaitBytes(0), IReplyWatch::Wake::Bytes);
    EXPECT_EQ(inner.position(), wire.size());
    EXPECT_EQ(port.readAhead(), wire.size());
    EXPECT_EQ(sniffer.size(), 0u) << "bytes are shown when a reply reader takes them";
    // Bytes already here answer at once, without another read.
    EXPECT_EQ(port.awaitBytes(100), IReplyWatch::Wake::Bytes);
    EXPECT_EQ(readOnce(port, 3), "rep");
    EXPECT_TRUE(port.putBack("e", 1));
    EXPECT_EQ(readOnce(port, 16), "e");
    EXPECT_EQ(port.awaitBytes(100), IReplyWatch::Wake::Bytes);
    EXPECT_EQ(readOnce(port, 16), "ly");
    EXPECT_EQ(text(sniffer), "repely");

    // The wrapped port has nothing more (a peer that closed), or is closed.
    EXPECT_EQ(port.awaitBytes(100), IReplyWatch::Wake::Closed);
    EXPECT_EQ(port.Close(), NoError);
    EXPECT_EQ(port.awaitBytes(100), IReplyWatch::Wake::Closed);
    EXPECT_EQ(port.readAhead(), 0u);
}

namespace {

// A wrapped port that has no data but what a test gives it, and tells what
// each read was allowed.
class SilentPort final : public Port {
public:
    SilentPort() : Port(EventCallback()) {}
    ErrorCode Open(const std::string&, uint16_t) override { return NoError; }
    ErrorCode Close() override { return NoError; }
    ErrorCode Write(const char*, size_t length, size_t& written) override
    {
        written = length;
        return NoError;
    }
    ErrorCode Read(char* buffer, size_t, size_t& got, uint32_t timeout_ms) override
    {
        limits.push_back(timeout_ms);
        got = 0;
        if (data.empty())
            return Timeout;
        buffer[0] = data.back();
        data.pop_back();
        got = 1;
        return NoError;
    }
    void setWriteSniffer(ISniffer*) override {}
    void setReadSniffer(ISniffer*) override {}
    std::vector<uint32_t> limits;
    std::string data;
};

} // namespace

TEST(PushbackPort, AReplyAwaitedBeforeItsFirstReadCountsItsLimitFromThen)
{
    using Clock = TimingPolicy::Clock;
    SilentPort inner;
    PushbackPort port(inner, nullptr);
    char byte = 0;
    size_t got = 0;

    // Awaited for 60 ms already: the first wait gets what is left of 100.
    port.awaitedSince(Clock::now() - std::chrono::milliseconds(60));
    EXPECT_EQ(port.Read(&byte, 1, got, 100), Timeout);
    // Every later wait counts from itself; so does one without a limit.
    EXPECT_EQ(port.Read(&byte, 1, got, 100), Timeout);
    port.awaitedSince(Clock::now() - std::chrono::milliseconds(60));
    EXPECT_EQ(port.Read(&byte, 1, got, TimingPolicy::NoLimitMs), Timeout);
    // Spent already: a look, not an endless wait.
    port.awaitedSince(Clock::now() - std::chrono::milliseconds(500));
    EXPECT_EQ(port.Read(&byte, 1, got, 100), Timeout);
    ASSERT_EQ(inner.limits.size(), 4u);
    EXPECT_GE(inner.limits[0], 30u);
    EXPECT_LE(inner.limits[0], 41u);
    EXPECT_EQ(inner.limits[1], 100u);
    EXPECT_EQ(inner.limits[2], TimingPolicy::NoLimitMs);
    EXPECT_EQ(inner.limits[3], 0u);

    // Bytes already held answer the first read: the next wait is a fresh one.
    inner.data = "x";
    ASSERT_EQ(port.awaitBytes(0), IReplyWatch::Wake::Bytes);
    port.awaitedSince(Clock::now() - std::chrono::milliseconds(60));
    EXPECT_EQ(port.Read(&byte, 1, got, 100), NoError);
    EXPECT_EQ(port.Read(&byte, 1, got, 100), Timeout);
    EXPECT_EQ(inner.limits.back(), 100u);
    // A dropped stream forgets it too.
    port.awaitedSince(Clock::now() - std::chrono::milliseconds(60));
    port.discard();
    EXPECT_EQ(port.Read(&byte, 1, got, 100), Timeout);
    EXPECT_EQ(inner.limits.back(), 100u);
}
