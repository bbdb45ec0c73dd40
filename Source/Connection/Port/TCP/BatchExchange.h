#pragma once

#include "Connection/Port/TCP/Commands/Base/Command.h"
#include "Connection/Port/TCP/Commands/CmdGetAxisParam.h"
#include "Connection/Port/TCP/Commands/CmdGetMultiVr.h"
#include "Connection/Port/TCP/Commands/CmdGetTABLE.h"
#include "Connection/Port/TCP/Commands/CmdGetVr.h"
#include "Connection/Port/TCP/Commands/CmdSetAxisParam.h"
#include "Connection/Port/TCP/Commands/CmdSetVr.h"
#include "SharedLib/BatchItem.h"
#include "SharedLib/ReaderPump.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <variant>

namespace Vantrel::HolvaneApi {
class Connection_TCP;
}

namespace Vantrel::HolvaneApi::TCP {

// One Batch call. Every item is carried out by the command its single
// operation uses, so its request is byte for byte the same and its reply is
// read by the same code. The requests are collected back to back and written
// under the pump's write lock in sends of up to SendBytes (one send for any
// usual batch: a read of an axis parameter takes 17 to 30 bytes); each
// command is queued right after the send that carried its request, so the
// pump reads the first replies while later requests are still going out.
// The caller then waits once, for the last reply (run), or is called back
// when the pump has read it (launch: the exchange then owns itself).
//
// A block head (ReadVrBlock, ReadTableBlock) is carried out by the command of
// the block read of its bank, whose reply fills the run's items.
//
// The commands live in this object: up to InlineItems of them inline, so a
// batch of that size costs no heap allocation; a larger one costs one block
// for all of its commands.
class BatchExchange final : private Command::DeferredWrites {
public:
    static constexpr uint32_t MaxItems = BatchMaxItems;
    static constexpr uint32_t InlineItems = 64;
    static constexpr size_t SendBytes = 4096;

    BatchExchange(Connection_TCP& connection, BatchItem* items, uint32_t count);
    ~BatchExchange(); // NOLINT(bugprone-exception-escape): see the definition
    BatchExchange(const BatchExchange&) = delete;
    BatchExchange& operator=(const BatchExchange&) = delete;

    // Carries out every item (already checked with checkItems) and gives each
    // its outcome; returns the first failing item's code, or NoError.
    ErrorCode run(ReaderPump& pump);

    // Writes every request and returns. NoError: the exchange now belongs to
    // the pump's queue; once the last reply is read it gives every item its
    // outcome, destroys itself and calls done(context, first). Any other
    // code: nothing is queued, the items carry the code, and the caller
    // still owns (and destroys) the exchange.
    ErrorCode launch(ReaderPump& pump, BatchDone done, void* context);

    // Builds every request without writing any; each item gets the code
    // sending it would give. Returns the first such code, or NoError.
    ErrorCode check(ReaderPump& pump);

    // BadArgument when an item has no valid kind or a block's run is not
    // what its head says: those items get BadArgument, the others Fail (not
    // carried out). NoError otherwise.
    static ErrorCode checkItems(BatchItem* items, uint32_t count);
    // Gives every item `error` and returns it: nothing was carried out.
    static ErrorCode failAll(BatchItem* items, uint32_t count, ErrorCode error);

private:
    using Slot =
        std::variant<std::monostate, CmdGetVr, CmdSetVr, CmdGetTABLE, CmdGetMultiVr, CmdGetAxisParam, CmdSetAxisParam>;
    struct stEntry {
        Slot command;
        uint32_t offset = 0; // its request in _sendBuffer, until sent
        uint32_t length = 0; // 0: nothing collected for it
        Command::TraceRequest trace = Command::TraceRequest::Never;
        bool queued = false;
        bool member = false; // carried by the block read of an earlier item
    };

    // Queued behind the last command of a launched exchange: the pump reaches
    // it once every reply before it was read (or failed), and completes the
    // exchange. It reads nothing.
    class Completion final : public ICommand {
    public:
        explicit Completion(BatchExchange& exchange) : _exchange(exchange) {}
        ErrorCode readReply() override { return NoError; }
        void waitReady() override {}
        void setReady() override { BatchExchange::complete(&_exchange); }
        void clearReady() override {}
        uint32_t id() const override { return 0; }
        const char* name() const override { return "BatchCompletion"; }
        void setError(ErrorCode /*error*/) {}

    private:
        BatchExchange& _exchange;
    };

    stEntry& entry(uint32_t i) { return _count > InlineItems ? _heapEntries[i] : _inlineEntries[i]; }
    double* blockValues() { return _count > InlineItems ? _heapValues.get() : _inlineValues; }
    static Command* commandOf(Slot& slot);

    // Under the pump's write lock: makes and sends every item's command.
    void writeAll(ReaderPump::BatchQueue& queue);
    // Makes item i's command and has it build its request (collected by add).
    ErrorCode start(uint32_t i);
    // Writes what is collected and queues the commands of entries
    // [_flushFrom, end); their items get the write's error if it fails.
    ErrorCode flush(uint32_t end);
    ErrorCode add(Command& command, const uint8_t* request, size_t length, Command::TraceRequest trace) override;
    void traceSent(stEntry& e, const uint8_t* bytes, bool written);
    void markMembers();
    bool anyQueued();
    // Waits for every queued command, then copies the outcomes (finish).
    ErrorCode collect();
    // Copies every queued command's outcome to its items; all are ready.
    // `stopped`: why the wait for them ended early, or NoError.
    ErrorCode finish(ErrorCode stopped);
    // The Completion's work on the pump thread; `exchange` is gone after it.
    static void complete(BatchExchange* exchange);

    Connection_TCP& _connection;
    BatchItem* const _items;
    const uint32_t _count;
    std::mutex* const _readyMutex; // shared by every command of the batch
    ReaderPump::BatchQueue* _queue = nullptr;
    uint32_t _current = 0;   // the item whose request is being built
    uint32_t _flushFrom = 0; // first item not yet sent
    ErrorCode _writeError = NoError;
    bool _dryRun = false; // check(): requests are built, never written
    BatchDone _done = nullptr;
    void* _doneContext = nullptr;
    Completion _completion{*this};
    size_t _used = 0;
    uint8_t _sendBuffer[SendBytes];
    stEntry _inlineEntries[InlineItems];
    // Where block reads put their values: element i for the run headed by
    // item i and the items after it.
    double _inlineValues[InlineItems] = {};
    std::unique_ptr<stEntry[]> _heapEntries;
    std::unique_ptr<double[]> _heapValues;
};

} // namespace Vantrel::HolvaneApi::TCP
