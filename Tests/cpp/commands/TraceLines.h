#pragma once
// Reading the trace lines that commands print on standard output.

#include "CommandFixture.h"

#include <sstream>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Testing {

inline std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The line a command prints for `bytes` in the direction `arrow`.
inline std::string traceLine(const std::string& name, const char* arrow, const Bytes& bytes)
{
    return name + arrow + "[" + std::to_string(bytes.size()) + "]: " + hexOf(bytes);
}

// A connected controller with the trace switched on.
class TracedCommandTest : public CommandTest {
protected:
    void SetUp() override { connectWith(TokenTableText::standard(), true); }
};

} // namespace Vantrel::HolvaneApi::Testing
