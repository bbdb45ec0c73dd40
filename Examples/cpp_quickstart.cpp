// A C++ program that uses the TCP plug-in directly: loads it with dlopen,
// creates a connection through `factory`, writes and reads VRs, moves an axis
// while watching it travel, lists the controller's files and disconnects.
//
//   cpp_quickstart <path to libVantrel_HolvaneApi-TCP-x64.so> <host> <port>
#include "SharedLib/IConnection.h"

#include <dlfcn.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

using namespace Vantrel::HolvaneApi;

namespace {

// Closes the plug-in when the program is done with it.
struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};

// Destroys a connection inside the library that made it.
struct ConnectionDeleter {
    void operator()(IConnection* connection) const
    {
        if (connection->IsConnected())
            connection->Disconnect();
        connection->DeleteMe();
    }
};

bool check(const char* what, ErrorCode code)
{
    if (code == NoError)
        return true;
    std::printf("%-28s failed: 0x%" PRIx64 "\n", what, static_cast<uint64_t>(code));
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <plug-in library> <host> <port>\n", argv[0]);
        return 2;
    }
    std::unique_ptr<void, LibraryCloser> library(dlopen(argv[1], RTLD_NOW));
    if (!library) {
        std::fprintf(stderr, "cannot load the plug-in: %s\n", dlerror());
        return 1;
    }
    auto factory = reinterpret_cast<FactoryFunction>(dlsym(library.get(), "factory"));
    if (!factory) {
        std::fprintf(stderr, "the plug-in has no factory\n");
        return 1;
    }

    CreateParams params;
    params.connectionType = ConnectionType::TCP;
    params.eventCallback = [](EventType type, uint64_t code, const std::string_view& text) {
        if (type == EventType::Error)
            std::printf("  event: error 0x%" PRIx64 " %.*s\n", code, static_cast<int>(text.size()), text.data());
    };
    IConnection* raw = nullptr;
    if (!check("factory", factory(params, raw)))
        return 1;
    std::unique_ptr<IConnection, ConnectionDeleter> connection(raw);

    connection->WriteStringAttribute("TCP_HostName", argv[2]);
    connection->WriteIntAttribute("TCP_Port", std::atoll(argv[3]));
    connection->WriteIntAttribute("TCP_Trace", 0);
    if (!check("Connect", connection->Connect()))
        return 1;
    std::printf("connected to %s:%s\n", argv[2], argv[3]);

    for (uint32_t vr = 0; vr < 4; ++vr)
        check("WriteVrValue", connection->WriteVrValue(vr, 1.5 * vr));
    double values[4] = {};
    if (check("ReadMultiVrValues", connection->ReadMultiVrValues(0, 4, values)))
        std::printf("VR(0..3) = %g %g %g %g\n", values[0], values[1], values[2], values[3]);

    check("WriteAxisParam SPEED", connection->WriteAxisParam("SPEED", 0, 200.0));
    check("DefPos", connection->DefPos(0.0, 0));
    if (check("MoveAbs", connection->MoveAbs(100.0, 0))) {
        for (int i = 0; i < 40; ++i) {
            double dpos = 0.0;
            if (!check("ReadAxisParam DPOS", connection->ReadAxisParam("DPOS", 0, dpos)))
                break;
            std::printf("axis 0 at %8.3f\n", dpos);
            if (dpos >= 100.0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    std::printf("files on the controller:\n");
    check("Dir", connection->Dir(nullptr, [](void*, const ControllerFileInfo& file) {
        std::printf("  %-16s %6u bytes, type %d%s\n", file.szName, file.size, file.type,
                    file.autorun ? ", runs at power-up" : "");
    }));
    check("Disconnect", connection->Disconnect());
    return 0;
}
