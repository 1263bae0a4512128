// The simulator's performance beside what the machine allows, in one table.
//
// Starts the real simulator (offscreen, under a name of its own on a free
// loopback port, its control socket in a folder of its own, so that it never
// meets a simulator the user has running), chooses models, the download speed
// and link faults through vantis-ctl, and talks to it over loopback as a client
// would. Every figure is printed beside its limit, measured in the same run:
// a minimal poll server in plain C++ that answers the same requests with the
// same bytes, and for the download the same server writing the same frames one
// write per frame with default socket options. The machine may be shared, so
// the two are measured in alternation and medians are compared.
//
//   perf_bench [--sim build/vantis-sim] [--ctl build/vantis-ctl] [--quick] [--keep-log]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "controlpath.h"

namespace {

using Clock = std::chrono::steady_clock;
unsigned g_simPort = 0;
std::string g_name;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void give_up(const std::string& what) { throw std::runtime_error(what); }

std::string request(const std::string& text) {
    unsigned sum = 0;
    for (unsigned char c : text) sum += c;
    return text + std::to_string(sum % 256) + "\n";
}

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(std::ceil(p * v.size())) - 1);
    return v[i];
}

// ---- A blocking loopback client with a read buffer ----

class Conn {
public:
    explicit Conn(unsigned port, int timeoutMs = 20000) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            give_up("cannot connect to port " + std::to_string(port));
        }
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        buf_.resize(1 << 17);
    }
    ~Conn() {
        if (fd_ >= 0) ::close(fd_);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    void send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) give_up("send failed");
            done += static_cast<std::size_t>(n);
        }
    }
    // The next line, with its line feed.
    std::string line() {
        for (;;) {
            const char* begin = buf_.data() + head_;
            const void* nl = std::memchr(begin, '\n', tail_ - head_);
            if (nl) {
                const std::size_t n = static_cast<const char*>(nl) - begin + 1;
                std::string out(begin, n);
                head_ += n;
                return out;
            }
            fill();
        }
    }
    // The next n bytes, kept in out when given.
    void take(std::size_t n, std::string* out = nullptr) {
        while (n > 0) {
            if (head_ == tail_) fill();
            const std::size_t k = std::min(n, tail_ - head_);
            if (out) out->append(buf_.data() + head_, k);
            head_ += k;
            n -= k;
        }
    }
    std::string ask(const std::string& text) {
        send(request(text));
        return line();
    }

private:
    void fill() {
        if (head_ == tail_) head_ = tail_ = 0;
        if (tail_ == buf_.size()) {
            std::memmove(buf_.data(), buf_.data() + head_, tail_ - head_);
            tail_ -= head_;
            head_ = 0;
        }
        const ssize_t n = ::recv(fd_, buf_.data() + tail_, buf_.size() - tail_, 0);
        if (n <= 0) give_up(n == 0 ? "connection closed" : "read timed out");
        tail_ += static_cast<std::size_t>(n);
    }

    int fd_ = -1;
    std::vector<char> buf_;
    std::size_t head_ = 0, tail_ = 0;
};

// A loopback port nobody listens on now (below the ephemeral range would be
// surer, but the system hands out a free one here).
unsigned free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        give_up("cannot find a free port");
    ::close(fd);
    return ntohs(a.sin_port);
}

// ---- Child processes ----

pid_t spawn(const std::vector<std::string>& args, const char* logPath) {
    const pid_t pid = ::fork();
    if (pid < 0) give_up("fork failed");
    if (pid == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const int log = ::open(logPath ? logPath : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    return pid;
}

std::string g_ctl;

void ctl(const std::vector<std::string>& verb) {
    std::vector<std::string> args{g_ctl, "--name", g_name};
    args.insert(args.end(), verb.begin(), verb.end());
    const pid_t pid = ::fork();
    if (pid < 0) give_up("fork failed");
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string all;
        for (const auto& a : args) all += a + " ";
        give_up("control command failed: " + all);
    }
}

bool wait_exit(pid_t pid, int timeoutMs) {
    for (int i = 0; i < timeoutMs / 10; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Processor time of all the process's threads, from the kernel's exact count.
double cpu_seconds(pid_t pid) {
    clockid_t clock{};
    timespec ts{};
    if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &ts) != 0) give_up("cannot read CPU time");
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double rss_mb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (f >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            f >> kb;
            return kb / 1024.0;
        }
        std::getline(f, key);
    }
    return NAN;
}

