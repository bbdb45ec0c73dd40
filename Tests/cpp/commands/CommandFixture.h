#pragma once
// A Connection_TCP connected to the scripted fake controller, in either number
// format (TMS320 with escaping, IEEE 754 doubles with escaping, or an old
// TMS320 firmware without escaping).

#include "Connection/Port/TCP/Connection_TCP.h"
#include "support/FakePeer.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace Vantrel::HolvaneApi::Testing {

enum class Flavour { Tms320, Tms320Unescaped, Ieee64 };

inline ControllerProfile profileOf(Flavour flavour, TokenTableText table = TokenTableText::standard())
{
    switch (flavour) {
    case Flavour::Tms320: return {std::move(table), 206, 2.0};
    case Flavour::Tms320Unescaped: return {std::move(table), 206, 1.5};
    case Flavour::Ieee64:
    default: return {std::move(table), 400, 2.0};
    }
}

inline std::string flavourName(const testing::TestParamInfo<Flavour>& info)
{
    switch (info.param) {
    case Flavour::Tms320: return "Tms320";
    case Flavour::Tms320Unescaped: return "Tms320Unescaped";
    default: return "Ieee64";
    }
}

// Owns a connected connection and its peer; tears both down in order.
class ConnectedController {
public:
    explicit ConnectedController(ControllerProfile profile, bool trace = false)
        : peer(std::make_unique<FakePeer>(std::move(profile)))
    {
        // Released to be ended through DeleteMe, as the plug-in's callers end it.
        conn = makeConnection(peer->port()).release();
        if (trace)
            conn->WriteIntAttribute("TCP_Trace", 1);
        connectResult = conn->Connect();
    }
    ~ConnectedController()
    {
        conn->DeleteMe();
        peer.reset();
    }
    ConnectedController(const ConnectedController&) = delete;
    ConnectedController& operator=(const ConnectedController&) = delete;

    Wire wire() const { return peer->wire(); }
    // Waits for the script and reports every mismatch the peer saw.
    void verifyScript(int timeout_ms = 15000)
    {
        EXPECT_TRUE(peer->waitDone(timeout_ms)) << "the peer's script did not finish";
        for (const auto& failure : peer->failures())
            ADD_FAILURE() << failure;
    }

    std::unique_ptr<FakePeer> peer;
    Connection_TCP* conn = nullptr;
    ErrorCode connectResult = Fail;
};

class CommandTest : public testing::TestWithParam<Flavour> {
protected:
    void SetUp() override { connectWith(TokenTableText::standard()); }

    void connectWith(TokenTableText table, bool trace = false)
    {
        ctl.reset();
        ctl = std::make_unique<ConnectedController>(profileOf(GetParam(), std::move(table)), trace);
        ASSERT_EQ(ctl->connectResult, NoError) << "connect sequence failed";
        ASSERT_TRUE(ctl->peer->handshakeDone());
    }
    void TearDown() override { ctl.reset(); }

    Wire wire() const { return ctl->wire(); }
    FakePeer& peer() { return *ctl->peer; }
    Connection_TCP& conn() { return *ctl->conn; }
    const TokenTableText& table() const { return ctl->peer->profile().table; }

    std::unique_ptr<ConnectedController> ctl;
};

} // namespace Vantrel::HolvaneApi::Testing
