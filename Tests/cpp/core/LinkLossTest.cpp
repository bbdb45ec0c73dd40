// A lost link, as a caller meets it: one Error event whose text is the
// connection's LinkLossCause, whatever reader met the loss; the loss's code
// for every call whose request went out (queued ones included), EBADF for a
// call that finds the link down; the cause of each kind of loss and of each
// failed Connect; calls made while another thread connects.
#include "Connection/Port/TCP/LinkLoss.h"
#include "Connection/Port/TCP/Connection_TCP.h"
#include "Harness.h"
#include "support/FakePeer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <thread>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::CoreTesting;
using Clock = std::chrono::steady_clock;
using Testing::FakePeer;

namespace {

const ErrorCode BadDescriptor = systemError(EBADF);

std::string causeOf(Connection_TCP& conn)
{
    std::string_view cause;
    EXPECT_EQ(conn.ReadStringAttribute("LinkLossCause", cause), NoError);
    return std::string(cause);
}

// "<sentence> at HH:MM:SS"
bool saysAt(const std::string& cause, const std::string& sentence)
{
    const std::string at = " at 00:00:00";
    if (cause.size() != sentence.size() + at.size() || cause.compare(0, sentence.size(), sentence) != 0)
        return false;
    for (size_t i = 0; i < at.size(); ++i) {
        const char c = cause[sentence.size() + i];
        if (at[i] == '0' ? (c < '0' || c > '9') : c != at[i])
            return false;
    }
    return true;
}

bool waitUntil(const std::function<bool()>& done, int timeout_ms = 5000)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// One reader of a reply, and the start of such a reply with its end missing.
struct Reader {
    const char* name;
    std::function<ErrorCode(Connection_TCP&)> call;
    std::function<Bytes(const Testing::Wire&)> partialReply;
};

std::vector<Reader> everyReader()
{
    static double values[4];
    static DataStreamPacket packet;
    packet.buff_length = 8;
    const auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    return {
        {"simple reply", [](Connection_TCP& c) { return c.ReadVrValue(1, values[0]); },
         [](const Testing::Wire& w) {
             Bytes reply = w.reply(5.0);
             reply.resize(3);
             return reply;
         }},
        {"value list", [](Connection_TCP& c) { return c.ReadMultiVrValues(0, 4, values); },
         [text](const Testing::Wire& w) {
             Bytes reply = w.reply(0.0);
             Testing::append(reply, text("1.5,2"));
             return reply;
         }},
        {"VR string",
         [](Connection_TCP& c) {
             return c.ReadVrString(
                 3, nullptr, [](void*, DataStreamPacket*) {}, &packet);
         },
         [text](const Testing::Wire&) { return text("12#abc"); }},
        {"directory listing", [](Connection_TCP& c) { return c.Dir(nullptr, [](void*, const ControllerFileInfo&) {}); },
         [text](const Testing::Wire&) { return text("RAM\r\nPROG1,100,80,-1,2,1,0\r\n"); }},
    };
}

} // namespace

TEST(LinkLoss, EveryReaderReportsALostLinkOnceAndEveryCallSentBeforeGetsItsCode)
{
    constexpr int ReplyLimitMs = 600;
    for (const Reader& reader : everyReader()) {
        for (const bool closed : {false, true}) {
            SCOPED_TRACE(std::string(reader.name) + (closed ? ", controller closes" : ", controller falls silent"));
            EventLog log;
            FakePeer peer;
            std::unique_ptr<Connection_TCP> conn = Testing::makeConnection(peer.port(), log.callback());
            ASSERT_EQ(conn->WriteIntAttribute("TCP_Timeout", ReplyLimitMs), NoError);
            ASSERT_EQ(conn->Connect(), NoError);
            EXPECT_EQ(causeOf(*conn), "");
            // The reply starts once a second call is queued behind this one.
            peer.pause(300).send(reader.partialReply(peer.wire()));
            if (closed)
                peer.pause(20).closeClient();

            ErrorCode first = NoError;
            std::thread caller([&] { first = reader.call(*conn); });
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ErrorCode behind = NoError;
            std::thread queued([&] {
                double value = 0.0;
                behind = conn->ReadVrValue(9, value);
            });
            EXPECT_TRUE(waitUntil([&] { return conn->readerPump()->queuedCount() == 1; }));
            caller.join();
            queued.join();

            const ErrorCode loss = closed ? systemError(ENOTCONN) : Timeout;
            EXPECT_EQ(first, loss);
            EXPECT_EQ(behind, loss) << "its request went out before the loss";
            EXPECT_FALSE(conn->IsConnected());
            double value = 0.0;
            EXPECT_EQ(conn->ReadVrValue(2, value), BadDescriptor) << "nothing is sent on a lost link";
            std::this_thread::sleep_for(std::chrono::milliseconds(50));

            const auto errors = log.ofType(EventType::Error);
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0].code, loss);
            EXPECT_EQ(errors[0].text, causeOf(*conn));
            EXPECT_TRUE(saysAt(errors[0].text, closed ? "the link was closed by the controller"
                                                      : "no reply within 600 ms (TCP_Timeout)"))
                << errors[0].text;
        }
    }
}