// ---- The minimal server: the limit ----

struct Script {
    std::map<std::string, std::string> replies;  // request line -> reply bytes
    std::string download;                        // request line of the download
    std::string downloadHeader;
    std::string frames;                          // every frame, back to back
    std::size_t frameSize = 0;
};

void send_blocking(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
}

// Serves one client at a time with poll: each complete line gets its recorded
// reply in one write; the download request gets its header, then one write per frame.
[[noreturn]] void minimal_server(int listener, const Script& s) {
    int client = -1;
    std::string in;
    std::vector<char> buf(1 << 16);
    for (;;) {
        pollfd p[2] = {{listener, POLLIN, 0}, {client, POLLIN, 0}};
        if (::poll(p, client >= 0 ? 2 : 1, -1) < 0) continue;
        if (p[0].revents & POLLIN) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd >= 0) {
                if (client >= 0) ::close(client);
                client = fd;
                in.clear();
            }
            continue;
        }
        if (client < 0 || !(p[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::recv(client, buf.data(), buf.size(), 0);
        if (n <= 0) {
            ::close(client);
            client = -1;
            continue;
        }
        in.append(buf.data(), static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t nl; (nl = in.find('\n', start)) != std::string::npos; start = nl + 1) {
            const std::string line = in.substr(start, nl + 1 - start);
            if (line == s.download) {
                send_blocking(client, s.downloadHeader.data(), s.downloadHeader.size());
                for (std::size_t at = 0; at < s.frames.size(); at += s.frameSize)
                    send_blocking(client, s.frames.data() + at, s.frameSize);
                continue;
            }
            const auto it = s.replies.find(line);
            const std::string& r = it != s.replies.end() ? it->second : s.replies.begin()->second;
            send_blocking(client, r.data(), r.size());
        }
        in.erase(0, start);
    }
}

// ---- Measurements ----

// Commands of the pipelined mix: identity, settings read-back and status.
const char* const kMix[] = {"WHO_ARE_YOU#",  "SERIAL_NUMBER#", "CAL_DATE#",       "FIRMWARE#",
                            "HOW_MANY_LEDS#", "SAMPLE_RATE#",  "DUMPINFO#",       "S#",
                            "GETTRIGGER#",   "TRIGGERCHECK#",  "HOW_MANY_AXES#",  "CAL_LOC#"};
constexpr std::size_t kMixCount = sizeof kMix / sizeof kMix[0];

std::vector<double> round_trips(Conn& c, int count) {
    const std::string req = request("WHO_ARE_YOU#");
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        c.send(req);
        c.line();
        us.push_back(seconds(Clock::now() - t0) * 1e6);
    }
    return us;
}

// Sends count mixed commands back to back while reading; answers per second.
double pipelined(Conn& c, int count) {
    std::string all;
    for (int i = 0; i < count; ++i) all += request(kMix[static_cast<std::size_t>(i) % kMixCount]);
    const auto t0 = Clock::now();
    std::thread writer([&] { c.send(all); });
    for (int i = 0; i < count; ++i) c.line();
    const double t = seconds(Clock::now() - t0);
    writer.join();
    return count / t;
}

// Fast download: from the request to the last byte of the last frame.
double download(Conn& c, const Script& s) {
    const auto t0 = Clock::now();
    c.send(s.download);
    if (c.line() != s.downloadHeader) give_up("unexpected download header");
    c.take(s.frames.size());
    return seconds(Clock::now() - t0);
}

struct Row {
    std::string figure, value, limit, ratio, target;
    bool met = false;
};

std::string fmt(const char* f, double v);

// 4d. The same fast download while capturing every byte into a pcap file,
// against it without: alternating runs, medians compared.
void captureCost(Conn& c, const Script& s, int runs, std::vector<Row>& rows) {
    const std::string file = "/tmp/perf_bench-capture-" + std::to_string(::getpid()) + ".pcap";
    std::vector<double> with, without;
    runs = std::max(runs, 15);  // a download is short: more of them steady the medians
    for (int i = 0; i < runs; ++i) {
        if (i % 2) without.push_back(download(c, s));
        ctl({"capture", "start", file});
        with.push_back(download(c, s));
        ctl({"capture", "stop"});
        if (!(i % 2)) without.push_back(download(c, s));
    }
    std::remove(file.c_str());
    const double wm = median(with), om = median(without);
    rows.push_back({"4d fast download while capturing to a file", fmt("%.4f s", wm), fmt("%.4f s without", om),
                    fmt("%.2f", wm / om), "<= 1.10 x without", wm / om <= 1.10});
}

