#include "Connection/Port/TCP/BatchExchange.h"

#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/ByteSniffer.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>

namespace Vantrel::HolvaneApi::TCP {

BatchExchange::BatchExchange(Connection_TCP& connection, BatchItem* items, uint32_t count)
    : _connection(connection), _items(items), _count(count), _readyMutex(connection.getCachedSyncObject())
{
    // No exception may leave the interface: without memory, run() fails the items.
    if (count > InlineItems) {
        _heapEntries.reset(new (std::nothrow) stEntry[count]);
        _heapValues.reset(new (std::nothrow) double[count]);
    }
}

// NOLINTNEXTLINE(bugprone-exception-escape): only the pool's mutex could throw, and it cannot fail here
BatchExchange::~BatchExchange()
{
    // The commands no longer use the mutex: each was waited for (collect), or
    // never queued.
    if (_count <= InlineItems || _heapEntries) {
        for (uint32_t i = 0; i < _count; ++i)
            entry(i).command.emplace<std::monostate>();
    }
    _connection.returnCachedSyncObject(_readyMutex);
}

ErrorCode BatchExchange::checkItems(BatchItem* items, uint32_t count)
{
    // A block head must be followed by the members of its run: items of the
    // single kind of its bank, of the indices after its own, in order.
    const auto runIsWhole = [items, count](uint32_t head) {
        const BatchItem& h = items[head];
        if (h.axis < 1 || static_cast<uint64_t>(head) + static_cast<uint32_t>(h.axis) > count ||
            static_cast<uint64_t>(h.index) + static_cast<uint32_t>(h.axis) - 1 > UINT32_MAX)
            return false;
        for (uint32_t k = 1; k < static_cast<uint32_t>(h.axis); ++k) {
            const BatchItem& member = items[head + k];
            if (member.kind != blockMemberKind(h.kind) || member.index != h.index + k)
                return false;
        }
        return true;
    };
    bool malformed = false;
    for (uint32_t i = 0; i < count; ++i) {
        const bool bad = !isBatchItemKind(items[i].kind) || (isBlockHead(items[i].kind) && !runIsWhole(i));
        items[i].error = bad ? BadArgument : NoError;
        malformed = malformed || bad;
    }
    if (!malformed)
        return NoError;
    for (uint32_t i = 0; i < count; ++i)
        items[i].error = items[i].error == BadArgument ? BadArgument : Fail;
    return BadArgument;
}

ErrorCode BatchExchange::failAll(BatchItem* items, uint32_t count, ErrorCode error)
{
    for (uint32_t i = 0; i < count; ++i)
        items[i].error = error;
    return error;
}

Command* BatchExchange::commandOf(Slot& slot)
{
    return std::visit(
        [](auto& held) -> Command* {
            if constexpr (std::is_same_v<std::decay_t<decltype(held)>, std::monostate>)
                return nullptr;
            else
                return &held;
        },
        slot);
}

ErrorCode BatchExchange::run(ReaderPump& pump)
{
    if (_count > InlineItems && (!_heapEntries || !_heapValues))
        return failAll(_items, _count, Fail);
    const ErrorCode queued = pump.queueBatch([this](ReaderPump::BatchQueue& queue) {
        writeAll(queue);
        return NoError;
    });
    // Stopping had begun: nothing was written.
    if (queued != NoError)
        return failAll(_items, _count, queued);
    return collect();
}

ErrorCode BatchExchange::launch(ReaderPump& pump, BatchDone done, void* context)
{
    if (_count > InlineItems && (!_heapEntries || !_heapValues))
        return failAll(_items, _count, Fail);
    _done = done;
    _doneContext = context;
    bool launched = false;
    const ErrorCode queued = pump.queueBatch([this, &launched](ReaderPump::BatchQueue& queue) {
        writeAll(queue);
        launched = anyQueued();
        // From this push on the pump may complete the exchange, and destroy
        // it, at any moment: nothing of it is touched afterwards.
        if (launched)
            queue.push(&_completion);
        return NoError;
    });
    if (queued != NoError)
        return failAll(_items, _count, queued);
    if (launched)
        return NoError;
    // Every write failed before anything was queued: the items say why.
    const ErrorCode first = finish(NoError);
    return first != NoError ? first : Fail;
}

ErrorCode BatchExchange::check(ReaderPump& pump)
{
    _dryRun = true;
    markMembers();
    ErrorCode first = NoError;
    // Under the write lock, as a real send: the token table is the one in use.
    const ErrorCode locked = pump.queueBatch([this, &first](ReaderPump::BatchQueue& /*queue*/) {
        for (_current = 0; _current < _count; ++_current) {
            _items[_current].error = entry(_current).member ? NoError : start(_current);
            if (first == NoError)
                first = _items[_current].error;
        }
        return NoError;
    });
    if (locked != NoError)
        return failAll(_items, _count, locked);
    return first;
}

void BatchExchange::markMembers()
{
    for (uint32_t i = 0; i < _count; ++i) {
        if (isBlockHead(_items[i].kind)) {
            for (uint32_t k = 1; k < static_cast<uint32_t>(_items[i].axis); ++k)
                entry(i + k).member = true;
        }
    }
}

bool BatchExchange::anyQueued()
{
    for (uint32_t i = 0; i < _count; ++i) {
        if (entry(i).queued)
            return true;
    }
    return false;
}

void BatchExchange::writeAll(ReaderPump::BatchQueue& queue)
{
    markMembers();
    _queue = &queue;
    for (_current = 0; _current < _count; ++_current) {
        // A block's members send nothing of their own.
        if (entry(_current).member)
            continue;
        // After a failed send the link is in doubt: nothing more goes out, and
        // an item that was not sent on a link now lost says so (EBADF).
        ErrorCode error = NoError;
        if (_writeError == NoError)
            error = start(_current);
        else
            error = _connection.port().isOpened() ? _writeError : systemError(EBADF);
        if (error != NoError)
            _items[_current].error = error;
    }
    flush(_count);
    _queue = nullptr;
}

ErrorCode BatchExchange::start(uint32_t i)
{
    const BatchItem& item = _items[i];
    Slot& slot = entry(i).command;
    Connection_TCP* const conn = &_connection;
    // Each branch makes the command, then has it build its request exactly
    // as the single operation does; add() collects it.
    const auto prepare = [this](Command& command) {
        command.shareReadyMutex(_readyMutex);
        command.deferWritesTo(this);
        command.clearReady();
    };
    switch (item.kind) {
    case BatchItemKind::ReadVrValue: {
        auto& cmd = slot.emplace<CmdGetVr>(conn);
        prepare(cmd);
        return cmd.send(item.index);
    }
    case BatchItemKind::WriteVrValue: {
        auto& cmd = slot.emplace<CmdSetVr>(conn);
        prepare(cmd);
        return cmd.send(item.index, item.value);
    }
    case BatchItemKind::ReadTableValue: {
        auto& cmd = slot.emplace<CmdGetTABLE>(conn);
        prepare(cmd);
        // The value list is decoded straight into the item, as a single
        // ReadTableValue decodes it into the caller's variable.
        return cmd.send(item.index, 1, &_items[i].value);
    }
    case BatchItemKind::ReadAxisParam: {
        auto& cmd = slot.emplace<CmdGetAxisParam>(conn);
        prepare(cmd);
        return cmd.send(item.param_name, item.axis);
    }
    case BatchItemKind::WriteAxisParam: {
        auto& cmd = slot.emplace<CmdSetAxisParam>(conn);
        prepare(cmd);
        return cmd.send(item.param_name, item.axis, item.value);
    }
    case BatchItemKind::ReadVrBlock: {
        auto& cmd = slot.emplace<CmdGetMultiVr>(conn);
        prepare(cmd);
        return cmd.send(item.index, static_cast<uint32_t>(item.axis), blockValues() + i);
    }
    case BatchItemKind::ReadTableBlock: {
        auto& cmd = slot.emplace<CmdGetTABLE>(conn);
        prepare(cmd);
        return cmd.send(item.index, static_cast<uint32_t>(item.axis), blockValues() + i);
    }
    }
    return BadArgument; // checkItems lets no other kind through
}

ErrorCode BatchExchange::add(Command& /*command*/, const uint8_t* request, size_t length, Command::TraceRequest trace)
{
    if (_dryRun)
        return NoError;
    if (_used + length > SendBytes) {
        const ErrorCode error = flush(_current);
        if (error != NoError)
            return error;
    }
    stEntry& e = entry(_current);
    e.trace = trace;
    if (length > SendBytes) {
        // Longer than a whole send: it goes out alone, straight away.
        size_t written = 0;
        const ErrorCode error = _connection.WriteBytes(reinterpret_cast<const char*>(request), length, written);
        e.length = static_cast<uint32_t>(length);
        traceSent(e, request, error == NoError);
        e.length = 0;
        if (error != NoError) {
            _writeError = error;
            return error;
        }
        std::visit(
            [this](auto& held) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(held)>, std::monostate>)
                    _queue->push(&held);
            },
            e.command);
        e.queued = true;
        _flushFrom = _current + 1;
        return NoError;
    }
    std::memcpy(_sendBuffer + _used, request, length);
    e.offset = static_cast<uint32_t>(_used);
    e.length = static_cast<uint32_t>(length);
    _used += length;
    return NoError;
}

