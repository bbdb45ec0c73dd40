#include "support/Loopback.h"

namespace Vantrel::HolvaneApi::Testing {

std::unique_ptr<Connection_TCP> makeConnection(uint16_t port, EventCallback callback, const char* host)
{
    CreateParams params;
    params.connectionType = ConnectionType::TCP;
    params.eventCallback = std::move(callback);
    auto connection = std::make_unique<Connection_TCP>(params);
    connection->WriteStringAttribute("TCP_HostName", host);
    connection->WriteIntAttribute("TCP_Port", port);
    connection->WriteIntAttribute("TCP_Trace", 0);
    return connection;
}

#ifdef HOLVANE_HAVE_SIM
std::unique_ptr<Sim::SimServer> startSim(Sim::SimConfig config)
{
    config.port = 0;
    auto server = std::make_unique<Sim::SimServer>(config);
    server->start();
    return server;
}
#endif

} // namespace Vantrel::HolvaneApi::Testing
