#include "SharedLib/ByteSniffer.h"
#include "SharedLib/ConnectionBase.h"
#include "SharedLib/MemPort.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace Vantrel::HolvaneApi {
namespace {

std::string text(const ByteSniffer& sniffer)
{
    std::ostringstream os;
    os << sniffer;
    return os.str();
}

TEST(MemPort, ReadsTheAttachedBytesThenEmptyReads)
{
    const char data[] = {1, 2, 3, 4, 5, 6};
    MemPort port;
    char out[10] = {};
    size_t got = 99;
    EXPECT_FALSE(port.isOpened());
    EXPECT_EQ(port.Read(out, 10, got, 0), Fail);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(port.Close(), Fail);
    EXPECT_EQ(port.Open(std::string("127.0.0.1"), 3240), Fail);

    ASSERT_EQ(port.Open(data, sizeof data), NoError);
    EXPECT_TRUE(port.isOpened());
    EXPECT_EQ(port.Read(out, 4, got, 1000), NoError);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(out[3], 4);
    EXPECT_EQ(port.Read(out, 10, got, 1000), NoError);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], 6);
    EXPECT_EQ(port.Read(out, 10, got, 1000), NoError);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(port.position(), 6u);

    // A second attach is refused and keeps the first buffer.
    const char other[] = {9};
    EXPECT_EQ(port.Open(other, 1), Fail);
    EXPECT_EQ(port.remaining(), 0u);

    EXPECT_EQ(port.Close(), NoError);
    EXPECT_FALSE(port.isOpened());
    EXPECT_EQ(port.Read(out, 10, got, 0), Fail);
    ASSERT_EQ(port.Open(other, 1), NoError);
    EXPECT_EQ(port.Read(out, 10, got, 0), NoError);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(out[0], 9);
    EXPECT_EQ(port.Read(out, 0, got, 0), NoError);
    EXPECT_EQ(got, 0u);
}

TEST(MemPort, WritesAreDroppedAndSniffersSeeTheTraffic)
{
    const char data[] = "hello";
    MemPort port;
    size_t written = 7;
    EXPECT_EQ(port.Write("ab", 2, written), Fail);

    ByteSniffer reads;
    ByteSniffer writes;
    port.setReadSniffer(&reads);
    port.setWriteSniffer(&writes);
    ASSERT_EQ(port.Open(data, 5), NoError);
    EXPECT_EQ(port.Write("\x0a\x1b", 2, written), NoError);
    EXPECT_EQ(written, 2u);
    char out[3];
    size_t got = 0;
    port.Read(out, 3, got, 0);
    EXPECT_EQ(text(writes), "0a 1b");
    EXPECT_EQ(text(reads), "68 65 6c");
    // Closing keeps the sniffers attached.
    port.Close();
    port.Open(data, 5);
    port.Read(out, 1, got, 0);
    EXPECT_EQ(reads.size(), 4u);
}

TEST(ByteSniffer, PrintsLowercaseHexSeparatedBySpaces)
{
    ByteSniffer sniffer;
    EXPECT_EQ(sniffer.size(), 0u);
    EXPECT_EQ(text(sniffer), "");
    sniffer.addData("\x05", 1);
    EXPECT_EQ(text(sniffer), "05");
    sniffer.clear();
    sniffer.addData("\x0a\x1b\xff", 3);
    sniffer.addData("", 0);
    sniffer.addData("\x00\x80", 2);
    EXPECT_EQ(sniffer.size(), 5u);
    EXPECT_EQ(text(sniffer), "0a 1b ff 00 80");

    // Many small additions keep every byte in order.
    ByteSniffer many;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const char b = static_cast<char>(i);
        many.addData(&b, 1);
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", i & 0xFF);
        expected += (i ? " " : "") + std::string(hex);
    }
    EXPECT_EQ(text(many), expected);

    // An addition that crosses the inline store's end keeps both parts; a
    // cleared sniffer starts again from nothing.
    ByteSniffer crossing;
    const std::string head(ByteSniffer::InlineBytes - 2, 'a');
    crossing.addData(head.data(), head.size());
    crossing.addData("bcde", 4);
    EXPECT_EQ(crossing.size(), head.size() + 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(crossing.data()), crossing.size()), head + "bcde");
    crossing.clear();
    EXPECT_EQ(crossing.size(), 0u);
    crossing.addData("\x01", 1);
    EXPECT_EQ(text(crossing), "01");
}

// A connection that only records which sniffers it was given.
class SnifferConnection final : public ConnectionBase {
public:
    SnifferConnection() : ConnectionBase(EventCallback()) {}

    void setWriteSniffer(ISniffer* sniffer) override { writeSniffer = sniffer; }
    void setReadSniffer(ISniffer* sniffer) override { readSniffer = sniffer; }

    // What the connection's port would do with a write and a read.
    void send(const char* data, size_t n)
    {
        if (writeSniffer)
            writeSniffer->addData(data, n);
    }
    void receive(const char* data, size_t n)
    {
        if (readSniffer)
            readSniffer->addData(data, n);
    }

