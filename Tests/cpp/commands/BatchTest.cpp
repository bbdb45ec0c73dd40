// Batch: many items as one pipelined exchange. The requests on the wire, each
// item's own outcome, a link lost midway, and batches beside single calls.
#include "CommandFixture.h"
#include "TraceLines.h"

#include "Connection/Port/TCP/BatchExchange.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Vantrel::HolvaneApi::Testing {
namespace {

using TCP::BatchExchange;

class Batch : public CommandTest {
protected:
    Bytes readVr(double index) { return wire().tok("VR").tok("OPENBRACKETS").num(index).tok("CLOSEBRACKETS").zero(); }
    Bytes writeVr(double index, double value)
    {
        return wire().tok("VR").tok("OPENBRACKETS").num(index).tok("CLOSEBRACKETS").tok("ASSIGN").num(value).zero();
    }
    Bytes readTable(double index)
    {
        return wire()
            .tok("TABLEVALUES")
            .tok("OPENBRACKETS")
            .num(index)
            .tok("COMMA")
            .num(index)
            .tok("COMMA")
            .num(1)
            .tok("CLOSEBRACKETS")
            .zero();
    }
    Bytes readParam(const char* name, double axis)
    {
        return wire()
            .sysvar(name)
            .tok("MODIFIER")
            .tok("AXIS")
            .tok("OPENBRACKETS")
            .num(axis)
            .tok("CLOSEBRACKETS")
            .zero();
    }
    Bytes writeParam(const char* name, double axis, double value)
    {
        return wire()
            .sysvar(name)
            .tok("MODIFIER")
            .tok("AXIS")
            .tok("OPENBRACKETS")
            .num(axis)
            .tok("CLOSEBRACKETS")
            .tok("ASSIGN")
            .num(value)
            .zero();
    }
    Bytes readBlock(const char* keyword, double first, double last)
    {
        return wire()
            .tok(keyword)
            .tok("OPENBRACKETS")
            .num(first)
            .tok("COMMA")
            .num(last)
            .tok("COMMA")
            .num(1)
            .tok("CLOSEBRACKETS")
            .zero();
    }
    static Bytes cat(std::initializer_list<Bytes> parts)
    {
        Bytes out;
        for (const Bytes& part : parts)
            append(out, part);
        return out;
    }
};

TEST_P(Batch, RequestsAreTheSingleRequestsBackToBackAndEachItemGetsItsReply)
{
    BatchItem items[] = {
        BatchItem::readVr(5),    BatchItem::writeVr(6, 2.0), // 2.0 is escaped in TMS320 form
        BatchItem::readTable(7), BatchItem::readAxisParam("DPOS", 1), BatchItem::writeAxisParam("SPEED", 0, 100.0),
    };
    const Bytes requests =
        cat({readVr(5), writeVr(6, 2.0), readTable(7), readParam("DPOS", 1), writeParam("SPEED", 0, 100.0)});
    // The TABLE read's value list is acknowledged by the host mid-reply; the
    // replies after it follow that acknowledgement.
    peer()
        .expect(requests, "batch")
        .send(cat({wire().reply(12.5), wire().reply(0), wire().reply(0)}))
        .expect(wire().tok("UNKNOWN"), "value list acknowledgement")
        .send(cat({bytesOf("42.5,\r\n"), wire().reply(-3.25), wire().reply(0)}));
    EXPECT_EQ(conn().Batch(items, 5), NoError);
    ctl->verifyScript();
    for (const BatchItem& item : items)
        EXPECT_EQ(item.error, NoError);
    EXPECT_EQ(items[0].value, 12.5);
    EXPECT_EQ(items[1].value, 2.0) << "a write keeps its value";
    EXPECT_EQ(items[2].value, 42.5);
    EXPECT_EQ(items[3].value, -3.25);
    EXPECT_TRUE(conn().IsConnected());

    // The same bytes as the five single operations write, one after another.
    double value = 0;
    peer().expect(readVr(5)).send(wire().reply(1));
    peer().expect(writeVr(6, 2.0)).send(wire().reply(0));
    peer().expect(readTable(7)).send(wire().reply(0)).expect(wire().tok("UNKNOWN")).send(bytesOf("1,\r\n"));
    peer().expect(readParam("DPOS", 1)).send(wire().reply(1));
    peer().expect(writeParam("SPEED", 0, 100.0)).send(wire().reply(0));
    EXPECT_EQ(conn().ReadVrValue(5, value), NoError);
    EXPECT_EQ(conn().WriteVrValue(6, 2.0), NoError);
    EXPECT_EQ(conn().ReadTableValue(7, value), NoError);
    EXPECT_EQ(conn().ReadAxisParam("DPOS", 1, value), NoError);
    EXPECT_EQ(conn().WriteAxisParam("SPEED", 0, 100.0), NoError);
    ctl->verifyScript();
    Bytes singles;
    for (size_t i = 1; i < peer().received().size(); ++i)
        if (peer().received()[i] != wire().tok("UNKNOWN").bytes())
            append(singles, peer().received()[i]);
    EXPECT_EQ(hexOf(singles), hexOf(requests));
}

TEST_P(Batch, EachItemPrintsTheTraceLinesOfItsSingleOperation)
{
    connectWith(TokenTableText::standard(), true);
    BatchItem items[] = {BatchItem::readVr(5), BatchItem::writeVr(6, 1.0), BatchItem::readAxisParam("DPOS", 2)};
    const Bytes replies[] = {wire().reply(3.5), wire().reply(0), wire().reply(4.5)};
    peer()
        .expect(cat({readVr(5), writeVr(6, 1.0), readParam("DPOS", 2)}))
        .send(cat({replies[0], replies[1], replies[2]}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(conn().Batch(items, 3), NoError);
    const auto lines = linesOf(testing::internal::GetCapturedStdout());
    ctl->verifyScript();
    // Every request line once the batch's send is done, then the replies.
    EXPECT_EQ(lines, (std::vector<std::string>{
                         traceLine("CmdGetVr", " >> ", readVr(5)),
                         traceLine("CmdSetVr", " >> ", writeVr(6, 1.0)),
                         traceLine("CmdGetAxisParam", " >> ", readParam("DPOS", 2)),
                         traceLine("CmdGetVr", " << ", replies[0]),
                         traceLine("CmdSetVr", " << ", replies[1]),
                         traceLine("CmdGetAxisParam", " << ", replies[2]),
                     }));
}

TEST_P(Batch, AControllerErrorOrAnUnknownNameIsThatItemsOwnOutcome)
{
    BatchItem items[] = {
        BatchItem::readVr(1),       BatchItem::readAxisParam("NO_SUCH_PARAM", 0), // never sent
        BatchItem::writeVr(2, 3.5), BatchItem::readAxisParam("SPEED", 3),         // the controller refuses it
        BatchItem::readVr(3),       BatchItem::writeAxisParam("SPEED", 1, 10.0),  BatchItem::readTable(4),
    };
    peer()
        .expect(cat(
            {readVr(1), writeVr(2, 3.5), readParam("SPEED", 3), readVr(3), writeParam("SPEED", 1, 10.0), readTable(4)}))
        .send(cat({wire().reply(1.5), wire().reply(0), wire().reply(7.0, 5), wire().reply(-8), wire().reply(0),
                   wire().reply(0)}))
        .expect(wire().tok("UNKNOWN"))
        .send(bytesOf("0.25,\r\n"));
    EXPECT_EQ(conn().Batch(items, 7), Remote_UnknownToken) << "the first failing item's code";
    ctl->verifyScript();
    EXPECT_EQ(items[0].error, NoError);
    EXPECT_EQ(items[0].value, 1.5);
    EXPECT_EQ(items[1].error, Remote_UnknownToken);
    EXPECT_EQ(items[2].error, NoError);
    EXPECT_EQ(items[3].error, static_cast<ErrorCode>(0x400000005));
    EXPECT_EQ(items[3].value, 7.0) << "the value that came with the error, as for ReadAxisParam";
    EXPECT_EQ(items[4].error, NoError);
    EXPECT_EQ(items[4].value, -8.0);
    EXPECT_EQ(items[5].error, NoError);
    EXPECT_EQ(items[6].error, NoError);
    EXPECT_EQ(items[6].value, 0.25);
    EXPECT_TRUE(conn().IsConnected()) << "a controller error keeps the stream";

    // Without the unknown name, the controller error is the batch's code.
    BatchItem second[] = {BatchItem::readVr(1), BatchItem::readVr(2), BatchItem::readVr(3)};
    peer()
        .expect(cat({readVr(1), readVr(2), readVr(3)}))
        .send(cat({wire().reply(1), wire().reply(0, 9), wire().reply(3)}));
    EXPECT_EQ(conn().Batch(second, 3), static_cast<ErrorCode>(0x400000009));
    ctl->verifyScript();
    EXPECT_EQ(second[0].error, NoError);
    EXPECT_EQ(second[2].error, NoError);
    EXPECT_EQ(second[2].value, 3.0);
}

TEST_P(Batch, APeerThatClosesHalfwayFailsTheUnansweredItemsAndClosesTheLink)
{
    std::vector<BatchItem> items;
    Bytes requests;
    for (uint32_t i = 0; i < 6; ++i) {
        items.push_back(BatchItem::readVr(10 + i));
        append(requests, readVr(10 + i));
    }
    peer().expect(requests).send(cat({wire().reply(100), wire().reply(101), wire().reply(102)})).closeClient();
    const ErrorCode code = conn().Batch(items.data(), static_cast<uint32_t>(items.size()));
    ctl->verifyScript();
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(items[i].error, NoError) << i;
        EXPECT_EQ(items[i].value, 100.0 + i) << i;
    }
    EXPECT_NE(items[3].error, NoError);
    for (uint32_t i = 4; i < 6; ++i)
        EXPECT_EQ(items[i].error, items[3].error) << i << ": the failure that lost the link";
    EXPECT_EQ(code, items[3].error);
    EXPECT_FALSE(conn().IsConnected());
    double value = 0;
    EXPECT_NE(conn().ReadVrValue(1, value), NoError) << "nothing more is read from the closed link";
}

TEST_P(Batch, TheDeadlineBoundsTheBatchAsAWhole)
{
    ASSERT_EQ(conn().WriteIntAttribute("TCP_Deadline", 600), NoError);
    std::vector<BatchItem> items;
    Bytes requests;
    for (uint32_t i = 0; i < 4; ++i) {
        items.push_back(BatchItem::readVr(20 + i));
        append(requests, readVr(20 + i));
    }
    // Two replies at once, then each later one well inside the reply
    // time-out, but too late for the batch's deadline.
    peer()
        .expect(requests)
        .send(cat({wire().reply(1), wire().reply(2)}))
        .pause(400)
        .send(wire().reply(3))
        .pause(400)
        .send(wire().reply(4));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(conn().Batch(items.data(), 4), Timeout);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(took.count(), 550);
    EXPECT_LT(took.count(), 900) << "at the deadline, not after the last reply";
    EXPECT_EQ(items[0].error, NoError);
    EXPECT_EQ(items[1].value, 2.0);
    EXPECT_EQ(items[2].error, NoError) << "answered before the deadline";
    EXPECT_EQ(items[3].error, Timeout);
    EXPECT_FALSE(conn().IsConnected()) << "its request was written: the stream position is lost";
    peer().waitDone(3000);
}

TEST_P(Batch, LargeBatchesUpToTheCapGoOutInSeveralSendsAndOverTheCapNothingIsSent)
{
    // The largest batch: several sends, every reply to its own item.
    const Bytes one = readVr(7);
    std::vector<BatchItem> items(BatchExchange::MaxItems, BatchItem::readVr(7));
    ASSERT_GT(items.size() * one.size(), BatchExchange::SendBytes * 2);
    double next = 0;
    peer().serve(items.size(), [&](Bytes& pending, Bytes& reply) {
        if (pending.size() < one.size())
            return false;
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(one.size()));
        reply = wire().reply(next++);
        return true;
    });
    EXPECT_EQ(conn().Batch(items.data(), static_cast<uint32_t>(items.size())), NoError);
    ctl->verifyScript();
    for (size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ(items[i].error, NoError) << i;
        ASSERT_EQ(items[i].value, static_cast<double>(i)) << i;
    }

    // Refused before anything is written: over the cap, an item of no kind.
    items.push_back(BatchItem::readVr(7));
    EXPECT_EQ(conn().Batch(items.data(), static_cast<uint32_t>(items.size())), BadArgument);
    EXPECT_EQ(items.front().error, BadArgument);
    EXPECT_EQ(items.back().error, BadArgument);
    BatchItem malformed[] = {BatchItem::readVr(1), BatchItem::readVr(2)};
    malformed[1].kind = static_cast<BatchItemKind>(99);
    EXPECT_EQ(conn().Batch(malformed, 2), BadArgument);
    EXPECT_EQ(malformed[0].error, Fail);
    EXPECT_EQ(malformed[1].error, BadArgument);
    EXPECT_EQ(conn().Batch(nullptr, 1), BadArgument);
    EXPECT_EQ(conn().Batch(nullptr, 0), NoError);
    peer().expectSilence(200);
    ctl->verifyScript();
    EXPECT_TRUE(conn().IsConnected());
}

// The completion of a BatchStart, as a sampler sees it: which thread called
// it, with what, and how often.
struct Completions {
    static void done(void* context, ErrorCode first)
    {
        auto* self = static_cast<Completions*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->codes.push_back(first);
        self->cv.notify_all();
    }
    bool waitFor(size_t count, int timeout_ms = 5000)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return codes.size() >= count; });
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return codes.size();
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<ErrorCode> codes;
};

