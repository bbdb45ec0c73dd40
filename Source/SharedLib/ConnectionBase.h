#pragma once

#include "SharedLib/IConnection.h"
#include "SharedLib/Port.h"

namespace Vantrel::HolvaneApi {

// Common base of connection implementations: holds the event callback.
class ConnectionBase : public IConnection {
public:
    explicit ConnectionBase(const EventCallback&& eventLogger) : _eventLogger(eventLogger) {}
    ~ConnectionBase() override = default;

    void AddLogEvent(EventType type, uint64_t code, const std::string_view& text) const
    {
        if (_eventLogger)
            _eventLogger(type, code, text);
    }

    virtual void setWriteSniffer(ISniffer* sniffer) = 0;
    virtual void setReadSniffer(ISniffer* sniffer) = 0;

protected:
    EventCallback _eventLogger;
};

} // namespace Vantrel::HolvaneApi
