// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "SimFixture.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace SimTest;
using namespace Vantrel::HolvaneApi::Sim;

namespace {
std::string vrWrite(const Client& c, double index, double value)
{
    return c.tok("VR") + c.tok("OPENBRACKETS") + c.num(index) + c.tok("CLOSEBRACKETS") + c.tok("ASSIGN") +
           c.num(value) + c.zero();
}
std::string vrRead(const Client& c, double index)
{
    return c.tok("VR") + c.tok("OPENBRACKETS") + c.num(index) + c.tok("CLOSEBRACKETS") + c.zero();
}
std::string execute(const Client& c, const std::string& line) { return c.tok("EXECUTE") + c.str(line) + c.zero(); }
std::string moveOn(const Client& c, double distance, double axis)
{
    return c.tok("MOVE") + c.tok("OPENBRACKETS") + c.num(distance) + c.tok("CLOSEBRACKETS") + c.axisMod(axis) +
           c.zero();
}
std::string fileText(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class TempFile {
public:
    TempFile()
    {
        char name[] = "/tmp/holvane-write-log-XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        path = name;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

std::unique_ptr<SimServer> simLoggingTo(const TempFile& file)
{
    SimConfig config;
    config.writeLogPath = file.path;
    return startSim(config);
}
} // namespace

// Applied changes are counted once each, in the order they were made, and a
// refused change or a read leaves no record.
TEST(SimWriteLog, RecordsEachAppliedChangeOnceAndNothingElse)
{
    TempFile file;
    auto sim = simLoggingTo(file);
    auto c = connectClient(*sim);

    EXPECT_EQ(c->ask(vrWrite(*c, 7, 2.5)).second, 0.0);
    EXPECT_EQ(c->ask(execute(*c, "VR(8)=VR(7)*2")).second, 0.0);
    EXPECT_EQ(c->ask(execute(*c, "SPEED AXIS(2)=100.125")).second, 0.0);
    EXPECT_EQ(c->ask(moveOn(*c, 0.1, 1)).second, 0.0);
    EXPECT_EQ(c->ask(vrRead(*c, 7)).first, 2.5);
    EXPECT_EQ(c->ask(vrWrite(*c, 1e9, 1.0)).second, eIndexRange);
    EXPECT_EQ(c->ask(execute(*c, "DPOS AXIS(0)=1")).second, eReadOnly);
    EXPECT_EQ(c->ask(moveOn(*c, 1.0, 99)).second, eBadAxis);

    // Read from the log of the running server: the in-process counts and the
    // file agree, the file already complete when each reply has arrived.
    const std::shared_ptr<WriteLog> log = sim->writeLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->count("VR", "7", 2.5), 1U);
    EXPECT_EQ(log->count("VR", "8", 5.0), 1U);
    EXPECT_EQ(log->count("PARAM", "SPEED(2)", 100.125), 1U);
    EXPECT_EQ(log->count("MOVE", "1", 0.1), 1U);
    EXPECT_EQ(log->count("VR", "7", 2.0), 0U);
    EXPECT_EQ(log->total(), 4U);
    EXPECT_EQ(fileText(file.path), "VR 7 2.5\nVR 8 5\nPARAM SPEED(2) 100.125\nMOVE 1 0.10000000000000001\n");

    EXPECT_EQ(c->ask(vrWrite(*c, 7, 2.5)).second, 0.0);
    EXPECT_EQ(log->count("VR", "7", 2.5), 2U) << "the same change applied again counts again";
}

// A simulator started again on the same file appends to it, so that the
// changes made before a restart are still counted.
TEST(SimWriteLog, AFileOutlivesTheSimulator)
{
    TempFile file;
    {
        auto sim = simLoggingTo(file);
        auto c = connectClient(*sim);
        EXPECT_EQ(c->ask(vrWrite(*c, 3, 1.0)).second, 0.0);
    }
    auto sim = simLoggingTo(file);
    auto c = connectClient(*sim);
    EXPECT_EQ(c->ask(vrWrite(*c, 3, 2.0)).second, 0.0);
    EXPECT_EQ(fileText(file.path), "VR 3 1\nVR 3 2\n");
    EXPECT_EQ(sim->writeLog()->count("VR", "3", 1.0), 0U) << "counts are per run";

    SimConfig unwritable;
    unwritable.writeLogPath = "/nonexistent-folder/log";
    unwritable.port = 0;
    SimServer refused(unwritable);
    EXPECT_THROW(refused.start(), std::system_error);
}

#endif // HOLVANE_HAVE_SIM
