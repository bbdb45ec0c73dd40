#include "Connection/Port/TCP/Commands/Base/CmdArray.h"
#include "Connection/Port/TCP/Commands/CmdGetSysVar.h"
#include "Connection/Port/TCP/Connection_TCP.h"
#include "EventLog.h"
#include "FakeController.h"
#include "SharedLib/MemPort.h"
#include "support/WireFormat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <dlfcn.h>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::CoreTesting;
using Testing::NumberFormat;
using Testing::Wire;
using Clock = std::chrono::steady_clock;

namespace {

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A command of the bracketed-index form that prints both trace lines.
class CmdProbe : public TCP::CmdArray {
public:
    explicit CmdProbe(Connection_TCP* conn) : CmdArray(conn)
    {
        _requestTrace = TraceRequest::OnSuccess;
        _replyTrace = TraceReply::Always;
    }
    const char* name() const override { return "CmdProbe"; }
};

// Calls back into its own connection from the pump thread, as a handler or an
// event callback might.
class CmdReentrant : public CmdProbe {
public:
    using CmdProbe::CmdProbe;
    ErrorCode readReply() override
    {
        double value = 0.0;
        nestedQuery = connection().getSystemVariable(Token::tVERSION, value);
        nestedDisconnect = connection().Disconnect();
        nestedConnect = connection().Connect();
        return CmdProbe::readReply();
    }
    ErrorCode nestedQuery = NoError;
    ErrorCode nestedDisconnect = NoError;
    ErrorCode nestedConnect = NoError;
};

struct Session {
    EventLog log;
    FakeController ctl;
    std::unique_ptr<Connection_TCP> conn;

    Session() : conn(std::make_unique<Connection_TCP>(CreateParams{ConnectionType::TCP, log.callback()}))
    {
        conn->WriteStringAttribute("TCP_HostName", "127.0.0.1");
        conn->WriteIntAttribute("TCP_Port", ctl.port());
    }

    // Connect on a helper thread while this thread plays the controller.
    ErrorCode connect(double version = 1.0, double type = 206)
    {
        ErrorCode result = Fail;
        std::thread connector([&] { result = conn->Connect(); });
        const bool served = ctl.handshake(version, type);
        connector.join();
        EXPECT_TRUE(served);
        return result;
    }

    Bytes probeRequest(uint32_t index) const
    {
        FakeController& c = const_cast<FakeController&>(ctl);
        const NumberFormat format = c.ieee() ? NumberFormat::Ieee64 : NumberFormat::Tms320;
        return Wire(c.table(), format, c.ieee()).tok("VR").tok("OPENBRACKETS").num(index).tok("CLOSEBRACKETS").zero();
    }

    ErrorCode probe(uint32_t index, double& value)
    {
        CmdProbe cmd(conn.get());
        const ErrorCode error = conn->runCommand(cmd, [&] { return cmd.send(Token::tVR, 1, &index, nullptr); });
        value = cmd.result();
        return error;
    }
};

// "CmdProbe >> [n]: xx xx ..." with n the number of hex pairs.
bool isWholeTraceLine(const std::string& line)
{
    const std::string out = "CmdProbe >> [";
    const std::string in = "CmdProbe << [";
    if (line.compare(0, out.size(), out) != 0 && line.compare(0, in.size(), in) != 0)
        return false;
    const size_t close = line.find("]: ", out.size());
    if (close == std::string::npos || close == out.size())
        return false;
    size_t count = 0;
    for (size_t i = out.size(); i < close; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i])))
            return false;
        count = count * 10 + static_cast<size_t>(line[i] - '0');
    }
    const std::string hex = line.substr(close + 3);
    if (hex.size() != (count == 0 ? 0 : count * 3 - 1))
        return false;
    for (size_t i = 0; i < hex.size(); ++i) {
        const char c = hex[i];
        const bool ok = (i % 3 == 2) ? c == ' ' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
        if (!ok)
            return false;
    }
    return true;
}

bool isAcceptableAfterDisconnect(ErrorCode e)
{
    return e == NoError || e == Fail || errorBand(e) == 2;
}

} // namespace

