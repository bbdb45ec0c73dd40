#pragma once

#include "HolvaneSim/SimServer.h"
#include "SimTestClient.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>
#include <memory>

namespace SimTest {

using Vantrel::HolvaneApi::Sim::SimConfig;
using Vantrel::HolvaneApi::Sim::SimServer;

using Vantrel::HolvaneApi::Testing::startSim;

// A connected client that has done the host's connect sequence.
inline std::unique_ptr<Client> connectClient(SimServer& server)
{
    auto client = std::make_unique<Client>(server.port());
    client->handshake();
    return client;
}

} // namespace SimTest
