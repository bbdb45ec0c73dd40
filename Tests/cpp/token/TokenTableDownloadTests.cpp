#include "SharedLib/MemPort.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"
#include "TokenTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

namespace Vantrel::HolvaneApi {
namespace {

using namespace std::chrono_literals;
using TokenTest::baseTable;
using TokenTest::endOfTable;
using TokenTest::EventLog;
using TokenTest::PiecewisePort;

// Runs one download of reply over a memory port and over ports that deliver
// it one byte and seven bytes at a time; all three must agree.
class Download : public ::testing::Test {
protected:
    ErrorCode run(const std::string& reply, std::chrono::milliseconds silence = 50ms)
    {
        MemPort mem;
        mem.Open(reply.data(), reply.size());
        const ErrorCode viaMemory = token.ReadTokenTable(mem, silence);
        for (size_t piece : {size_t{1}, size_t{7}}) {
            Token other(nullptr);
            PiecewisePort port(reply, piece);
            port.waitsOnTimeout = true;
            EXPECT_EQ(other.ReadTokenTable(port, silence), viaMemory) << "pieces of " << piece;
            EXPECT_EQ(other.tokenMap().size(), token.tokenMap().size()) << "pieces of " << piece;
            EXPECT_EQ(port.written, std::string("\x00\xC8", 2));
        }
        return viaMemory;
    }

    const Token::TokenDef& at(std::string_view name, char type = 0)
    {
        const Token::TokenDef* def = token.tokenMap().find(name, type);
        if (!def) {
            ADD_FAILURE() << "no entry " << name;
            static const Token::TokenDef none;
            return none;
        }
        return *def;
    }