TEST(ConnectionTcp, AttributesStoreWhatIsWrittenAndCheckNameAndType)
{
    Connection_TCP conn(CreateParams{ConnectionType::TCP, {}});
    EXPECT_FALSE(conn.IsConnected());

    std::string_view host = "x";
    EXPECT_EQ(conn.ReadStringAttribute("TCP_HostName", host), NoError);
    EXPECT_TRUE(host.empty());
    int64_t value = -1;
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Port", value), NoError);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Trace", value), NoError);
    EXPECT_EQ(value, 1);

    EXPECT_EQ(conn.WriteIntAttribute("TCP_Port", 3250), NoError);
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Port", value), NoError);
    EXPECT_EQ(value, 3250);
    EXPECT_EQ(conn.WriteIntAttribute("TCP_Port", 70000), NoError);
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Port", value), NoError);
    EXPECT_EQ(value, 4464);
    EXPECT_EQ(conn.WriteIntAttribute("TCP_Port", -1), NoError);
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Port", value), NoError);
    EXPECT_EQ(value, 65535);

    EXPECT_EQ(conn.WriteStringAttribute("TCP_HostName", "controller.local"), NoError);
    EXPECT_EQ(conn.ReadStringAttribute("TCP_HostName", host), NoError);
    EXPECT_EQ(host, "controller.local");

    EXPECT_EQ(conn.WriteIntAttribute("TCP_Trace", 0), NoError);
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Trace", value), NoError);
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(conn.traceEnabled());
    EXPECT_EQ(conn.WriteIntAttribute("TCP_Trace", 1), NoError);
    EXPECT_TRUE(conn.traceEnabled());

    // Wrong type, unknown and differently cased names change nothing.
    EXPECT_EQ(conn.WriteStringAttribute("TCP_Port", "3240"), static_cast<ErrorCode>(0x100000005));
    EXPECT_EQ(conn.ReadIntAttribute("TCP_HostName", value), static_cast<ErrorCode>(0x100000005));
    EXPECT_EQ(conn.WriteIntAttribute("TCP_HostName", 1), ConnectionWrongAttribType);
    EXPECT_EQ(conn.ReadStringAttribute("TCP_Port", host), ConnectionWrongAttribType);
    EXPECT_EQ(conn.WriteStringAttribute("TCP_Trace", "0"), ConnectionWrongAttribType);
    EXPECT_EQ(conn.ReadStringAttribute("TCP_Trace", host), ConnectionWrongAttribType);
    EXPECT_EQ(conn.WriteStringAttribute("tcp_hostname", "a"), static_cast<ErrorCode>(0x100000004));
    EXPECT_EQ(conn.ReadIntAttribute("TCP_Port ", value), ConnectionUnknownAttrib);
    EXPECT_EQ(conn.ReadStringAttribute("", host), ConnectionUnknownAttrib);
    EXPECT_EQ(conn.ReadStringAttribute("TCP_HostName", host), NoError);
    EXPECT_EQ(host, "controller.local");
    EXPECT_FALSE(conn.IsConnected());
}

TEST(ConnectionTcp, WithoutAPumpNothingReachesTheController)
{
    EventLog log;
    Connection_TCP conn(CreateParams{ConnectionType::TCP, log.callback()});
    EXPECT_EQ(conn.Disconnect(), NoError);
    EXPECT_EQ(conn.Disconnect(), NoError);
    double value = 42.0;
    EXPECT_EQ(conn.getSystemVariable(Token::tVERSION, value), Fail);
    EXPECT_EQ(value, 42.0);
    EXPECT_EQ(conn.readerPump(), nullptr);
    EXPECT_EQ(conn.getFloatSize(), 0u);
    EXPECT_TRUE(log.events().empty());

    // A refused connect leaves no pump either.
    Listener probe;
    const uint16_t closed_port = probe.port();
    probe.close();
    conn.WriteStringAttribute("TCP_HostName", "127.0.0.1");
    conn.WriteIntAttribute("TCP_Port", closed_port);
    EXPECT_EQ(conn.Connect(), static_cast<ErrorCode>(0x20000006F));
    EXPECT_FALSE(conn.IsConnected());
    EXPECT_EQ(conn.getSystemVariable(Token::tVERSION, value), Fail);
}

