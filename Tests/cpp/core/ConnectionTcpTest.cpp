#include "Connection/Port/TCP/Commands/Base/CmdArray.h"
#include "Connection/Port/TCP/Connection_TCP.h"
#include "Harness.h"
#include "SharedLib/MemPort.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <dlfcn.h>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::CoreTesting;
using Clock = std::chrono::steady_clock;

namespace {

// A bracketed-index command that prints both trace lines; optionally calls
// back into its connection from the pump thread, as a handler might.
class CmdProbe : public TCP::CmdArray {
public:
    explicit CmdProbe(Connection_TCP* conn, bool reenter = false) : CmdArray(conn), _reenter(reenter)
    {
        _requestTrace = TraceRequest::OnSuccess;
        _replyTrace = TraceReply::Always;
    }
    const char* name() const override { return "CmdProbe"; }
    ErrorCode readReply() override
    {
        if (_reenter) {
            double value = 0.0;
            nested[0] = connection().getSystemVariable(Token::tVERSION, value);
            nested[1] = connection().Disconnect();
            nested[2] = connection().Connect();
        }
        return CmdArray::readReply();
    }
    ErrorCode nested[3] = {NoError, NoError, NoError};

private:
    bool _reenter;
};

struct Session {
    EventLog log;
    FakeController ctl;
    std::unique_ptr<Connection_TCP> conn = Testing::makeConnection(ctl.port(), log.callback());

    // Connect runs on a helper thread while this one plays the controller.
    template <typename Script>
    ErrorCode connectWith(Script script)
    {
        ErrorCode result = Fail;
        std::thread connector([&] { result = conn->Connect(); });
        script();
        connector.join();
        return result;
    }
    ErrorCode connect(double version = 1.0, double type = 206)
    {
        return connectWith([&] { EXPECT_TRUE(ctl.handshake(version, type)); });
    }

    ErrorCode query(double& value) { return conn->getSystemVariable(Token::tVERSION, value); }
    Bytes queryRequest() { return ctl.wire().sysvar("VERSION").zero(); }
    Bytes probeRequest(uint32_t index)
    {
        return ctl.wire().tok("VR").tok("OPENBRACKETS").num(index).tok("CLOSEBRACKETS").zero();
    }
    ErrorCode probe(CmdProbe& cmd, size_t count, const uint32_t* indices, double* target = nullptr)
    {
        return conn->runCommand(cmd, [&] { return cmd.send(Token::tVR, count, indices, target); });
    }
};

} // namespace

