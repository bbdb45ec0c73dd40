#pragma once

#include "SharedLib/CreateParameters.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <string_view>

namespace Vantrel::HolvaneApi {

// Delivers a connection's events to a Python callable. Shared between the
// Connection object and the event callbacks held inside the plug-in, so it
// stays valid for as long as any of them may still call it, from any thread.
class EventSink : public std::enable_shared_from_this<EventSink> {
public:
    EventSink() = default;
    ~EventSink(); // NOLINT(bugprone-exception-escape): see the definition
    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;

    // Interpreter lock held. None (or an empty object) stops delivery.
    void setHandler(const pybind11::object& handler);
    bool hasHandler() const { return _active.load(std::memory_order_acquire); }

    // Any thread, interpreter lock not held.
    void deliver(EventType type, uint64_t code, const std::string_view& text);

    // The callback handed to a plug-in; it keeps the sink alive.
    EventCallback callback();

    // True while this thread runs this sink's handler. The handler may run on
    // the plug-in's reader thread, which would wait for itself if the handler
    // called back into the same connection.
    bool deliveringOnThisThread() const;

    // Once the interpreter is shutting down no event reaches Python.
    static void stopAll() noexcept;

private:
    std::atomic<bool> _active{false};
    PyObject* _handler = nullptr; // owned reference; touched with the interpreter lock only
};

} // namespace Vantrel::HolvaneApi