TEST(ConnectionTcp, FactoryServesOnlyTcp)
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
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(connection->IsConnected());
    EXPECT_EQ(connection->Disconnect(), NoError);
    double value = 1.0;
    EXPECT_EQ(connection->ReadVrValue(1, value), Fail); // no pump yet
    connection->DeleteMe();
    ::dlclose(library);
}

TEST(ConnectionTcp, ConnectDownloadsTheTableAndSettlesTheNumberFormat)
{
    Session tms;
    ASSERT_EQ(tms.connect(1.0, 206), NoError);
    EXPECT_TRUE(tms.conn->IsConnected());
    EXPECT_EQ(tms.conn->getFloatSize(), 4u);
    EXPECT_TRUE(tms.log.hasText("Connected to 127.0.0.1"));
    EXPECT_TRUE(tms.log.hasText("SetControllerType(206)"));
    EXPECT_TRUE(tms.log.ofType(EventType::Error).empty());

    // A query after the connect uses the pump and the settled format.
    double value = 0.0;
    tms.ctl.send(tms.ctl.reply(2.5));
    EXPECT_EQ(tms.conn->getSystemVariable(Token::tVERSION, value), NoError);
    EXPECT_EQ(value, 2.5);
    EXPECT_TRUE(tms.ctl.expect(tms.ctl.sysVarRequest("VERSION")));

    Session ieee;
    ASSERT_EQ(ieee.connect(2.0, 400), NoError);
    EXPECT_EQ(ieee.conn->getFloatSize(), 8u);
    ieee.ctl.send(ieee.ctl.reply(1.0 / 3.0));
    EXPECT_EQ(ieee.conn->getSystemVariable(Token::tCONTROL, value), NoError);
    EXPECT_EQ(value, 1.0 / 3.0); // exact: eight bytes, no rounding to single
    EXPECT_TRUE(ieee.ctl.expect(ieee.ctl.sysVarRequest("CONTROL")));
}

TEST(ConnectionTcp, ConnectKeepsOrReplacesTheLinkByTheAttributes)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);

    // Same explicit endpoint: nothing happens on the wire.
    const auto start = Clock::now();
    EXPECT_EQ(s.conn->Connect(), NoError);
    EXPECT_LT(msSince(start), 500);
    EXPECT_TRUE(s.ctl.peer().readSome(100).empty());

    // Another endpoint: the old link is closed before the new one opens.
    FakeController second;
    s.conn->WriteIntAttribute("TCP_Port", second.port());
    ErrorCode result = Fail;
    std::thread connector([&] { result = s.conn->Connect(); });
    EXPECT_TRUE(s.ctl.peer().waitClosed(3000));
    EXPECT_TRUE(second.handshake(1.0, 206));
    connector.join();
    EXPECT_EQ(result, NoError);
    EXPECT_TRUE(s.conn->IsConnected());

    // Destruction of a connected connection closes its link.
    s.conn.reset();
    EXPECT_TRUE(second.peer().waitClosed(3000));
}

