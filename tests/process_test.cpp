// The real program as a script or CI starts it: the command line, start-up
// failures with nobody watching, and every way of closing it while the
// instrument is busy. Each test runs build/vantis-sim in a process of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "harness.h"
#include "program.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

using testprocess::Ended;
using testprocess::Program;
using testprocess::free_port;

int count_lines(const std::string& s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

class Process : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vantis-process-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        runtime_ = dir;
        env_ = {"XDG_RUNTIME_DIR=" + runtime_, "PATH=/usr/bin:/bin"};
    }
    void TearDown() override { std::system(("rm -rf '" + runtime_ + "'").c_str()); }

    std::unique_ptr<Program> sim(const std::vector<std::string>& args) {
        return std::make_unique<Program>(VANTIS_SIM_PATH, args, env_);
    }
    Ended ctl(const std::vector<std::string>& args) {
        Program p(VANTIS_CTL_PATH, args, env_);
        return p.wait(15000);
    }
    std::string control_socket() const { return runtime_ + "/vantis-sim/control"; }

    std::string runtime_;
    std::vector<std::string> env_;
};

// A client once the program listens.
Client connect_when_listening(unsigned port) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(20);
    for (;;) {
        Client c(port);
        if (c.ok() || SteadyClock::now() > deadline) return c;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

TEST_F(Process, HelpAndVersionNeedNoDisplayAndBadCommandLinesEndWithTwo) {
    env_.push_back("QT_QPA_PLATFORM=xcb");  // and no DISPLAY: a display would be needed to run
    auto help = sim({"--help"})->wait(10000);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: vantis-sim [OPTION]...\n", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--listen ADDRESS[:PORT]"), std::string::npos);
    EXPECT_EQ(help.err, "");
    auto version = sim({"--version"})->wait(10000);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "vantis-sim " VANTIS_VERSION "\n");
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"}, {"--listen", "1.2.3"}, {"--listen", "127.0.0.1:70000"}, {"--listen", "[::1"},
        {"--model", "11"}, {"--model", "Hybrid"}, {"--name", "../other"}, {"--name", ""}, {"stray"},
        {"--listen"}};
    for (const auto& args : bad) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        auto r = sim(args)->wait(10000);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("\nUsage: vantis-sim [--listen ADDRESS[:PORT]]"), std::string::npos) << r.err;
    }
}

TEST_F(Process, HeadlessStartUpFailuresEndWithMinusOneAndOneLineNamingTheAddress) {
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(holder, 1);
    socklen_t len = sizeof a;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string port = std::to_string(ntohs(a.sin_port));
    // Taken, and an address this machine does not have (a documentation address).
    for (const std::string address : {"127.0.0.1", "192.0.2.1"}) {
        SCOPED_TRACE(address);
        auto r = sim({"--headless", "--listen", address + ":" + port})->wait(10000);
        EXPECT_EQ(r.status, 255);
        EXPECT_LT(r.seconds, 2.0);
        EXPECT_EQ(count_lines(r.err), 1) << r.err;
        EXPECT_NE(r.err.find("Server registration failed!"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(address + ":" + port + ": "), std::string::npos) << r.err;
    }
    ::close(holder);
}

namespace {

enum class Busy { Arm, Comment, PacedDownload, FastDownload };

struct CloseCase {
    const char* what;
    Busy busy;
    int signal;  // 0: vantis-ctl close
};

}  // namespace

class ClosingTheProgram : public Process, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ClosingTheProgram, EndsWithinASecondWithStatusZeroAndNoSocketLeft) {
    const CloseCase& k = GetParam();
    const unsigned port = free_port();
    auto program = sim({"--headless", "--listen", "127.0.0.1:" + std::to_string(port), "--model", "2ndGen WorldSID"});
    Client c = connect_when_listening(port);
    ASSERT_TRUE(c.ok());
    ASSERT_EQ(ctl({"wait", "ready"}).status, 0);
    c.command("WHO_ARE_YOU#");
    ASSERT_EQ(c.line(20000), reply("WHO_ARE_YOU#WorldSID Male#"));
    std::atomic<bool> reading{false};
    std::thread reader;
    if (k.busy == Busy::Comment) {
        c.command("SETTESTCOMMENT#");
        ASSERT_EQ(c.line(), "COMMENT?\n");
    } else {
        c.command("ERASE#");
        ASSERT_EQ(c.line(20000), "ERASE#0#230\r\n");
        if (k.busy == Busy::Arm) {
            c.command("ARM#0#0#");
            ASSERT_EQ(c.line(), reply("ARM#0#0#"));
        } else {
            // 180 s before a 100 ms arm limit: 1.8 million frames to send.
            c.command("ARM#100#0#");
            ASSERT_EQ(c.line(), reply("ARM#100#0#"));
            ASSERT_EQ(ctl({"wait", "idle"}).status, 0);
            if (k.busy == Busy::PacedDownload) {
                ASSERT_EQ(ctl({"speed", "normal"}).status, 0);
            }
            c.command("DUMPINFO#");
            ASSERT_EQ(c.line(20000), reply("DUMPINFO#-179900#100#"));
            c.command("DUMPBIN#-179900#100#");
            ASSERT_EQ(c.line(), reply("DUMPBIN#54#1800001#"));
            ASSERT_EQ(c.read(10 * 109, 20000).size(), 10u * 109u) << "the first frames";
            reading = true;
            reader = std::thread([&] { c.closed(30000); });
        }
    }
    const auto asked = SteadyClock::now();
    if (k.signal) {
        program->signal(k.signal);
    } else {
        EXPECT_EQ(ctl({"close"}).status, 0);
    }
    Ended e = program->wait(10000);
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - asked).count();
    if (reader.joinable()) reader.join();
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_LT(seconds, 1.0);
    struct stat st {};
    EXPECT_NE(::lstat(control_socket().c_str(), &st), 0) << "the control socket is left behind";
    if (!reading) {
        EXPECT_TRUE(c.closed(1000)) << "the client still sees the connection open";
        EXPECT_EQ(c.read(4096, 0), "") << "nothing after the close";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Busy, ClosingTheProgram,
    ::testing::Values(CloseCase{"SigtermDuringArm", Busy::Arm, SIGTERM}, CloseCase{"SigintDuringArm", Busy::Arm, SIGINT},
                      CloseCase{"SighupDuringTheComment", Busy::Comment, SIGHUP},
                      CloseCase{"VantisCtlCloseDuringArm", Busy::Arm, 0},
                      CloseCase{"SigtermDuringAPacedDownload", Busy::PacedDownload, SIGTERM},
                      CloseCase{"SigtermDuringAFastDownload", Busy::FastDownload, SIGTERM},
                      CloseCase{"VantisCtlCloseDuringAPacedDownload", Busy::PacedDownload, 0},
                      CloseCase{"VantisCtlCloseDuringAFastDownload", Busy::FastDownload, 0},
                      CloseCase{"VantisCtlCloseDuringTheComment", Busy::Comment, 0}),
    [](const auto& info) { return std::string(info.param.what); });