TEST_P(Batch, BatchStartReturnsOnceWrittenAndCompletesOnceWhenTheLastReplyIsRead)
{
    BatchItem first[] = {BatchItem::readAxisParam("DPOS", 0), BatchItem::readVr(3)};
    BatchItem second[] = {BatchItem::readAxisParam("SPEED", 1)};
    Completions completions;
    // Both exchanges' requests are on the wire before any reply comes.
    peer()
        .expect(cat({readParam("DPOS", 0), readVr(3), readParam("SPEED", 1)}), "two exchanges in flight")
        .pause(100)
        .send(cat({wire().reply(1.5), wire().reply(2.5)}))
        .pause(100)
        .send(wire().reply(3.5, 4));
    // The completions outlive every exchange that may still call them.
    ASSERT_EQ(conn().BatchStart(first, 2, &Completions::done, &completions), NoError);
    if (conn().BatchStart(second, 1, &Completions::done, &completions) != NoError) {
        completions.waitFor(1);
        FAIL() << "the second exchange was not started";
    }
    EXPECT_EQ(completions.count(), 0u) << "the calls returned before any reply";
    ASSERT_TRUE(completions.waitFor(2));
    ctl->verifyScript();
    EXPECT_EQ(completions.codes, (std::vector<ErrorCode>{NoError, static_cast<ErrorCode>(0x400000004)}));
    EXPECT_EQ(first[0].value, 1.5);
    EXPECT_EQ(first[1].value, 2.5);
    EXPECT_EQ(second[0].error, static_cast<ErrorCode>(0x400000004));
    EXPECT_EQ(second[0].value, 3.5);
    peer().expectSilence(100);
    ctl->verifyScript();
    EXPECT_EQ(completions.count(), 2u) << "each exchange completes exactly once";
}

