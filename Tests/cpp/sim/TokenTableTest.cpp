// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "SimFixture.h"

#include <set>

using namespace SimTest;

namespace {
// The keywords the host resolves, with the record letters it requires.
const std::pair<const char*, char> s_hostKeywords[] = {
    {"TOKENTABLE", 'C'},
    {"VR", 'C'},
    {"VRVALUES", 'C'},
    {"TABLEVALUES", 'C'},
    {"OPENBRACKETS", 'S'},
    {"CLOSEBRACKETS", 'S'},
    {"ASSIGN", 'S'},
    {"NUMBER", 'S'},
    {"EOX", 'S'},
    {"COMMA", 'S'},
    {"VERSION", 'V'},
    {"CONTROL", 'V'},
    {"SYSTEMVARIABLE", 'S'},
    {"SYSTEMVARIABLE2", 'S'},
    {"UNKNOWN", 'S'},
    {"DIR", 'C'},
    {"QUOTES", 'S'},
    {"TABLE", 'C'},
    {"EXECUTE", 'C'},
    {"EX", 'C'},
    {"BASE", 'C'},
    {"SET_MOTION", 'C'},
    {"SET_MOTIONSP", 'C'},
    {"MODIFIER", 'S'},
    {"AXIS", 'M'},
    {"CANCEL", 'C'},
    {"DATUM", 'C'},
    {"DEFPOS", 'C'},
    {"FORWARD", 'C'},
    {"REVERSE", 'C'},
    {"MOVE", 'C'},
    {"MOVESP", 'C'},
    {"MOVEABS", 'C'},
    {"MOVEABSSP", 'C'},
    {"INVERT_IN", 'C'},
    {"PRINT", 'C'},
    {"LEN", 'C'},
    {"VRSTRING", 'C'},
    {"OPENSQUAREBRACKETS", 'S'},
    {"CLOSESQUAREBRACKETS", 'S'},
    {"SEMICOLON", 'S'},
    {"COLON", 'S'},
};
} // namespace

TEST(SimTokenTable, DownloadCarriesEveryRecordKindAndTheHostKeywords)
{
    auto sim = startSim();
    Client client(sim->port());
    const std::string text = client.downloadTable();
    const auto records = parseTable(text);

    EXPECT_GT(records.size(), 300u);
    EXPECT_EQ(text.substr(text.size() - 7), "[EOT]\r\n");
    EXPECT_EQ(text.rfind("[EOT]"), text.size() - 7) << "end marker appears once, at the end";
    EXPECT_EQ(text[0], '[') << "starts with a bracketed comment line";

    std::set<char> kinds;
    std::set<std::string> names;
    std::set<uint16_t> codes;
    for (const auto& r : records) {
        kinds.insert(r.type);
        EXPECT_TRUE(names.insert(r.name).second) << "duplicate name " << r.name;
        EXPECT_TRUE(codes.insert(r.code).second) << "duplicate code " << r.code;
        EXPECT_LE(r.code, 255 + 255);
        if (r.type == 'C' || r.type == 'V') {
            EXPECT_EQ(r.rest.back(), '>') << r.name;
        }
        if (r.type == 'T') { // constants are read as digits scaled by 1/10000
            EXPECT_EQ(r.rest.size() - r.rest.find('.'), 5u) << r.name;
        }
    }
    EXPECT_EQ(kinds, (std::set<char>{'C', 'S', 'E', 'V', 'M', 'T'}));

    for (const auto& [name, type] : s_hostKeywords) {
        ASSERT_EQ(client.table().count(name), 1u) << name;
        EXPECT_EQ(client.table().at(name).type, type) << name;
    }
    EXPECT_EQ(client.code("TOKENTABLE"), 0);
    EXPECT_EQ(client.code("ZERO"), 200);
    EXPECT_EQ(client.code("EXTENDED_TOKEN"), 255);
    EXPECT_NE(client.code("UNKNOWN"), 0) << "a zero code would switch the acknowledgements off";
    EXPECT_LT(client.code("UNKNOWN"), 256);
    for (const char* param : {"SPEED", "ACCEL", "DECEL", "JERK", "UNITS", "CREEP", "DPOS", "MPOS", "FE", "FE_LIMIT",
                              "SERVO", "ATYPE", "AXIS_ENABLE", "MTYPE", "REMAIN"}) {
        ASSERT_EQ(client.table().count(param), 1u) << param;
        EXPECT_EQ(client.table().at(param).type, 'V');
        EXPECT_GT(client.code(param), 256) << "axis parameters exercise the second system-variable form";
    }
    EXPECT_LT(client.code("VERSION"), 256);
    EXPECT_GT(client.code("VRSTRING"), 255) << "some host keywords need the extended prefix";
}

TEST(SimTokenTable, MovedSpecialCodesAreHonoured)
{
    SimConfig config;
    config.zeroToken = 190;
    config.extendedToken = 240;
    auto sim = startSim(config);
    Client client(sim->port());
    client.handshake(); // the first request still uses the default codes 0 and 200
    EXPECT_EQ(client.code("ZERO"), 190);
    EXPECT_EQ(client.code("EXTENDED_TOKEN"), 240);
    // INVERT_IN lies above the prefix: prefix + offset on the wire.
    const uint16_t invert = client.code("INVERT_IN");
    ASSERT_GT(invert, 240);
    EXPECT_EQ(client.tok("INVERT_IN"), std::string({static_cast<char>(240), static_cast<char>(invert - 240)}));
    EXPECT_EQ(client
                  .ask(client.tok("INVERT_IN") + client.tok("OPENBRACKETS") + client.num(3) + client.tok("COMMA") +
                       client.num(4294967295.0) + client.tok("CLOSEBRACKETS") + client.zero())
                  .second,
              0.0);
    EXPECT_TRUE(sim->state().inputInverted(3));
    const auto reply = client.ask(client.sysVar("SPEED") + client.axisMod(1) + client.zero());
    EXPECT_EQ(reply.second, 0.0);
    EXPECT_EQ(reply.first, 100.0);
    // The default-code table request is only special before the table is served.
    EXPECT_EQ(client
                  .ask(client.tok("VR") + client.tok("OPENBRACKETS") + client.num(1) + client.tok("CLOSEBRACKETS") +
                       client.zero())
                  .second,
              0.0);
}

TEST(SimTokenTable, ImpossibleCodeLayoutsAreRefused)
{
    using Vantrel::HolvaneApi::Sim::TokenTable;
    EXPECT_THROW(TokenTable(20, 50), std::invalid_argument); // the table does not fit below 50 + 255
    EXPECT_THROW(TokenTable(255, 255), std::invalid_argument);
    EXPECT_THROW(TokenTable(1, 255), std::invalid_argument); // would take QUOTES' code
    EXPECT_NO_THROW(TokenTable(3, 200));
}

#endif // HOLVANE_HAVE_SIM