    EventLog log;
    Token token{log.callback()};
};

TEST_F(Download, DecodesEveryRecordType)
{
    const std::string reply = baseTable() +
                              "C12VR,0,0,1,1,0,0,cf>x\r\n"
                              "C13PRINT,1,2,3,4,5,6,obdez>\r\n"
                              "S5A,B\r\n"
                              "E201QUOTES\r\n"
                              "V300VERSION,7,wde>\r\n"
                              "V301CONTROL,0,>\r\n"
                              "M40AXIS,1,2,65535\r\n"
                              "T7PI,3.1416\r\n"
                              "T8M,-2.5\r\n"
                              "T9BIG,123.0000\r\n"
                              "C70000WRAPPED,0,0,0,0,0,0,>\r\n" +
                              endOfTable();
    ASSERT_EQ(run(reply), NoError);
    EXPECT_EQ(token.tokenMap().size(), 14u);

    const Token::TokenDef& vr = at("VR");
    EXPECT_EQ(vr.token_type, 'C');
    EXPECT_EQ(vr.token, 12);
    EXPECT_EQ(vr.command.min_numeric_parameters, 1);
    EXPECT_EQ(vr.command.max_numeric_parameters, 1);
    EXPECT_EQ(vr.command.flag.is_command, 1u);
    EXPECT_EQ(vr.command.flag.is_function, 1u);
    EXPECT_EQ(vr.command.flag.is_operator, 0u);
    EXPECT_EQ(vr.command.flags, 0b101);

    const Token::TokenDef& print = at("PRINT");
    EXPECT_EQ(print.command.min_quote_parameters, 1);
    EXPECT_EQ(print.command.max_quote_parameters, 2);
    EXPECT_EQ(print.command.min_numeric_parameters, 3);
    EXPECT_EQ(print.command.max_numeric_parameters, 4);
    EXPECT_EQ(print.command.modifier_set, 5);
    EXPECT_EQ(print.command.exception, 6);
    // o b d e: operator, brackets, disabled, pc; no letter sets runtime.
    EXPECT_EQ(print.command.flags, 0b1101010);

    EXPECT_EQ(at("A,B").token_type, 'S');
    EXPECT_EQ(at("A,B").token, 5);
    EXPECT_EQ(at("QUOTES").token_type, 'E');
    EXPECT_EQ(at("QUOTES").token, 201);

    const Token::TokenDef& version = at("VERSION");
    EXPECT_EQ(version.token_type, 'V');
    EXPECT_EQ(version.token, 300);
    EXPECT_EQ(version.sys_var.modifier_set, 7);
    EXPECT_EQ(version.sys_var.flags, 0b111);
    EXPECT_EQ(at("CONTROL").sys_var.flags, 0);

    const Token::TokenDef& axis = at("AXIS");
    EXPECT_EQ(axis.token_type, 'M');
    EXPECT_EQ(axis.modifier.min_numeric_parameters, 1);
    EXPECT_EQ(axis.modifier.max_numeric_parameters, 2);
    EXPECT_EQ(axis.modifier.modifier_mask, 65535);

    EXPECT_DOUBLE_EQ(at("PI").constant.value, 3.1416);
    EXPECT_DOUBLE_EQ(at("M").constant.value, -0.0025);
    EXPECT_DOUBLE_EQ(at("BIG").constant.value, 123.0);
    EXPECT_EQ(at("WRAPPED").token, 4464); // 70000 in 16 bits

    EXPECT_TRUE(log.has(EventType::Message, 0, "TOKENTABLE"));
    EXPECT_TRUE(log.has(EventType::Message, 0, "->A,B"));
    EXPECT_TRUE(log.has(EventType::Message, 0, "->VR"));
    EXPECT_TRUE(log.has(EventType::Message, 0, "TOKENTABLE stops successfully with 14 entries"));
    EXPECT_EQ(log.count(EventType::Error), 0u);
    EXPECT_EQ(log.events.front().text, "TOKENTABLE");
}

TEST_F(Download, TakesSpecialCodesFromTheTableAndIgnoresTrailingBytes)
{
    const std::string reply = "S17EXTENDED_TOKEN\r\nS3ZERO\r\nC9TOKENTABLE,0,0,0,0,0,0,>\r\n"
                              "[XYZ]\r\nS5AFTER\r\n[E]\r\n" +
                              endOfTable() + "C1LATE,0,0,0,0,0,0,>\r\n" + endOfTable();
    ASSERT_EQ(run(reply), NoError);
    EXPECT_EQ(token.tokenZERO().token, 3);
    EXPECT_EQ(token.tokenTOKENTABLE().token, 9);
    EXPECT_EQ(token.tokenExtendedCode(), 17);
    EXPECT_EQ(token.tokenMap().find("LATE"), nullptr);
    EXPECT_EQ(token.tokenMap().size(), 4u);
    EXPECT_NE(token.tokenMap().find("AFTER"), nullptr);

    // A table of 1234 entries reports its count.
    std::string big = baseTable();
    for (int i = 0; i < 1231; ++i)
        big += "C" + std::to_string(i + 300) + "K" + std::to_string(i) + ",0,0,0,0,0,0,c>\r\n";
    Token counted(log.callback());
    MemPort port;
    big += endOfTable();
    port.Open(big.data(), big.size());
    ASSERT_EQ(counted.ReadTokenTable(port, 50ms), NoError);
    EXPECT_TRUE(log.has(EventType::Message, 0, "TOKENTABLE stops successfully with 1234 entries"));
}

TEST_F(Download, LineSkippingFollowsTheCrLfMatchRules)
{
    // CR CR LF does not end a skipped line: the next record is swallowed
    // until a real CR LF.
    const std::string reply = baseTable() + "C1A,0,0,0,0,0,0,>junk\r\r\nC2B,0,0,0,0,0,0,>\r\nC3C,0,0,0,0,0,0,>\r\n" +
                              "S4D\rx\r\nS5E\r\n" + endOfTable();
    ASSERT_EQ(run(reply), NoError);
    EXPECT_NE(token.tokenMap().find("A"), nullptr);
    EXPECT_EQ(token.tokenMap().find("B"), nullptr);
    EXPECT_NE(token.tokenMap().find("C"), nullptr);
    EXPECT_NE(token.tokenMap().find("D"), nullptr); // added at CR; the rest skipped
    EXPECT_NE(token.tokenMap().find("E"), nullptr);
}

TEST_F(Download, MalformedTablesFailWithTokenTableAndKeepTheDefaults)
{
    struct Case {
        const char* what;
        std::string reply;
        const char* reason;
    };
    const Case cases[] = {
        {"unknown record letter", baseTable() + "X1FOO\r\n" + endOfTable(), "unknown record letter 0x58"},
        {"blank line", baseTable() + "\r\n" + endOfTable(), "unknown record letter 0x0d"},
        {"no ZERO", "C0TOKENTABLE,0,0,0,0,0,0,>\r\nS255EXTENDED_TOKEN\r\n" + endOfTable(), "no ZERO entry"},
        {"no TOKENTABLE", "S200ZERO\r\nS255EXTENDED_TOKEN\r\n" + endOfTable(), "no TOKENTABLE entry"},
        {"no EXTENDED_TOKEN", "C0TOKENTABLE,0,0,0,0,0,0,>\r\nS200ZERO\r\n" + endOfTable(), "no EXTENDED_TOKEN entry"},
        {"EXTENDED_TOKEN 0", "C0TOKENTABLE,0,0,0,0,0,0,>\r\nS200ZERO\r\nS0EXTENDED_TOKEN\r\n" + endOfTable(),
         "EXTENDED_TOKEN code 0 is outside 1..255"},
        {"EXTENDED_TOKEN 256", "C0TOKENTABLE,0,0,0,0,0,0,>\r\nS200ZERO\r\nS256EXTENDED_TOKEN\r\n" + endOfTable(),
         "EXTENDED_TOKEN code 256 is outside 1..255"},
        {"ZERO not encodable", "C0TOKENTABLE,0,0,0,0,0,0,>\r\nS900ZERO\r\nS255EXTENDED_TOKEN\r\n" + endOfTable(),
         "a ZERO or TOKENTABLE code cannot be encoded"},
        {"conflicting duplicate", baseTable() + "C12VR,0,0,0,0,0,0,>\r\nC13VR,0,0,0,0,0,0,>\r\n" + endOfTable(),
         "\"VR\" of type 'C' has codes 12 and 13"},
        {"oversized name", baseTable() + "S1" + std::string(Token::MaxTokenNameLength + 1, 'N') + "\r\n" + endOfTable(),
         "a name is longer than 4096 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EventLog caseLog;
        Token t(caseLog.callback());
        MemPort port;
        port.Open(c.reply.data(), c.reply.size());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(t.ReadTokenTable(port), TokenTable);
        // Rejected on sight, not after the silence limit.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_TRUE(caseLog.has(EventType::Error, TokenTable, std::string("TOKENTABLE rejected: ") + c.reason));
        EXPECT_TRUE(caseLog.has(EventType::Message, 0, "TOKENTABLE stops unsuccessfully"));
        EXPECT_FALSE(caseLog.has(EventType::Message, 0, "TOKENTABLE stops successfully with 0 entries"));
        EXPECT_EQ(t.tokenZERO().token, 200);
        EXPECT_EQ(t.tokenTOKENTABLE().token, 0);
        EXPECT_EQ(t.tokenExtendedCode(), 255);
        TokenBuffer stillUsable(t); // the defaults stay valid
        EXPECT_EQ(stillUsable.extendedToken(), 255);
        Token piecewise(nullptr);
        PiecewisePort slowPort(c.reply, 3);
        EXPECT_EQ(piecewise.ReadTokenTable(slowPort), TokenTable);
    }

    // A name of exactly the cap is accepted.
    const std::string atCap = baseTable() + "S1" + std::string(Token::MaxTokenNameLength, 'N') + "\r\n" + endOfTable();
    ASSERT_EQ(run(atCap), NoError);
    EXPECT_NE(token.tokenMap().find(std::string(Token::MaxTokenNameLength, 'N')), nullptr);
}

TEST_F(Download, ATableCutShortEndsAfterTheSilenceLimit)
{
    const std::string reply = baseTable() + "C12VR,0,0,1,1,0,0,cf>\r\n[EO";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(reply, 100ms), TokenTable);
    const auto took = std::chrono::steady_clock::now() - start;
    // The two ports that time out wait out the silence; the memory port,
    // whose data has ended (as a closed link's), ends at once.
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 10s);
    EXPECT_TRUE(log.has(EventType::Message, 0, "TOKENTABLE stops unsuccessfully"));
    EXPECT_EQ(log.count(EventType::Error), 0u);
    // What arrived stays in the map; the special entries keep their defaults.
    EXPECT_EQ(token.tokenMap().size(), 4u);
    EXPECT_EQ(token.tokenZERO().token, 200);

