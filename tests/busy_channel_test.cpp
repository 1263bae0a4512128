// The control channel while the instrument is busy, on the real program: it
// answers during a download, holds what would act on the instrument until the
// download's end (and drops it when its asker gave up), keeps a download on one
// data source, and closes in every state; vantis-ctl never signals a process;
// idle control clients lose their place.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "control_client.h"
#include "harness.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

double since(SteadyClock::time_point t) { return std::chrono::duration<double>(SteadyClock::now() - t).count(); }

struct Outcome {
    int status = -1000;  // exit status, -signal, or -1000 while still running
    std::string out, err;
    double seconds = 0;
};

// A child process; its output goes to files read at the end.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& cwd = {}) {
        char dir[] = "/tmp/vantis-busy-out-XXXXXX";
        if (!::mkdtemp(dir)) return;
        dir_ = dir;
        started_ = SteadyClock::now();
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
            std::vector<std::string> a = argv, e = env;
            std::vector<char*> av, ev;
            for (auto& s : a) av.push_back(s.data());
            for (auto& s : e) ev.push_back(s.data());
            av.push_back(nullptr);
            ev.push_back(nullptr);
            ::execve(av[0], av.data(), ev.data());
            ::_exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    pid_t pid() const { return pid_; }
    Outcome wait(int timeoutMs) {
        Outcome r;
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) != pid_) {
            if (SteadyClock::now() > deadline) return r;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ended_ = true;
        r.seconds = since(started_);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        r.out = slurp(dir_ + "/out");
        r.err = slurp(dir_ + "/err");
        return r;
    }

private:
    static std::string slurp(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }
    pid_t pid_ = -1;
    bool ended_ = false;
    std::string dir_;
    SteadyClock::time_point started_;
};

unsigned free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// The number after "key": in a JSON text; -1 when it is not there.
long long number_after(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\":");
    if (at == std::string::npos) return -1;
    return std::atoll(json.c_str() + at + key.size() + 3);
}

constexpr int kFrameBytes = 109;  // 2ndGen WorldSID: 54 words, a sum byte

