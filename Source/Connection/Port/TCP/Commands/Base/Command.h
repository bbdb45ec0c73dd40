#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/ByteSniffer.h"
#include "SharedLib/ICommand.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Vantrel::HolvaneApi {
class Connection_TCP;
class Token;
class TokenBuffer;
} // namespace Vantrel::HolvaneApi

namespace Vantrel::HolvaneApi::TCP {

// Base of every request to the controller. A command lives on the stack of the
// operation that issues it: send() (in the subclass) builds and writes the
// request on the caller's thread, readReply() reads the reply on the pump
// thread and stores the outcome with setError().
//
// How a command class uses the helpers:
//  - send(): build the request in a TokenBuffer made from tokens(), then
//    `return writeRequest(buffer, TraceRequest::..., built);` where `built` is
//    the first encoder error (NoError when the request is complete). Nothing is
//    written when built is an error; otherwise the whole request goes out or
//    nothing is treated as sent. The " >> " line follows the TraceRequest rule.
//  - readReply(): a command answered by one simple reply whose " << " line
//    follows the reply, whatever happened, is just readTracedSimpleReply().
//    Any other opens a `ReplyTrace trace(*this);` first when it prints a
//    " << " line, reads with readSimpleReply() or the connection's services,
//    calls trace.print() where the rules say, and always ends with
//    `setError(e); return e;`.
//  - When a reply fails so that its end in the stream is unknown (time-out or
//    read error inside it, malformed framing), call
//    connection().abandonStream(error) (readSimpleReply() does this itself).
class Command : public ICommand {
public:
    explicit Command(Connection_TCP* conn);
    ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    void waitReady() override;
    // Waits at most timeout_ms (as every wait: TimingPolicy); true once the
    // pump is done with the command.
    bool waitReadyFor(int timeout_ms);
    // A glance only: the pump may still be notifying. Before letting the
    // command go, wait (waitReady, waitReadyFor) under its mutex instead.
    bool isReady() const { return _flag_ready.load() != 0; }
    void setReady() override;
    void clearReady() override;
    uint32_t id() const override { return _id; }

    ErrorCode getError() const { return _error; }
    void setError(ErrorCode error) { _error = error; }

    // When the " >> " line of a request is printed.
    enum class TraceRequest {
        Never,      // no request line
        OnSuccess,  // after a successful write
        AfterWrite, // after the write, whatever its result; not when building failed
        Always,     // after every send, even when building failed (then "[0]: ")
    };

    // Writes "<name()><arrow>[<n>]: <hex bytes>" as one whole line where the
    // connection's trace goes (TCP_Trace): standard output, or the event
    // callback as a Message event; nothing while the trace is off.
    void traceBytes(const char* arrow, const ByteSniffer& sniffer) const;

    // Collects the requests of several commands to write them together (a
    // batch). add() takes one complete request; the collector writes it, and
    // prints its " >> " line by `trace` once the write is done.
    class DeferredWrites {
    public:
        virtual ErrorCode add(Command& command, const uint8_t* request, size_t length, TraceRequest trace) = 0;

    protected:
        ~DeferredWrites() = default;
    };
    // From now on writeRequest() hands the request to `writes` instead of
    // writing it; send() then returns NoError as soon as it is handed over.
    void deferWritesTo(DeferredWrites* writes) { _deferred = writes; }
    // Waits on `shared` (which outlives this command) instead of a mutex of
    // the connection's pool: the commands of a batch share one.
    void shareReadyMutex(std::mutex* shared);
    void traceRequest(const ByteSniffer& sniffer) const { traceBytes(" >> ", sniffer); }
    void traceReply(const ByteSniffer& sniffer) const { traceBytes(" << ", sniffer); }

protected:
    // Records the bytes read while it lives (the connection's read sniffer);
    // print() writes the " << " line with what was collected so far. When the
    // connection's trace is off as it opens, it records nothing and never
    // prints: a line begun mid-reply would show only part of the reply.
    class ReplyTrace {
    public:
        explicit ReplyTrace(Command& command);
        ~ReplyTrace();
        ReplyTrace(const ReplyTrace&) = delete;
        ReplyTrace& operator=(const ReplyTrace&) = delete;

        void print() const
        {
            if (_recording)
                _command.traceReply(_sniffer);
        }

    private:
        Command& _command;
        const bool _recording;
        ByteSniffer _sniffer;
    };

    Connection_TCP& connection() const { return *_connection; }
    // The connection's downloaded token table (valid while a pump runs).
    Token& tokens() const;

    // Writes the whole request (all or nothing) under a write sniffer and
    // prints the " >> " line by `trace`. When `built` is an error nothing is
    // written and `built` is returned.
    ErrorCode writeRequest(const TokenBuffer& request, TraceRequest trace, ErrorCode built = NoError);

    // The simple reply: value, then status (controller error number). A read
    // failure abandons the stream; a controller error keeps it.
    ErrorCode readSimpleReply(double* value);

    // The whole readReply() of most commands: one simple reply (the value to
    // `value` when not null) recorded for the " << " line, which is printed
    // after it whatever happened; the outcome is stored with setError().
    ErrorCode readTracedSimpleReply(double* value);

    ErrorCode _error;
    Connection_TCP* _connection;
    std::mutex* _mutex_ready;
    std::atomic<int32_t> _flag_ready;
    std::condition_variable _cv_ready;
    uint32_t _id;
    bool _pooledMutex = true; // _mutex_ready came from the connection's pool
    DeferredWrites* _deferred = nullptr;

    static std::atomic<uint32_t> s_nextId;
};

} // namespace Vantrel::HolvaneApi::TCP