// A connected link with one call waiting for its reply, whose request the
// controller has begun to read.
struct CallInFlight {
    FakeController ctl;
    EventLog log;
    std::unique_ptr<Connection_TCP> conn = Testing::makeConnection(ctl.port(), log.callback());
    ErrorCode code = NoError;
    std::thread caller;

    bool start()
    {
        std::thread connector([&] { EXPECT_EQ(conn->Connect(), NoError); });
        const bool connected = ctl.handshake(1.0, 206);
        connector.join();
        caller = std::thread([this] {
            double value = 0.0;
            code = conn->getSystemVariable(Token::tVERSION, value);
        });
        Bytes request;
        return connected && ctl.peer().readExact(1, request, 3000);
    }
    // The call's code once it returned.
    ErrorCode result()
    {
        caller.join();
        return code;
    }
    ~CallInFlight()
    {
        if (caller.joinable())
            caller.join();
    }
};

TEST(LinkLoss, EachKindOfLossHasItsOwnCauseAndCode)
{
    // Reset by the controller, while a call waits for its reply.
    {
        CallInFlight reset;
        ASSERT_TRUE(reset.start());
        const linger abort{1, 0};
        ASSERT_EQ(::setsockopt(reset.ctl.peer().fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
        reset.ctl.peer().close();
        EXPECT_EQ(reset.result(), systemError(ECONNRESET));
        EXPECT_TRUE(saysAt(causeOf(*reset.conn), "the link was reset by the controller")) << causeOf(*reset.conn);
        EXPECT_EQ(reset.log.ofType(EventType::Error).size(), 1u);
    }

    // Closed by the caller: the calls waiting learn it, no event is raised,
    // and the cause stays until the next Connect.
    {
        CallInFlight closed;
        ASSERT_TRUE(closed.start());
        Connection_TCP& conn = *closed.conn;
        EXPECT_EQ(conn.Disconnect(), NoError);
        EXPECT_EQ(closed.result(), systemError(ECONNABORTED));
        EXPECT_TRUE(saysAt(causeOf(conn), "closed by the caller")) << causeOf(conn);
        EXPECT_TRUE(closed.log.ofType(EventType::Error).empty());
        EXPECT_EQ(conn.Disconnect(), NoError);
        EXPECT_TRUE(saysAt(causeOf(conn), "closed by the caller")) << "a second Disconnect changes nothing";
        std::thread reconnect([&] { EXPECT_EQ(conn.Connect(), NoError); });
        ASSERT_TRUE(closed.ctl.handshake(1.0, 206));
        reconnect.join();
        EXPECT_EQ(causeOf(conn), "");
    }

    // A socket that keepalive found gone reads ETIMEDOUT; without keepalive
    // the same error is told as what it is.
    EXPECT_TRUE(saysAt(LinkLoss::fromSocketError(ETIMEDOUT, true), "keepalive found the controller gone"));
    EXPECT_TRUE(saysAt(LinkLoss::fromSocketError(ETIMEDOUT, false),
                       "the link failed (system error 110: Connection timed out)"));
    EXPECT_TRUE(saysAt(LinkLoss::fromSocketError(EPIPE, true), "the link was closed by the controller"));
}

TEST(LinkLoss, AFailedConnectSaysWhyWithItsCode)
{
    struct Case {
        const char* what;
        std::function<void(Connection_TCP&)> aim;
        ErrorCode code;
        std::string cause; // " at HH:MM:SS" follows unless `timeless`
        bool timeless;
    };
    const uint16_t closed = closedPort();
    const Case cases[] = {
        {"refused", [&](Connection_TCP& c) { c.WriteIntAttribute("TCP_Port", closed); }, systemError(ECONNREFUSED),
         "connection refused by 127.0.0.1:" + std::to_string(closed), false},
        {"a name that does not resolve",
         [](Connection_TCP& c) {
             // Resolved here, never on the network.
             c.port().setResolver([](const std::string&, uint32_t&) { return false; });
             c.WriteStringAttribute("TCP_HostName", "plc7.invalid");
         },
         systemError(EHOSTUNREACH), "cannot resolve host 'plc7.invalid'", true},
        {"an IPv6 address", [](Connection_TCP& c) { c.WriteStringAttribute("TCP_HostName", "::1"); },
         systemError(EAFNOSUPPORT), "IPv6 addresses are not supported ('::1')", true},
        {"an IPv6 address in brackets",
         [](Connection_TCP& c) { c.WriteStringAttribute("TCP_HostName", "[fe80::1%lo]"); }, systemError(EAFNOSUPPORT),
         "IPv6 addresses are not supported ('[fe80::1%lo]')", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EventLog log;
        auto conn = Testing::makeConnection(closed, log.callback());
        c.aim(*conn);
        EXPECT_EQ(conn->Connect(), c.code);
        const std::string cause = causeOf(*conn);
        EXPECT_TRUE(c.timeless ? cause == c.cause : saysAt(cause, c.cause)) << cause;
        const auto errors = log.ofType(EventType::Error);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].code, c.code);
        EXPECT_EQ(errors[0].text, cause);
        EXPECT_FALSE(conn->IsConnected());
    }

    // No answer within the connect limit: a listener whose accept queue is
    // full drops the connection request.
    Listener full(0, 0);
    std::vector<PeerSocket> fillers;
    for (int i = 0; i < 8; ++i) {
        fillers.emplace_back(connectRaw(full.port(), SOCK_NONBLOCK));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EventLog log;
    auto conn = Testing::makeConnection(full.port(), log.callback());
    ASSERT_EQ(conn->WriteIntAttribute("TCP_ConnectTimeout", 200), NoError);
    EXPECT_EQ(conn->Connect(), systemError(ETIMEDOUT));
    EXPECT_TRUE(saysAt(causeOf(*conn), "no answer from 127.0.0.1:" + std::to_string(full.port()) +
                                           " within 200 ms (TCP_ConnectTimeout)"))
        << causeOf(*conn);

    // A controller whose token table never ends: the connect sequence failed
    // after the port opened.
    FakeController ctl;
    auto slow = Testing::makeConnection(ctl.port(), log.callback());
    ASSERT_EQ(slow->WriteIntAttribute("TCP_Timeout", 100), NoError);
    ErrorCode code = NoError;
    std::thread connector([&] { code = slow->Connect(); });
    ASSERT_TRUE(ctl.accept() && ctl.sendTable(false));
    connector.join();
    EXPECT_EQ(code, TokenTable);
    EXPECT_TRUE(saysAt(causeOf(*slow), "connecting to 127.0.0.1:" + std::to_string(ctl.port()) +
                                           " failed (the controller's token table could not be downloaded)"))
        << causeOf(*slow);
}

TEST(LinkLoss, CallsMadeWhileAnotherThreadConnectsWaitForIt)
{
    FakeController ctl;
    EventLog log;
    auto conn = Testing::makeConnection(ctl.port(), log.callback());
    ErrorCode connected = Fail;
    std::thread connector([&] { connected = conn->Connect(); });
    ASSERT_TRUE(ctl.accept());
    ASSERT_TRUE(waitUntil([&] { return conn->IsConnected(); }));

    // The link is open, the sequence not done: a call waits for it and then
    // goes out; one whose deadline comes first fails having sent nothing.
    ErrorCode waited = Fail;
    double value = 0.0;
    std::thread caller([&] { waited = conn->getSystemVariable(Token::tVERSION, value); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(conn->WriteIntAttribute("TCP_Deadline", 100), NoError);
    double ignored = 0.0;
    EXPECT_EQ(conn->getSystemVariable(Token::tCONTROL, ignored), Fail);
    ASSERT_EQ(conn->WriteIntAttribute("TCP_Deadline", 0), NoError);

    ASSERT_TRUE(ctl.sendTable());
    ASSERT_TRUE(ctl.answerSysVar("VERSION", 1.0));
    ASSERT_TRUE(ctl.answerSysVar("CONTROL", 206.0));
    connector.join();
    EXPECT_EQ(connected, NoError);
    ASSERT_TRUE(ctl.expect(ctl.wire().sysvar("VERSION").zero()));
    ASSERT_TRUE(ctl.send(ctl.reply(7.5)));
    caller.join();
    EXPECT_EQ(waited, NoError);
    EXPECT_EQ(value, 7.5);
    EXPECT_TRUE(ctl.peer().readSome(100).empty()) << "the call that gave up sent nothing";

    // A call from the connecting thread itself (its event handler) cannot
    // wait for its own Connect: it fails at once.
    FakeController other;
    ErrorCode fromHandler = NoError;
    std::unique_ptr<Connection_TCP> self;
    self = Testing::makeConnection(other.port(), [&](EventType type, uint64_t, const std::string_view& text) {
        if (type == EventType::Message && text.rfind("Connected to", 0) == 0) {
            double v = 0.0;
            fromHandler = self->ReadVrValue(1, v);
        }
    });
    std::thread selfConnector([&] { EXPECT_EQ(self->Connect(), NoError); });
    ASSERT_TRUE(other.handshake(1.0, 206));
    selfConnector.join();
    EXPECT_EQ(fromHandler, Fail);
}
