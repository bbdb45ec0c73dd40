// Entry point of the TCP connection plug-in and its load/unload hooks.
#include "Connection/Port/TCP/Connection_TCP.h"
#include "SharedLib/IConnection.h"

using namespace Vantrel::HolvaneApi;

namespace {
__attribute__((constructor)) void initialize_LibraryStatic() {}
__attribute__((destructor)) void cleanup_LibraryStatic() {}
} // namespace

extern "C" __attribute__((visibility("default"))) ErrorCode factory(const CreateParams& params,
                                                                    IConnection*& connection)
{
    if (params.connectionType != ConnectionType::TCP)
        return ConnectionContext;
    // If construction throws, new releases the memory and the exception
    // propagates to the caller.
    connection = new Connection_TCP(params);
    return NoError;
}