TEST(ConnectionTcp, AttributesStoreWhatIsWrittenAndCheckNameAndType)
{
    Connection_TCP conn(CreateParams{ConnectionType::TCP, {}});
    EXPECT_FALSE(conn.IsConnected());
    std::string_view host = "x";
    int64_t value = -1;
    EXPECT_EQ(conn.ReadStringAttribute("TCP_HostName", host), NoError);
    EXPECT_TRUE(host.empty());
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Port", value), NoError);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Trace", value), NoError);
    EXPECT_EQ(value, 1);

    // Every integer attribute: its default, both ends of its range kept, one
    // step beyond either end refused with the value unchanged.
    struct Range {
        const char* name;
        int64_t byDefault, low, high;
    };
    const Range ranges[] = {
        {"TCP_Port", 0, 0, 65535},       {"TCP_Timeout", 10000, 1, 3600000}, {"TCP_ConnectTimeout", 5000, 1, 3600000},
        {"TCP_Deadline", 0, 0, 3600000}, {"TCP_KeepAlive", 10, 0, 3600},     {"TCP_NoDelay", -1, -1, 1},
    };
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(conn.ReadIntAttribute(r.name, value), NoError);
        EXPECT_EQ(value, r.byDefault);
        for (int64_t accepted : {r.low, r.high}) {
            EXPECT_EQ(conn.WriteIntAttribute(r.name, accepted), NoError);
            EXPECT_EQ(conn.ReadIntAttribute(r.name, value), NoError);
            EXPECT_EQ(value, accepted);
        }
        for (int64_t refused : {r.low - 1, r.high + 1, std::numeric_limits<int64_t>::min()})
            EXPECT_EQ(conn.WriteIntAttribute(r.name, refused), BadArgument);
        EXPECT_EQ(conn.ReadIntAttribute(r.name, value), NoError);
        EXPECT_EQ(value, r.high) << "a refused value leaves the attribute as it was";
        EXPECT_EQ(conn.WriteStringAttribute(r.name, "1"), ConnectionWrongAttribType);
    }
    // A typo in the port never reaches another service (70000 is not 4464).
    EXPECT_EQ(conn.WriteIntAttribute("TCP_Port", 3250), NoError);
    EXPECT_EQ(conn.WriteIntAttribute("TCP_Port", 70000), BadArgument);
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Port", value), NoError);
    EXPECT_EQ(value, 3250);
    EXPECT_EQ(conn.ReadIntAttribute("InterfaceLevel", value), NoError);
    EXPECT_EQ(value, InterfaceLevel);
    EXPECT_EQ(conn.WriteIntAttribute("InterfaceLevel", 1), BadArgument) << "read-only";
    EXPECT_EQ(conn.WriteStringAttribute("TCP_HostName", "controller.local"), NoError);
    // 2 sends the lines to the event callback; any other non-zero value
    // means standard output, as it always has.
    const std::pair<int64_t, int64_t> traces[] = {{2, 2}, {7, 1}, {-1, 1}, {0, 0}};
    for (auto [written, stored] : traces) {
        EXPECT_EQ(conn.WriteIntAttribute("TCP_Trace", written), NoError);
        EXPECT_EQ(conn.ReadIntAttribute("TCP_Trace", value), NoError);
        EXPECT_EQ(value, stored);
    }

    // Wrong type, unknown and differently cased names change nothing.
    EXPECT_EQ(conn.WriteStringAttribute("TCP_Port", "3240"), static_cast<ErrorCode>(0x100000005));
    EXPECT_EQ(conn.ReadIntAttribute("TCP_HostName", value), static_cast<ErrorCode>(0x100000005));
    EXPECT_EQ(conn.WriteIntAttribute("TCP_HostName", 1), ConnectionWrongAttribType);
    EXPECT_EQ(conn.ReadStringAttribute("TCP_Trace", host), ConnectionWrongAttribType);
    EXPECT_EQ(conn.WriteStringAttribute("tcp_hostname", "a"), static_cast<ErrorCode>(0x100000004));
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Port ", value), ConnectionUnknownAttrib);
    EXPECT_EQ(conn.ReadStringAttribute("TCP_HostName", host), NoError);
    EXPECT_EQ(host, "controller.local");
    EXPECT_FALSE(conn.traceEnabled());
}

