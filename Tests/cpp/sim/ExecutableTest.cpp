// Built only when the simulator is part of the build.
#ifdef HOLVANE_HAVE_SIM

#include "HolvaneSim/CommandLine.h"
#include "SimTestClient.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace Vantrel::HolvaneApi::Sim;

#ifdef HOLVANE_SIM_EXE
namespace {
// Starts the program with a pipe on its standard output.
struct Child {
    pid_t pid = -1;
    int out = -1;
    explicit Child(std::vector<std::string> args)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe");
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            const int devNull = ::open("/dev/null", O_WRONLY);
            ::dup2(devNull, 2); // keep the usage text out of the test log
            std::vector<char*> argv{const_cast<char*>(HOLVANE_SIM_EXE)};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(HOLVANE_SIM_EXE, argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out = fds[0];
    }
    std::string readLine(int timeoutMs)
    {
        std::string line;
        char c = 0;
        while (line.empty() || line.back() != '\n') {
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0 || ::read(out, &c, 1) != 1)
                break;
            line += c;
        }
        return line;
    }
    int waitExit(int timeoutMs)
    {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    ~Child()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(out);
    }
};
} // namespace

TEST(SimExecutable, PrintsItsAddressServesAndEndsCleanlyOnSignals)
{
    for (int sig : {SIGTERM, SIGINT}) {
        Child child({"--port", "0", "--controller-type", "206", "--version", "1.6"});
        const std::string line = child.readLine(5000);
        ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
        EXPECT_EQ(child.readLine(100), "") << "exactly one line";
        const int port = std::stoi(line.substr(line.rfind(':') + 1));
        ASSERT_GT(port, 0);
        {
            SimTest::Client client(static_cast<uint16_t>(port));
            client.handshake();
            EXPECT_FALSE(client.ieee()) << "type 206 talks TMS320";
            EXPECT_EQ(client.ask(client.sysVar("VERSION") + client.zero()).first, static_cast<double>(1.6f));
        }
        ::kill(child.pid, sig);
        EXPECT_EQ(child.waitExit(5000), 0);
    }
}

TEST(SimExecutable, RefusesBadOptions)
{
    Child child({"--port", "70000"});
    EXPECT_EQ(child.waitExit(5000), 2);
}
#endif

TEST(SimCommandLine, OptionsFillTheConfiguration)
{
    const auto cl = parseCommandLine({"--host",
                                      "127.0.0.2",
                                      "--port",
                                      "0",
                                      "--controller-type",
                                      "206",
                                      "--version",
                                      "1.51",
                                      "--extended-token",
                                      "250",
                                      "--zero-token",
                                      "199",
                                      "--delay-ms",
                                      "5",
                                      "--silent-after",
                                      "4",
                                      "--close-after",
                                      "6",
                                      "--cut-reply",
                                      "3:7",
                                      "--corrupt-reply",
                                      "2",
                                      "--table-stop",
                                      "50",
                                      "--table-stop-close",
                                      "--drip-us",
                                      "100"});
    ASSERT_EQ(cl.error, "");
    EXPECT_EQ(cl.config.host, "127.0.0.2");
    EXPECT_EQ(cl.config.port, 0);
    EXPECT_EQ(cl.config.state.controllerType, 206);
    EXPECT_EQ(cl.config.state.version, 1.51);
    EXPECT_EQ(cl.config.extendedToken, 250);
    EXPECT_EQ(cl.config.zeroToken, 199);
    EXPECT_EQ(cl.config.faults.replyDelayMs, 5u);
    EXPECT_EQ(cl.config.faults.silentAfter, 4);
    EXPECT_EQ(cl.config.faults.closeAfter, 6);
    EXPECT_EQ(cl.config.faults.cutReplyRequest, 3);
    EXPECT_EQ(cl.config.faults.cutReplyBytes, 7);
    EXPECT_EQ(cl.config.faults.corruptReplyRequest, 2);
    EXPECT_EQ(cl.config.faults.tableStopBytes, 50);
    EXPECT_TRUE(cl.config.faults.tableStopClose);
    EXPECT_EQ(cl.config.faults.dripMicros, 100u);
    const auto defaults = parseCommandLine({});
    EXPECT_EQ(defaults.config.port, 3240);
    EXPECT_EQ(defaults.config.state.controllerType, 400);
    EXPECT_EQ(defaults.config.state.version, 2.0);
    EXPECT_TRUE(parseCommandLine({"--help"}).help);
    for (const auto& bad : std::vector<std::vector<std::string>>{{"--port"},
                                                                 {"--port", "x"},
                                                                 {"--zero-token", "255"},
                                                                 {"--extended-token", "2"},
                                                                 {"--cut-reply", "3"},
                                                                 {"--frobnicate", "1"},
                                                                 {"--version", "nan"}})
        EXPECT_NE(parseCommandLine(bad).error, "") << bad[0];
}

#endif // HOLVANE_HAVE_SIM
