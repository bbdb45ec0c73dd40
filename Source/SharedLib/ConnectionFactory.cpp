#include "SharedLib/ConnectionFactory.h"

#include "SharedLib/Assert.h"
#include "SharedLib/platform.h"

#include <cstdlib>
#include <dlfcn.h>

#include <mutex>
#include <string>

namespace Vantrel::HolvaneApi {

stConnInstance s_connections[MaxConnections] = {};

namespace {

// Guards s_connections: callers release the interpreter lock while they work.
std::mutex s_registryMutex;

const char* typeName(ConnectionType type)
{
    switch (static_cast<uint32_t>(type)) {
    case 0: return "TCP";
    case 1: return "UDP";
    case 2: return "RS232";
    case 3: return "QUENTA";
    case 4: return "ZELIK";
    default: return "UNKNOWN";
    }
}

void raiseError(const CreateParams& params, ErrorCode code, const std::string_view& text)
{
    if (params.eventCallback)
        params.eventCallback(EventType::Error, code, text);
}

// Directory of the shared object this code lives in (the Python module), with
// a trailing slash; empty when it cannot be told.
std::string findOwnDirectory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&findOwnDirectory), &info) == 0 || info.dli_fname == nullptr)
        return {};
    // The loader may have been given a relative path: resolve it now, while
    // the working directory is still the one it was relative to.
    char* resolved = realpath(info.dli_fname, nullptr);
    if (resolved == nullptr)
        return {};
    std::string path(resolved);
    free(resolved);
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return path.substr(0, slash + 1);
}

// Taken when the module is loaded.
const std::string s_ownDirectory = findOwnDirectory();

std::string takeLoaderError()
{
    // glibc keeps dlerror()'s state per thread: no other thread's call can interfere.
    const char* text = dlerror(); // NOLINT(concurrency-mt-unsafe)
    return text != nullptr ? std::string(text) : std::string("unknown loader error");
}

} // namespace

// The loader's search path first, as the plain file name asks; then the
// module's own directory, so an installed module finds the plug-in beside it.
LIBRARY_HANDLE loadLibrary(const char* file_name, std::string& error_text)
{
    const std::string name = std::string("lib") + file_name;
    LIBRARY_HANDLE handle = dlopen(name.c_str(), RTLD_NOW);
    if (handle != nullptr) {
        error_text.clear();
        return handle;
    }
    error_text = takeLoaderError();
    if (!s_ownDirectory.empty()) {
        handle = dlopen((s_ownDirectory + name).c_str(), RTLD_NOW);
        if (handle != nullptr) {
            error_text.clear();
            return handle;
        }
        dlerror(); // NOLINT(concurrency-mt-unsafe): per thread; the first attempt's message is the one reported
    }
    return nullptr;
}

FactoryFunction getFactory(LIBRARY_HANDLE handle)
{
    return reinterpret_cast<FactoryFunction>(dlsym(handle, "factory"));
}

bool freeLibrary(LIBRARY_HANDLE handle)
{
    dlerror(); // NOLINT(concurrency-mt-unsafe): per thread in glibc
    return dlclose(handle) == 0;
}

bool registerConnection(IConnection* connection, LIBRARY_HANDLE lib)
{
    std::lock_guard<std::mutex> lock(s_registryMutex);
    for (size_t i = 0; i < MaxConnections; ++i) {
        if (s_connections[i].connection == nullptr) {
            HOLVANE_ASSERT(s_connections[i].lib == nullptr);
            s_connections[i].connection = connection;
            s_connections[i].lib = lib;
            return true;
        }
    }
    return false;
}

// Index of the entry holding `connection`, or MaxConnections when none does.
size_t findConnection(IConnection* connection)
{
    std::lock_guard<std::mutex> lock(s_registryMutex);
    for (size_t i = 0; i < MaxConnections; ++i) {
        if (s_connections[i].connection == connection)
            return i;
    }
    return MaxConnections;
}

// Frees entry `index` if it still holds `connection`. Looking the entry up
// before DeleteMe matters: once the object is gone its address may be handed
// to a new connection registered by another thread.
void* unregisterConnection(IConnection* connection, size_t index)
{
    std::lock_guard<std::mutex> lock(s_registryMutex);
    if (index >= MaxConnections || s_connections[index].connection != connection)
        return nullptr;
    void* result = s_connections[index].lib;
    HOLVANE_ASSERT(result != nullptr);
    s_connections[index].connection = nullptr;
    s_connections[index].lib = nullptr;
    return result;
}

ErrorCode ConnectionFactory::Create(const CreateParams& params, IConnection*& connection)
{
    IConnection*& result = connection;
    if (result != nullptr) {
        raiseError(params, ConnectionContext, {});
        return ConnectionContext;
    }

    const std::string file_name = std::string("Vantrel_HolvaneApi-") + typeName(params.connectionType) + "-x64.so";
    std::string error_text;
    LIBRARY_HANDLE library_handle = loadLibrary(file_name.c_str(), error_text);
    if (library_handle == nullptr) {
        raiseError(params, ConnectionModule, error_text);
        return ConnectionModule;
    }
    HOLVANE_ASSERT(result == nullptr);

    ErrorCode code = NoError;
    const FactoryFunction entry = getFactory(library_handle);
    if (entry == nullptr) {
        code = systemError(platform::lastError());
        raiseError(params, code, {});
    } else {
        try {
            code = entry(params, result);
        } catch (...) {
            // A plug-in whose construction throws must not unwind through Python
            // with its library still loaded.
            code = Fail;
            raiseError(params, code, "connection plug-in failed to create a connection");
        }
        if (code == NoError && result == nullptr) {
            // Success without a connection: nothing to keep.
            code = Fail;
            raiseError(params, code, "connection plug-in reported success without a connection");
        } else if (code != NoError && result != nullptr) {
            // Failure with a connection: release it inside its own library.
            result->DeleteMe();
            result = nullptr;
        }
    }

    if (code != NoError) {
        HOLVANE_ASSERT(freeLibrary(library_handle));
        return code;
    }

    HOLVANE_ASSERT(library_handle != nullptr);
    if (!registerConnection(result, library_handle)) {
        // Registry full: the new connection must not outlive its record.
        result->DeleteMe();
        result = nullptr;
        HOLVANE_ASSERT(freeLibrary(library_handle));
        raiseError(params, Fail, "too many live connections");
        return Fail;
    }
    return NoError;
}

ErrorCode ConnectionFactory::Destroy(IConnection*& connection)
{
    ErrorCode result = NoError;
    try {
        if (connection->IsConnected())
            result = connection->Disconnect();
    } catch (...) {
        HOLVANE_ASSERT(false);
    }
    IConnection* const old_connection = connection;
    const size_t entry = findConnection(old_connection);
    connection->DeleteMe();
    void* lib = unregisterConnection(old_connection, entry);
    HOLVANE_ASSERT(lib);
    HOLVANE_ASSERT(freeLibrary(lib));
    connection = nullptr;
    return result;
}

void ConnectionFactory::initializeStatic()
{
    std::lock_guard<std::mutex> lock(s_registryMutex);
    for (auto& entry : s_connections)
        entry = stConnInstance{nullptr, nullptr};
}

void ConnectionFactory::cleanupStatic() {}

} // namespace Vantrel::HolvaneApi
