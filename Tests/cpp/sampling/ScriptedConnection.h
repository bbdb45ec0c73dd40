#pragma once
// A connection without a controller for the sampling engine's tests: answers
// every read at once with a number that grows per exchange, completes
// exchanges in order after a set delay on a thread of its own, and can stall,
// answer a controller error for one parameter name, or lose its link.

#include "SharedLib/IConnection.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Vantrel::HolvaneApi::Testing {

class ScriptedConnection final : public IConnection {
public:
    using Clock = std::chrono::steady_clock;

    explicit ScriptedConnection(int64_t level = 3);
    ~ScriptedConnection() override;
    ScriptedConnection(const ScriptedConnection&) = delete;
    ScriptedConnection& operator=(const ScriptedConnection&) = delete;

    // --- what the test sets ----------------------------------------------------
    void setReplyDelay(std::chrono::microseconds delay);
    // No exchange completes before `until`.
    void stallUntil(Clock::time_point until);
    // Completes what is in flight with ECONNRESET; nothing more is sent.
    void loseLink();
    void restoreLink();
    // Exchanges started so far, and when each was.
    std::vector<Clock::time_point> starts() const;

    // The parameter whose reads the controller refuses (controller error 4).
    static constexpr const char* RefusedName = "REFUSED";
    static constexpr ErrorCode Reset = static_cast<ErrorCode>(0x200000068);

    // --- IConnection -----------------------------------------------------------
    bool IsConnected() const override;
    ErrorCode Connect() override { return NoError; }
    ErrorCode Disconnect() override;
    ErrorCode WriteStringAttribute(const std::string_view&, const std::string_view&) override { return Fail; }
    ErrorCode WriteIntAttribute(const std::string_view&, int64_t) override { return Fail; }
    ErrorCode ReadStringAttribute(const std::string_view& name, std::string_view& value) override;
    ErrorCode ReadIntAttribute(const std::string_view& name, int64_t& value) override;
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
    ErrorCode Batch(BatchItem* items, uint32_t count) override;
    void SetInterruptCheck(InterruptCheck, void*) override {}
    ErrorCode BatchStart(BatchItem* items, uint32_t count, BatchDone done, void* context) override;

private:
    struct stPending {
        Clock::time_point due;
        BatchItem* items;
        uint32_t count;
        BatchDone done;
        void* context;
    };
    // Answers the items of exchange number `exchange`.
    void answer(BatchItem* items, uint32_t count, uint64_t exchange) const;
    void completeInOrder();

    const int64_t _level;
    mutable std::mutex _mutex;
    std::condition_variable _cv;
    std::chrono::microseconds _delay{0};
    Clock::time_point _stallUntil{};
    bool _connected = true;
    bool _stop = false;
    uint64_t _exchanges = 0;
    std::vector<Clock::time_point> _starts;
    std::deque<stPending> _pending;
    std::thread _completer;
};

} // namespace Vantrel::HolvaneApi::Testing