class BusyChannel : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vantis-busy-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        env_ = {"XDG_RUNTIME_DIR=" + dir_, "PATH=/usr/bin:/bin"};
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::unique_ptr<Child> start(const std::string& model) {
        port_ = free_port();
        return std::make_unique<Child>(
            std::vector<std::string>{VANTIS_SIM_PATH, "--headless", "--listen", "127.0.0.1:" + std::to_string(port_),
                                     "--model", model},
            env_);
    }
    Outcome ctl(const std::vector<std::string>& args, const std::string& cwd = {}) {
        std::vector<std::string> argv{VANTIS_CTL_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        Child c(argv, env_, cwd);
        return c.wait(30000);
    }
    Client connect() {
        const auto deadline = SteadyClock::now() + std::chrono::seconds(20);
        for (;;) {
            Client c(port_);
            if (c.ok() || SteadyClock::now() > deadline) return c;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // Connected, 2ndGen WorldSID recorded (a window of -179900..100 ms), the
    // download switch as asked.
    Client recorded(bool paced) {
        Client c = connect();
        EXPECT_TRUE(c.ok());
        EXPECT_EQ(ctl({"wait", "ready"}).status, 0);
        c.command("WHO_ARE_YOU#");
        EXPECT_EQ(c.line(20000), reply("WHO_ARE_YOU#WorldSID Male#"));
        c.command("ERASE#");
        EXPECT_EQ(c.line(20000), "ERASE#0#230\r\n");
        c.command("ARM#100#0#");
        EXPECT_EQ(c.line(), reply("ARM#100#0#"));
        EXPECT_EQ(ctl({"wait", "idle"}).status, 0);
        if (paced) {
            EXPECT_EQ(ctl({"speed", "normal"}).status, 0);
        }
        return c;
    }
    // The frames of a download, each checked for its length.
    static std::vector<std::string> frames(Client& c, long long count) {
        std::vector<std::string> out;
        for (long long i = 0; i < count; ++i) {
            std::string f = c.read(kFrameBytes, 20000);
            if (f.size() != static_cast<std::size_t>(kFrameBytes)) break;
            out.push_back(std::move(f));
        }
        return out;
    }
    std::string socket() const { return dir_ + "/vantis-sim/control"; }

    std::string dir_;
    std::vector<std::string> env_;
    unsigned port_ = 0;
};

}  // namespace

// 301 paced frames take about 3 s: the channel answers meanwhile and shows the
// progress; a panel verb waits for the end and then acts; one whose asker gave
// up is answered "timed out" and never carried out.
TEST_F(BusyChannel, AnswersDuringAPacedDownloadAndHoldsPanelVerbsUntilItsEnd) {
    auto sim = start("2ndGen WorldSID");
    Client c = recorded(true);
    c.command("DUMPBIN#0#30#");
    ASSERT_EQ(c.line(), reply("DUMPBIN#54#301#"));
    std::vector<std::string> got = frames(c, 3);
    ASSERT_EQ(got.size(), 3u);

    auto asked = SteadyClock::now();
    Outcome first = ctl({"state"});
    EXPECT_LT(since(asked), 1.5) << "state waited for the download";
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(has(first.out, "\"download\":{\"command\":\"DUMPBIN\",\"frames_sent\":")) << first.out;
    EXPECT_TRUE(has(first.out, ",\"frames\":301}")) << first.out;
    const long long sentFirst = number_after(first.out, "frames_sent");
    EXPECT_GE(sentFirst, 3);
    EXPECT_LT(sentFirst, 301);

    asked = SteadyClock::now();
    Outcome gaveUp = ctl({"--timeout", "0.3", "speed", "fast"});
    EXPECT_EQ(gaveUp.status, 4) << gaveUp.err;
    EXPECT_TRUE(has(gaveUp.err, "timed out after 0.3 s")) << gaveUp.err;
    EXPECT_TRUE(has(gaveUp.err, "speed not carried out")) << gaveUp.err;
    EXPECT_LT(since(asked), 1.5);

    Outcome modelRun;
    std::thread model([&] { modelRun = ctl({"--timeout", "20", "model", "3"}); });
    Outcome list = ctl({"list"});
    EXPECT_EQ(list.out, "-\t127.0.0.1:" + std::to_string(port_) + "\t2ndGen WorldSID\tconnected\n") << list.err;
    Outcome second = ctl({"state"});
    EXPECT_GT(number_after(second.out, "frames_sent"), sentFirst) << second.out;
    EXPECT_TRUE(has(second.out, "\"model\":{\"value\":10,")) << "the model changed in mid-download: " << second.out;

    std::vector<std::string> rest = frames(c, 298);
    EXPECT_EQ(rest.size(), 298u);
    for (const auto& f : rest) EXPECT_EQ(f, got[0]) << "every frame of the download is the same pattern frame";
    model.join();
    EXPECT_EQ(modelRun.status, 0) << modelRun.err;

    Outcome after = ctl({"state"});
    EXPECT_TRUE(has(after.out, "\"model\":{\"value\":3,")) << after.out;
    EXPECT_TRUE(has(after.out, "\"speed\":{\"value\":1,\"text\":\"Normal\"")) << "a request given up on acted: " << after.out;
    EXPECT_TRUE(has(after.out, "\"download\":null}")) << after.out;
    c.command("WHO_ARE_YOU#");
    EXPECT_EQ(c.line(), reply("WHO_ARE_YOU#50th 3D#"));
    EXPECT_EQ(ctl({"close"}).status, 0);
    EXPECT_EQ(sim->wait(5000).status, 0);
}

// Recorded data asked away in mid-download: the download keeps the recording to
// its last frame, and the pattern serves the next one. The file is named
// relative to the caller's folder, in Latin-1 bytes.
TEST_F(BusyChannel, ADownloadKeepsItsDataSourceFromFirstFrameToLast) {
    {
        std::ofstream csv(dir_ + "/r\xe9" "c.csv");
        csv << "time_ms";
        for (int i = 1; i <= 54; ++i) csv << ",w" << i;
        // Rising by 100 a frame: every frame of the download differs from the one before.
        for (const auto& [t, v] : {std::pair{"\n0", 1000}, std::pair{"\n30", 31000}}) {
            csv << t;
            for (int i = 1; i <= 54; ++i) csv << "," << v;
        }
        csv << "\n";
    }
    auto sim = start("2ndGen WorldSID");
    Client c = recorded(true);
    Outcome load = ctl({"data", "load", "r\xe9" "c.csv"}, dir_);
    ASSERT_EQ(load.status, 0) << load.err;
    EXPECT_TRUE(has(load.out, "\"file\":\"" + dir_ + "/r\\u00e9c.csv\"")) << load.out;

    c.command("DUMPBIN#0#30#");
    ASSERT_EQ(c.line(), reply("DUMPBIN#54#301#"));
    std::vector<std::string> got = frames(c, 5);
    ASSERT_EQ(got.size(), 5u);
    Outcome pattern;
    std::thread back([&] { pattern = ctl({"data", "pattern"}); });
    std::vector<std::string> rest = frames(c, 296);
    back.join();
    EXPECT_EQ(pattern.status, 0) << pattern.err;
    ASSERT_EQ(rest.size(), 296u);
    got.insert(got.end(), rest.begin(), rest.end());
    for (std::size_t i = 1; i < got.size(); ++i)
        EXPECT_NE(got[i], got[i - 1]) << "frame " << i << " is not the recording's";

    c.command("DUMPBIN#0#0#");
    ASSERT_EQ(c.line(), reply("DUMPBIN#54#1#"));
    const std::vector<std::string> next = frames(c, 1);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_NE(next[0], got[0]) << "the pattern did not take over after the download";
    EXPECT_EQ(ctl({"close"}).status, 0);
    EXPECT_EQ(sim->wait(5000).status, 0);
}

// vantis-ctl close ends the program within a second, by the channel alone, in a
// fast download and in the erase's wait.
TEST_F(BusyChannel, CloseEndsAFastDownloadAndAnEraseWithinASecond) {
    {
        auto sim = start("2ndGen WorldSID");
        Client c = recorded(false);
        // 1.8 million frames: far longer than the test.
        c.command("DUMPBIN#-179900#100#");
        ASSERT_EQ(c.line(), reply("DUMPBIN#54#1800001#"));
        ASSERT_EQ(frames(c, 10).size(), 10u);
        std::thread reader([&] { c.closed(30000); });
        const auto asked = SteadyClock::now();
        EXPECT_EQ(ctl({"close"}).status, 0);
        const Outcome end = sim->wait(10000);
        reader.join();
        EXPECT_EQ(end.status, 0) << end.err;
        EXPECT_LT(since(asked), 1.0);
    }
    {
        auto sim = start("Polar");  // 18 erase ticks: over 5 s
        Client c = connect();
        ASSERT_EQ(ctl({"wait", "ready"}).status, 0);
        c.command("WHO_ARE_YOU#");
        ASSERT_EQ(c.line(20000), reply("WHO_ARE_YOU#Polar#"));
        c.command("ERASE#");
        ASSERT_TRUE(c.quiet(200));
        EXPECT_TRUE(has(ctl({"state"}).out, "\"wait\":\"erase\""));
        const auto asked = SteadyClock::now();
        EXPECT_EQ(ctl({"close"}).status, 0);
        EXPECT_EQ(sim->wait(10000).status, 0);
        EXPECT_LT(since(asked), 1.0);
        EXPECT_EQ(c.read(64, 1000), "") << "no reply after the close";
    }
}

// Something holds the control socket and never answers, and the lock names a
// process of ours: vantis-ctl close times out and signals nobody; list shows
// the silent instance as busy.
TEST_F(BusyChannel, VantisCtlNeverSignalsAndListsASilentInstanceAsBusy) {
    ASSERT_EQ(::mkdir((dir_ + "/vantis-sim").c_str(), 0700), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket().c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    Child bystander({"/bin/sleep", "30"}, env_);
    ASSERT_GT(bystander.pid(), 0);
    std::ofstream(socket() + ".lock") << bystander.pid() << "\nvantis-sim\n" << "localhost\n";

    const Outcome closing = ctl({"--timeout", "0.5", "close"});
    EXPECT_EQ(closing.status, 4) << closing.err;
    EXPECT_TRUE(has(closing.err, "timed out")) << closing.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int status = 0;
    EXPECT_EQ(::waitpid(bystander.pid(), &status, WNOHANG), 0) << "the process named in the lock was signalled";

    const Outcome list = ctl({"--timeout", "0.5", "list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "-\t-\t-\tbusy\n") << list.err;
    const Outcome json = ctl({"--timeout", "0.5", "list", "--json"});
    EXPECT_TRUE(has(json.out, "\"busy\":true")) << json.out;
    ::close(listener);
}

// Idle scripts cannot lock the channel: each loses its place after the idle
// time, and a newcomer is served.
class IdleClients : public Controlled {};

TEST_F(IdleClients, AreClosedSoThatANewcomerIsServed) {
    vt::SetControlIdleTimeout(1000);
    run([&] {
        std::vector<std::unique_ptr<ControlClient>> idle;
        for (int i = 0; i < 16; ++i) {
            idle.push_back(std::make_unique<ControlClient>(socket_path()));
            ASSERT_TRUE(idle.back()->ok());
        }
        EXPECT_EQ(idle[0]->ask("ping"), "ok") << "a request restarts the idle time";
        ControlClient late(socket_path());
        EXPECT_EQ(late.line(), "error too many control clients");
        for (auto& c : idle) {
            EXPECT_EQ(c->line(5000), "error closed: no request for 1 s");
            EXPECT_TRUE(c->closed(5000));
        }
        ControlClient newcomer(socket_path());
        EXPECT_EQ(newcomer.ask("ping"), "ok");
    });
    vt::SetControlIdleTimeout(5000);
}