// An event listener that stops reading: vantis-ctl events writing into a pipe
// that nobody reads, so that it stops reading the simulator's stream.
struct StalledListener {
    pid_t pid = -1;
    int pipeRead = -1;
    StalledListener() {
        int fds[2];
        if (::pipe(fds) != 0) give_up("pipe failed");
        pid = ::fork();
        if (pid < 0) give_up("fork failed");
        if (pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::execl(g_ctl.c_str(), g_ctl.c_str(), "--name", g_name.c_str(), "events", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(fds[1]);
        pipeRead = fds[0];
    }
    ~StalledListener() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        ::close(pipeRead);
    }
};

// 4c. The fast download of row 4 with a listener of the event stream that has
// stopped reading (its backlog full, the simulator counting what it misses),
// against the same download with no listener: a stalled listener costs the
// instrument nothing.
void stalledListenerRow(Conn& c, const Script& script, int runs, std::vector<Row>& rows) {
    std::vector<double> with, without;
    for (int i = 0; i < runs; ++i) {
        without.push_back(download(c, script));
        StalledListener stalled;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it has connected
        pipelined(c, 20000);  // 40,000 events: far more than the pipe, the socket and the backlog hold
        with.push_back(download(c, script));
    }
    const double sm = median(with), rm = median(without);
    rows.push_back({"4c fast download, an event listener stalled", fmt("%.4f s", sm), fmt("%.4f s none", rm),
                    fmt("%.2f", sm / rm), "<= 1.1 x none", sm / rm <= 1.1});
}

std::string fmt(const char* f, double v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

// ---- The control channel while a download runs ----

// Answer times (ms) of `ping` on the control channel, asked one after another
// on a connection of its own while `during` runs.
std::vector<double> pings_during(const std::function<void()>& during) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", vantis::controlSocketPath(g_name).c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) give_up("cannot reach the control channel");
    std::atomic<bool> on{true};
    std::vector<double> ms;
    std::thread asker([&] {
        char buf[256];
        while (on) {
            const auto t0 = Clock::now();
            send_blocking(fd, "ping\n", 5);
            std::string reply;
            while (reply.find('\n') == std::string::npos) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) return;
                reply.append(buf, static_cast<std::size_t>(n));
            }
            if (on) ms.push_back(seconds(Clock::now() - t0) * 1e3);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    during();
    on = false;
    asker.join();
    ::close(fd);
    return ms;
}

// The channel's answer time during fast downloads of the WorldSID window and
// during a paced download (1,001 frames of 53 B on Hybrid III 50th Male).
void channel_during_downloads(Conn& c, const Script& script, int runs, std::vector<Row>& rows) {
    ctl({"model", "1"});
    ctl({"speed", "fast"});
    c.ask("S#");
    const std::vector<double> fast = pings_during([&] {
        for (int i = 0; i < runs; ++i) download(c, script);
    });
    ctl({"model", "2"});
    ctl({"speed", "normal"});
    c.ask("S#");
    const std::vector<double> paced = pings_during([&] {
        c.send(request("DUMPBINA#0#100#"));
        c.line();
        c.take(1001 * 53);
    });
    ctl({"speed", "fast"});
    for (const auto& [what, ms] : {std::pair{"fast", &fast}, std::pair{"paced", &paced}}) {
        if (ms->empty()) give_up(std::string("no answer from the channel during a ") + what + " download");
        const double m = median(*ms), p99 = percentile(*ms, 0.99);
        rows.push_back({std::string("8 control channel answer during a ") + what + " download, median",
                        fmt("%.2f ms", m), "-", "-", "<= 50 ms", m <= 50});
        rows.push_back({"  99th percentile (" + std::to_string(ms->size()) + " pings)", fmt("%.2f ms", p99), "-", "-",
                        "<= 50 ms", p99 <= 50});
    }
}

void print(const std::vector<Row>& rows) {
    std::size_t w[5] = {6, 5, 5, 5, 6};
    for (const Row& r : rows) {
        w[0] = std::max(w[0], r.figure.size());
        w[1] = std::max(w[1], r.value.size());
        w[2] = std::max(w[2], r.limit.size());
        w[3] = std::max(w[3], r.ratio.size());
        w[4] = std::max(w[4], r.target.size());
    }
    auto line = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d,
                    const std::string& e, const std::string& f) {
        std::printf("| %-*s | %*s | %*s | %*s | %-*s | %-4s |\n", static_cast<int>(w[0]), a.c_str(),
                    static_cast<int>(w[1]), b.c_str(), static_cast<int>(w[2]), c.c_str(), static_cast<int>(w[3]),
                    d.c_str(), static_cast<int>(w[4]), e.c_str(), f.c_str());
    };
    line("figure", "value", "limit", "ratio", "target", "met");
    std::printf("|%s|%s:|%s:|%s:|%s|------|\n", std::string(w[0] + 2, '-').c_str(), std::string(w[1] + 1, '-').c_str(),
                std::string(w[2] + 1, '-').c_str(), std::string(w[3] + 1, '-').c_str(),
                std::string(w[4] + 2, '-').c_str());
    for (const Row& r : rows) line(r.figure, r.value, r.limit, r.ratio, r.target, r.met ? "yes" : "NO");
}

}  // namespace

