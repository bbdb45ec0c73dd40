#pragma once

#include "SharedLib/ApiEnums.h"
#include "SharedLib/CreateParameters.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Vantrel::HolvaneApi {

// Receives a copy of every byte a port moves in one direction.
class ISniffer {
public:
    virtual void addData(const char* data, size_t count) = 0;
    virtual size_t size() const = 0;

protected:
    ~ISniffer() = default;
};

// A failure of the port itself (the socket's error, a read that timed out):
// the owner of the link reports it, once for the link it loses, not every
// reader that meets it.
inline bool isPortFailure(ErrorCode code) { return code == Timeout || errorBand(code) == SystemBand; }

// The byte pipe between the plug-in and the controller. Read waits for data
// as TimingPolicy says every wait does: at most timeout_milliseconds,
// TimingPolicy::NoLimitMs for no limit, 0 only to look at what is there.
class Port {
public:
    explicit Port(EventCallback event_callback) : _event_callback(std::move(event_callback)) {}

    virtual ErrorCode Open(const std::string& hostname, uint16_t port) = 0;
    virtual ErrorCode Close() = 0;
    virtual ErrorCode Write(const char* buffer, size_t buffer_length, size_t& buffer_written) = 0;
    virtual ErrorCode Read(char* buffer, size_t buffer_size, size_t& buffer_read, uint32_t timeout_milliseconds) = 0;
    virtual void setWriteSniffer(ISniffer* sniffer) = 0;
    virtual void setReadSniffer(ISniffer* sniffer) = 0;

    void AddLogEvent(EventType type, uint64_t code, const std::string_view& text) const
    {
        if (_event_callback)
            _event_callback(type, code, text);
    }

protected:
    // Ports are destroyed through their concrete type.
    ~Port() = default;

    EventCallback _event_callback;
};

} // namespace Vantrel::HolvaneApi