TEST(ConnectionTcp, FailedConnectStepsLeaveAClearState)
{
    // The table download fails: the connection disconnects itself.
    {
        Session s;
        ErrorCode result = NoError;
        std::thread connector([&] { result = s.conn->Connect(); });
        ASSERT_TRUE(s.ctl.acceptAndExpectTableRequest());
        s.ctl.sendTable(false);
        s.ctl.peer().close();
        connector.join();
        EXPECT_NE(result, NoError);
        EXPECT_FALSE(s.conn->IsConnected());
        EXPECT_EQ(s.conn->readerPump(), nullptr);
    }
    // The version query carries a controller error: returned as such, and the
    // link stays open until the caller disconnects.
    {
        Session s;
        ErrorCode result = NoError;
        std::thread connector([&] { result = s.conn->Connect(); });
        ASSERT_TRUE(s.ctl.acceptAndExpectTableRequest());
        ASSERT_TRUE(s.ctl.sendTable());
        ASSERT_TRUE(s.ctl.answerSysVar("VERSION", 0.0, 5.0));
        connector.join();
        EXPECT_EQ(result, static_cast<ErrorCode>(0x400000005));
        EXPECT_TRUE(s.conn->IsConnected());
        // No operation runs in the unsettled number format.
        double value = 1.0;
        EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), Fail);
        EXPECT_TRUE(s.ctl.peer().readSome(100).empty());

        // Connecting again redoes the sequence instead of reporting a link
        // whose number format was never settled as connected.
        std::thread again([&] { result = s.conn->Connect(); });
        EXPECT_TRUE(s.ctl.peer().waitClosed(3000));
        EXPECT_TRUE(s.ctl.handshake(1.0, 206));
        again.join();
        EXPECT_EQ(result, NoError);
    }
    // A controller type of 0 is not supported.
    {
        Session s;
        ErrorCode result = NoError;
        std::thread connector([&] { result = s.conn->Connect(); });
        ASSERT_TRUE(s.ctl.acceptAndExpectTableRequest());
        ASSERT_TRUE(s.ctl.sendTable());
        ASSERT_TRUE(s.ctl.answerSysVar("VERSION", 2.0));
        ASSERT_TRUE(s.ctl.answerSysVar("CONTROL", 0.0));
        connector.join();
        EXPECT_EQ(result, static_cast<ErrorCode>(0x10000000B));
    }
}

TEST(ConnectionTcp, SLOW_UnendingTokenTableFailsAfterTenSilentSeconds)
{
    Session s;
    ErrorCode result = NoError;
    std::thread connector([&] { result = s.conn->Connect(); });
    ASSERT_TRUE(s.ctl.acceptAndExpectTableRequest());
    ASSERT_TRUE(s.ctl.sendTable(false));
    const auto start = Clock::now();
    connector.join();
    const long long elapsed = msSince(start);
    EXPECT_EQ(result, static_cast<ErrorCode>(0x100000006));
    EXPECT_GE(elapsed, 9000);
    EXPECT_LT(elapsed, 15000);
    EXPECT_FALSE(s.conn->IsConnected());
    EXPECT_TRUE(s.log.hasText("TOKENTABLE stops unsuccessfully"));
}

TEST(ConnectionTcp, ControllerStatusBecomesAControllerErrorAndKeepsTheLink)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    double value = 42.0;

    // A controller error leaves the value of getSystemVariable untouched.
    s.ctl.send(s.ctl.reply(7.0, 3.0));
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), static_cast<ErrorCode>(0x400000003));
    EXPECT_EQ(value, 42.0);
    // Only the low 16 bits of the status count.
    s.ctl.send(s.ctl.reply(7.0, 65539.0));
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), static_cast<ErrorCode>(0x400000003));
    s.ctl.send(s.ctl.reply(7.0, -1.0));
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), static_cast<ErrorCode>(0x40000FFFF));
    // 65536 keeps no bits: no error.
    s.ctl.send(s.ctl.reply(8.0, 65536.0));
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), NoError);
    EXPECT_EQ(value, 8.0);
    EXPECT_TRUE(s.conn->IsConnected());
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(s.ctl.expect(s.ctl.sysVarRequest("VERSION")));

    // The reply reader over any port, value then status.
    Bytes recorded = s.ctl.reply(12.5, 0.0);
    const Bytes error_reply = s.ctl.reply(0.0, 7.0);
    recorded.insert(recorded.end(), error_reply.begin(), error_reply.end());
    MemPort memory;
    ASSERT_EQ(memory.Open(reinterpret_cast<const char*>(recorded.data()), recorded.size()), NoError);
    uint16_t status = 99;
    EXPECT_EQ(s.conn->GetResponse(memory, &value, &status), NoError);
    EXPECT_EQ(value, 12.5);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(s.conn->GetResponse(memory, &value, &status), static_cast<ErrorCode>(0x400000007));
    EXPECT_EQ(value, 0.0);
    EXPECT_EQ(status, 7);
    // Exhausted memory is a reply cut short, not a hang; the TCP link is untouched.
    EXPECT_NE(s.conn->GetResponse(memory, &value, nullptr), NoError);
    EXPECT_TRUE(s.conn->IsConnected());
}

