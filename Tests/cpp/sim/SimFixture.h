#pragma once

#include "HolvaneSim/SimServer.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>
#include <memory>

namespace SimTest {

using Vantrel::HolvaneApi::Sim::SimConfig;
using Vantrel::HolvaneApi::Sim::SimServer;

// Runs a simulator in-process on a free port.
inline std::unique_ptr<SimServer> startSim(SimConfig config = {})
{
    config.port = 0;
    auto server = std::make_unique<SimServer>(config);
    server->start();
    return server;
}

// A connected client that has done the host's connect sequence.
inline std::unique_ptr<Client> connectClient(SimServer& server)
{
    auto client = std::make_unique<Client>(server.port());
    client->handshake();
    return client;
}

} // namespace SimTest
