#include "ProcessMemory.h"

#include <fstream>
#include <string>

namespace Vantrel::HolvaneApi::Bench {

uint64_t residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoull(line.substr(6));
    return 0;
}

} // namespace Vantrel::HolvaneApi::Bench