TEST_P(Batch, ABlockHeadReadsItsRunWithOneRequestAndFillsEveryItemOfIt)
{
    BatchItem items[] = {
        BatchItem::readAxisParam("DPOS", 2),
        BatchItem::readVrBlock(10, 3),
        BatchItem::readVr(11),
        BatchItem::readVr(12),
        BatchItem::readTableBlock(5, 2),
        BatchItem::readTable(6),
    };
    peer()
        .expect(cat({readParam("DPOS", 2), readBlock("VRVALUES", 10, 12), readBlock("TABLEVALUES", 5, 6)}))
        .send(cat({wire().reply(9), wire().reply(0)}))
        .expect(wire().tok("UNKNOWN"))
        .send(cat({bytesOf("1,2.5,-3,\r\n"), wire().reply(0)}))
        .expect(wire().tok("UNKNOWN"))
        .send(bytesOf("7,k1,8,\r\n"));
    Completions completions;
    ASSERT_EQ(conn().BatchStart(items, 6, &Completions::done, &completions), NoError);
    ASSERT_TRUE(completions.waitFor(1));
    ctl->verifyScript();
    EXPECT_EQ(completions.codes.front(), NoError);
    const double expected[] = {9, 1, 2.5, -3, 7, 8};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(items[i].error, NoError) << i;
        EXPECT_EQ(items[i].value, expected[i]) << i;
    }

    // The blocking Batch takes the same runs; a refused block fails its run.
    BatchItem refused[] = {BatchItem::readVrBlock(100, 2), BatchItem::readVr(101), BatchItem::readVr(7)};
    peer().expect(cat({readBlock("VRVALUES", 100, 101), readVr(7)})).send(cat({wire().reply(0, 3), wire().reply(4)}));
    EXPECT_EQ(conn().Batch(refused, 3), static_cast<ErrorCode>(0x400000003));
    ctl->verifyScript();
    EXPECT_EQ(refused[1].error, static_cast<ErrorCode>(0x400000003)) << "a member shares its block's outcome";
    EXPECT_EQ(refused[2].value, 4.0);

    // A run that is not what its head says is refused before anything is sent.
    BatchItem broken[] = {BatchItem::readVrBlock(20, 3), BatchItem::readVr(21), BatchItem::readVr(23)};
    EXPECT_EQ(conn().BatchStart(broken, 3, &Completions::done, &completions), BadArgument);
    EXPECT_EQ(broken[0].error, BadArgument);
    EXPECT_EQ(broken[2].error, Fail);
    BatchItem shortRun[] = {BatchItem::readTableBlock(20, 2)};
    EXPECT_EQ(conn().Batch(shortRun, 1), BadArgument);
    peer().expectSilence(150);
    ctl->verifyScript();
    EXPECT_EQ(completions.count(), 1u);
}

