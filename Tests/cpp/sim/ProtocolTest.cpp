// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "SimFixture.h"

#include <cstring>

using namespace SimTest;
using namespace Vantrel::HolvaneApi::Sim;

namespace {
std::string vrRead(const Client& c, double index)
{
    return c.tok("VR") + c.tok("OPENBRACKETS") + c.num(index) + c.tok("CLOSEBRACKETS") + c.zero();
}
std::string vrWrite(const Client& c, double index, double value)
{
    return c.tok("VR") + c.tok("OPENBRACKETS") + c.num(index) + c.tok("CLOSEBRACKETS") + c.tok("ASSIGN") +
           c.num(value) + c.zero();
}
} // namespace

TEST(SimProtocol, HandshakeRepliesAreTmsThenTheControllersFormat)
{
    // Default controller: the two handshake answers are TMS320, then IEEE.
    auto sim = startSim();
    Client client(sim->port());
    client.downloadTable();
    client.send(client.sysVar("VERSION") + client.zero());
    EXPECT_EQ(client.read(8), std::string("\x00\x00\x00\x01\x00\x00\x00\x80", 8)); // 2.0, then 0
    client.send(client.sysVar("CONTROL") + client.zero());
    const auto type = client.readSimple();
    EXPECT_EQ(type.first, 400.0);
    EXPECT_EQ(type.second, 0.0);
    client.useFormat(true, true);
    client.send(client.sysVar("VERSION") + client.zero());
    EXPECT_EQ(client.read(16), std::string("\x00\x00\x00\x00\x00\x00\x00\x40", 8) + std::string(8, '\0'));

    // A TMS320 controller stays in 32-bit numbers; escaping from 1.51 on.
    SimConfig tms;
    tms.state.controllerType = 206;
    tms.state.version = 1.6;
    auto tmsSim = startSim(tms);
    Client t(tmsSim->port());
    t.handshake();
    EXPECT_FALSE(t.ieee());
    EXPECT_EQ(t.ask(vrWrite(t, 12, -2.5)).second, 0.0);
    EXPECT_EQ(t.ask(vrRead(t, 12)), std::make_pair(-2.5, 0.0));
    double stored = 0;
    ASSERT_EQ(tmsSim->state().readVr(12, stored), eOk);
    EXPECT_EQ(stored, -2.5);
}

TEST(SimProtocol, EscapedDataBytesAreUnescaped)
{
    auto sim = startSim();
    auto client = connectClient(*sim);
    // Doubles whose bytes hold 0x1B and 0x01, which travel escaped.
    double tricky = 0;
    const uint8_t bytes[8] = {0x1B, 0x01, 0x1B, 0xC8, 0x01, 0x00, 0xF0, 0x3F};
    std::memcpy(&tricky, bytes, 8);
    const std::string request = vrWrite(*client, 27, tricky);
    EXPECT_NE(request.find("\x1b\x1b\x1b\x01", 0), std::string::npos);
    EXPECT_EQ(client->ask(request).second, 0.0);
    double stored = 0;
    ASSERT_EQ(sim->state().readVr(27, stored), eOk);
    EXPECT_EQ(std::memcmp(&stored, &tricky, 8), 0);
    EXPECT_EQ(client->ask(vrRead(*client, 27)).first, tricky);

    // Without escaping (TMS320 before 1.51) the same bytes are plain data.
    SimConfig old;
    old.state.controllerType = 206;
    old.state.version = 1.5;
    auto oldSim = startSim(old);
    Client t(oldSim->port());
    t.handshake();
    const std::string plain = t.tok("VR") + t.tok("OPENBRACKETS") + t.tok("NUMBER") +
                              std::string("\x1b\x1b\x1b\x1b", 4) + t.tok("EOX") + t.tok("CLOSEBRACKETS") + t.zero();
    EXPECT_EQ(t.ask(plain).second, static_cast<double>(eIndexRange)) << "0x1B1B1B1B is a huge index, not 0x1B1B";
}

