// The sampling engine against a scripted connection: the schedule and what
// it does when it cannot be kept, the accounting of every tick, controller
// errors, a full buffer, a lost link and its resumption, and level 2.
#include "ScriptedConnection.h"

#include "Sampling/SamplePlan.h"
#include "Sampling/SampleSchedule.h"
#include "Sampling/SamplingEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <thread>

namespace Vantrel::HolvaneApi::Testing {
namespace {

using Sampling::SampleBlock;
using Sampling::SamplingEngine;
using namespace std::chrono_literals;

SamplingEngine::Config configOf(std::vector<BatchItem> channels, double rate, uint64_t samples)
{
    SamplingEngine::Config config;
    config.channels = std::move(channels);
    config.rateHz = rate;
    config.samples = samples;
    return config;
}

std::vector<BatchItem> positions(int axes)
{
    std::vector<BatchItem> channels;
    for (int axis = 0; axis < axes; ++axis) {
        channels.push_back(BatchItem::readAxisParam("DPOS", axis));
        channels.push_back(BatchItem::readAxisParam("MPOS", axis));
    }
    return channels;
}

// Everything the engine delivers until its run is over, and the counts.
struct Taken {
    SampleBlock block;
    SamplingEngine::Counters counts;
};

Taken drain(SamplingEngine& engine)
{
    Taken taken;
    taken.counts.errors.assign(engine.channelCount(), 0);
    for (;;) {
        SampleBlock part;
        SamplingEngine::Counters delta;
        engine.read(part, delta, 100000, 100000, 50ms);
        taken.block.seq.insert(taken.block.seq.end(), part.seq.begin(), part.seq.end());
        taken.block.dueNs.insert(taken.block.dueNs.end(), part.dueNs.begin(), part.dueNs.end());
        taken.block.sentNs.insert(taken.block.sentNs.end(), part.sentNs.begin(), part.sentNs.end());
        taken.block.receivedNs.insert(taken.block.receivedNs.end(), part.receivedNs.begin(), part.receivedNs.end());
        taken.block.values.insert(taken.block.values.end(), part.values.begin(), part.values.end());
        taken.counts.missed += delta.missed;
        taken.counts.overflow += delta.overflow;
        for (size_t c = 0; c < delta.errors.size(); ++c)
            taken.counts.errors[c] += delta.errors[c];
        if (part.size() == 0 && engine.state() != SamplingEngine::State::Running)
            return taken;
    }
}

// Every tick dealt with is a sample, a miss or an overflow; sequence numbers
// only grow, and a sample's times are in order.
void expectHonestAccounting(const Taken& taken, uint64_t ticks)
{
    EXPECT_EQ(taken.block.size() + taken.counts.missed + taken.counts.overflow, ticks);
    for (size_t i = 0; i < taken.block.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(taken.block.seq[i], taken.block.seq[i - 1]);
        }
        EXPECT_LE(taken.block.sentNs[i], taken.block.receivedNs[i]);
        EXPECT_GE(taken.block.sentNs[i], taken.block.dueNs[i]) << "sent before its time";
    }
}

TEST(SampleSchedule, TicksAreOnAnAbsoluteGridAndLateOnesAreGivenUp)
{
    const Sampling::SampleSchedule schedule(1000, 3.0); // a period of 333 333 333.3 ns
    EXPECT_EQ(schedule.dueNs(0), 1000);
    EXPECT_EQ(schedule.dueNs(3), 1000 + 1000000000) << "no drift from rounding one period at a time";
    EXPECT_EQ(schedule.slotAt(0), 0u);
    EXPECT_EQ(schedule.slotAt(schedule.dueNs(2) - 1), 1u);
    EXPECT_EQ(schedule.slotAt(schedule.dueNs(2)), 2u);
    // On time: the tick itself. Late past later ticks' times: those are missed.
    EXPECT_EQ(schedule.stepAt(schedule.dueNs(4) + 5, 4).send, 4u);
    EXPECT_EQ(schedule.stepAt(schedule.dueNs(4) + 5, 4).missed, 0u);
    const auto late = schedule.stepAt(schedule.dueNs(7) + 5, 4);
    EXPECT_EQ(late.send, 7u);
    EXPECT_EQ(late.missed, 3u);
    // Woken early (before the next tick's time): nothing is skipped.
    EXPECT_EQ(schedule.stepAt(schedule.dueNs(4) - 5, 5).send, 5u);
}

TEST(SamplePlan, RunsBecomeBlocksAfterTheSingleReadsAndEveryItemKnowsItsChannel)
{
    const std::vector<BatchItem> channels = {
        BatchItem::readTable(11), BatchItem::readVr(5), BatchItem::readAxisParam("DPOS", 0),
        BatchItem::readVr(7),     BatchItem::readVr(6), BatchItem::readTable(10),
        BatchItem::readTable(30),
    };
    const auto plan = Sampling::planSample(channels, 3, 2);
    ASSERT_EQ(plan.items.size(), channels.size());
    EXPECT_EQ(plan.requests, 4u) << "DPOS, TABLE 30 alone, one VR block, one TABLE block";
    EXPECT_EQ(plan.blocks, 2u);
    EXPECT_EQ(plan.items[0].kind, BatchItemKind::ReadAxisParam);
    EXPECT_EQ(plan.items[1].kind, BatchItemKind::ReadTableValue);
    EXPECT_EQ(plan.items[1].index, 30u);
    // VR 5..7 as one block, then TABLE 10..11.
    EXPECT_EQ(plan.items[2].kind, BatchItemKind::ReadVrBlock);
    EXPECT_EQ(plan.items[2].index, 5u);
    EXPECT_EQ(plan.items[2].axis, 3);
    EXPECT_EQ(plan.items[3].kind, BatchItemKind::ReadVrValue);
    EXPECT_EQ(plan.items[4].index, 7u);
    EXPECT_EQ(plan.items[5].kind, BatchItemKind::ReadTableBlock);
    EXPECT_EQ(plan.items[5].axis, 2);
    const std::vector<uint32_t> channelOf = {2, 6, 1, 4, 3, 5, 0};
    EXPECT_EQ(plan.channelOf, channelOf);
    // Without blocks every channel is a request of its own.
    EXPECT_EQ(Sampling::planSample(channels, 0, 0).requests, 7u);
}

TEST(SamplingEngine, KeepsSeveralSamplesInFlightWhenTheRoundTripIsLongerThanAPeriod)
{
    ScriptedConnection connection;
    connection.setReplyDelay(20ms); // twenty periods
    SamplingEngine engine(configOf(positions(2), 1000.0, 200));
    ASSERT_EQ(engine.start(connection, 3, nullptr), NoError);
    const Taken taken = drain(engine);
    EXPECT_EQ(engine.state(), SamplingEngine::State::Finished);
    expectHonestAccounting(taken, 200);
    EXPECT_GE(engine.maxInFlightSeen(), 2u);
    EXPECT_LE(engine.maxInFlightSeen(), engine.inFlightBound());
    // Each value is its own sample's: the reply of the exchange that carried it.
    const auto starts = connection.starts();
    EXPECT_EQ(starts.size(), taken.block.size()) << "a missed tick starts no exchange";
    for (size_t i = 0; i < taken.block.size(); ++i)
        EXPECT_EQ(taken.block.values[i * 4 + 3], static_cast<double>(i) * 1000.0 + 3);
}

TEST(SamplingEngine, TheInFlightBoundCoversAQuarterSecondWithinTheRequestCap)
{
    // Unless told otherwise: InFlightSeconds of samples, at least MinInFlight,
    // at most MaxInFlight, and never more requests than MaxRequestsInFlight.
    const auto boundOf = [](std::vector<BatchItem> channels, double rate, uint32_t asked) {
        ScriptedConnection connection;
        auto config = configOf(std::move(channels), rate, 1);
        config.maxInFlight = asked;
        SamplingEngine engine(std::move(config));
        EXPECT_EQ(engine.start(connection, 3, nullptr), NoError);
        engine.stop();
        return engine.inFlightBound();
    };
    EXPECT_EQ(boundOf(positions(2), 1000.0, 0), 250u);
    EXPECT_EQ(boundOf(positions(2), 10.0, 0), SamplingEngine::MinInFlight);
    EXPECT_EQ(boundOf(positions(1), SamplingEngine::MaxRateHz, 0), SamplingEngine::MaxInFlight);
    EXPECT_EQ(boundOf(positions(8), 2000.0, 0), SamplingEngine::MaxRequestsInFlight / 16);
    EXPECT_EQ(boundOf(positions(2), 1000.0, 7), 7u);
    std::vector<BatchItem> thousand;
    for (uint32_t i = 0; i < 1000; ++i)
        thousand.push_back(BatchItem::readVr(i));
    EXPECT_EQ(boundOf(thousand, 10.0, 0), 4u) << "1000 requests a sample";
}

TEST(SamplingEngine, AStallLeavesAGapOfMissedTicksAndNoBurstOfLateSamples)
{
    ScriptedConnection connection;
    auto config = configOf(positions(1), 1000.0, 150);
    config.maxInFlight = 4;
    SamplingEngine engine(std::move(config));
    // Nothing answered for 50 ms from 20 ms in.
    connection.stallUntil(ScriptedConnection::Clock::now() + 70ms);
    ASSERT_EQ(engine.start(connection, 3, nullptr), NoError);
    const Taken taken = drain(engine);
    expectHonestAccounting(taken, 150);
    EXPECT_GE(taken.counts.missed, 30u) << "ticks while four samples waited were missed";
    bool gap = false;
    for (size_t i = 1; i < taken.block.size(); ++i)
        gap = gap || taken.block.seq[i] > taken.block.seq[i - 1] + 1;
    EXPECT_TRUE(gap);
    // After the stall no tick is sent in another tick's period: at most one
    // exchange started per millisecond of the grid.
    const auto starts = connection.starts();
    for (size_t i = 0; i < taken.block.size(); ++i)
        EXPECT_LT(taken.block.sentNs[i] - taken.block.dueNs[i], 2000000) << "sample " << taken.block.seq[i];
    EXPECT_LE(starts.size(), 150u);
}

TEST(SamplingEngine, AControllerErrorIsNaNInItsChannelAndCountedThere)
{
    ScriptedConnection connection;
    SamplingEngine engine(
        configOf({BatchItem::readAxisParam("DPOS", 0), BatchItem::readAxisParam(ScriptedConnection::RefusedName, 1)},
                 500.0, 20));
    ASSERT_EQ(engine.start(connection, 3, nullptr), NoError);
    const Taken taken = drain(engine);
    expectHonestAccounting(taken, 20);
    ASSERT_GT(taken.block.size(), 0u);
    EXPECT_EQ(taken.counts.errors[0], 0u);
    EXPECT_EQ(taken.counts.errors[1], taken.block.size());
    for (size_t i = 0; i < taken.block.size(); ++i) {
        EXPECT_FALSE(std::isnan(taken.block.values[i * 2]));
        EXPECT_TRUE(std::isnan(taken.block.values[i * 2 + 1]));
    }
}

TEST(SamplingEngine, AConsumerThatFallsBehindIsCountedAsOverflow)
{
    ScriptedConnection connection;
    auto config = configOf(positions(1), 2000.0, 100);
    config.bufferSamples = 16;
    SamplingEngine engine(std::move(config));
    ASSERT_EQ(engine.start(connection, 3, nullptr), NoError);
    while (engine.state() == SamplingEngine::State::Running)
        std::this_thread::sleep_for(5ms);
    const Taken taken = drain(engine);
    expectHonestAccounting(taken, 100);
    EXPECT_EQ(taken.block.size(), 16u) << "the first sixteen are kept, none overwritten";
    EXPECT_LE(static_cast<uint64_t>(taken.block.seq.back()), 15 + taken.counts.missed);
    EXPECT_GT(taken.counts.overflow, 0u);
}

TEST(SamplingEngine, ALostLinkEndsTheRunWithItsCauseAndStartResumesTheSameSchedule)
{
    ScriptedConnection connection;
    // Twenty samples in flight when the link goes: the run's code is the
    // loss's, not that of a send refused once the link was down.
    connection.setReplyDelay(20ms);
    SamplingEngine engine(configOf(positions(1), 1000.0, 0));
    auto keepAlive = std::make_shared<int>(1);
    ASSERT_EQ(engine.start(connection, 3, keepAlive), NoError);
    std::this_thread::sleep_for(30ms);
    connection.loseLink();
    while (engine.state() == SamplingEngine::State::Running)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(engine.state(), SamplingEngine::State::Lost);
    EXPECT_EQ(engine.endCode(), ScriptedConnection::Reset);
    EXPECT_EQ(engine.endCause(), "the link was reset by the controller at 12:03:04");
    EXPECT_EQ(keepAlive.use_count(), 1) << "the run let go of what kept the connection";
    const Taken before = drain(engine);
    ASSERT_GT(before.block.size(), 0u);

    std::this_thread::sleep_for(20ms); // the outage
    connection.restoreLink();
    ASSERT_EQ(engine.start(connection, 3, nullptr), NoError);
    std::this_thread::sleep_for(30ms);
    engine.stop();
    EXPECT_EQ(engine.state(), SamplingEngine::State::Stopped);
    const Taken after = drain(engine);
    ASSERT_GT(after.block.size(), 0u);
    EXPECT_GE(after.block.seq.front(), before.block.seq.back() + 15) << "the outage is a gap in the sequence";
    const uint64_t ticks = static_cast<uint64_t>(after.block.seq.back()) + 1;
    EXPECT_EQ(before.block.size() + after.block.size() + before.counts.missed + after.counts.missed +
                  before.counts.overflow + after.counts.overflow,
              ticks);
}

TEST(SamplingEngine, WithALevel2PlugInOneBlockingBatchIsInFlightAtATime)
{
    ScriptedConnection connection(2);
    connection.setReplyDelay(3ms);
    auto config = configOf(positions(1), 1000.0, 60);
    config.minVrBlock = 2;
    SamplingEngine engine(std::move(config));
    ASSERT_EQ(engine.start(connection, 2, nullptr), NoError);
    const Taken taken = drain(engine);
    expectHonestAccounting(taken, 60);
    EXPECT_EQ(engine.inFlightBound(), 1u);
    EXPECT_EQ(engine.maxInFlightSeen(), 1u);
    EXPECT_GE(taken.counts.missed, 20u) << "a 3 ms exchange at 1 kHz cannot take every tick";
    std::vector<ErrorCode> codes;
    EXPECT_EQ(engine.check(connection, 2, codes), Fail) << "level 2 cannot check without sending";
    EXPECT_EQ(engine.start(connection, 1, nullptr), Fail);
}

TEST(SamplingEngine, RefusesWhatCannotBeSampledAndChecksNamesWithoutSending)
{
    EXPECT_THROW(SamplingEngine(configOf(positions(1), 0.0, 1)), std::invalid_argument);
    EXPECT_THROW(SamplingEngine(configOf(positions(1), SamplingEngine::MaxRateHz * 1.01, 1)), std::invalid_argument);
    EXPECT_THROW(SamplingEngine(configOf(positions(1), std::nan(""), 1)), std::invalid_argument);
    EXPECT_THROW(SamplingEngine(configOf({}, 10.0, 1)), std::invalid_argument);
    EXPECT_THROW(SamplingEngine(configOf({BatchItem::writeVr(1, 2.0)}, 10.0, 1)), std::invalid_argument);
    auto tooMany = configOf(positions(1), 10.0, 1);
    tooMany.maxInFlight = SamplingEngine::MaxInFlight + 1;
    EXPECT_THROW(SamplingEngine(std::move(tooMany)), std::invalid_argument);
    EXPECT_THROW(SamplingEngine(
                     configOf(std::vector<BatchItem>(SamplingEngine::MaxChannels + 1, BatchItem::readVr(1)), 10.0, 1)),
                 std::invalid_argument);

    ScriptedConnection connection;
    SamplingEngine engine(
        configOf({BatchItem::readAxisParam("DPOS", 0), BatchItem::readAxisParam("UNKNOWN", 0)}, 10.0, 1));
    std::vector<ErrorCode> codes;
    EXPECT_EQ(engine.check(connection, 3, codes), Remote_UnknownToken);
    EXPECT_EQ(codes, (std::vector<ErrorCode>{NoError, Remote_UnknownToken}));
    EXPECT_TRUE(connection.starts().empty()) << "a check sends nothing";
}

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
