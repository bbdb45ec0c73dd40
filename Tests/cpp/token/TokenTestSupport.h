#pragma once

#include "SharedLib/CreateParameters.h"
#include "SharedLib/MemPort.h"
#include "SharedLib/Port.h"
#include "SharedLib/TimingPolicy.h"
#include "SharedLib/Token.h"
#include "SharedLib/TokenBuffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace Vantrel::HolvaneApi::TokenTest {

// Every event a Token raised, in order.
struct EventLog {
    struct Event {
        EventType type;
        uint64_t code;
        std::string text;
    };
    std::vector<Event> events;

    EventCallback callback()
    {
        return [this](EventType type, uint64_t code, const std::string_view& text) {
            events.push_back({type, code, std::string(text)});
        };
    }

    bool has(EventType type, uint64_t code, const std::string& text) const
    {
        return std::any_of(events.begin(), events.end(),
                           [&](const Event& e) { return e.type == type && e.code == code && e.text == text; });
    }

    size_t count(EventType type) const
    {
        return static_cast<size_t>(
            std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.type == type; }));
    }
};

// A port that hands its reply out in small pieces, the way a socket may, and
// records what was written. After the data it reports Timeout, or a chosen
// error.
class PiecewisePort final : public Port {
public:
    PiecewisePort(std::string reply, size_t piece) : Port(EventCallback()), _reply(std::move(reply)), _piece(piece) {}

    ErrorCode Open(const std::string&, uint16_t) override { return NoError; }
    ErrorCode Close() override { return NoError; }
    ErrorCode Write(const char* buffer, size_t length, size_t& written) override
    {
        if (writeError != NoError)
            return writeError;
        written = std::min(length, writeLimit);
        this->written.append(buffer, written);
        return NoError;
    }
    ErrorCode Read(char* buffer, size_t size, size_t& got, uint32_t timeout_ms) override
    {
        got = 0;
        ++reads;
        lastTimeout = timeout_ms;
        if (_pos >= _reply.size()) {
            // As a socket would: a time-out comes when the time is up.
            if (afterData == Timeout && waitsOnTimeout && timeout_ms != TimingPolicy::NoLimitMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return afterData;
        }
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);
        if (emptyReadsBetweenPieces && reads % 2 == 0)
            return emptyReadResult;
        got = std::min({size, _piece, _reply.size() - _pos});
        std::memcpy(buffer, _reply.data() + _pos, got);
        _pos += got;
        return NoError;
    }
    void setWriteSniffer(ISniffer*) override {}
    void setReadSniffer(ISniffer*) override {}

    std::string written;
    size_t writeLimit = static_cast<size_t>(-1);
    ErrorCode writeError = NoError;
    ErrorCode afterData = Timeout;
    bool waitsOnTimeout = false; // the Timeout after the data comes at the limit
    size_t reads = 0;
    uint32_t lastTimeout = 0;
    std::chrono::milliseconds delay{0};   // before each piece of data
    bool emptyReadsBetweenPieces = false; // an empty read before every piece
    ErrorCode emptyReadResult = Timeout;

private:
    std::string _reply;
    size_t _piece;
    size_t _pos = 0;
};

// The entries every usable table carries, with the default codes.
inline std::string baseTable()
{
    return "C0TOKENTABLE,0,0,0,0,0,0,c>\r\n"
           "S200ZERO\r\n"
           "S255EXTENDED_TOKEN\r\n";
}

inline std::string endOfTable() { return "[EOT]\r\n"; }

// Downloads table over a memory port with a short silence limit.
inline ErrorCode loadTable(Token& token, const std::string& table)
{
    MemPort port;
    port.Open(table.data(), table.size());
    return token.ReadTokenTable(port, std::chrono::milliseconds(50));
}

// The bytes a buffer holds.
inline std::vector<uint8_t> bytesOf(const TokenBuffer& buffer)
{
    return std::vector<uint8_t>(buffer.data(), buffer.data() + buffer.length());
}

} // namespace Vantrel::HolvaneApi::TokenTest
