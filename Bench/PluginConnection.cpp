#include "PluginConnection.h"

#include <dlfcn.h>

namespace Vantrel::HolvaneApi::Bench {

PluginLibrary::PluginLibrary(const std::string& path)
{
    _handle = ::dlopen(path.c_str(), RTLD_NOW);
    if (_handle == nullptr) {
        const char* message = ::dlerror();
        _error = message ? message : "dlopen failed";
        return;
    }
    void* entry = ::dlsym(_handle, "factory");
    if (entry == nullptr) {
        _error = "no entry point 'factory' in " + path;
        return;
    }
    _factory = reinterpret_cast<FactoryFunction>(entry);
}

PluginLibrary::~PluginLibrary()
{
    if (_handle != nullptr)
        ::dlclose(_handle);
}

PluginConnection::PluginConnection(const PluginLibrary& library, EventCallback events)
{
    if (!library.loaded())
        return;
    CreateParams params;
    params.connectionType = ConnectionType::TCP;
    params.eventCallback = std::move(events);
    IConnection* connection = nullptr;
    _created = library.factory()(params, connection);
    if (_created == NoError && connection == nullptr)
        _created = Fail;
    if (_created == NoError)
        _connection = connection;
}

PluginConnection::~PluginConnection()
{
    if (_connection == nullptr)
        return;
    if (_connection->IsConnected())
        _connection->Disconnect();
    _connection->DeleteMe();
}

ErrorCode PluginConnection::configure(const Endpoint& endpoint)
{
    if (_connection == nullptr)
        return _created;
    ErrorCode code = _connection->WriteStringAttribute("TCP_HostName", endpoint.host);
    if (code == NoError)
        code = _connection->WriteIntAttribute("TCP_Port", endpoint.port);
    if (code == NoError)
        code = _connection->WriteIntAttribute("TCP_Trace", endpoint.trace);
    return code;
}

ErrorCode PluginConnection::connect(const Endpoint& endpoint)
{
    const ErrorCode code = configure(endpoint);
    return code != NoError ? code : _connection->Connect();
}

} // namespace Vantrel::HolvaneApi::Bench
