// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "SimFixture.h"

#include <random>
#include <thread>

using namespace SimTest;

namespace {
// Sends bytes while draining whatever the simulator answers, so neither side blocks.
void sendDraining(Client& c, const std::string& bytes)
{
    for (size_t pos = 0; pos < bytes.size(); pos += 4096) {
        c.send(bytes.substr(pos, 4096));
        while (!c.readSome(0).empty()) {
        }
    }
}
} // namespace

TEST(SimRobustness, RandomBytesAndRandomTokenStreamsNeverHurtTheSimulator)
{
    auto sim = startSim();
    std::mt19937 rng(20261207);
    {
        // Plain noise, before and after the handshake.
        Client noise(sim->port());
        std::string bytes(256 * 1024, '\0');
        for (char& b : bytes)
            b = static_cast<char>(rng());
        sendDraining(noise, bytes);
    }
    {
        // Well-framed requests made of random tokens, numbers and strings.
        auto c = connectClient(*sim);
        std::vector<std::string> pieces;
        for (const auto& [name, record] : c->table())
            if (name != "ZERO" && name != "EXTENDED_TOKEN" && name != "UNKNOWN" && name != "NUMBER" && name != "QUOTES")
                pieces.push_back(c->tokCode(record.code));
        std::uniform_real_distribution<double> value(-1e6, 1e6);
        std::string stream;
        for (int request = 0; request < 4000; ++request) {
            const int length = static_cast<int>(rng() % 12);
            for (int i = 0; i < length; ++i) {
                switch (rng() % 4) {
                case 0: stream += c->num(rng() % 3 == 0 ? value(rng) : static_cast<double>(rng() % 20)); break;
                case 1: stream += c->str(std::string(rng() % 5, static_cast<char>(rng()))); break;
                default: stream += pieces[rng() % pieces.size()]; break;
                }
            }
            stream += c->zero();
        }
        sendDraining(*c, stream);
        // Some of those may have started value lists; acknowledge until quiet.
        for (int i = 0; i < 4000 && !c->readSome(20).empty(); ++i)
            c->ack();
    }
    // The simulator still serves a fresh connection normally.
    auto fresh = connectClient(*sim);
    EXPECT_EQ(fresh
                  ->ask(fresh->tok("VR") + fresh->tok("OPENBRACKETS") + fresh->num(1) + fresh->tok("CLOSEBRACKETS") +
                        fresh->tok("ASSIGN") + fresh->num(8) + fresh->zero())
                  .second,
              0.0);
    double v = 0;
    EXPECT_EQ(sim->state().readVr(1, v), 0);
    EXPECT_EQ(v, 8.0);
}

#endif // HOLVANE_HAVE_SIM