    ISniffer* writeSniffer = nullptr;
    ISniffer* readSniffer = nullptr;

    bool IsConnected() const override { return false; }
    ErrorCode Connect() override { return Fail; }
    ErrorCode Disconnect() override { return Fail; }
    ErrorCode WriteStringAttribute(const std::string_view&, const std::string_view&) override { return Fail; }
    ErrorCode WriteIntAttribute(const std::string_view&, int64_t) override { return Fail; }
    ErrorCode ReadStringAttribute(const std::string_view&, std::string_view&) override { return Fail; }
    ErrorCode ReadIntAttribute(const std::string_view&, int64_t&) override { return Fail; }
    ErrorCode Ex() override { return Fail; }
    ErrorCode Ex(int) override { return Fail; }
    ErrorCode Cancel(int) override { return Fail; }
    ErrorCode Cancel(int, int) override { return Fail; }
    ErrorCode Execute(const std::string_view&) override { return Fail; }
    ErrorCode SetAxisBase(int) override { return Fail; }
    ErrorCode SetMultiAxisBase(const int*, uint32_t) override { return Fail; }
    ErrorCode Datum(uint32_t, int) override { return Fail; }
    ErrorCode DefPos(double, int) override { return Fail; }
    ErrorCode DefPos(const double*, int) override { return Fail; }
    ErrorCode Forward(int) override { return Fail; }
    ErrorCode Reverse(int) override { return Fail; }
    ErrorCode MoveRel(double, int) override { return Fail; }
    ErrorCode MoveRel(const double*, int) override { return Fail; }
    ErrorCode MoveRelSp(double, int) override { return Fail; }
    ErrorCode MoveRelSp(const double*, int) override { return Fail; }
    ErrorCode MoveAbs(double, int) override { return Fail; }
    ErrorCode MoveAbs(const double*, int) override { return Fail; }
    ErrorCode MoveAbsSp(double, int) override { return Fail; }
    ErrorCode MoveAbsSp(const double*, int) override { return Fail; }
    ErrorCode WriteTableValue(uint32_t, double) override { return Fail; }
    ErrorCode WriteMultiTableValues(uint32_t, uint32_t, const double*) override { return Fail; }
    ErrorCode ReadTableValue(uint32_t, double&) override { return Fail; }
    ErrorCode ReadMultiTableValues(uint32_t, uint32_t, double*) override { return Fail; }
    ErrorCode WriteVrValue(uint32_t, double) override { return Fail; }
    ErrorCode WriteMultiVrValues(uint32_t, uint32_t, const double*) override { return Fail; }
    ErrorCode ReadVrValue(uint32_t, double&) override { return Fail; }
    ErrorCode ReadMultiVrValues(uint32_t, uint32_t, double*) override { return Fail; }
    ErrorCode WriteAxisParam(const std::string_view&, int, double) override { return Fail; }
    ErrorCode ReadAxisParam(const std::string_view&, int, double&) override { return Fail; }
    ErrorCode InvertIN(uint32_t, bool) override { return Fail; }
    ErrorCode StopProgram(const char*, int) override { return Fail; }
    ErrorCode StopProgramByName(const char*) override { return Fail; }
    ErrorCode FrameGroup(int, char*, size_t) override { return Fail; }
    ErrorCode SetFrameGroup(int, int, const int*, size_t) override { return Fail; }
    ErrorCode Dir(void*, ReportControllerFileCallback) override { return Fail; }
    ErrorCode WriteVrString(uint32_t, const std::string_view&) override { return Fail; }
    ErrorCode ReadVrString(uint32_t, void*, StreamHandlerCallback, DataStreamPacket*) override { return Fail; }
    void DeleteMe() override {}
    ErrorCode Batch(BatchItem*, uint32_t) override { return Fail; }
    void SetInterruptCheck(InterruptCheck, void*) override {}
    ErrorCode BatchStart(BatchItem*, uint32_t, BatchDone, void*) override { return Fail; }
};

TEST(SnifferContexts, AttachForTheirScopeOnlyAndKeepDirectionsApart)
{
    SnifferConnection conn;
    ByteSniffer sent;
    ByteSniffer received;
    {
        WriteSnifferContext writeScope(&sent, conn);
        EXPECT_EQ(conn.writeSniffer, &sent);
        EXPECT_EQ(conn.readSniffer, nullptr);
        conn.send("\x01\x02", 2);
        conn.receive("\x03", 1);
        {
            ReadSnifferContext readScope(&received, conn);
            EXPECT_EQ(conn.readSniffer, &received);
            conn.receive("\x04", 1);
        }
        EXPECT_EQ(conn.readSniffer, nullptr);
        EXPECT_EQ(conn.writeSniffer, &sent);
    }
    EXPECT_EQ(conn.writeSniffer, nullptr);
    conn.send("\x05", 1);
    EXPECT_EQ(text(sent), "01 02");
    EXPECT_EQ(text(received), "04");
}

} // namespace
} // namespace Vantrel::HolvaneApi
