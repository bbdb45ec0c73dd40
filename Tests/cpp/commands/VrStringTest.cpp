// VR strings read in packets of the caller's size, EX's acknowledged reply,
// and how a broken reply of either ends the link rather than the stream's order.
#include "InStepCommandTest.h"

#include <chrono>
#include <cstddef>
#include <new>
#include <stdexcept>

namespace Vantrel::HolvaneApi::Testing {
namespace {

// A DataStreamPacket with room for `capacity` data bytes behind it, as a
// caller allocates it.
class PacketRecord {
public:
    explicit PacketRecord(uint32_t capacity) : _storage(sizeof(DataStreamPacket) + capacity + 16)
    {
        _packet = new (_storage.data()) DataStreamPacket();
        _packet->buff_length = capacity;
    }
    DataStreamPacket* get() { return _packet; }

private:
    std::vector<std::max_align_t> _storage;
    DataStreamPacket* _packet;
};

struct stPacket {
    uint32_t number, count, length;
    std::string data;
};

struct stStream {
    std::vector<stPacket> packets;
    std::string text() const
    {
        std::string all;
        for (const auto& p : packets)
            all += p.data;
        return all;
    }
};

StreamHandlerCallback collect()
{
    return [](void* context, DataStreamPacket* p) {
        const char* data = reinterpret_cast<const char*>(p) + offsetof(DataStreamPacket, buff);
        static_cast<stStream*>(context)->packets.push_back(
            {p->packet_number, p->packet_count, p->data_length, std::string(data, p->data_length)});
    };
}

class VrString : public InStepCommandTest {
protected:
    Bytes printRequest(double vr)
    {
        return wire()
            .tok("PRINT")
            .tok("LEN")
            .tok("OPENBRACKETS")
            .tok("VRSTRING")
            .tok("OPENBRACKETS")
            .num(vr)
            .tok("CLOSEBRACKETS")
            .tok("EOX")
            .tok("CLOSEBRACKETS")
            .tok("EOX")
            .tok("OPENSQUAREBRACKETS")
            .num(0)
            .tok("CLOSESQUAREBRACKETS")
            .tok("SEMICOLON")
            .tok("QUOTES")
            .rawText("#")
            .tok("QUOTES")
            .tok("EOX")
            .tok("SEMICOLON")
            .tok("VRSTRING")
            .tok("OPENBRACKETS")
            .num(vr)
            .tok("CLOSEBRACKETS")
            .tok("EOX")
            .tok("SEMICOLON")
            .tok("COLON")
            .zero();
    }
};

TEST_P(VrString, PacketsOfTheCallersSize)
{
    PacketRecord record(4);
    stStream s;
    peer().expect(printRequest(7), "PRINT").send(textThenReply("10#0123456789"));
    EXPECT_EQ(conn().ReadVrString(7, &s, collect(), record.get()), NoError);
    ASSERT_EQ(s.packets.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(s.packets[i].number, i);
        EXPECT_EQ(s.packets[i].count, 3u);
    }
    EXPECT_EQ(s.packets[0].length, 4u);
    EXPECT_EQ(s.packets[2].length, 2u);
    EXPECT_EQ(s.text(), "0123456789");
    EXPECT_EQ(record.get()->buff_length, 4u) << "the caller's capacity is never changed";

    stStream even;
    peer().expect(printRequest(8)).send(textThenReply("8#abcdefgh"));
    EXPECT_EQ(conn().ReadVrString(8, &even, collect(), record.get()), NoError);
    ASSERT_EQ(even.packets.size(), 2u);
    EXPECT_EQ(even.packets[1].number, 1u);
    EXPECT_EQ(even.text(), "abcdefgh");

    // Leading zero bytes before the length are skipped; the text may hold any byte.
    PacketRecord big(64);
    stStream binary;
    Bytes reply = {0, 0};
    append(reply, textThenReply(std::string("12#ab\0\x1b\r\n#,xyz!", 15)));
    peer().expect(printRequest(1)).send(reply);
    EXPECT_EQ(conn().ReadVrString(1, &binary, collect(), big.get()), NoError);
    ASSERT_EQ(binary.packets.size(), 1u);
    EXPECT_EQ(binary.text(), std::string("ab\0\x1b\r\n#,xyz!", 12));

    // The empty string: one call, numbered 1 of 1.
    stStream empty;
    peer().expect(printRequest(2)).send(textThenReply("0#"));
    EXPECT_EQ(conn().ReadVrString(2, &empty, collect(), record.get()), NoError);
    ASSERT_EQ(empty.packets.size(), 1u);
    EXPECT_EQ(empty.packets[0].length, 0u);
    EXPECT_EQ(empty.packets[0].count, 1u);
    EXPECT_EQ(empty.packets[0].number, 1u);

    // A controller error after the packets.
    stStream failed;
    peer().expect(printRequest(3)).send(textThenReply("2#ok", 4));
    EXPECT_EQ(conn().ReadVrString(3, &failed, collect(), record.get()), static_cast<ErrorCode>(0x400000004));
    EXPECT_EQ(failed.text(), "ok");
    ctl->verifyScript();
    expectInStep();
}

TEST_P(VrString, UnusableRecordsOrHandlersSendNothing)
{
    PacketRecord none(0);
    PacketRecord record(4);
    stStream s;
    EXPECT_EQ(conn().ReadVrString(1, &s, collect(), none.get()), BadArgument);
    EXPECT_EQ(conn().ReadVrString(1, &s, collect(), nullptr), BadArgument);
    EXPECT_EQ(conn().ReadVrString(1, &s, StreamHandlerCallback(), record.get()), BadArgument);
    peer().expectSilence(200);
    ctl->verifyScript();

    // A handler that throws gets no further packets; the string is still read.
    int calls = 0;
    auto throwing = [&calls](void*, DataStreamPacket*) {
        ++calls;
        throw std::runtime_error("handler failed");
    };
    peer().expect(printRequest(5)).send(textThenReply("9#123456789"));
    EXPECT_EQ(conn().ReadVrString(5, nullptr, throwing, record.get()), BadArgument);
    EXPECT_EQ(calls, 1);
    expectInStep();
}

TEST_P(VrString, BrokenLengthsEndTheLink)
{
    PacketRecord record(4);
    for (const char* reply : {"1x", "99999999999#", "123456789012345678901234567890"}) {
        connectWith(TokenTableText::standard());
        stStream s;
        peer().expect(printRequest(4)).send(bytesOf(reply));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(conn().ReadVrString(4, &s, collect(), record.get()), BadResponse) << reply;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << reply;
        EXPECT_TRUE(s.packets.empty()) << reply;
        EXPECT_FALSE(conn().IsConnected()) << reply << ": where the string ends is unknown";
        EXPECT_NE(conn().SetAxisBase(0), NoError);
    }
    // A peer that closes inside the string.
    connectWith(TokenTableText::standard());
    stStream cut;
    peer().expect(printRequest(4)).send(bytesOf("10#abcdef")).pause(50).closeClient();
    EXPECT_NE(conn().ReadVrString(4, &cut, collect(), record.get()), NoError);
    EXPECT_EQ(cut.text(), "abcd") << "the packets completed before are delivered";
    EXPECT_FALSE(conn().IsConnected());
}

TEST_P(VrString, ExNeedsItsAcknowledgement)
{
    const Bytes ex = wire().tok("EX").tok("OPENBRACKETS").num(0).tok("CLOSEBRACKETS").zero();
    Bytes good = {'O', 'K', 29};
    append(good, wire().reply(0, 6));
    peer().expect(ex).send(good);
    EXPECT_EQ(conn().Ex(), static_cast<ErrorCode>(0x400000006));
    expectInStep();

    Bytes bad = {'O', 'K', 13};
    append(bad, wire().reply(0, 0));
    peer().expect(ex).send(bad);
    EXPECT_EQ(conn().Ex(0), BadResponse);
    EXPECT_FALSE(conn().IsConnected()) << "the rest of that reply must not answer the next request";
    EXPECT_NE(conn().Ex(0), NoError);
}

INSTANTIATE_TEST_SUITE_P(Formats, VrString, testing::Values(Flavour::Tms320, Flavour::Ieee64), flavourName);

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