TEST(SimProtocol, BadRequestsAnswerTheirErrorNumbers)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    EXPECT_EQ(c->ask(vrRead(*c, 65536)).second, eIndexRange);
    EXPECT_EQ(c->ask(vrRead(*c, -1)).second, eIndexRange);
    EXPECT_EQ(c->ask(c->sysVar("SPEED") + c->axisMod(99) + c->zero()).second, eBadAxis);
    EXPECT_EQ(c->ask(c->sysVar("MPOS") + c->axisMod(0) + c->tok("ASSIGN") + c->num(5) + c->zero()).second, eReadOnly);
    EXPECT_EQ(c->ask(c->sysVar("SPEED") + c->axisMod(0) + c->tok("ASSIGN") + c->num(-5) + c->zero()).second, eBadValue);
    EXPECT_EQ(c->ask(c->sysVar("VERSION") + c->axisMod(0) + c->zero()).second, eNotAxisParameter);
    EXPECT_EQ(c->ask(c->tokCode(500) + c->zero()).second, eUnknownToken);
    EXPECT_EQ(c->ask(c->tok("IF") + c->zero()).second, eUnsupported);
    EXPECT_EQ(c->ask(c->tok("VR") + c->tok("OPENBRACKETS") + c->zero()).second, eSyntax);
    // NUMBER without its EOX: error, and the stream recovers at the next ZERO.
    const std::string broken = c->tok("VR") + c->tok("NUMBER") + std::string(8, '\x22') + c->tok("COMMA") + c->zero();
    EXPECT_EQ(c->ask(broken).second, eSyntax);
    EXPECT_EQ(c->ask(vrWrite(*c, 5, 42)).second, 0.0);
    EXPECT_EQ(c->ask(vrRead(*c, 5)), std::make_pair(42.0, 0.0));
    // Axis parameters: written, read back, and the base axis when no modifier is given.
    EXPECT_EQ(c->ask(c->sysVar("ACCEL") + c->axisMod(3) + c->tok("ASSIGN") + c->num(1234) + c->zero()).second, 0.0);
    EXPECT_EQ(c->ask(c->sysVar("ACCEL") + c->axisMod(3) + c->zero()).first, 1234.0);
    EXPECT_EQ(c->ask(c->tok("BASE") + c->tok("OPENBRACKETS") + c->num(3) + c->tok("CLOSEBRACKETS") + c->zero()),
              std::make_pair(3.0, 0.0));
    EXPECT_EQ(c->ask(c->sysVar("ACCEL") + c->zero()).first, 1234.0);
    EXPECT_EQ(c->ask(c->tok("BASE") + c->tok("OPENBRACKETS") + c->num(16) + c->tok("CLOSEBRACKETS") + c->zero()).second,
              eBadAxis);
    // INVERT_IN with the all-ones pattern and with 0.
    const auto invert = [&](double input, double flag) {
        return c
            ->ask(c->tok("INVERT_IN") + c->tok("OPENBRACKETS") + c->num(input) + c->tok("COMMA") + c->num(flag) +
                  c->tok("CLOSEBRACKETS") + c->zero())
            .second;
    };
    EXPECT_EQ(invert(7, 4294967295.0), 0.0);
    EXPECT_TRUE(sim->state().inputInverted(7));
    EXPECT_EQ(invert(7, 0), 0.0);
    EXPECT_FALSE(sim->state().inputInverted(7));
    EXPECT_EQ(invert(100000, 0), eIndexRange);
}

TEST(SimProtocol, BaseAxesArePerConnectionAndStateIsShared)
{
    auto sim = startSim();
    auto a = connectClient(*sim);
    auto b = connectClient(*sim);
    EXPECT_EQ(a->ask(a->tok("BASE") + a->tok("OPENBRACKETS") + a->num(5) + a->tok("CLOSEBRACKETS") + a->zero()).second,
              0.0);
    EXPECT_EQ(a->ask(a->tok("BASE") + a->zero()).first, 5.0);
    EXPECT_EQ(b->ask(b->tok("BASE") + b->zero()).first, 0.0);
    EXPECT_EQ(a->ask(vrWrite(*a, 100, 7.25)).second, 0.0);
    EXPECT_EQ(b->ask(vrRead(*b, 100)).first, 7.25);
}

TEST(SimProtocol, PipelinedRequestsAreAnsweredInOrderInOneBatch)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    std::string batch;
    for (int i = 0; i < 200; ++i)
        batch += vrWrite(*c, i, i * 1.5);
    for (int i = 0; i < 200; ++i)
        batch += vrRead(*c, i);
    c->send(batch);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(c->readSimple().second, 0.0);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(c->readSimple(), std::make_pair(i * 1.5, 0.0));
}

TEST(SimProtocol, ConcurrentClientsManyAtOnce)
{
    auto sim = startSim();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 130; ++i) {
        clients.push_back(std::make_unique<Client>(sim->port()));
        clients.back()->handshake();
    }
    for (size_t i = 0; i < clients.size(); ++i)
        clients[i]->send(vrWrite(*clients[i], static_cast<double>(1000 + i), static_cast<double>(i)));
    for (auto& c : clients)
        ASSERT_EQ(c->readSimple().second, 0.0);
    for (size_t i = 0; i < clients.size(); ++i)
        ASSERT_EQ(clients[(i + 1) % clients.size()]->ask(vrRead(*clients[0], static_cast<double>(1000 + i))).first,
                  static_cast<double>(i));
    EXPECT_GE(sim->activeConnections(), 130u);
}

TEST(SimProtocol, TenThousandTinyRequestsInOneSend)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    std::string batch;
    for (int i = 0; i < 10000; ++i)
        batch += c->tok("BASE") + c->zero();
    c->send(batch);
    const std::string replies = c->read(10000 * 16, 10000);
    EXPECT_EQ(replies, std::string(10000 * 16, '\0')) << "base axis 0, status 0, ten thousand times";
}

TEST(SimProtocol, AnOverlongRequestIsRefusedAndTheConnectionClosed)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    // An unterminated string just over the 1 MiB limit: no ZERO ends this request.
    c->send(c->tok("EXECUTE") + c->tok("QUOTES") + std::string((1u << 20) + 65536, 'x'));
    EXPECT_EQ(c->readSimple(5000), std::make_pair(0.0, static_cast<double>(eRequestTooLong)));
    EXPECT_TRUE(c->closedWithin(2000));
}

#endif // HOLVANE_HAVE_SIM