TEST(ConnectionTcp, FactoryServesOnlyTcpAndNoPumpMeansFail)
{
    void* library = ::dlopen(HOLVANE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    auto factory = reinterpret_cast<FactoryFunction>(::dlsym(library, "factory"));
    ASSERT_NE(factory, nullptr);
    IConnection* const sentinel = reinterpret_cast<IConnection*>(0x1234);
    for (ConnectionType type : {ConnectionType::UDP, ConnectionType::RS232, ConnectionType::QUENTA,
                                ConnectionType::ZELIK7, ConnectionType::Unknown}) {
        IConnection* slot = sentinel;
        EXPECT_EQ(factory(CreateParams{type, {}}, slot), static_cast<ErrorCode>(0x100000003));
        EXPECT_EQ(slot, sentinel);
    }
    IConnection* connection = nullptr;
    ASSERT_EQ(factory(CreateParams{ConnectionType::TCP, {}}, connection), NoError);
    EXPECT_FALSE(connection->IsConnected());
    EXPECT_EQ(connection->Disconnect(), NoError); // before any Connect
    double value = 1.0;
    EXPECT_EQ(connection->ReadVrValue(1, value), Fail);
    connection->DeleteMe();
    ::dlclose(library);

    // After a refused connect there is no pump either.
    Session s;
    s.conn->WriteIntAttribute("TCP_Port", closedPort());
    EXPECT_EQ(s.conn->Connect(), static_cast<ErrorCode>(0x20000006F));
    EXPECT_FALSE(s.conn->IsConnected());
    EXPECT_EQ(s.query(value), Fail);
    EXPECT_EQ(value, 1.0);
}

TEST(ConnectionTcp, ConnectSettlesTheNumberFormatAndKeepsOrReplacesTheLink)
{
    Session s;
    ASSERT_EQ(s.connect(1.0, 206), NoError);
    EXPECT_TRUE(s.conn->IsConnected());
    EXPECT_EQ(s.conn->getFloatSize(), 4u);
    EXPECT_TRUE(s.log.hasText("Connected to 127.0.0.1"));
    EXPECT_TRUE(s.log.ofType(EventType::Error).empty());
    double value = 0.0;
    s.ctl.send(s.ctl.reply(2.5));
    EXPECT_EQ(s.query(value), NoError);
    EXPECT_EQ(value, 2.5);
    EXPECT_TRUE(s.ctl.expect(s.queryRequest()));

    // Same explicit endpoint: nothing happens on the wire.
    EXPECT_EQ(s.conn->Connect(), NoError);
    EXPECT_TRUE(s.ctl.peer().readSome(100).empty());

    // Another endpoint: the old link closes first; an IEEE controller gives
    // eight-byte numbers, read without rounding.
    FakeController second;
    s.conn->WriteIntAttribute("TCP_Port", second.port());
    EXPECT_EQ(s.connectWith([&] {
        EXPECT_TRUE(s.ctl.peer().waitClosed(3000));
        EXPECT_TRUE(second.handshake(2.0, 400));
    }),
              NoError);
    EXPECT_EQ(s.conn->getFloatSize(), 8u);
    second.send(second.reply(1.0 / 3.0));
    EXPECT_EQ(s.query(value), NoError);
    EXPECT_EQ(value, 1.0 / 3.0);
    EXPECT_TRUE(second.expect(second.wire().sysvar("VERSION").zero()));

    s.conn.reset(); // destruction closes the link
    EXPECT_TRUE(second.peer().waitClosed(3000));
}

TEST(ConnectionTcp, FailedConnectStepsLeaveAClearState)
{
    Session cut; // table cut short by the controller: disconnected again
    EXPECT_NE(cut.connectWith([&] {
        ASSERT_TRUE(cut.ctl.accept());
        cut.ctl.sendTable(false);
        cut.ctl.peer().close();
    }),
              NoError);
    EXPECT_FALSE(cut.conn->IsConnected());

    Session s; // the version query carries a controller error
    EXPECT_EQ(s.connectWith([&] {
        ASSERT_TRUE(s.ctl.accept() && s.ctl.sendTable());
        s.ctl.answerSysVar("VERSION", 0.0, 5.0);
    }),
              static_cast<ErrorCode>(0x400000005));
    EXPECT_TRUE(s.conn->IsConnected());
    double value = 1.0;
    EXPECT_EQ(s.query(value), Fail); // nothing runs in an unsettled format
    EXPECT_TRUE(s.ctl.peer().readSome(100).empty());
    // Connecting again redoes the sequence rather than calling it connected.
    EXPECT_EQ(s.connectWith([&] {
        EXPECT_TRUE(s.ctl.peer().waitClosed(3000));
        EXPECT_TRUE(s.ctl.handshake(1.0, 206));
    }),
              NoError);

    Session zero; // controller type 0
    EXPECT_EQ(zero.connectWith([&] {
        ASSERT_TRUE(zero.ctl.accept() && zero.ctl.sendTable());
        zero.ctl.answerSysVar("VERSION", 2.0);
        zero.ctl.answerSysVar("CONTROL", 0.0);
    }),
              static_cast<ErrorCode>(0x10000000B));
}

TEST(ConnectionTcp, UnendingTokenTableFailsAfterTcpTimeoutOfSilence)
{
    Session s;
    s.conn->WriteIntAttribute("TCP_Timeout", 1000); // the default is tested on a reply below
    Clock::time_point start;
    EXPECT_EQ(s.connectWith([&] {
        ASSERT_TRUE(s.ctl.accept() && s.ctl.sendTable(false));
        start = Clock::now();
    }),
              static_cast<ErrorCode>(0x100000006));
    EXPECT_GE(msSince(start), 900);
    EXPECT_LT(msSince(start), 6000);
    EXPECT_FALSE(s.conn->IsConnected());
}

TEST(ConnectionTcp, ControllerStatusFoldsToSixteenBitsAndKeepsTheLink)
{
    Session s;
    ASSERT_EQ(s.connect(2.0, 400), NoError);
    double value = 42.0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, ErrorCode> cases[] = {{3.0, static_cast<ErrorCode>(0x400000003)},
                                                  {65539.0, static_cast<ErrorCode>(0x400000003)},
                                                  {-1.0, static_cast<ErrorCode>(0x40000FFFF)},
                                                  {nan, BadResponse}};
    for (auto [status, expected] : cases) {
        s.ctl.send(s.ctl.reply(7.0, status));
        EXPECT_EQ(s.query(value), expected) << status;
        EXPECT_EQ(value, 42.0); // untouched on error
        EXPECT_TRUE(s.ctl.expect(s.queryRequest()));
    }
    s.ctl.send(s.ctl.reply(8.0, 65536.0)); // no low bits: no error
    EXPECT_EQ(s.query(value), NoError);
    EXPECT_EQ(value, 8.0);
    EXPECT_TRUE(s.conn->IsConnected());

    // The reader over a recorded reply: value then status.
    Bytes recorded = s.ctl.reply(12.5, 0.0);
    Testing::append(recorded, s.ctl.reply(0.0, 7.0));
    MemPort memory;
    ASSERT_EQ(memory.Open(reinterpret_cast<const char*>(recorded.data()), recorded.size()), NoError);
    uint16_t status = 99;
    EXPECT_EQ(s.conn->GetResponse(memory, &value, &status), NoError);
    EXPECT_EQ(value, 12.5);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(s.conn->GetResponse(memory, &value, &status), static_cast<ErrorCode>(0x400000007));
    EXPECT_EQ(status, 7);
    EXPECT_NE(s.conn->GetResponse(memory, &value, nullptr), NoError); // exhausted, not hung
    EXPECT_TRUE(s.conn->IsConnected());
}

TEST(ConnectionTcp, ReplyCutShortAbandonsTheStreamUntilTheNextConnect)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    const Bytes reply = s.ctl.reply(5.0);
    s.ctl.send(Bytes(reply.begin(), reply.begin() + 3));
    s.ctl.peer().close();
    double value = 0.0;
    const auto start = Clock::now();
    EXPECT_NE(s.query(value), NoError);
    EXPECT_FALSE(s.conn->IsConnected());
    EXPECT_EQ(s.query(value), static_cast<ErrorCode>(0x200000009));
    EXPECT_LT(msSince(start), 3000);

    ASSERT_EQ(s.connect(), NoError); // a fresh link
    s.ctl.send(s.ctl.reply(6.0));
    EXPECT_EQ(s.query(value), NoError);
    EXPECT_EQ(value, 6.0);
}