int main(int argc, char** argv) {
    std::string sim = "build/vantis-sim";
    std::string ctlPath;
    bool quick = false;
    const char* log = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sim" && i + 1 < argc) sim = argv[++i];
        else if (a == "--ctl" && i + 1 < argc) ctlPath = argv[++i];
        else if (a == "--quick") quick = true;
        else if (a == "--keep-log") log = "perf_bench-sim.log";
        else {
            std::fprintf(stderr, "usage: %s [--sim PATH] [--ctl PATH] [--quick] [--keep-log]\n", argv[0]);
            return 2;
        }
    }
    if (ctlPath.empty()) ctlPath = sim.substr(0, sim.rfind('/') + 1) + "vantis-ctl";
    g_ctl = ctlPath;
    if (::access(sim.c_str(), X_OK) != 0 || ::access(g_ctl.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "perf_bench: %s or %s is missing; build first\n", sim.c_str(), g_ctl.c_str());
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // A name, a port and a control folder of the benchmark's own.
    g_name = "perf-bench-" + std::to_string(::getpid());
    g_simPort = free_port();
    char dir[] = "/tmp/perf_bench-XXXXXX";
    if (!::mkdtemp(dir)) {
        std::fprintf(stderr, "perf_bench: cannot make a control folder\n");
        return 2;
    }
    ::chmod(dir, 0700);
    ::setenv("XDG_RUNTIME_DIR", dir, 1);

    const int runs = quick ? 3 : 7;           // alternating runs of each comparison
    const int roundTrips = 10000;
    // Long enough for the minimal server's own rate to repeat: at a million
    // answers a second, 10,000 took 10 ms, and the starting of a thread and the
    // scheduler decided the figure.
    const int pipelinedCount = 100000;
    const double idleSeconds = quick ? 3.0 : 10.0;
    const int pacedRuns = quick ? 1 : 3;

    pid_t simPid = -1, refPid = -1;
    std::vector<Row> rows;
    int status = 0;
    try {
        simPid = spawn({sim, "--name", g_name, "--listen", "127.0.0.1:" + std::to_string(g_simPort)}, log);
        ctl({"wait", "ready"});
        ctl({"time-scale", "1"});
        ctl({"speed", "fast"});
        ctl({"model", "1"});  // WorldSID: frames of 121 bytes
        Conn c(g_simPort);
        c.ask("S#");  // served: the model is in force
        const double rssStart = rss_mb(simPid);
        long long commands = 1;

        // What the simulator answers, recorded for the minimal server.
        Script script;
        for (const char* m : kMix) script.replies[request(m)] = c.ask(m);
        commands += kMixCount;
        script.download = request("DUMPBINA#-200#1500#");
        c.send(script.download);
        script.downloadHeader = c.line();
        script.frameSize = 121;
        c.take(17001 * script.frameSize, &script.frames);
        ++commands;

        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 4) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            give_up("cannot listen for the minimal server");
        refPid = ::fork();
        if (refPid == 0) minimal_server(listener, script);
        ::close(listener);
        Conn ref(ntohs(a.sin_port));
        ref.ask("S#");

        // 1. Idle: model chosen, client connected and silent, once the panel
        // has shown what came before.
        {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const double cpu0 = cpu_seconds(simPid);
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
            const double share = (cpu_seconds(simPid) - cpu0) / seconds(Clock::now() - t0) * 100.0;
            rows.push_back({"1 idle CPU, client silent (" + fmt("%.0f", idleSeconds) + " s)", fmt("%.3f %%", share),
                            "0 %", "-", "<= 0.1 % of a core", share <= 0.1});
        }

        // 2. Round trips, one at a time, in alternating blocks.
        {
            std::vector<double> s, r;
            const int block = roundTrips / runs;
            round_trips(c, 200);  // warm both up
            round_trips(ref, 200);
            auto add = [](std::vector<double>& to, const std::vector<double>& from) {
                to.insert(to.end(), from.begin(), from.end());
            };
            for (int i = 0; i < runs; ++i) {
                if (i % 2) add(r, round_trips(ref, block));
                add(s, round_trips(c, block));
                if (!(i % 2)) add(r, round_trips(ref, block));
            }
            commands += 200 + static_cast<long long>(block) * runs;
            const double sm = median(s), rm = median(r), s99 = percentile(s, 0.99), r99 = percentile(r, 0.99);
            rows.push_back({"2 WHO_ARE_YOU round trip, median", fmt("%.1f us", sm), fmt("%.1f us", rm),
                            fmt("%.2f", sm / rm), "<= 1.5 x limit", sm / rm <= 1.5});
            rows.push_back({"  WHO_ARE_YOU round trip, 99th percentile", fmt("%.1f us", s99), fmt("%.1f us", r99),
                            fmt("%.2f", s99 / r99), "-", true});
        }

        // 3. Pipelined mixed commands (the panel echoes each).
        {
            std::vector<double> s, r;
            for (int i = 0; i < runs; ++i) {
                if (i % 2) r.push_back(pipelined(ref, pipelinedCount));
                s.push_back(pipelined(c, pipelinedCount));
                if (!(i % 2)) r.push_back(pipelined(ref, pipelinedCount));
            }
            commands += static_cast<long long>(pipelinedCount) * runs;
            const double sm = median(s), rm = median(r);
            rows.push_back({"3 pipelined, 100,000 mixed commands", fmt("%.0f /s", sm), fmt("%.0f /s", rm),
                            fmt("%.2f", sm / rm), ">= 0.5 x limit", sm / rm >= 0.5});
        }

        // 4. Fast download of the whole WorldSID window.
        {
            std::vector<double> s, r;
            for (int i = 0; i < runs; ++i) {
                if (i % 2) r.push_back(download(ref, script));
                s.push_back(download(c, script));
                if (!(i % 2)) r.push_back(download(ref, script));
            }
            commands += runs;
            const double sm = median(s), rm = median(r);
            const double mb = static_cast<double>(script.frames.size()) / 1e6;
            rows.push_back({"4 fast download, 17,001 frames of 121 B", fmt("%.4f s", sm) + fmt(" (%.0f MB/s)", mb / sm),
                            fmt("%.4f s", rm) + fmt(" (%.0f MB/s)", mb / rm), fmt("%.2f", sm / rm),
                            "<= 1.15 x limit", sm / rm <= 1.15});
            captureCost(c, script, runs, rows);
            commands += 2 * runs;
        }

        stalledListenerRow(c, script, runs, rows);
        commands += static_cast<long long>(runs) * 20002;

        // 4b. Loaded data: a file of the largest window (1,800,001 rows of 54
        // values) loads, and the same fast download from it against the pattern.
        {
            const std::string file = "/tmp/perf_bench-recording-" + std::to_string(::getpid()) + ".csv";
            {
                std::FILE* f = std::fopen(file.c_str(), "w");
                if (!f) give_up("cannot write " + file);
                std::fputs("time_ms", f);
                for (int j = 0; j < 54; ++j) std::fprintf(f, ",c%d", j + 1);
                std::fputc('\n', f);
                char line[512];
                for (long i = 0; i <= 1800000; ++i) {
                    int n = std::snprintf(line, sizeof line, "%.1f", static_cast<double>(i - 2000) / 10.0);
                    for (int j = 0; j < 54; ++j) n += std::snprintf(line + n, sizeof line - n, ",%ld", (i * 7 + j * 1013) % 65536);
                    line[n++] = '\n';
                    std::fwrite(line, 1, static_cast<std::size_t>(n), f);
                }
                std::fclose(f);
            }
            const double rssBefore = rss_mb(simPid);
            const auto t0 = Clock::now();
            ctl({"--timeout", "120", "data", "load", file});
            const double load = seconds(Clock::now() - t0);
            const double rssAfter = rss_mb(simPid);
            const double bytesPerValue = (rssAfter - rssBefore) * 1e6 / (1800001.0 * 54.0);
            rows.push_back({"4b data load, 1,800,001 rows of 54 values", fmt("%.2f s", load), "-", "-", "a few seconds",
                            load <= 5.0});
            rows.push_back({"  memory per value loaded", fmt("%.2f B", bytesPerValue), "2 B", fmt("%.2f", bytesPerValue / 2),
                            "about 2 B", bytesPerValue <= 2.5});
            // Not alternated: a load takes seconds. The data's runs first, then the pattern's.
            std::vector<double> s, r;
            for (int i = 0; i < runs; ++i) s.push_back(download(c, script));
            ctl({"data", "pattern"});
            std::remove(file.c_str());
            for (int i = 0; i < runs; ++i) r.push_back(download(c, script));
            const double sm = median(s), rm = median(r);
            rows.push_back({"  fast download from loaded data, 17,001 frames", fmt("%.4f s", sm),
                            fmt("%.4f s pattern", rm), fmt("%.2f", sm / rm), "<= 1.2 x pattern", sm / rm <= 1.2});
        }

        // 5. Paced download: 1,001 frames of 53 bytes, 90 us per byte after each.
        {
            ctl({"model", "2"});
            ctl({"speed", "normal"});
            c.ask("S#");
            const std::string req = request("DUMPBINA#0#100#");
            std::vector<double> s;
            for (int i = 0; i < pacedRuns; ++i) {
                c.send(req);
                c.line();
                const auto t0 = Clock::now();  // the first frame follows the header at once
                c.take(1001 * 53);
                s.push_back(seconds(Clock::now() - t0));
            }
            commands += pacedRuns + 1;
            ctl({"speed", "fast"});
            const double nominal = 1000 * 53 * 90e-6;  // the last frame follows 1,000 pauses
            const double sm = median(s);
            rows.push_back({"5 paced download, 1,001 frames of 53 B", fmt("%.4f s", sm), fmt("%.4f s nominal", nominal),
                            fmt("%.5f", sm / nominal), "within 0.1 %", std::fabs(sm / nominal - 1) <= 0.001});
        }

        channel_during_downloads(c, script, runs, rows);

        // 6. ERASE on Polar (19 ticks of 0.3 s) and an ARM limit of 500 ms.
        {
            ctl({"model", "6"});
            c.ask("S#");
            const double cpu0 = cpu_seconds(simPid);
            auto t0 = Clock::now();
            if (c.ask("ERASE#") != "ERASE#0#230\r\n") give_up("unexpected ERASE reply");
            const double erase = seconds(Clock::now() - t0);
            const double eraseCpu = (cpu_seconds(simPid) - cpu0) / erase * 100.0;
            const double eraseNominal = 19 * 0.3;
            const double eraseBound = 0.001 + 0.001 * eraseNominal;
            rows.push_back({"6 ERASE on Polar", fmt("%.4f s", erase), fmt("%.4f s nominal", eraseNominal),
                            fmt("%.5f", erase / eraseNominal), "within 1 ms + 0.1 %",
                            erase >= eraseNominal && erase - eraseNominal <= eraseBound});
            rows.push_back({"  CPU while ERASE waits", fmt("%.1f %%", eraseCpu), "-", "-", "-", true});

            t0 = Clock::now();
            c.ask("ARM#500#0#");
            const auto armed = Clock::now();
            // While armed, S is answered "armed, waiting"; the first other answer
            // comes from the interpreter after the wait.
            const std::string waiting = "S#1#202\r\n";
            int polls = 0;
            std::string ans;
            while ((ans = c.ask("S#")) == waiting) ++polls;
            const double arm = seconds(Clock::now() - armed);
            const double armBound = 0.001 + 0.001 * 0.5;
            rows.push_back({"  ARM limit of 500 ms", fmt("%.4f s", arm), "0.5000 s nominal", fmt("%.5f", arm / 0.5),
                            "within 1 ms + 0.1 %", arm >= 0.5 && arm - 0.5 <= armBound});
            commands += 3 + polls;

            // An ARM with no limit waits for the trigger as long as it takes.
            ctl({"model", "10"});  // erases in two ticks
            c.ask("S#");
            if (c.ask("ERASE#") != "ERASE#0#230\r\n") give_up("unexpected ERASE reply");
            c.ask("ARM#0#0#");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const double armCpu0 = cpu_seconds(simPid);
            const auto armT0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
            const double armCpu = (cpu_seconds(simPid) - armCpu0) / seconds(Clock::now() - armT0) * 100.0;
            ctl({"trigger"});
            while (c.ask("S#") != "S#3#204\r\n") ++commands;
            rows.push_back({"  CPU while ARM waits for a trigger (" + fmt("%.0f", idleSeconds) + " s)",
                            fmt("%.2f %%", armCpu), "-", "-", "<= 1 % of a core", armCpu <= 1.0});
            commands += 4;
        }

        // 8. Bandwidth: the rate a client sees over a transfer of about a second,
        // from the first byte to the last (byte i leaves i / rate after the first).
        {
            ctl({"model", "2"});
            ctl({"speed", "fast"});
            c.ask("S#");
            const struct {
                long long rate;
                const char* request;
                long long frames;
            } cases[] = {{9600, "DUMPBINA#0#20#", 201}, {100000, "DUMPBINA#0#200#", 2001}, {1000000, "DUMPBINA#-500#1500#", 20001}};
            for (const auto& k : cases) {
                ctl({"fault", "bandwidth", std::to_string(k.rate)});
                c.send(request(k.request));
                const std::string header = c.line();
                const auto first = Clock::now();
                c.take(static_cast<std::size_t>(k.frames) * 53);
                const double took = seconds(Clock::now() - first);
                ctl({"fault", "clear"});
                // The header's first byte came at the start; its last, header - 1 bytes later.
                const double bytes = static_cast<double>(k.frames * 53);
                const double rate = bytes / took;
                rows.push_back({std::string(k.rate == 9600 ? "8 " : "  ") + "bandwidth " + std::to_string(k.rate) + " B/s, " +
                                    fmt("%.0f", bytes) + " B",
                                fmt("%.0f B/s", rate), std::to_string(k.rate) + " B/s", fmt("%.4f", rate / k.rate),
                                "within 5 %", std::fabs(rate / k.rate - 1) <= 0.05});
                (void)header;
                commands += 2;
            }
        }

        // 7. Resident memory over 100,000 commands of its own (the figures
        // before count many more: the ARM limit alone is polled thousands of times).
        {
            ctl({"model", "1"});
            const double rssBefore = rss_mb(simPid);
            double rssMid = NAN;
            for (long long done = 0; done < 100000;) {
                if (std::isnan(rssMid) && done >= 10000) rssMid = rss_mb(simPid);
                pipelined(c, 10000);
                done += 10000;
            }
            const double rssEnd = rss_mb(simPid);
            rows.push_back({"7 resident memory after start-up", fmt("%.1f MB", rssStart), "-", "-", "-", true});
            rows.push_back({"  before 100,000 commands", fmt("%.1f MB", rssBefore), "-", "-", "-", true});
            rows.push_back({"  after 10,000 of them", fmt("%.1f MB", rssMid), "-", "-", "-", true});
            rows.push_back({"  after 100,000 of them", fmt("%.1f MB", rssEnd), fmt("%+.2f MB growth", rssEnd - rssBefore),
                            "-", "growth < 2 MB", rssEnd - rssBefore < 2.0});
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "perf_bench: %s\n", e.what());
        status = 1;
    }

    if (refPid > 0) {
        ::kill(refPid, SIGTERM);
        ::waitpid(refPid, nullptr, 0);
    }
    if (simPid > 0) {
        try {
            ctl({"close"});
        } catch (const std::exception&) {
        }
        if (!wait_exit(simPid, 10000)) {
            std::fprintf(stderr, "perf_bench: the simulator did not close; ending it\n");
            ::kill(simPid, SIGTERM);
            if (!wait_exit(simPid, 5000)) {
                ::kill(simPid, SIGKILL);
                ::waitpid(simPid, nullptr, 0);
            }
            status = 1;
        }
    }
    ::rmdir(dir);  // the simulator took its socket with it
    if (!rows.empty()) print(rows);
    return status;
}
