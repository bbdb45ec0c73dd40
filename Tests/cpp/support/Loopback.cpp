#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Vantrel::HolvaneApi::Testing {

uint16_t closedPort()
{
    // Bound to a free port, then closed: nothing listens there any more.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

void aimAt(IConnection& connection, uint16_t port, const char* host)
{
    connection.WriteStringAttribute("TCP_HostName", host);
    connection.WriteIntAttribute("TCP_Port", port);
    connection.WriteIntAttribute("TCP_Trace", 0);
}

std::unique_ptr<Connection_TCP> makeConnection(uint16_t port, EventCallback callback, const char* host)
{
    CreateParams params;
    params.connectionType = ConnectionType::TCP;
    params.eventCallback = std::move(callback);
    auto connection = std::make_unique<Connection_TCP>(params);
    aimAt(*connection, port, host);
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