TEST(ConnectionTcp, SLOW_ReplyTimeOutNeverHandsALateReplyToTheNextRequest)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    const Bytes reply = s.ctl.reply(5.0);
    s.ctl.send(Bytes(reply.begin(), reply.begin() + 2));
    double value = 0.0;
    const auto start = Clock::now();
    EXPECT_EQ(s.query(value), Timeout);
    EXPECT_GE(msSince(start), 9500);
    EXPECT_FALSE(s.conn->IsConnected());
    EXPECT_TRUE(s.ctl.peer().waitClosed(3000));
    s.ctl.send(Bytes(reply.begin() + 2, reply.end())); // the late rest
    EXPECT_EQ(s.query(value), static_cast<ErrorCode>(0x200000009));
}

TEST(ConnectionTcp, DisconnectOrReconnectWhileOperationsRunReleasesEveryCaller)
{
    for (bool reconnect : {false, true}) {
        Session s;
        ASSERT_EQ(s.connect(), NoError);
        const Bytes version = s.queryRequest();
        const Bytes control = s.ctl.wire().sysvar("CONTROL").zero();
        // A controller answering VERSION and CONTROL queries until its link ends.
        auto serve = [&](FakeController& ctl) {
            Bytes got;
            while (ctl.peer().readExact(version.size(), got, 3000) && (got == version || got == control) &&
                   ctl.send(ctl.reply(got == control ? 206.0 : 1.0)))
                got.clear();
        };
        std::thread first([&] { serve(s.ctl); });
        FakeController next;
        std::thread second([&] {
            if (reconnect && next.accept() && next.sendTable())
                serve(next);
        });

        std::atomic<bool> stop{false};
        std::atomic<int> unexpected{0};
        std::vector<std::thread> callers;
        for (int i = 0; i < 3; ++i)
            callers.emplace_back([&] {
                while (!stop.load()) {
                    double value = 0.0;
                    const ErrorCode e = s.query(value);
                    if (!(e == Fail || errorBand(e) == SystemBand || (e == NoError && value == 1.0)))
                        ++unexpected;
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto start = Clock::now();
        if (reconnect) {
            s.conn->WriteIntAttribute("TCP_Port", next.port());
            EXPECT_EQ(s.conn->Connect(), NoError);
        } else {
            EXPECT_EQ(s.conn->Disconnect(), NoError);
        }
        EXPECT_LT(msSince(start), 3000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
        for (auto& c : callers)
            c.join();
        EXPECT_LT(msSince(start), 5000);
        EXPECT_EQ(unexpected.load(), 0);
        EXPECT_EQ(s.conn->IsConnected(), reconnect);
        s.conn->Disconnect();
        first.join();
        second.join();
    }
}

TEST(ConnectionTcp, CallsFromThePumpThreadAreRefusedInsteadOfDeadlocking)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    CmdProbe cmd(s.conn.get(), true);
    const uint32_t index = 4;
    s.ctl.send(s.ctl.reply(3.0));
    EXPECT_EQ(s.probe(cmd, 1, &index), NoError);
    EXPECT_EQ(cmd.nested[0], Fail);
    EXPECT_EQ(cmd.nested[1], Fail);
    EXPECT_EQ(cmd.nested[2], Fail);
    EXPECT_EQ(cmd.result(), 3.0);
    EXPECT_TRUE(s.conn->IsConnected());
}

TEST(ConnectionTcp, IgnoreLineSkipsThroughTheLineFeedWithinItsLimit)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    // The read services belong to the pump thread, which watches the link for
    // a while after the connect sequence's last reply; once that is over, this
    // thread may stand in for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * ReaderPump::HotWatchMs));
    ASSERT_TRUE(s.ctl.send(Bytes{'a', 'b', 'c', '\n', 'Z'}));
    EXPECT_EQ(s.conn->IgnoreLine(60000), NoError);
    char next = 0;
    EXPECT_EQ(s.conn->ReadBytes(&next, 1, 1000), NoError);
    EXPECT_EQ(next, 'Z');
    const auto start = Clock::now();
    EXPECT_EQ(s.conn->IgnoreLine(200), Timeout);
    EXPECT_GE(msSince(start), 190);
    EXPECT_LT(msSince(start), 2000);
}

TEST(ConnectionTcp, CommandArrayRequestsAndResultTargets)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    {
        CmdProbe cmd(s.conn.get()); // count 0: keyword and ZERO; no target: value dropped
        s.ctl.send(s.ctl.reply(4.0));
        EXPECT_EQ(s.probe(cmd, 0, nullptr), NoError);
        EXPECT_TRUE(s.ctl.expect(s.ctl.wire().tok("VR").zero()));
        EXPECT_EQ(cmd.result(), 0.0);
    }
    {
        CmdProbe cmd(s.conn.get()); // two indices; no target with count 2: value dropped
        const uint32_t indices[] = {3, 70000};
        s.ctl.send(s.ctl.reply(9.0));
        EXPECT_EQ(s.probe(cmd, 2, indices), NoError);
        EXPECT_TRUE(s.ctl.expect(
            s.ctl.wire().tok("VR").tok("OPENBRACKETS").num(3).tok("COMMA").num(70000).tok("CLOSEBRACKETS").zero()));
        EXPECT_EQ(cmd.result(), 0.0);
    }
    {
        CmdProbe cmd(s.conn.get()); // count 1, no target: the built-in slot
        const uint32_t index = 2;
        s.ctl.send(s.ctl.reply(4.0));
        EXPECT_EQ(s.probe(cmd, 1, &index), NoError);
        EXPECT_TRUE(s.ctl.expect(s.probeRequest(2)));
        EXPECT_EQ(cmd.result(), 4.0);
    }
    {
        CmdProbe cmd(s.conn.get()); // a target gets the value even with a controller error
        const uint32_t index = 1;
        double target = 0.0;
        s.ctl.send(s.ctl.reply(-2.5, 12.0));
        EXPECT_EQ(s.probe(cmd, 1, &index, &target), static_cast<ErrorCode>(0x40000000C));
        EXPECT_TRUE(s.ctl.expect(s.probeRequest(1)));
        EXPECT_EQ(target, -2.5);
    }
    CmdProbe a(s.conn.get()), b(s.conn.get());
    EXPECT_EQ(b.id(), a.id() + 1);
}

TEST(ConnectionTcp, ControllerAttributesTellWhatConnectLearntAndAreReadOnly)
{
    Session s;
    std::string_view text;
    int64_t type = -1;
    EXPECT_EQ(s.conn->ReadStringAttribute("ControllerNumberFormat", text), NoError);
    EXPECT_EQ(text, "unknown");
    EXPECT_EQ(s.conn->ReadIntAttribute("ControllerType", type), NoError);
    EXPECT_EQ(type, 0);

    ASSERT_EQ(s.connect(1.51, 206), NoError);
    EXPECT_EQ(s.conn->ReadStringAttribute("ControllerVersion", text), NoError);
    EXPECT_EQ(text, "1.51");
    EXPECT_EQ(s.conn->ReadIntAttribute("ControllerType", type), NoError);
    EXPECT_EQ(type, 206);
    EXPECT_EQ(s.conn->ReadStringAttribute("ControllerNumberFormat", text), NoError);
    EXPECT_EQ(text, "TMS320 32-bit");

    EXPECT_EQ(s.conn->WriteIntAttribute("ControllerType", 400), BadArgument);
    EXPECT_EQ(s.conn->WriteStringAttribute("ControllerVersion", "9"), BadArgument);
    EXPECT_EQ(s.conn->ReadStringAttribute("ControllerType", text), ConnectionWrongAttribType);
    EXPECT_EQ(s.conn->ReadIntAttribute("ControllerVersion", type), ConnectionWrongAttribType);
    EXPECT_EQ(s.conn->ReadIntAttribute("ControllerType", type), NoError);
    EXPECT_EQ(type, 206);
}

TEST(ConnectionTcp, TraceLinesAreWholeAndFollowTheFormat)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    s.conn->WriteIntAttribute("TCP_Trace", 1);
    const uint32_t index = 15;
    const Bytes request = s.probeRequest(index);
    const Bytes reply = s.ctl.reply(1.5);
    auto line = [](const char* arrow, const Bytes& bytes) {
        return std::string("CmdProbe") + arrow + "[" + std::to_string(bytes.size()) + "]: " + Testing::hexOf(bytes) +
               "\n";
    };

    s.ctl.send(reply);
    testing::internal::CaptureStdout();
    {
        CmdProbe cmd(s.conn.get());
        EXPECT_EQ(s.probe(cmd, 1, &index), NoError);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line(" >> ", request) + line(" << ", reply));
    EXPECT_TRUE(s.ctl.expect(request));

    s.conn->WriteIntAttribute("TCP_Trace", 0);
    s.ctl.send(reply);
    testing::internal::CaptureStdout();
    {
        CmdProbe cmd(s.conn.get());
        EXPECT_EQ(s.probe(cmd, 1, &index), NoError);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(s.ctl.expect(request));

    // To the event callback: the same lines, without their line feed, as
    // Message events with code 0, and nothing on standard output.
    s.conn->WriteIntAttribute("TCP_Trace", 2);
    const size_t messagesBefore = s.log.ofType(EventType::Message).size();
    s.ctl.send(reply);
    testing::internal::CaptureStdout();
    {
        CmdProbe cmd(s.conn.get());
        EXPECT_EQ(s.probe(cmd, 1, &index), NoError);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(s.ctl.expect(request));
    const std::vector<RecordedEvent> messages = s.log.ofType(EventType::Message);
    ASSERT_EQ(messages.size(), messagesBefore + 2);
    for (size_t i = 0; i < 2; ++i) {
        const std::string expected = i == 0 ? line(" >> ", request) : line(" << ", reply);
        EXPECT_EQ(messages[messagesBefore + i].code, 0u);
        EXPECT_EQ(messages[messagesBefore + i].text, expected.substr(0, expected.size() - 1));
    }

    // Four threads tracing at once: every line whole.
    s.conn->WriteIntAttribute("TCP_Trace", 1);
    std::thread controller([&] {
        for (int i = 0; i < 200 && s.ctl.expect(request); ++i)
            s.ctl.send(reply);
    });
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                CmdProbe cmd(s.conn.get());
                EXPECT_EQ(s.probe(cmd, 1, &index), NoError);
            }
        });
    for (auto& t : threads)
        t.join();
    controller.join();
    std::istringstream lines(testing::internal::GetCapturedStdout());
    int sent = 0, received = 0;
    for (std::string text; std::getline(lines, text);) {
        text += "\n";
        sent += text == line(" >> ", request);
        received += text == line(" << ", reply);
    }
    EXPECT_EQ(sent, 200);
    EXPECT_EQ(received, 200);
}

