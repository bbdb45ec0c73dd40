// Entry point of the TCP connection plug-in and its load/unload hooks.
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
    (void)connection;
    return Fail; // the TCP connection class is not built yet
}
