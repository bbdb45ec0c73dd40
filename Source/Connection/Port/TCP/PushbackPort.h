#pragma once

#include "SharedLib/IReplyWatch.h"
#include "SharedLib/Port.h"
#include "SharedLib/TimingPolicy.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace Vantrel::HolvaneApi {

// The read side of a connection: a port whose reads first serve the bytes put
// back by a reply reader that read past the end of its reply, then the
// wrapped port. Bytes are shown to the read sniffer when a read hands them
// out, so each reply's trace holds exactly the bytes taken for that reply.
//
// A read of the wrapped port takes up to ReadAhead bytes at once and keeps what
// the caller did not ask for, to serve the next reads without a system call
// (a reply is usually read in two or three pieces). Those bytes go, like the
// put-back ones, when the link is abandoned, closed or reopened.
//
// Threads: replies are read on the pump thread only, but another thread may
// close the port (Disconnect) meanwhile; the put-back bytes are therefore
// guarded by a mutex, which is never held across a read of the wrapped port.
class PushbackPort final : public Port {
public:
    // One reply reader's read: never more is read ahead than that.
    static constexpr size_t Capacity = 256;
    // At most this much is received in one read of the wrapped port.
    static constexpr size_t ReadAhead = 4096;

    PushbackPort(Port& inner, EventCallback event_callback);
    ~PushbackPort() = default;
    PushbackPort(const PushbackPort&) = delete;
    PushbackPort& operator=(const PushbackPort&) = delete;

    // Drops any put-back bytes, then opens the wrapped port.
    ErrorCode Open(const std::string& hostname, uint16_t port) override;
    // Drops any put-back bytes, then closes the wrapped port.
    ErrorCode Close() override;
    ErrorCode Write(const char* buffer, size_t buffer_length, size_t& buffer_written) override;
    // Put-back bytes first (as many as fit, without touching the wrapped
    // port), then bytes read ahead, else one read of the wrapped port.
    // Shown to the read sniffer.
    ErrorCode Read(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds) override;
    void setWriteSniffer(ISniffer* sniffer) override { _inner.setWriteSniffer(sniffer); }
    // The wrapped port's own read sniffer must stay unset: this port shows
    // every byte it hands out.
    void setReadSniffer(ISniffer* sniffer) override { _readSniffer.store(sniffer); }

    // Read without showing the bytes to the read sniffer: the caller shows
    // the part that belongs to its reply with show() and puts the rest back.
    ErrorCode ReadUnshown(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds);
    void show(const char* data, size_t count) const;

    // Puts bytes back in front of any still held, to be read next. False
    // (nothing kept) when they would not fit in Capacity.
    bool putBack(const char* data, size_t count);
    // Bytes when some are held or read ahead; otherwise one read of the
    // wrapped port, up to timeout_ms, into the read-ahead store. Nothing is
    // handed out or shown: the next reads serve the bytes. On the reading
    // thread only.
    IReplyWatch::Wake awaitBytes(int timeout_ms);
    // The next read that has to wait on the wrapped port counts its limit
    // from `since` (the reply's bytes have been awaited since then); a read
    // served from the bytes held counts from itself, as every later one.
    void awaitedSince(TimingPolicy::Clock::time_point since);
    // Drops the put-back and read-ahead bytes: the stream's position is lost
    // or the link replaced.
    void discard();
    // Put-back bytes held.
    size_t pending() const;
    // Bytes read ahead and not yet handed out.
    size_t readAhead() const;

private:
    ErrorCode readAny(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds);
    // One read of the wrapped port into the read-ahead store; the bytes past
    // the first `taken` (which the caller hands out itself) stay for later
    // reads. False when the link was discarded since `generation`: then
    // nothing is kept. On the reading thread only, with nothing held.
    bool fillAhead(size_t taken, uint32_t timeout_ms, uint64_t generation, size_t& received, ErrorCode& error);

    Port& _inner;
    std::atomic<ISniffer*> _readSniffer{nullptr};
    mutable std::mutex _mutex; // guards the held bytes
    std::array<char, Capacity> _held{};
    size_t _begin = 0; // first held byte
    size_t _end = 0;   // one past the last held byte
    // Written by the reading thread only, outside the mutex, and only while
    // empty; the bounds are guarded.
    std::array<char, ReadAhead> _ahead{};
    size_t _aheadBegin = 0;
    size_t _aheadEnd = 0;
    // Counts discards, so that bytes received across one are not kept.
    uint64_t _generation = 0;
    // awaitedSince() as ticks of the clock; NoOrigin when none.
    static constexpr TimingPolicy::Clock::rep NoOrigin = TimingPolicy::Clock::rep{0};
    std::atomic<TimingPolicy::Clock::rep> _awaitedSince{NoOrigin};
};

} // namespace Vantrel::HolvaneApi