TEST(ConnectionTcp, DeadlineClosesTheLinkOnceAndFailsTheCallQueuedBehindAtOnce)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    ASSERT_EQ(s.conn->WriteIntAttribute("TCP_Deadline", 300), NoError);
    // The controller stays silent: neither reply ever comes.
    double first = 0.0;
    double second = 0.0;
    ErrorCode secondCode = NoError;
    long long secondMs = 0;
    std::thread behind([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto start = Clock::now();
        secondCode = s.query(second);
        secondMs = msSince(start);
    });
    const auto start = Clock::now();
    EXPECT_EQ(s.query(first), Timeout);
    const long long firstMs = msSince(start);
    behind.join();
    // Bounds for a loaded machine: the reply limit alone would take 10 s.
    EXPECT_GE(firstMs, 295);
    EXPECT_LT(firstMs, 3000);
    // Its request was on the wire behind the abandoned one: it cannot be
    // answered in step any more and fails with the loss's code when the link
    // closes, not at its own deadline.
    EXPECT_EQ(secondCode, Timeout);
    EXPECT_LT(secondMs, 3000);
    EXPECT_FALSE(s.conn->IsConnected());
    EXPECT_TRUE(s.ctl.peer().waitClosed(3000));
    // One lost link, one Error event: neither the reads that met the closed
    // port nor the call queued behind add their own. A request made after
    // the loss sends nothing and says so (EBADF), quietly too.
    double third = 0.0;
    EXPECT_EQ(s.query(third), systemError(EBADF));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto errors = s.log.ofType(EventType::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, Timeout);
    EXPECT_EQ(errors[0].text.rfind("the call's deadline of 300 ms (TCP_Deadline) passed at ", 0), 0u) << errors[0].text;

    // A new link works, and a reply in time is not touched by the deadline.
    ASSERT_EQ(s.connect(), NoError);
    s.ctl.send(s.ctl.reply(6.0));
    EXPECT_EQ(s.query(first), NoError);
    EXPECT_EQ(first, 6.0);
}

