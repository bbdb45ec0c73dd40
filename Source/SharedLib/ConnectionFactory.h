#pragma once

#include "SharedLib/CreateParameters.h"
#include "SharedLib/IConnection.h"

#include <cstddef>

namespace Vantrel::HolvaneApi {

using LIBRARY_HANDLE = void*;

// One registry entry: a live connection and the library whose factory made it.
struct stConnInstance {
    IConnection* connection;
    LIBRARY_HANDLE lib;
};

constexpr size_t MaxConnections = 128;

// Zero at load; a free entry has a null connection and a null lib.
extern stConnInstance s_connections[MaxConnections];

// Loads connection plug-ins by connection type and keeps the registry of the
// connections they made. Safe to call from several threads at once.
class ConnectionFactory {
public:
    ConnectionFactory() = delete;

    // `connection` must be null on entry; it holds the new connection on success.
    static ErrorCode Create(const CreateParams& params, IConnection*& connection);
    // Disconnects if needed, deletes the connection inside its plug-in, drops
    // its registry entry and library reference; `connection` is null on return.
    static ErrorCode Destroy(IConnection*& connection);

    static void initializeStatic();
    static void cleanupStatic();
};

} // namespace Vantrel::HolvaneApi
