#include "Connection/Port/TCP/Commands/ValueListParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Vantrel::HolvaneApi::TCP::ValueListParser;

namespace {

struct Parsed {
    std::vector<double> values;
    size_t used = 0;
    bool complete = false;
    bool malformed = false;
};

Parsed parse(const std::string& text, size_t count, size_t piece = 0)
{
    Parsed p;
    p.values.assign(count, -999.0);
    ValueListParser parser(p.values.data(), count);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    if (piece == 0) {
        p.used = parser.feed(bytes, text.size());
    } else {
        for (size_t at = 0; at < text.size(); at += piece)
            p.used += parser.feed(bytes + at, std::min(piece, text.size() - at));
    }
    p.complete = parser.complete();
    p.malformed = parser.malformed();
    return p;
}

} // namespace

TEST(ValueListParser, DecodesNumbersRunsAndSubstitutes)
{
    auto p = parse("1,k2,7.5,-3,\r\n", 4);
    EXPECT_TRUE(p.complete);
    EXPECT_FALSE(p.malformed);
    EXPECT_EQ(p.values, (std::vector<double>{1, 7.5, 7.5, -3}));
    EXPECT_EQ(p.used, 12u) << "stops after the last wanted item, before the line end";

    p = parse("#garbage here,1,", 2);
    EXPECT_TRUE(p.complete);
    EXPECT_NEAR(p.values[0], 3.40282343e+35, 1e28);
    EXPECT_EQ(p.values[0], static_cast<double>(3.40282346638528859811704183484516925e+38F / 1000.0F));
    EXPECT_EQ(p.values[1], 1.0);

    p = parse("+2.5,1e3,.5,-0,", 4);
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.values, (std::vector<double>{2.5, 1000, 0.5, 0}));

    // Line ends and zero bytes between items are harmless.
    p = parse(std::string("1,\r\n\n2,\0\r3,", 12), 3);
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.values, (std::vector<double>{1, 2, 3}));
}

TEST(ValueListParser, SurplusAndHugeRepeatCountsStopAtTheRequestedCount)
{
    auto p = parse("k5,2,", 3);
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.values, (std::vector<double>{2, 2, 2}));

    // A repeat count far beyond any size_t must neither overflow nor loop over it.
    p = parse("k" + std::string(150, '9') + ",4,", 2);
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.values, (std::vector<double>{4, 4}));

    p = parse("k18446744073709551617,4,", 1);
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.values[0], 4.0);
}

TEST(ValueListParser, MalformedItemsAreRejectedWithoutStoring)
{
    for (const char* text : {"k0,5,", "1.5x,", "1, 2,", "k,5,", "kx,", "-,", "1.2.3,", "k3,,", "a,", "1\t,"}) {
        auto p = parse(text, 2);
        EXPECT_TRUE(p.malformed) << text;
        EXPECT_FALSE(p.complete) << text;
    }
    auto p = parse("1,k0,5,", 3);
    EXPECT_TRUE(p.malformed);
    EXPECT_EQ(p.values[0], 1.0) << "values before the fault stay";
    EXPECT_EQ(p.values[1], -999.0);

    // A text that reaches the limit and still grows is malformed; one just
    // below the limit converts.
    EXPECT_TRUE(parse(std::string(160, '1') + ",", 1).malformed);
    EXPECT_TRUE(parse("k" + std::string(160, '1') + ",1,", 1).malformed);
    p = parse("0." + std::string(157, '5') + ",", 1);
    EXPECT_TRUE(p.complete);
    EXPECT_NEAR(p.values[0], 0.5555, 0.001);
}

TEST(ValueListParser, StateSurvivesAnySplitOfTheInput)
{
    const std::string text = "12.25,k3,-0.5,#x,\r\n7,";
    for (size_t piece : {1u, 2u, 3u, 5u}) {
        auto p = parse(text, 6, piece);
        EXPECT_TRUE(p.complete) << piece;
        EXPECT_EQ(p.values[0], 12.25);
        EXPECT_EQ(p.values[3], -0.5);
        EXPECT_EQ(p.values[4], ValueListParser::SubstituteValue);
        EXPECT_EQ(p.values[5], 7.0) << "piece " << piece;
    }
    auto p = parse("1,2,", 3);
    EXPECT_FALSE(p.complete);
    EXPECT_FALSE(p.malformed);
    EXPECT_EQ(p.used, 4u);
}