TEST(ConnectionTcp, StatusThatIsNotANumberIsABadResponse)
{
    Session s;
    ASSERT_EQ(s.connect(2.0, 400), NoError);
    double value = 0.0;
    uint16_t status = 0;
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const Bytes reply = s.ctl.reply(1.0, bad);
        MemPort memory;
        ASSERT_EQ(memory.Open(reinterpret_cast<const char*>(reply.data()), reply.size()), NoError);
        EXPECT_EQ(s.conn->GetResponse(memory, &value, &status), BadResponse);
    }
    // Over the link the reply was read to its end: the stream stays usable.
    s.ctl.send(s.ctl.reply(1.0, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), BadResponse);
    s.ctl.send(s.ctl.reply(3.0));
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), NoError);
    EXPECT_EQ(value, 3.0);
}

TEST(ConnectionTcp, ReplyCutShortAbandonsTheStream)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    const Bytes reply = s.ctl.reply(5.0);
    s.ctl.send(Bytes(reply.begin(), reply.begin() + 3));
    s.ctl.peer().close();

    double value = 0.0;
    const auto start = Clock::now();
    const ErrorCode cut = s.conn->getSystemVariable(Token::tVERSION, value);
    EXPECT_NE(cut, NoError);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_FALSE(s.conn->IsConnected());

    // The next request fails at once with the closed port's code.
    const auto start2 = Clock::now();
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), static_cast<ErrorCode>(0x200000009));
    EXPECT_LT(msSince(start2), 1000);

    // The next Connect opens a fresh link.
    ErrorCode result = Fail;
    std::thread connector([&] { result = s.conn->Connect(); });
    EXPECT_TRUE(s.ctl.handshake(1.0, 206));
    connector.join();
    EXPECT_EQ(result, NoError);
    s.ctl.send(s.ctl.reply(6.0));
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), NoError);
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
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), Timeout);
    EXPECT_GE(msSince(start), 9500);
    EXPECT_FALSE(s.conn->IsConnected());
    EXPECT_TRUE(s.ctl.peer().waitClosed(3000));

    // The rest of the late reply can no longer be taken for an answer.
    s.ctl.send(Bytes(reply.begin() + 2, reply.end()));
    EXPECT_EQ(s.conn->getSystemVariable(Token::tVERSION, value), static_cast<ErrorCode>(0x200000009));
}