    // Silence counts from the last data, not from the start: a table that
    // trickles in for longer than the limit still succeeds.
    const std::string full = baseTable() + endOfTable();
    PiecewisePort trickle(full, 2);
    trickle.delay = 3ms;
    trickle.emptyReadsBetweenPieces = true;
    Token patient(nullptr);
    const auto trickleStart = std::chrono::steady_clock::now();
    EXPECT_EQ(patient.ReadTokenTable(trickle, 40ms), NoError);
    EXPECT_GT(std::chrono::steady_clock::now() - trickleStart, 40ms);

    // A port that times out is asked for the rest of the allowance, never
    // without a limit, and the download ends with the allowance.
    PiecewisePort silent("", 16);
    silent.waitsOnTimeout = true;
    Token quiet(nullptr);
    const auto silentStart = std::chrono::steady_clock::now();
    EXPECT_EQ(quiet.ReadTokenTable(silent, 30ms), TokenTable);
    EXPECT_GE(std::chrono::steady_clock::now() - silentStart, 30ms);
    EXPECT_LE(silent.lastTimeout, 30u);
    EXPECT_LE(silent.reads, 3u) << "one read waits for the rest of the allowance, no polling";
}

TEST_F(Download, PortFailuresAreReturnedWithTheirEvents)
{
    const std::string reply = baseTable() + endOfTable();

    // A failure of the port itself is the port's to report (a connection's
    // port reports the loss of its link once); the download passes it on.
    PiecewisePort writeFails(reply, 64);
    writeFails.writeError = systemError(32);
    EXPECT_EQ(token.ReadTokenTable(writeFails, 50ms), systemError(32));
    EXPECT_EQ(writeFails.reads, 0u);

    PiecewisePort shortWrite(reply, 64);
    shortWrite.writeLimit = 1;
    Token t2(log.callback());
    EXPECT_EQ(t2.ReadTokenTable(shortWrite, 50ms), Remote_TokenBuffer);
    EXPECT_TRUE(log.has(EventType::Error, Remote_TokenBuffer, "Error writing ReadTokenTable command"));

    PiecewisePort readFails(baseTable(), 64);
    readFails.afterData = systemError(104);
    Token t3(log.callback());
    EXPECT_EQ(t3.ReadTokenTable(readFails, 50ms), systemError(104));
    EXPECT_EQ(log.count(EventType::Error), 1u) << "only the short write, which the port did not report";

    MemPort detached;
    Token t4(log.callback());
    EXPECT_EQ(t4.ReadTokenTable(detached, 50ms), Fail);
    EXPECT_TRUE(log.has(EventType::Error, Fail, "Error writing ReadTokenTable command"));
}

TEST(DownloadScale, HugeTablesAndFieldsParseInLinearTime)
{
    // 300000 entries sharing one length and first byte, and a constant with
    // a megabyte of digits: both must finish promptly.
    std::string reply = baseTable();
    reply.reserve(300000 * 32);
    for (int i = 0; i < 300000; ++i) {
        char line[40];
        std::snprintf(line, sizeof line, "C%dQ%06d,0,0,0,0,0,0,c>\r\n", 300 + i % 200, i);
        reply += line;
    }
    reply += "T1HUGE," + std::string(1 << 20, '9') + "\r\n";
    reply += "C1LONGFIELD," + std::string(1 << 20, '7') + ",0,0,0,0,0,>\r\n";
    reply += endOfTable();
    Token token(nullptr);
    MemPort port;
    port.Open(reply.data(), reply.size());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(token.ReadTokenTable(port, 50ms), NoError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
    EXPECT_EQ(token.tokenMap().size(), 300005u);
    EXPECT_TRUE(std::isinf(token.tokenMap().find("HUGE")->constant.value));
    EXPECT_EQ(token.tokenMap().find("Q123456")->token, 300 + 123456 % 200);
}

TEST(DownloadSilence, SLOW_WaitsTenSecondsOfSilenceBeforeGivingUp)
{
    EventLog log;
    Token token(log.callback());
    const std::string reply = baseTable();
    PiecewisePort port(reply, 5);
    port.waitsOnTimeout = true;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(token.ReadTokenTable(port), TokenTable);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 10s);
    EXPECT_LT(took, 13s);
    EXPECT_TRUE(log.has(EventType::Message, 0, "TOKENTABLE stops unsuccessfully"));
}

} // namespace
} // namespace Vantrel::HolvaneApi