TEST(ConnectionTcp, AnotherConnectionCalledFromAnEventRunsUnderItsOwnLimits)
{
    Session b;
    ASSERT_EQ(b.connect(), NoError);
    Session a;
    // A's handler of its deadline event calls B on the same thread, while
    // A's expired operation is still in progress.
    std::atomic<bool> called{false};
    ErrorCode nestedCode = Fail;
    double nestedValue = 0.0;
    const EventCallback record = a.log.callback();
    a.conn = Testing::makeConnection(a.ctl.port(), [&](EventType type, uint64_t code, const std::string_view& text) {
        record(type, code, text);
        if (type != EventType::Error || code != Timeout || called.exchange(true))
            return;
        std::thread answer([&] {
            if (b.ctl.expect(b.queryRequest()))
                b.ctl.send(b.ctl.reply(6.0));
        });
        nestedCode = b.query(nestedValue);
        answer.join();
    });
    ASSERT_EQ(a.connect(), NoError);
    ASSERT_EQ(a.conn->WriteIntAttribute("TCP_Deadline", 200), NoError);
    double value = 0.0;
    EXPECT_EQ(a.query(value), Timeout);
    ASSERT_TRUE(called);
    EXPECT_EQ(nestedCode, NoError);
    EXPECT_EQ(nestedValue, 6.0);
    EXPECT_TRUE(b.conn->IsConnected());
    EXPECT_TRUE(b.log.ofType(EventType::Error).empty());

    // Both operations are over: the thread is in none.
    EXPECT_EQ(OperationScope::current(), nullptr);
}

TEST(ConnectionTcp, AnIdleLinkClosedByThePeerIsSeenWithoutACallAndReportedOnce)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    // Idle: the pump's watch after the last reply is over.
    std::this_thread::sleep_for(std::chrono::milliseconds(4 * ReaderPump::HotWatchMs));
    EXPECT_TRUE(s.conn->IsConnected());
    s.ctl.peer().close();
    const auto start = Clock::now();
    // The pump closes the port itself: the controller's end sees no more
    // than its own close, and the one event arrives with no call made.
    while (s.log.ofType(EventType::Error).empty() && msSince(start) < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_LT(msSince(start), 100);
    EXPECT_FALSE(s.conn->IsConnected());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto errors = s.log.ofType(EventType::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].code, systemError(ENOTCONN));
    EXPECT_EQ(errors[0].text.rfind("the link was closed by the controller at ", 0), 0u) << errors[0].text;
}