TEST(ConnectionTcp, DisconnectWhileOperationsRunReleasesEveryCaller)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);

    // The controller answers every query until its link goes away.
    std::thread controller([&] {
        const Bytes request = s.ctl.sysVarRequest("VERSION");
        Bytes got;
        while (s.ctl.peer().readExact(request.size(), got, 3000) && got == request && s.ctl.send(s.ctl.reply(1.0)))
            got.clear();
    });

    constexpr int Callers = 4;
    std::atomic<int> unexpected{0};
    std::atomic<int> finished{0};
    std::atomic<bool> disconnected{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < Callers; ++i)
        callers.emplace_back([&] {
            // Keep issuing until the link is gone and a refusal was seen.
            for (int n = 0; n < 100000; ++n) {
                double value = 0.0;
                const ErrorCode e = s.conn->getSystemVariable(Token::tVERSION, value);
                if (!isAcceptableAfterDisconnect(e))
                    ++unexpected;
                if (disconnected.load() && e == Fail)
                    break;
            }
            ++finished;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto start = Clock::now();
    EXPECT_EQ(s.conn->Disconnect(), NoError);
    disconnected = true;
    EXPECT_LT(msSince(start), 2000);
    for (auto& c : callers)
        c.join();
    EXPECT_LT(msSince(start), 4000);
    EXPECT_EQ(finished.load(), Callers);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_FALSE(s.conn->IsConnected());
    controller.join();
}

TEST(ConnectionTcp, ReconnectWhileOperationsRunReleasesEveryCaller)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    const Bytes version = s.ctl.sysVarRequest("VERSION");
    const Bytes control = s.ctl.sysVarRequest("CONTROL");
    ASSERT_EQ(version.size(), control.size());

    // Each controller answers VERSION and CONTROL queries until its link ends.
    auto serve = [&](FakeController& ctl) {
        Bytes got;
        while (ctl.peer().readExact(version.size(), got, 3000)) {
            const double answer = got == control ? 206.0 : 1.0;
            if ((got != version && got != control) || !ctl.send(tmsBytes(answer)) || !ctl.send(tmsBytes(0.0)))
                break;
            got.clear();
        }
    };
    std::thread first_controller([&] { serve(s.ctl); });

    FakeController second;
    std::thread second_controller([&] {
        if (second.acceptAndExpectTableRequest() && second.sendTable())
            serve(second);
    });

    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i)
        callers.emplace_back([&] {
            while (!stop.load()) {
                double value = 0.0;
                const ErrorCode e = s.conn->getSystemVariable(Token::tVERSION, value);
                if (!isAcceptableAfterDisconnect(e) || (e == NoError && value != 1.0))
                    ++unexpected;
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s.conn->WriteIntAttribute("TCP_Port", second.port());
    const auto start = Clock::now();
    EXPECT_EQ(s.conn->Connect(), NoError);
    EXPECT_LT(msSince(start), 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_TRUE(s.conn->IsConnected());
    EXPECT_EQ(s.conn->getFloatSize(), 4u);
    s.conn->Disconnect();
    first_controller.join();
    second_controller.join();
}

TEST(ConnectionTcp, CallsFromThePumpThreadAreRefusedInsteadOfDeadlocking)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    s.conn->WriteIntAttribute("TCP_Trace", 0);
    CmdReentrant cmd(s.conn.get());
    const uint32_t index = 4;
    s.ctl.send(s.ctl.reply(3.0));
    const auto start = Clock::now();
    EXPECT_EQ(s.conn->runCommand(cmd, [&] { return cmd.send(Token::tVR, 1, &index, nullptr); }), NoError);
    EXPECT_LT(msSince(start), 3000);
    EXPECT_EQ(cmd.nestedQuery, Fail);
    EXPECT_EQ(cmd.nestedDisconnect, Fail);
    EXPECT_EQ(cmd.nestedConnect, Fail);
    EXPECT_EQ(cmd.result(), 3.0);
    EXPECT_TRUE(s.conn->IsConnected());
    EXPECT_TRUE(s.ctl.expect(s.probeRequest(4)));
}

TEST(ConnectionTcp, IgnoreLineSkipsThroughTheLineFeedWithinItsLimit)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    ASSERT_TRUE(s.ctl.send(Bytes{'a', 'b', 'c', '\n', 'Z'}));
    EXPECT_EQ(s.conn->IgnoreLine(60000), NoError);
    char next = 0;
    EXPECT_EQ(s.conn->ReadBytes(&next, 1, 1000), NoError);
    EXPECT_EQ(next, 'Z');

    const auto start = Clock::now();
    EXPECT_EQ(s.conn->IgnoreLine(200), Timeout);
    EXPECT_GE(msSince(start), 190);
    EXPECT_LT(msSince(start), 2000);
    EXPECT_TRUE(s.conn->IsConnected());
}

TEST(ConnectionTcp, CommandArrayRequestsAndResultTargets)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    s.conn->WriteIntAttribute("TCP_Trace", 0);
    const NumberFormat tms = NumberFormat::Tms320;

    // Count 0: the keyword and ZERO only; the value goes nowhere without a target.
    {
        CmdProbe cmd(s.conn.get());
        s.ctl.send(s.ctl.reply(4.0));
        EXPECT_EQ(s.conn->runCommand(cmd, [&] { return cmd.send(Token::tVR, 0, nullptr, nullptr); }), NoError);
        EXPECT_TRUE(s.ctl.expect(Wire(s.ctl.table(), tms, false).tok("VR").zero()));
        EXPECT_EQ(cmd.result(), 0.0);
    }
    // Two indices, comma-separated; with no target the value is stored nowhere.
    {
        CmdProbe cmd(s.conn.get());
        const uint32_t indices[] = {3, 70000};
        s.ctl.send(s.ctl.reply(9.0));
        EXPECT_EQ(s.conn->runCommand(cmd, [&] { return cmd.send(Token::tVR, 2, indices, nullptr); }), NoError);
        EXPECT_TRUE(s.ctl.expect(Wire(s.ctl.table(), tms, false)
                                     .tok("VR")
                                     .tok("OPENBRACKETS")
                                     .num(3)
                                     .tok("COMMA")
                                     .num(70000)
                                     .tok("CLOSEBRACKETS")
                                     .zero()));
        EXPECT_EQ(cmd.result(), 0.0);
    }
    // An explicit target receives the value even with a controller error.
    {
        CmdProbe cmd(s.conn.get());
        const uint32_t index = 1;
        double target = 0.0;
        s.ctl.send(s.ctl.reply(-2.5, 12.0));
        EXPECT_EQ(s.conn->runCommand(cmd, [&] { return cmd.send(Token::tVR, 1, &index, &target); }),
                  static_cast<ErrorCode>(0x40000000C));
        EXPECT_TRUE(s.ctl.expect(s.probeRequest(1)));
        EXPECT_EQ(target, -2.5);
    }
    // Count 1 with no target: the built-in slot.
    {
        double value = 0.0;
        s.ctl.send(s.ctl.reply(4.0));
        EXPECT_EQ(s.probe(2, value), NoError);
        EXPECT_TRUE(s.ctl.expect(s.probeRequest(2)));
        EXPECT_EQ(value, 4.0);
    }
    // Ids of commands made one after another increase by one.
    CmdProbe a(s.conn.get());
    CmdProbe b(s.conn.get());
    EXPECT_EQ(b.id(), a.id() + 1);
}