ErrorCode BatchExchange::flush(uint32_t end)
{
    ErrorCode error = NoError;
    if (_used > 0) {
        size_t written = 0;
        error = _connection.WriteBytes(reinterpret_cast<const char*>(_sendBuffer), _used, written);
    }
    // Every request line first: once a command is queued its reply line may
    // be printed by the pump.
    for (uint32_t i = _flushFrom; i < end; ++i) {
        stEntry& e = entry(i);
        if (e.length != 0)
            traceSent(e, _sendBuffer + e.offset, error == NoError);
    }
    for (uint32_t i = _flushFrom; i < end; ++i) {
        stEntry& e = entry(i);
        if (e.length == 0)
            continue; // nothing collected: its send failed before
        e.length = 0;
        if (error != NoError) {
            _items[i].error = error;
            continue;
        }
        std::visit(
            [this](auto& held) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(held)>, std::monostate>)
                    _queue->push(&held);
            },
            e.command);
        e.queued = true;
    }
    _flushFrom = end;
    _used = 0;
    if (error != NoError)
        _writeError = error;
    return error;
}

void BatchExchange::traceSent(stEntry& e, const uint8_t* bytes, bool written)
{
    using TraceRequest = Command::TraceRequest;
    const bool print = e.trace == TraceRequest::AfterWrite || e.trace == TraceRequest::Always ||
                       (e.trace == TraceRequest::OnSuccess && written);
    if (!print || !_connection.traceEnabled())
        return;
    Command* const command = commandOf(e.command);
    if (command == nullptr)
        return;
    ByteSniffer sniffer;
    sniffer.addData(reinterpret_cast<const char*>(bytes), e.length);
    command->traceRequest(sniffer);
}

