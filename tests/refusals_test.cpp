// Bad input from outside: files that are not what they seem, files that change
// while they are read, names that collide, and close signals while the program
// starts. Each must get a short, clear refusal and leave nothing broken.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "control_client.h"
#include "program.h"
#include "recording.h"

namespace {

namespace rec = cvi::recording;
using testprocess::Ended;
using testprocess::Program;

// One line of plain printable ASCII, at most `limit` characters.
::testing::AssertionResult shortAsciiLine(const std::string& s, std::size_t limit = rec::kMaxErrorChars) {
    if (s.size() > limit) return ::testing::AssertionFailure() << s.size() << " characters: " << s.substr(0, 80);
    for (unsigned char c : s)
        if (c < 0x20 || c >= 0x7f) return ::testing::AssertionFailure() << "byte " << int(c) << " in " << s;
    return ::testing::AssertionSuccess();
}

std::string header(int columns) {
    std::string h = "time_ms";
    for (int i = 0; i < columns; ++i) h += ",c" + std::to_string(i);
    return h + "\n";
}

std::string rows(int columns, int count, double step = 0.1) {
    std::string out;
    for (int r = 0; r < count; ++r) {
        out += std::to_string(r * step);
        for (int c = 0; c < columns; ++c) out += "," + std::to_string((r * 7 + c * 131) % 65536);
        out += "\n";
    }
    return out;
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A large valid file, quick to write: rows 0.1 ms apart, the same values in each.
void write_big(const std::string& path, int columns, int count) {
    std::ofstream f(path, std::ios::binary);
    f << header(columns);
    std::string values = rows(columns, 1);
    values = values.substr(values.find(','));
    for (int r = 0; r < count; ++r) f << r / 10 << '.' << r % 10 << values;
}

// A folder of the test's own, removed after it.
class TempDir {
public:
    TempDir() {
        char dir[] = "/tmp/vantis-refusals-XXXXXX";
        if (::mkdtemp(dir)) path_ = dir;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string parseError(const std::string& path, const std::function<bool(std::size_t)>& goOn = {}) {
    std::string error;
    const auto r = rec::parse(path, &error, goOn);
    return r ? "parsed" : error;
}

}  // namespace

TEST(RecordingFile, OnlyRegularFilesAreReadAndEveryOtherKindIsNamedAtOnce) {
    const TempDir dir;
    const std::string fifo = dir / "fifo.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // No writer ever opens the FIFO: a loader that opened it as a file would wait here for good.
    EXPECT_EQ(parseError(fifo), fifo + ": not a regular file: a FIFO");
    EXPECT_EQ(parseError("/dev/zero"), "/dev/zero: not a regular file: a character device");
    EXPECT_EQ(parseError(dir.path()), dir.path() + ": not a regular file: a directory");
    // The system's files say they are empty, and are not.
    const std::string status = parseError("/proc/self/status");
    EXPECT_NE(status.find("line 1, column 1: the first column must be time_ms, not \"Name:\\t"), std::string::npos)
        << status;
    write_file(dir / "empty.csv", "");
    EXPECT_EQ(parseError(dir / "empty.csv"), dir / "empty.csv" + ": the file is empty");
    EXPECT_EQ(parseError(dir / "none.csv"), "cannot open " + (dir / "none.csv") + ": No such file or directory");
}

TEST(RecordingFile, SizesAreCheckedAsTheyComeAndErrorsStayShortAndAscii) {
    std::string error;
    const auto refused = [&](const std::string& text, const std::string& name = "f.csv") {
        error.clear();
        EXPECT_EQ(rec::parseText(text.data(), text.size(), name, &error), nullptr);
        EXPECT_TRUE(shortAsciiLine(error));
        return error;
    };
    EXPECT_EQ(refused(header(rec::kMaxColumns + 1) + rows(rec::kMaxColumns + 1, 1)),
              "f.csv: line 1: more than 54 coordinate columns: no model's frame has more");
    EXPECT_EQ(refused(header(1) + "0," + std::string(1 << 20, '9') + "\n"), "f.csv: line 2: longer than 4096 bytes");
    EXPECT_EQ(refused(header(1) + std::string(3 << 20, '\n') + "0,1" + std::string(5000, ' ')),
              "f.csv: line 3145730: longer than 4096 bytes") << "blank lines count, an unended line too";
    std::string many = header(1);
    for (std::size_t r = 0; r <= rec::kMaxRows; ++r) many += std::to_string(r) + ",1\n";
    EXPECT_EQ(refused(many).substr(0, 40), "f.csv: line 1800003: more than 1800001 d");
    // Control and non-ASCII bytes of the file and of its name are escaped.
    EXPECT_EQ(refused(header(2) + "\x1b[2J\xe9\x01,1,2\n", "caf\xe9\n.csv"),
              "caf\\xe9\\x0a.csv: line 2, column 1: bad time \"\\u001b[2J\\u00e9\\u0001\": expected milliseconds such as -1.5");
    EXPECT_EQ(refused(header(2).insert(8, std::string(12, '\x9b')) + "0,1x,2\n"),
              "f.csv: line 2, column 2 (\\u009b\\u009b\\u009b\\u009b...): bad number \"1x\": expected an integer from 0 to 65535");
    const std::string longName = "/" + std::string(300, 'd') + "/x.csv";
    EXPECT_EQ(refused(header(2) + "0,1\n", longName).find(": line 2, column 3 (c1): missing"), 99u);

    // Read in pieces of any size, a file gives what it gives read whole.
    const std::string text = "\xEF\xBB\xBF" + header(24) + rows(24, 50) + "\r\n  \n" + rows(24, 1).insert(0, "9") + "\n";
    const auto whole = rec::parseText(text.data(), text.size(), "f.csv", &error);
    ASSERT_NE(whole, nullptr) << error;
    EXPECT_EQ(whole->rows(), 51u);
    for (std::size_t piece : {1u, 2u, 7u, 4096u}) {
        rec::Parser parser("f.csv");
        for (std::size_t at = 0; at < text.size(); at += piece)
            ASSERT_TRUE(parser.feed(text.data() + at, std::min(piece, text.size() - at))) << parser.error();
        const auto cut = parser.finish();
        ASSERT_NE(cut, nullptr) << parser.error();
        EXPECT_EQ(cut->times, whole->times) << "pieces of " << piece;
        EXPECT_EQ(cut->values, whole->values) << "pieces of " << piece;
    }
}

TEST(RecordingFile, AFileThatChangesWhileItIsReadIsRefusedAndTheDataInForceStays) {
    const TempDir dir;
    const std::string good = dir / "good.csv", big = dir / "big.csv";
    write_file(good, header(24) + rows(24, 10));
    write_file(big, header(24) + rows(24, 20000));  // several pieces
    const auto size = std::filesystem::file_size(big);
    ASSERT_EQ(rec::loadFile(good, 2), "");
    const std::string before = rec::describe();

    // Cut to half after the first piece (a mapped file would bring SIGBUS here),
    // grown, or rewritten with the same size.
    const struct {
        const char* what;
        std::function<void()> change;
    } changes[] = {
        {"truncated", [&] { ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(size / 2)), 0); }},
        {"grown", [&] { std::ofstream(big, std::ios::app) << rows(24, 3); }},
        {"rewritten", [&] {
             std::fstream f(big, std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(static_cast<std::streamoff>(size - 2));
             f << "7";
             f.close();
             const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
             ::utimensat(AT_FDCWD, big.c_str(), later, 0);
         }},
    };
    for (const auto& c : changes) {
        write_file(big, header(24) + rows(24, 20000));
        bool changed = false;
        const std::string error = rec::loadFile(big, 2, [&](std::size_t) {
            if (!changed) c.change();
            changed = true;
            return true;
        });
        EXPECT_NE(error.find(big + ": the file changed while it was read ("), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(rec::describe(), before) << c.what;
    }
    // Stopped on request: refused the same way.
    write_file(big, header(24) + rows(24, 20000));
    EXPECT_EQ(rec::loadFile(big, 2, [](std::size_t) { return false; }), big + ": the load was stopped");
    EXPECT_EQ(rec::describe(), before);
    rec::usePattern();
}

// ---- Through the control channel, with the instrument serving ----

TEST_F(Controlled, AChannelLoadLeavesTheChannelAndTheClientAnsweredAndAppliesInOneStep) {
    const TempDir dir;
    const std::string big = dir / "big.csv";
    write_big(big, 24, 800'000);
    run([&] {
        Client c = serve(2);
        ControlClient loader(socket_path());
        ASSERT_TRUE(loader.ok());
        loader.send("data load " + big + "\n");
        // While the file is read the program goes on: the channel, a second
        // load (refused, by name) and the instrument's client are all answered.
        EXPECT_EQ(ctl("ping"), "ok");
        EXPECT_EQ(ctl("data load " + big), "error data load: " + big + " is still loading");
        EXPECT_TRUE(has(ctl("data"), "\"source\":\"pattern\",\"loading\":\"" + big + "\""));
        EXPECT_EQ(ask(c, "S#"), "S#3#204\r\n");
        EXPECT_EQ(loader.line(0), "") << "the load should take longer than a ping";
        const std::string done = loader.line(60000);
        EXPECT_TRUE(has(done, "ok {\"source\":\"recording\",\"file\":\"" + big + "\",\"rows\":800000,")) << done;
        EXPECT_FALSE(has(done, "loading")) << done;
        EXPECT_FALSE(has(ctl("data"), "loading"));
        // The panel closes while a load is under way: it ends with the program.
        loader.send("data load " + big + "\n");
        EXPECT_TRUE(has(ctl("data"), "\"loading\":"));
    });
}

// ---- The real program ----

namespace {

class Refusals : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

    std::vector<std::string> env() const { return {"XDG_RUNTIME_DIR=" + dir_.path(), "PATH=/usr/bin:/bin"}; }
    std::unique_ptr<Program> sim(std::vector<std::string> args, bool limited = false) {
        args.insert(args.begin(), {"--headless", "--listen", "127.0.0.1:" + std::to_string(testprocess::free_port())});
#if defined(__SANITIZE_ADDRESS__)
        limited = false;  // the sanitizer's shadow memory alone is far beyond the limit (it checks allocations itself)
#endif
        if (!limited) return std::make_unique<Program>(VANTIS_SIM_PATH, args, env());
        // Far below what trusting a header's or a line's size would take.
        args.insert(args.begin(), {"--as=268435456", VANTIS_SIM_PATH});
        return std::make_unique<Program>("/usr/bin/prlimit", args, env());
    }
    Ended ctl(const std::vector<std::string>& args) { return Program(VANTIS_CTL_PATH, args, env()).wait(15000); }
    std::string folder(const std::string& name) const { return dir_ / ("vantis-sim/" + name); }
    bool socketUp(const std::string& name) const {
        struct stat st {};
        return ::lstat((folder(name) + "/control").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    }
    bool waitForSocket(const std::string& name) const {
        for (int i = 0; i < 2000 && !socketUp(name); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return socketUp(name);
    }
    // Its channel answers (a socket alone may be one left behind).
    bool answers(const std::string& name) {
        for (int i = 0; i < 200; ++i) {
            if (ctl({"--name", name, "ping"}).status == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    bool gone(const std::string& name) const { return !std::filesystem::exists(folder(name)); }

    TempDir dir_;
};

// The line a refused start writes first (the usage lines may follow).
std::string firstLine(const std::string& err) { return err.substr(0, err.find('\n')); }

}  // namespace

TEST_F(Refusals, FilesThatCannotServeEndTheStartWithTwoAndTheirLineUnderAMemoryLimit) {
    const std::string fifo = dir_ / "fifo.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    write_file(dir_ / "wide.csv", "time_ms," + std::string(2'000'000, ',') + std::string(100'000, '\n'));
    write_file(dir_ / "long.csv", header(24) + "0," + std::string(16 << 20, '1') + "\n");
    write_file(dir_ / "odd.csv", header(5) + rows(5, 3));
    write_file(dir_ / "polar.csv", header(12) + rows(12, 3));
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"--data", fifo}, fifo + ": not a regular file: a FIFO"},
        {{"--data", "/dev/zero"}, "/dev/zero: not a regular file: a character device"},
        {{"--data", dir_ / "wide.csv"}, dir_ / "wide.csv" + ": line 1: longer than 4096 bytes"},
        {{"--data", dir_ / "long.csv"}, dir_ / "long.csv" + ": line 2: longer than 4096 bytes"},
        {{"--data", dir_ / "odd.csv"},
         dir_ / "odd.csv" + ": 5 coordinate columns fit no model: frames have 9, 12, 18, 24 or 54 coordinate words"},
        {{"--model", "worldsid", "--data", dir_ / "polar.csv"},
         dir_ / "polar.csv" + ": line 1, column 14: missing; WorldSID frames have 54 coordinate words: time_ms and 54 columns"},
        {{"--name", "lab", "--data", dir_ / "none.csv"}, "cannot open " + (dir_ / "none.csv") + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        const Ended e = sim(c.args, true)->wait(20000);
        EXPECT_EQ(e.status, 2) << c.line << "\n" << e.err;
        EXPECT_EQ(e.err, "vantis-sim: " + c.line + "\n");
        EXPECT_TRUE(shortAsciiLine(firstLine(e.err), 220));
    }
    EXPECT_TRUE(gone("lab")) << "a failed start leaves no folder";

    // The polar file serves Polar, chosen at the start.
    auto polar = sim({"--name", "p", "--model", "polar", "--data", dir_ / "polar.csv"});
    ASSERT_TRUE(waitForSocket("p"));
    const Ended data = ctl({"--name", "p", "data"});
    EXPECT_TRUE(has(data.out, "\"source\":\"recording\"")) << data.out << data.err;
    polar->signal(SIGTERM);
    EXPECT_EQ(polar->wait(10000).status, 0);
}

TEST_F(Refusals, NamesOfTheUnnamedInstanceOrOfALiveOneAreRefusedAndAFolderGoesWithItsHolder) {
    for (const char* name : {"control", "control.lock", "a\nb"}) {
        const Ended e = sim({"--name", name})->wait(10000);
        EXPECT_EQ(e.status, 2) << name;
        EXPECT_TRUE(shortAsciiLine(firstLine(e.err))) << e.err;
        EXPECT_EQ(e.err.rfind("vantis-sim: bad value '", 0), 0u) << e.err;
        EXPECT_EQ(std::count(e.err.begin(), e.err.end(), '\n'), 3) << e.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "vantis-sim/control"));

    auto first = sim({"--name", "lab"});
    ASSERT_TRUE(waitForSocket("lab"));
    const Ended second = sim({"--name", "lab"})->wait(10000);
    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(second.err, "vantis-sim: the name lab is in use by the simulator with PID " + std::to_string(first->pid()) + "\n");
    EXPECT_EQ(ctl({"--name", "lab", "ping"}).status, 0) << "the first keeps its channel";
    // A folder left behind whose lock names a live simulator (its number reused)
    // is free all the same: its holder is gone.
    ASSERT_EQ(::mkdir(folder("old").c_str(), 0700), 0);
    std::filesystem::copy_file(folder("lab") + "/control.lock", folder("old") + "/control.lock");
    auto old = sim({"--name", "old"});
    EXPECT_TRUE(answers("old"));
    old->signal(SIGTERM);
    EXPECT_EQ(old->wait(10000).status, 0);
    EXPECT_TRUE(gone("old"));

    // A socket path the system cannot bind is refused, saying how long it may be.
    const std::string name(64, 'n');
    Program deep(VANTIS_SIM_PATH, {"--headless", "--name", name},
                 {"XDG_RUNTIME_DIR=" + dir_.path() + "/" + std::string(60, 'r'), "PATH=/usr/bin:/bin"});
    const Ended tooLong = deep.wait(10000);
    EXPECT_EQ(tooLong.status, 2);
    EXPECT_TRUE(has(tooLong.err, "bytes long; the system allows at most 107")) << tooLong.err;

    first->signal(SIGTERM);
    EXPECT_EQ(first->wait(10000).status, 0);
    EXPECT_TRUE(gone("lab"));
    // A folder left by a simulator that was killed is taken over, and goes too.
    auto killed = sim({"--name", "lab"});
    ASSERT_TRUE(waitForSocket("lab"));
    killed->signal(SIGKILL);
    killed->wait(10000);
    // Killed while Qt was placing its socket: the folder it binds in stays too.
    ASSERT_EQ(::mkdir((folder("lab") + "/.q1W2e3").c_str(), 0700), 0);
    auto next = sim({"--name", "lab"});
    ASSERT_TRUE(answers("lab"));
    EXPECT_EQ(ctl({"--name", "lab", "close"}).status, 0);
    EXPECT_EQ(next->wait(10000).status, 0);
    EXPECT_TRUE(gone("lab"));
}

TEST_F(Refusals, ALatin1FileNameLoadsAsItsBytesAndShowsEscaped) {
    const std::string file = dir_ / "caf\xe9.csv";
    write_file(file, header(24) + rows(24, 7));
    auto p = sim({"--name", "l1", "--model", "2", "--data", file});
    ASSERT_TRUE(waitForSocket("l1"));
    const Ended data = ctl({"--name", "l1", "data"});
    EXPECT_TRUE(has(data.out, "{\"source\":\"recording\",\"file\":\"" + dir_.path() + "/caf\\u00e9.csv\",\"rows\":7,"))
        << data.out << data.err;
    p->signal(SIGTERM);
    EXPECT_EQ(p->wait(10000).status, 0);
}

TEST_F(Refusals, CloseSignalsDuringTheStartUpLoadEndItWithZeroAndLeaveNothing) {
    // Big enough that reading it takes well over the moment the signal comes.
    const std::string big = dir_ / "big.csv";
    write_big(big, 54, 400'000);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP, 0}) {
        auto p = sim({"--name", "s", "--model", "1", "--data", big});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p->signal(sig ? sig : SIGTERM);
        if (!sig) {  // two, 0.2 s apart
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            p->signal(SIGTERM);
        }
        const Ended e = p->wait(20000);
        if (sig) {
            EXPECT_EQ(e.status, 0) << "signal " << sig << ": " << e.err;
        } else {
            // The second may come while the first's end is still under way (a
            // slow exit, as under a sanitizer): then it ends the program at
            // once, by the signal. Either way nothing is left.
            EXPECT_TRUE(e.status == 0 || e.status == -SIGTERM) << e.status << ": " << e.err;
        }
        EXPECT_EQ(e.err, "");
        EXPECT_TRUE(gone("s")) << "signal " << sig;
    }
}
