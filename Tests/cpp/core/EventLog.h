#pragma once
// Records the events a port or connection raises, from any thread.

#include "SharedLib/CreateParameters.h"

#include <mutex>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::CoreTesting {

struct RecordedEvent {
    EventType type;
    uint64_t code;
    std::string text;
};

class EventLog {
public:
    EventCallback callback()
    {
        return [this](EventType type, uint64_t code, const std::string_view& text) {
            std::lock_guard<std::mutex> lock(_mutex);
            _events.push_back({type, code, std::string(text)});
        };
    }

    std::vector<RecordedEvent> events() const
    {
        std::lock_guard<std::mutex> lock(_mutex);
        return _events;
    }

    std::vector<RecordedEvent> ofType(EventType type) const
    {
        std::vector<RecordedEvent> out;
        for (const RecordedEvent& e : events())
            if (e.type == type)
                out.push_back(e);
        return out;
    }

    bool hasText(const std::string& text) const
    {
        for (const RecordedEvent& e : events())
            if (e.text == text)
                return true;
        return false;
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _events.clear();
    }

private:
    mutable std::mutex _mutex;
    std::vector<RecordedEvent> _events;
};

} // namespace Vantrel::HolvaneApi::CoreTesting