ErrorCode BatchExchange::collect()
{
    // The pump completes commands in the order they were queued, so once the
    // last is ready all are: one wait, one wake-up, and the only one bounded
    // by the operation's deadline and interrupt check, which so apply to the
    // batch as a whole. The others are still waited for, which costs nothing
    // when they are ready.
    ErrorCode stopped = NoError;
    for (uint32_t i = _count; i-- > 0;) {
        stEntry& e = entry(i);
        if (e.queued) {
            stopped = _connection.awaitOrAbandon(*commandOf(e.command));
            break;
        }
    }
    for (uint32_t i = 0; i < _count; ++i) {
        stEntry& e = entry(i);
        if (e.queued)
            commandOf(e.command)->waitReady();
    }
    return finish(stopped);
}

ErrorCode BatchExchange::finish(ErrorCode stopped)
{
    ErrorCode first = NoError;
    // The failure that lost the stream position (the link closed on it, or
    // the deadline passed): every item left unanswered failed because of it
    // and is given the same code.
    ErrorCode lost = NoError;
    for (uint32_t i = 0; i < _count; ++i) {
        stEntry& e = entry(i);
        BatchItem& item = _items[i];
        if (e.queued) {
            Command* const command = commandOf(e.command);
            item.error = command->getError();
            if (item.error != NoError && !Connection_TCP::replyEnded(item.error)) {
                if (lost == NoError)
                    lost = stopped != NoError ? stopped : item.error;
                item.error = lost;
            }
            // A read's value is the reply's once its request went out, even
            // with an error, as for the single operations.
            if (auto* vr = std::get_if<CmdGetVr>(&e.command))
                item.value = vr->getResult();
            else if (auto* param = std::get_if<CmdGetAxisParam>(&e.command))
                item.value = param->getResult();
        }
        // A block's run: each item its value (when the list was read) and
        // the block's outcome, also when its request never went out.
        if (isBlockHead(item.kind) && !e.member) {
            const double* values = blockValues() + i;
            for (uint32_t k = 0; k < static_cast<uint32_t>(item.axis); ++k) {
                if (e.queued && item.error == NoError)
                    _items[i + k].value = values[k];
                _items[i + k].error = item.error;
            }
        }
        if (first == NoError && item.error != NoError)
            first = item.error;
    }
    return first;
}

void BatchExchange::complete(BatchExchange* exchange)
{
    // All before the completion in the queue is done: the commands' outcomes
    // are final, and no command touches the exchange again.
    const ErrorCode first = exchange->finish(NoError);
    const BatchDone done = exchange->_done;
    void* const context = exchange->_doneContext;
    delete exchange; // NOLINT(cppcoreguidelines-owning-memory): a launched exchange owns itself
    done(context, first);
}

} // namespace Vantrel::HolvaneApi::TCP