TEST(ConnectionTcp, UnknownTokenIsRefusedBeforeAnythingIsWritten)
{
    Session s;
    s.ctl.table().remove("CONTROL");
    ErrorCode result = NoError;
    std::thread connector([&] { result = s.conn->Connect(); });
    ASSERT_TRUE(s.ctl.acceptAndExpectTableRequest());
    ASSERT_TRUE(s.ctl.sendTable());
    ASSERT_TRUE(s.ctl.answerSysVar("VERSION", 1.0));
    connector.join();
    // CONTROL is not in the table: the query fails before a byte is sent.
    EXPECT_EQ(result, Remote_UnknownToken);
    EXPECT_TRUE(s.ctl.peer().readSome(200).empty());
    EXPECT_TRUE(s.conn->IsConnected());
}

TEST(ConnectionTcp, TraceLinesAreWholeAndFollowTheFormat)
{
    Session s;
    ASSERT_EQ(s.connect(), NoError);
    s.conn->WriteIntAttribute("TCP_Trace", 1);

    double value = 0.0;
    const Bytes reply = s.ctl.reply(1.5);
    s.ctl.send(reply);
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.probe(15, value), NoError);
    const std::string out = testing::internal::GetCapturedStdout();
    const Bytes request = s.probeRequest(15);
    EXPECT_TRUE(s.ctl.expect(request));
    EXPECT_EQ(value, 1.5);
    EXPECT_EQ(out, "CmdProbe >> [" + std::to_string(request.size()) + "]: " + Testing::hexOf(request) + "\n" +
                       "CmdProbe << [" + std::to_string(reply.size()) + "]: " + Testing::hexOf(reply) + "\n");

    // Switched off: no lines at all.
    s.conn->WriteIntAttribute("TCP_Trace", 0);
    s.ctl.send(reply);
    testing::internal::CaptureStdout();
    EXPECT_EQ(s.probe(15, value), NoError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(s.ctl.expect(request));

    // Many threads tracing at once: every line whole.
    s.conn->WriteIntAttribute("TCP_Trace", 1);
    constexpr int Threads = 4;
    constexpr int PerThread = 50;
    std::thread controller([&] {
        for (int i = 0; i < Threads * PerThread; ++i)
            if (!s.ctl.expect(request) || !s.ctl.send(reply))
                break;
    });
    testing::internal::CaptureStdout();
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < PerThread; ++i) {
                double v = 0.0;
                if (s.probe(15, v) != NoError || v != 1.5)
                    ++failures;
            }
        });
    for (auto& t : threads)
        t.join();
    controller.join();
    const std::string many = testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures.load(), 0);

    std::istringstream lines(many);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(isWholeTraceLine(line)) << line;
    }
    EXPECT_EQ(count, Threads * PerThread * 2);
}
