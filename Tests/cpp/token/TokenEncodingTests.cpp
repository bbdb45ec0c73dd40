#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"
#include "TokenTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Vantrel::HolvaneApi {
namespace {

using TokenTest::baseTable;
using TokenTest::bytesOf;
using TokenTest::endOfTable;
using TokenTest::EventLog;
using TokenTest::loadTable;

// A table with the framing tokens of requests; prefix sets EXTENDED_TOKEN.
std::string requestTable(int prefix, int numberCode = 30, int eoxCode = 31)
{
    return "C0TOKENTABLE,0,0,0,0,0,0,c>\r\n"
           "S200ZERO\r\n"
           "S" +
           std::to_string(prefix) +
           "EXTENDED_TOKEN\r\n"
           "S" +
           std::to_string(numberCode) +
           "NUMBER\r\n"
           "S" +
           std::to_string(eoxCode) +
           "EOX\r\n"
           "S40SYSTEMVARIABLE\r\n"
           "S41SYSTEMVARIABLE2\r\n"
           "C12VR,0,0,1,1,0,0,cf>\r\n"
           "V300VERSION,0,>\r\n"
           "V77CONTROL,0,>\r\n"
           "V600FAR_AWAY,0,>\r\n"
           "C20SPEED,0,0,0,0,0,0,c>\r\n" +
           endOfTable();
}

TEST(KnownTokens, NameTableIsInEnumeratorOrderWithTheRecordLetters)
{
    EXPECT_TRUE(Tokens_CheckIntegrity());
    EXPECT_EQ(Token::_token_names[Token::tVR].name, "VR");
    EXPECT_EQ(Token::_token_names[Token::tVERSION].type, 'V');
    EXPECT_EQ(Token::_token_names[Token::tAXIS].type, 'M');
    EXPECT_EQ(Token::_token_names[Token::tCOLON].name, "COLON");
    EXPECT_EQ(Token::__tLAST_TOKEN, 42);
}

TEST(KnownTokens, ResolutionIsCachedIncludingAbsence)
{
    Token token(nullptr);
    uint16_t code = 99;
    EXPECT_EQ(token.cacheState(Token::tVR), Token::CacheState::Unresolved);
    EXPECT_FALSE(token.getTokenCode(Token::tVR, code));
    EXPECT_EQ(token.cacheState(Token::tVR), Token::CacheState::Absent);
    EXPECT_FALSE(token.getTokenCode(Token::tVR, code));
    EXPECT_EQ(token.cacheState(Token::tVR), Token::CacheState::Absent);
    EXPECT_EQ(token.cacheState(Token::tEX), Token::CacheState::Unresolved);

    // A fresh token downloads a table; entries are found by the type the
    // keyword must carry.
    Token loaded(nullptr);
    ASSERT_EQ(loadTable(loaded, baseTable() + "V12VR,0,>\r\nC13VR,0,0,1,1,0,0,c>\r\n" + endOfTable()), NoError);
    EXPECT_TRUE(loaded.getTokenCode(Token::tVR, code));
    EXPECT_EQ(code, 13);
    EXPECT_EQ(loaded.cacheState(Token::tVR), Token::CacheState::Resolved);
    EXPECT_TRUE(loaded.getTokenCode(Token::tTOKENTABLE, code));
    EXPECT_EQ(code, 0);
    // ZERO is in the table but is no known token; NUMBER is absent.
    EXPECT_FALSE(loaded.getTokenCode(Token::tNUMBER, code));

    // By name: any type, or a given one; absent gives code 0.
    EXPECT_TRUE(loaded.getTokenCode("VR", code));
    EXPECT_EQ(code, 12);
    EXPECT_TRUE(loaded.getTokenCode("VR", code, 'C'));
    EXPECT_EQ(code, 13);
    EXPECT_FALSE(loaded.getTokenCode("VR", code, 'M'));
    EXPECT_EQ(code, 0);
    const Token::TokenDef* def = nullptr;
    EXPECT_EQ(loaded.getToken("ZERO", def), NoError);
    EXPECT_EQ(def->token, 200);
    EXPECT_EQ(loaded.getToken_SystemVariable("VR", def), NoError);
    EXPECT_EQ(def->token_type, 'V');
    EXPECT_EQ(loaded.getToken_SystemVariable("ZERO", def), Remote_UnknownToken);
    EXPECT_EQ(def, nullptr);

    // The cache is cleared and refilled after reset.
    loaded.resetCachedTokens();
    EXPECT_EQ(loaded.cacheState(Token::tVR), Token::CacheState::Unresolved);
    EXPECT_TRUE(loaded.getTokenCode(Token::tVR, code));
    EXPECT_EQ(code, 13);
}

TEST(TokenCodes, OneByteUpToThePrefixThenPrefixAndOffset)
{
    Token token(nullptr);
    TokenBuffer buffer(token);
    EXPECT_EQ(token.appendTokenCode(0, buffer), NoError);
    EXPECT_EQ(token.appendTokenCode(255, buffer), NoError);
    EXPECT_EQ(token.appendTokenCode(256, buffer), NoError);
    EXPECT_EQ(token.appendTokenCode(300, buffer), NoError);
    EXPECT_EQ(token.appendTokenCode(510, buffer), NoError);
    EXPECT_EQ(bytesOf(buffer), (std::vector<uint8_t>{0x00, 0xFF, 0xFF, 0x01, 0xFF, 0x2D, 0xFF, 0xFF}));
    // No encoding past prefix + 255: refused, nothing appended.
    EXPECT_EQ(token.appendTokenCode(511, buffer), BadArgument);
    EXPECT_EQ(token.appendTokenCode(65535, buffer), BadArgument);
    EXPECT_EQ(buffer.length(), 8u);

    Token shifted(nullptr);
    ASSERT_EQ(loadTable(shifted, requestTable(250)), NoError);
    EXPECT_EQ(shifted.tokenExtendedCode(), 250);
    TokenBuffer b250(shifted);
    EXPECT_EQ(b250.extendedToken(), 250);
    EXPECT_EQ(shifted.appendTokenCode(250, b250), NoError);
    EXPECT_EQ(shifted.appendTokenCode(251, b250), NoError);
    EXPECT_EQ(shifted.appendTokenCode(300, b250), NoError);
    EXPECT_EQ(shifted.appendTokenCode(505, b250), NoError);
    EXPECT_EQ(shifted.appendTokenCode(506, b250), BadArgument);
    EXPECT_EQ(bytesOf(b250), (std::vector<uint8_t>{0xFA, 0xFA, 0x01, 0xFA, 0x32, 0xFA, 0xFF}));
}

TEST(TokenCodes, TokensByDefinitionKnownNameAndZero)
{
    Token fresh(nullptr);
    TokenBuffer defaults(fresh);
    EXPECT_EQ(fresh.appendToken(&fresh.tokenTOKENTABLE(), defaults), NoError);
    EXPECT_EQ(fresh.appendZeroToken(defaults), NoError);
    EXPECT_EQ(bytesOf(defaults), (std::vector<uint8_t>{0x00, 0xC8}));
    // Before a download no known token resolves, and nothing is appended.
    EXPECT_EQ(fresh.appendToken(Token::tVR, defaults), Remote_UnknownToken);
    EXPECT_EQ(fresh.appendToken("VR", 0, defaults), Remote_UnknownToken);
    EXPECT_EQ(defaults.length(), 2u);

    Token token(nullptr);
    ASSERT_EQ(loadTable(token, "C7TOKENTABLE,0,0,0,0,0,0,c>\r\nS199ZERO\r\nS254EXTENDED_TOKEN\r\n"
                               "C12VR,0,0,1,1,0,0,cf>\r\nC400FAR,0,0,0,0,0,0,c>\r\n" +
                                   endOfTable()),
              NoError);
    TokenBuffer buffer(token);
    EXPECT_EQ(token.appendToken(Token::tVR, buffer), NoError);
    EXPECT_EQ(token.appendToken("FAR", 'C', buffer), NoError);
    EXPECT_EQ(token.appendToken("FAR", 'V', buffer), Remote_UnknownToken);
    EXPECT_EQ(token.appendZeroToken(buffer), NoError);
    EXPECT_EQ(token.appendToken(&token.tokenTOKENTABLE(), buffer), NoError);
    EXPECT_EQ(bytesOf(buffer), (std::vector<uint8_t>{12, 0xFE, 400 - 254, 199, 7}));
}

TEST(SystemVariables, ShortAndLongFormsByCodeKnownTokenAndName)
{
    EventLog log;
    Token token(log.callback());
    ASSERT_EQ(loadTable(token, requestTable(255)), NoError);

    TokenBuffer byCode(token);
    EXPECT_EQ(token.appendToken_SystemVariable(byCode, uint16_t{77}), NoError);
    EXPECT_EQ(token.appendToken_SystemVariable(byCode, uint16_t{300}), NoError);
    EXPECT_EQ(token.appendToken_SystemVariable(byCode, uint16_t{600}), NoError);
    EXPECT_EQ(token.appendToken_SystemVariable(byCode, uint16_t{255}), NoError);
    EXPECT_EQ(token.appendToken_SystemVariable(byCode, uint16_t{256}), NoError);
    EXPECT_EQ(bytesOf(byCode), (std::vector<uint8_t>{40, 77, 41, 0x2C, 41, 0xFF, 600 - 256 - 255, 40, 0xFF, 41, 0x00}));
    // 256 + 511 would need a wrapped offset: refused, nothing appended.
    EXPECT_EQ(token.appendToken_SystemVariable(byCode, uint16_t{767}), BadArgument);
    EXPECT_EQ(byCode.length(), 11u);

    TokenBuffer byKnown(token);
    EXPECT_EQ(token.appendToken_SystemVariable(byKnown, Token::tVERSION), NoError);
    EXPECT_EQ(token.appendToken_SystemVariable(byKnown, Token::tCONTROL), NoError);
    EXPECT_EQ(bytesOf(byKnown), (std::vector<uint8_t>{41, 0x2C, 40, 77}));

    TokenBuffer byName(token);
    EXPECT_EQ(token.appendToken_SystemVariable(byName, std::string_view("FAR_AWAY")), NoError);
    EXPECT_EQ(bytesOf(byName), (std::vector<uint8_t>{41, 0xFF, 89}));
    log.events.clear();
    EXPECT_EQ(token.appendToken_SystemVariable(byName, std::string_view("SPEED")), Remote_UnknownToken);
    EXPECT_TRUE(log.has(EventType::Error, Remote_UnknownToken, "Undefined system variable: SPEED"));
    EXPECT_EQ(byName.length(), 3u);

    // Without the prefix tokens nothing can be referenced.
    Token bare(nullptr);
    ASSERT_EQ(loadTable(bare, baseTable() + "V300VERSION,0,>\r\n" + endOfTable()), NoError);
    TokenBuffer none(bare);
    EXPECT_EQ(bare.appendToken_SystemVariable(none, Token::tVERSION), Remote_UnknownToken);
    EXPECT_EQ(bare.appendToken_SystemVariable(none, Token::tCONTROL), Remote_UnknownToken);
    EXPECT_EQ(none.length(), 0u);
}

TEST(Values, NumberFramedByItsTokensInTheControllerFormat)
{
    Token token(nullptr);
    ASSERT_EQ(loadTable(token, requestTable(255)), NoError);
    TokenBuffer tms(token);
    EXPECT_EQ(token.appendValue(1.0, tms), NoError);
    EXPECT_EQ(bytesOf(tms), (std::vector<uint8_t>{30, 0, 0, 0, 0, 31}));

    ASSERT_TRUE(token.SetControllerCapabilities(2.0, 400));
    TokenBuffer ieee(token);
    EXPECT_EQ(token.appendValue(1.0, ieee), NoError);
    EXPECT_EQ(bytesOf(ieee), (std::vector<uint8_t>{30, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F, 31}));

    // Framing codes in the extended range are sent as prefix and offset.
    Token far(nullptr);
    ASSERT_EQ(loadTable(far, requestTable(200, 201, 300)), NoError);
    TokenBuffer farBuffer(far);
    EXPECT_EQ(far.appendValue(-1.0, farBuffer), NoError);
    EXPECT_EQ(bytesOf(farBuffer), (std::vector<uint8_t>{200, 1, 0x00, 0x00, 0x80, 0xFF, 200, 100}));

    // Without NUMBER or EOX in the table: refused with nothing appended.
    Token bare(nullptr);
    ASSERT_EQ(loadTable(bare, baseTable() + "S30NUMBER\r\n" + endOfTable()), NoError);
    TokenBuffer none(bare);
    EXPECT_EQ(bare.appendValue(1.0, none), Remote_UnknownToken);
    EXPECT_EQ(none.length(), 0u);
}

TEST(Strings, ZeroTerminatedFormIsRawViewFormIsEscapedWhenNeeded)
{
    Token token(nullptr);
    const std::string text("A\x1B"
                           "B\x01"
                           "C",
                           5);
    TokenBuffer raw(token);
    EXPECT_EQ(token.appendString(text.c_str(), raw), NoError);
    EXPECT_EQ(token.appendString(std::string_view(text), raw), NoError);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(raw.data()), raw.length()), text + text);

    ASSERT_TRUE(token.SetControllerCapabilities(2.0, 500));
    TokenBuffer escaped(token);
    EXPECT_EQ(token.appendString(text.c_str(), escaped), NoError);
    EXPECT_EQ(token.appendString(std::string_view(text), escaped), NoError);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(escaped.data()), escaped.length()),
              text + std::string("A\x1B\x1B"
                                 "B\x1B\x01"
                                 "C",
                                 7));

    // Embedded zeros pass in the view form only; no terminator or quotes.
    TokenBuffer zeros(token);
    EXPECT_EQ(token.appendString(std::string_view("a\0b", 3), zeros), NoError);
    EXPECT_EQ(token.appendString("a\0b", zeros), NoError);
    EXPECT_EQ(bytesOf(zeros), (std::vector<uint8_t>{'a', 0, 'b', 'a'}));
    EXPECT_EQ(token.appendString(static_cast<const char*>(nullptr), zeros), BadArgument);
    EXPECT_EQ(zeros.length(), 4u);
}

} // namespace
} // namespace Vantrel::HolvaneApi
