#pragma once

#include "SharedLib/IConnection.h"

#include <cstdint>
#include <string>

namespace Vantrel::HolvaneApi::Bench {

// The TCP plug-in, opened with dlopen and entered through `factory`, the way the
// Python module reaches it.
class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path);
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    bool loaded() const { return _factory != nullptr; }
    const std::string& error() const { return _error; }
    FactoryFunction factory() const { return _factory; }

private:
    void* _handle = nullptr;
    FactoryFunction _factory = nullptr;
    std::string _error;
};

// Where a connection goes and whether it traces.
struct Endpoint {
    std::string host = "127.0.0.1";
    int64_t port = 3240;
    int64_t trace = 0;
};

// One connection made by the plug-in; disconnected and destroyed inside the
// plug-in when it goes.
class PluginConnection {
public:
    PluginConnection(const PluginLibrary& library, EventCallback events = {});
    ~PluginConnection();
    PluginConnection(const PluginConnection&) = delete;
    PluginConnection& operator=(const PluginConnection&) = delete;

    ErrorCode created() const { return _created; }
    ErrorCode configure(const Endpoint& endpoint); // sets the three attributes
    ErrorCode connect(const Endpoint& endpoint);   // configure, then Connect
    IConnection* operator->() const { return _connection; }
    IConnection& get() const { return *_connection; }

private:
    IConnection* _connection = nullptr;
    ErrorCode _created = Fail;
};

} // namespace Vantrel::HolvaneApi::Bench
