// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "SimFixture.h"

#include "HolvaneSim/ValueListWriter.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

using namespace SimTest;
using namespace Vantrel::HolvaneApi::Sim;

namespace {
std::string listRequest(const Client& c, const char* keyword, double first, double last, double step = 1)
{
    return c.tok(keyword) + c.tok("OPENBRACKETS") + c.num(first) + c.tok("COMMA") + c.num(last) + c.tok("COMMA") +
           c.num(step) + c.tok("CLOSEBRACKETS") + c.zero();
}

// Decodes the text list: "v," items and "k<n>,v," runs, line ends between items.
std::vector<double> parseList(const std::string& text)
{
    std::vector<double> values;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '\r' || text[pos] == '\n') {
            ++pos;
            continue;
        }
        long repeat = 1;
        if (text[pos] == 'k') {
            const size_t comma = text.find(',', pos);
            repeat = std::atol(text.substr(pos + 1, comma - pos - 1).c_str());
            pos = comma + 1;
        }
        const size_t comma = text.find(',', pos);
        if (comma == std::string::npos)
            throw std::runtime_error("item without comma");
        const std::string item = text.substr(pos, comma - pos);
        char* end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        if (end != item.c_str() + item.size())
            throw std::runtime_error("bad number " + item);
        values.insert(values.end(), static_cast<size_t>(repeat), v);
        pos = comma + 1;
    }
    return values;
}

// A chunk as it travels: zero bytes in front fill it to one full host read.
std::string padded(const std::string& text) { return std::string(256 - text.size(), '\0') + text; }

// Acknowledges and collects full chunks until the line end; returns the text
// without the filler bytes.
std::string collectList(Client& c, size_t& chunks)
{
    std::string text;
    chunks = 0;
    while (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
        c.ack();
        const std::string chunk = c.read(256, 2000);
        EXPECT_EQ(c.readSome(0), "") << "one chunk per acknowledgement";
        const size_t start = chunk.find_first_not_of('\0');
        EXPECT_EQ(chunk.find('\0', start), std::string::npos) << "filler only in front";
        text += chunk.substr(start);
        ++chunks;
    }
    return text;
}
} // namespace

TEST(SimValueList, ServedInAcknowledgedCyclesWithRuns)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    const double values[] = {1, 2, 2, 2, 7.5, -3, 0, 0, 0, 0};
    for (int i = 0; i < 10; ++i)
        sim->state().writeVr(i, values[i]);
    c->send(listRequest(*c, "VRVALUES", 0, 9));
    EXPECT_EQ(c->readSimple().second, 0.0);
    EXPECT_EQ(c->readSome(150), "") << "the text waits for an acknowledgement";
    c->ack();
    EXPECT_EQ(c->read(256), padded("1,k3,2,7.5,-3,k4,0,\r\n"));
    // A stray acknowledgement outside a list is ignored.
    c->ack();
    EXPECT_EQ(c->ask(c->sysVar("CONTROL") + c->zero()).first, 400.0);
}

TEST(SimValueList, LongListsRoundTripExactly)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    std::vector<double> expected;
    for (int i = 0; i < 3000; ++i) {
        const double v = i % 7 == 0 ? 0.0 : 1.0 / (i + 3) - i * 1e10;
        expected.push_back(v);
        sim->state().writeTable(1000 + i, v);
    }
    c->send(listRequest(*c, "TABLEVALUES", 1000, 3999));
    EXPECT_EQ(c->readSimple(), std::make_pair(3000.0, 0.0));
    size_t chunks = 0;
    const std::string text = collectList(*c, chunks);
    EXPECT_GT(chunks, 100u);
    EXPECT_EQ(parseList(text), expected);

    // Every other VR with a step of 2; a huge run of zeros is one item.
    c->send(listRequest(*c, "TABLEVALUES", 100000, 499999));
    EXPECT_EQ(c->readSimple().second, 0.0);
    EXPECT_EQ(collectList(*c, chunks), "k400000,0,\r\n");
    sim->state().writeVr(10, 5);
    sim->state().writeVr(12, 6);
    c->send(listRequest(*c, "VRVALUES", 10, 14, 2));
    EXPECT_EQ(c->readSimple(), std::make_pair(3.0, 0.0));
    EXPECT_EQ(collectList(*c, chunks), "5,6,0,\r\n");
}

TEST(SimValueList, LastValueNeverLeavesItsLineEndBehind)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    // 128 alternating one-digit items: 256 bytes of items and CR LF.
    for (int i = 0; i < 128; ++i)
        sim->state().writeVr(i, i % 2 + 1);
    c->send(listRequest(*c, "VRVALUES", 0, 127));
    EXPECT_EQ(c->readSimple().second, 0.0);
    c->ack();
    const std::string first = c->read(256);
    EXPECT_EQ(first[0], '\0');
    EXPECT_EQ(first.back(), '2') << "the last comma waits for the line end";
    c->ack();
    EXPECT_EQ(c->read(256), padded(",\r\n"));
}

TEST(SimValueList, RequestsQueuedBehindAListWaitForIt)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    sim->state().writeVr(3, 9);
    const std::string vr3 = c->tok("VR") + c->tok("OPENBRACKETS") + c->num(3) + c->tok("CLOSEBRACKETS") + c->zero();
    c->send(listRequest(*c, "VRVALUES", 0, 3) + vr3);
    EXPECT_EQ(c->readSimple().second, 0.0);
    EXPECT_EQ(c->readSome(150), "");
    c->ack();
    EXPECT_EQ(c->read(256), padded("k3,0,9,\r\n"));
    EXPECT_EQ(c->readSimple(), std::make_pair(9.0, 0.0));
}

TEST(SimValueList, BadRangesAnswerAnErrorAndNoText)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    EXPECT_EQ(c->ask(listRequest(*c, "VRVALUES", 5, 3)).second, eIndexRange);
    EXPECT_EQ(c->ask(listRequest(*c, "TABLEVALUES", 0, 4294967295.0)).second, eIndexRange);
    EXPECT_EQ(c->ask(listRequest(*c, "VRVALUES", 0, 3, 0)).second, eBadValue);
    c->ack();
    EXPECT_EQ(c->readSome(150), "");
}

TEST(SimValueList, NonFiniteAndExtremeValuesReadBackExactly)
{
    std::string text;
    for (double v : {0.1, -0.0, 1e-310, 1.7976931348623157e308, 123456789.125, 1.0 / 3.0}) {
        text.clear();
        ValueListWriter::formatValue(v, text);
        char* end = nullptr;
        const double back = std::strtod(text.c_str(), &end);
        EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
        EXPECT_EQ(*end, '\0');
    }
    text.clear();
    ValueListWriter::formatValue(0.1, text);
    EXPECT_EQ(text, "0.1") << "shortest form";
    text.clear();
    ValueListWriter::formatValue(-INFINITY, text);
    EXPECT_EQ(text, "-inf");
}

TEST(SimValueList, AClientThatNeverAcknowledgesCannotQueueWithoutBound)
{
    auto sim = startSim();
    auto c = connectClient(*sim);
    std::string batch = listRequest(*c, "VRVALUES", 0, 3);
    for (int i = 0; i < 9000; ++i)
        batch += c->tok("BASE") + c->zero();
    c->send(batch);
    EXPECT_EQ(c->readSimple().second, 0.0);
    EXPECT_TRUE(c->closedWithin(3000));
    auto d = connectClient(*sim);
    EXPECT_EQ(d->ask(d->tok("BASE") + d->zero()).second, 0.0) << "others are unaffected";
}

#endif // HOLVANE_HAVE_SIM
