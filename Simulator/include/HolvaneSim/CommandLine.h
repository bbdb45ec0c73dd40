#pragma once

#include "HolvaneSim/SimServer.h"

#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Sim {

struct CommandLine {
    SimConfig config;
    bool help = false;
    std::string error; // empty when the arguments were accepted
};

// Parses the program's arguments (without the program name).
CommandLine parseCommandLine(const std::vector<std::string>& args);
const char* usageText();

} // namespace Vantrel::HolvaneApi::Sim
