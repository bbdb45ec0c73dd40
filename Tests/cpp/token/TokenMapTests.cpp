#include "SharedLib/Token.h"
#include "SharedLib/TokenMapByName.h"

#include <gtest/gtest.h>

#include <string>

namespace Vantrel::HolvaneApi {
namespace {

Token::TokenDef entry(char type, uint16_t code, std::string name)
{
    Token::TokenDef def;
    def.token_type = type;
    def.token = code;
    def.name = std::move(name);
    return def;
}

TEST(TokenMapByName, FindsByExactNameAndTypeFilter)
{
    Token::TokenMapByName map;
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.find("VR"), nullptr);
    EXPECT_EQ(map.find(""), nullptr);

    map.add(entry('C', 12, "VR"));
    map.add(entry('V', 300, "VAR"));
    map.add(entry('S', 7, "VX"));
    EXPECT_EQ(map.size(), 3u);

    const Token::TokenDef* vr = map.find("VR");
    ASSERT_NE(vr, nullptr);
    EXPECT_EQ(vr->token, 12);
    EXPECT_EQ(vr->token_type, 'C');
    EXPECT_EQ(map.find("VR", 'C'), vr);
    EXPECT_EQ(map.find("VR", 'V'), nullptr);
    EXPECT_EQ(map.find("VAR", 'V')->token, 300);
    EXPECT_EQ(map.find("VX")->token, 7);
    // Case, length and first byte all matter.
    EXPECT_EQ(map.find("vr"), nullptr);
    EXPECT_EQ(map.find("V"), nullptr);
    EXPECT_EQ(map.find("VRX"), nullptr);
    EXPECT_EQ(map.find("XR"), nullptr);
    EXPECT_EQ(map.find("a name longer than any stored name"), nullptr);
    EXPECT_EQ(map.find(""), nullptr);
    EXPECT_EQ(map.find(std::string_view("VR\0", 3)), nullptr);
    map.checkIntegrity();
    EXPECT_TRUE(map.isConsistent());
}

TEST(TokenMapByName, DuplicatesResolveToTheFirstAndConflictsAreReported)
{
    Token::TokenMapByName map;
    map.add(entry('C', 10, "SPEED"));
    map.add(entry('V', 20, "SPEED"));
    EXPECT_EQ(map.find("SPEED")->token, 10);
    EXPECT_EQ(map.find("SPEED", 'V')->token, 20);
    EXPECT_EQ(map.find("SPEED", 'C')->token, 10);
    EXPECT_TRUE(map.isConsistent());

    // Same name and type, same code: harmless.
    map.add(entry('C', 10, "SPEED"));
    EXPECT_EQ(map.size(), 3u);
    EXPECT_TRUE(map.isConsistent());
    map.checkIntegrity();

    // Same name and type, another code: not consistent.
    map.add(entry('V', 21, "SPEED"));
    EXPECT_EQ(map.find("SPEED", 'V')->token, 20);
    std::string why;
    EXPECT_FALSE(map.isConsistent(&why));
    EXPECT_NE(why.find("SPEED"), std::string::npos);
    EXPECT_NE(why.find("20"), std::string::npos);
    EXPECT_NE(why.find("21"), std::string::npos);
    EXPECT_DEATH(map.checkIntegrity(), "t->token == tokens->at\\(k\\).token");
}

TEST(TokenMapByName, FoundEntriesStayValidAsTheMapGrows)
{
    Token::TokenMapByName map;
    map.add(entry('C', 1, "A0"));
    const Token::TokenDef* first = map.find("A0");
    for (int i = 1; i < 5000; ++i)
        map.add(entry('C', static_cast<uint16_t>(i), "A" + std::to_string(i % 10)));
    EXPECT_EQ(map.find("A0"), first);
    EXPECT_EQ(first->token, 1);
    EXPECT_EQ(map.size(), 5000u);
    // Every length and first byte in use, including bytes above 0x7F.
    for (int b = 0; b < 256; ++b) {
        if (b >= '0' && b <= '9')
            continue;
        map.add(entry('S', static_cast<uint16_t>(b), std::string(1, static_cast<char>(b)) + "q"));
    }
    EXPECT_EQ(map.find(std::string("\xFFq"))->token, 0xFF);
    EXPECT_EQ(map.find(std::string(1, '\0') + "q")->token, 0);
    const std::string longName(300, 'L');
    map.add(entry('T', 9, longName));
    EXPECT_EQ(map.find(longName)->token, 9);
    EXPECT_EQ(map.find(longName.substr(1)), nullptr);
}

} // namespace
} // namespace Vantrel::HolvaneApi
