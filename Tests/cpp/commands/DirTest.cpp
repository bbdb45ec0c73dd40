// The directory listing: request bytes, the listing's line forms, entry
// decoding, the encoded reply instead of a listing, and the bounds on lines.
#include "InStepCommandTest.h"

#include "Connection/Port/TCP/Commands/CmdDir.h"

#include <stdexcept>

namespace Vantrel::HolvaneApi::Testing {
namespace {

using TCP::nextArg;
using TCP::parseControllerFileEntry;

struct stListing {
    std::vector<ControllerFileInfo> entries;
    void* context = nullptr;
};

ReportControllerFileCallback collect()
{
    return [](void* context, const ControllerFileInfo& info) {
        auto* listing = static_cast<stListing*>(context);
        listing->context = context;
        listing->entries.push_back(info);
    };
}

class DirListing : public InStepCommandTest {
protected:
    Bytes request() { return wire().tok("DIR").tok("QUOTES").rawText("B").tok("QUOTES").zero(); }
};

TEST_P(DirListing, DeliversEveryEntryOfAListing)
{
    stListing got;
    peer().expect(request(), "DIR").send(textThenReply("RAM\nPROG1,100,80,-1,2,1,0\r\nDATA,5,0,3,7,0,1,extra\r\nOK\n"));
    EXPECT_EQ(conn().Dir(&got, collect()), NoError);
    ASSERT_EQ(got.entries.size(), 2u);
    EXPECT_EQ(got.context, &got);
    const ControllerFileInfo& a = got.entries[0];
    EXPECT_STREQ(a.szName, "PROG1");
    EXPECT_EQ(a.size, 100u);
    EXPECT_EQ(a.compiled_size, 80u);
    EXPECT_EQ(a.autorun_process, -1);
    EXPECT_EQ(a.type, 2);
    EXPECT_EQ(a.editable, 1u);
    EXPECT_EQ(a.autorun, 0u);
    const ControllerFileInfo& b = got.entries[1];
    EXPECT_STREQ(b.szName, "DATA");
    EXPECT_EQ(b.autorun_process, 3);
    EXPECT_EQ(b.type, 7);
    EXPECT_EQ(b.editable, 0u);
    EXPECT_EQ(b.autorun, 1u);

    // Other heading forms, a lower-case end line, and a first line that is
    // no known heading (taken as the heading all the same).
    for (const char* head : {",", "EPROM", "eeprom\r", "ram", "FILES ON CARD"}) {
        stListing more;
        peer().expect(request(), head).send(textThenReply(std::string(head) + "\nA,1,1,0,1,0,0\nok\n"));
        EXPECT_EQ(conn().Dir(&more, collect()), NoError) << head;
        ASSERT_EQ(more.entries.size(), 1u) << head;
        EXPECT_STREQ(more.entries[0].szName, "A");
    }
    // A controller error in the trailing reply is the result.
    stListing failed;
    peer().expect(request()).send(textThenReply("RAM\nOK\n", 12));
    EXPECT_EQ(conn().Dir(&failed, collect()), static_cast<ErrorCode>(0x40000000C));
    ctl->verifyScript();
    expectInStep();
}

TEST_P(DirListing, BadEntriesAreSkippedAndReported)
{
    const std::string longName(140, 'N');
    const std::string veryLongName(600, 'L');
    stListing got;
    peer().expect(request()).send(textThenReply("RAM\nGOOD1,1,2,3,4,1,1\nBAD,abc,1,1,1,1,1\ntable,1,1,1,1,1,1\n"
                                                "TABLE,1,1,1,1,1,1\n" +
                                                longName + ",9,9,9,9,0,0\n" + veryLongName +
                                                ",7,7,7,7,1,0\nGOOD2,1,2,3,4,0,0\nOK\n"));
    EXPECT_EQ(conn().Dir(&got, collect()), BadResponse);
    ASSERT_EQ(got.entries.size(), 4u);
    EXPECT_STREQ(got.entries[0].szName, "GOOD1");
    EXPECT_EQ(std::string(got.entries[1].szName), longName.substr(0, 131));
    EXPECT_EQ(got.entries[1].size, 9u);
    EXPECT_EQ(std::string(got.entries[2].szName), veryLongName.substr(0, 131)) << "a long line is read whole";
    EXPECT_EQ(got.entries[2].size, 7u);
    EXPECT_STREQ(got.entries[3].szName, "GOOD2");
    ctl->verifyScript();
    expectInStep();
}

TEST_P(DirListing, AnEncodedReplyInsteadOfAListing)
{
    // The reply's value is 0, whose first byte is 0 in both formats.
    stListing got;
    peer().expect(request()).send(wire().reply(0, 12));
    EXPECT_EQ(conn().Dir(&got, collect()), static_cast<ErrorCode>(0x40000000C));
    EXPECT_TRUE(got.entries.empty());
    peer().expect(request()).send(wire().reply(0, 0));
    EXPECT_EQ(conn().Dir(&got, collect()), NoError);
    EXPECT_TRUE(got.entries.empty());
    ctl->verifyScript();
    expectInStep();
}

TEST_P(DirListing, AThrowingHandlerNeitherEscapesNorDesynchronises)
{
    int calls = 0;
    auto throwing = [&calls](void*, const ControllerFileInfo&) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    peer().expect(request()).send(textThenReply("RAM\nA,1,1,1,1,1,1\nB,1,1,1,1,1,1\nOK\n"));
    EXPECT_EQ(conn().Dir(nullptr, throwing), BadArgument);
    EXPECT_EQ(calls, 1) << "no further calls once the handler has thrown";
    ctl->verifyScript();
    expectInStep();
}

TEST_P(DirListing, AnEndlessLineIsGivenUp)
{
    stListing got;
    peer().expect(request()).send(bytesOf("RAM\n" + std::string(70 * 1024, 'x')));
    EXPECT_EQ(conn().Dir(&got, collect()), BadResponse);
    EXPECT_FALSE(conn().IsConnected()) << "the listing's end is unknown";
    double value = 0;
    EXPECT_NE(conn().ReadVrValue(1, value), NoError);
}

INSTANTIATE_TEST_SUITE_P(Formats, DirListing, testing::Values(Flavour::Tms320, Flavour::Ieee64), flavourName);

// The number format plays no part in a listing's length: one format's run of
// some seconds is enough.
class DirListingLength : public DirListing {};

TEST_P(DirListingLength, AListingWithoutEndIsGivenUp)
{
    std::string endless = "RAM\n";
    for (size_t i = 0; i < TCP::CmdDir::MaxListingLines + 100; ++i)
        endless += "A,1,1,1,1,1,1\n";
    size_t calls = 0;
    auto count = [&calls](void*, const ControllerFileInfo&) { ++calls; };
    peer().expect(request()).send(bytesOf(endless));
    EXPECT_EQ(conn().Dir(nullptr, count), BadResponse);
    EXPECT_LT(calls, TCP::CmdDir::MaxListingLines);
    EXPECT_FALSE(conn().IsConnected());
}

INSTANTIATE_TEST_SUITE_P(OneFormat, DirListingLength, testing::Values(Flavour::Ieee64), flavourName);

TEST(DirEntry, ParsesFieldsLikeTheListingWritesThem)
{
    ControllerFileInfo info;
    EXPECT_TRUE(parseControllerFileEntry("PROG1,100,80,-1,2,1,0", info));
    EXPECT_STREQ(info.szName, "PROG1");
    EXPECT_EQ(info.size, 100u);
    EXPECT_EQ(info.autorun_process, -1);

    // Characters after the digits are ignored; out of range keeps the default.
    ControllerFileInfo trailing;
    EXPECT_TRUE(parseControllerFileEntry("X,12kB,3,99999999999,4,2,0", trailing));
    EXPECT_EQ(trailing.size, 12u);
    EXPECT_EQ(trailing.autorun_process, -1);
    EXPECT_EQ(trailing.editable, 1u);

    for (const char* bad : {"X,-1,1,1,1,1,1", "X,,1,1,1,1,1", "X, 1,1,1,1,1,1", "X,+1,1,1,1,1,1", "X,1,1,1,1,1",
                            "TaBlE,1,1,1,1,1,1", ""}) {
        ControllerFileInfo rejected;
        EXPECT_FALSE(parseControllerFileEntry(bad, rejected)) << bad;
    }
    ControllerFileInfo tables;
    EXPECT_TRUE(parseControllerFileEntry("TABLES,1,1,1,1,1,1", tables)) << "only the exact name TABLE is refused";

    std::string_view left;
    EXPECT_EQ(nextArg("a,b,c", ',', 0, &left), "a");
    EXPECT_EQ(left, "b,c");
    EXPECT_EQ(nextArg("abc", ',', 0, &left), "abc");
    EXPECT_EQ(left, "");
    EXPECT_EQ(nextArg("", ',', 0, &left), "");
    EXPECT_EQ(nextArg("a,b,c", ',', 1, &left), "b");
    EXPECT_EQ(left, "c");
    std::string_view same = "x,y";
    EXPECT_EQ(nextArg(same, ',', 0, &same), "x") << "the rest may be written over its own input";
    EXPECT_EQ(same, "y");
}

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