TEST_P(Batch, WithoutACallbackBatchStartOnlyChecksTheItemsAndSendsNothing)
{
    BatchItem items[] = {BatchItem::readAxisParam("DPOS", 0), BatchItem::readAxisParam("NO_SUCH_PARAM", 1),
                         BatchItem::readVrBlock(1, 2), BatchItem::readVr(2)};
    EXPECT_EQ(conn().BatchStart(items, 4, nullptr, nullptr), Remote_UnknownToken);
    EXPECT_EQ(items[0].error, NoError);
    EXPECT_EQ(items[1].error, Remote_UnknownToken);
    EXPECT_EQ(items[2].error, NoError);
    EXPECT_EQ(items[3].error, NoError);
    EXPECT_EQ(conn().BatchStart(items, 0, nullptr, nullptr), BadArgument);
    peer().expectSilence(200);
    ctl->verifyScript();
    int64_t level = 0;
    EXPECT_EQ(conn().ReadIntAttribute("InterfaceLevel", level), NoError);
    EXPECT_EQ(level, 3);
}

TEST_P(Batch, ExchangesInFlightWhenTheLinkGoesCompleteWithItsLossAndNoneAfterwardsIsSent)
{
    Completions completions;
    std::vector<std::vector<BatchItem>> exchanges(3, {BatchItem::readVr(1), BatchItem::readVr(2)});
    // The first exchange is answered; the second only half; the third not at all.
    peer()
        .expect(cat({readVr(1), readVr(2), readVr(1), readVr(2), readVr(1), readVr(2)}))
        .send(cat({wire().reply(5), wire().reply(6), wire().reply(7)}));
    for (auto& items : exchanges)
        ASSERT_EQ(conn().BatchStart(items.data(), 2, &Completions::done, &completions), NoError);
    ctl->verifyScript();
    ASSERT_TRUE(completions.waitFor(1));
    EXPECT_EQ(completions.codes.front(), NoError);
    EXPECT_EQ(exchanges[0][1].value, 6.0);
    ASSERT_EQ(conn().Disconnect(), NoError);
    ASSERT_TRUE(completions.waitFor(3)) << "a Disconnect completes every exchange in flight";
    EXPECT_NE(completions.codes[1], NoError);
    EXPECT_NE(completions.codes[2], NoError);
    EXPECT_NE(exchanges[1][1].error, NoError) << "its reply never came";
    EXPECT_NE(exchanges[2][0].error, NoError);
    BatchItem late[] = {BatchItem::readVr(1)};
    EXPECT_EQ(conn().BatchStart(late, 1, &Completions::done, &completions), Fail) << "no link: nothing sent";
    EXPECT_EQ(late[0].error, Fail);
    EXPECT_EQ(completions.count(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Formats, Batch, testing::Values(Flavour::Tms320, Flavour::Ieee64), flavourName);

#ifdef HOLVANE_HAVE_SIM
// Two threads on one connection, each running batches and single calls on
// VRs of its own: every value read is the one that thread wrote last.
TEST(BatchConcurrency, BatchesAndSingleCallsFromTwoThreadsEachGetTheirOwnValues)
{
    auto sim = startSim();
    auto connection = makeConnection(sim->port());
    ASSERT_EQ(connection->Connect(), NoError);
    constexpr uint32_t Rounds = 150;
    constexpr uint32_t PerBatch = 12;
    std::atomic<int> wrong{0};
    auto work = [&](uint32_t thread) {
        const uint32_t base = 100 + thread * 100;
        for (uint32_t round = 0; round < Rounds; ++round) {
            const double stamp = thread * 100000.0 + round * 100.0;
            BatchItem items[2 * PerBatch];
            for (uint32_t k = 0; k < PerBatch; ++k) {
                items[k] = BatchItem::writeVr(base + k, stamp + k);
                items[PerBatch + k] = BatchItem::readVr(base + k);
            }
            if (connection->Batch(items, 2 * PerBatch) != NoError)
                ++wrong;
            for (uint32_t k = 0; k < PerBatch; ++k)
                if (items[PerBatch + k].value != stamp + k)
                    ++wrong;
            // Single calls between the batches, on the same VRs.
            double value = -1;
            if (connection->ReadVrValue(base + round % PerBatch, value) != NoError || value != stamp + round % PerBatch)
                ++wrong;
            if (connection->WriteVrValue(base, stamp + 50) != NoError ||
                connection->ReadVrValue(base, value) != NoError || value != stamp + 50)
                ++wrong;
        }
    };
    std::thread first(work, 0);
    std::thread second(work, 1);
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(connection->IsConnected());
    connection->Disconnect();
}
#endif

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
