// vantis-replay: replays the host's side of a captured session against an
// instrument or a simulator, with the host's timing, and compares every reply
// byte for byte, the download frames included.
//
//   vantis-replay CAPTURE [--target ADDRESS[:PORT]] [--ignore COMMAND[:FIELD]]... [--report FILE]
//
// Exit status: 0 everything matches, 1 something differs, 2 a bad capture or a
// check that cannot run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "compare.h"
#include "session.h"

namespace {

using namespace vantis::replay;
using Clock = std::chrono::steady_clock;

constexpr int kOk = 0, kDiffers = 1, kBad = 2;
constexpr double kSlackSeconds = 2.0;   // beyond the capture's own wait for a reply
constexpr double kQuietSeconds = 0.3;   // after the last reply: anything more?
constexpr int kMaxReported = 20;

const char* const kUsage =
    "usage: vantis-replay CAPTURE [--target ADDRESS[:PORT]] [--ignore COMMAND[:FIELD]]... [--report FILE]\n"
    "                     [--model N|NAME] [--no-default-ignore]\n";

const char* const kHelp =
    "Replays the host's side of a captured session (pcap or pcapng, from tcpdump,\n"
    "Wireshark or vantis-sim --capture) against an instrument or a simulator,\n"
    "keeping the host's timing, and compares the replies byte for byte.\n"
    "\n"
    "  --target ADDRESS[:PORT]  replay against this instrument or simulator (port\n"
    "                           3000 by default); without it, against a headless\n"
    "                           vantis-sim started on a free loopback port with the\n"
    "                           model that the capture's WHO_ARE_YOU reply names\n"
    "  --model N|NAME           the model for that simulator, in place of the capture's\n"
    "  --ignore COMMAND[:FIELD] leave out a reply's field (counted from 1 after the\n"
    "                           word), or the whole reply; repeat or separate by commas\n"
    "  --no-default-ignore      compare the recorded window's times too (DUMPINFO\n"
    "                           after a trigger from the host or the panel)\n"
    "  --report FILE            write the report to FILE as well\n"
    "\n"
    "Exit status: 0 every reply matches, 1 some differ, 2 a bad capture or a check\n"
    "that cannot run.\n";

// The model ring's items by the text WHO_ARE_YOU answers.
const char* const kWhoAreYou[] = {nullptr,    "WorldSID", "50th Male", "50th 3D",      "5th Female",   "SIDIIs",
                                  "Polar",    "Ballistic", "50th ADJ", "WorldSID 5th", "WorldSID Male"};

[[noreturn]] void bad(const std::string& why) {
    std::fprintf(stderr, "vantis-replay: %s\n", why.c_str());
    std::exit(kBad);
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// ---- The target ----

bool splitTarget(const std::string& text, std::string& host, unsigned& port) {
    port = 3000;
    host = text;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (rest.empty()) return true;
        if (rest[0] != ':') return false;
        port = static_cast<unsigned>(std::atoi(rest.c_str() + 1));
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos && text.find(':') == colon) {
        host = text.substr(0, colon);
        port = static_cast<unsigned>(std::atoi(text.c_str() + colon + 1));
    }
    return !host.empty() && port >= 1 && port <= 65535;
}

int connectTo(const std::string& host, unsigned port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

unsigned freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        bad("cannot find a free loopback port");
    const unsigned port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// The simulator beside this program, else the one on the PATH.
std::string simulatorPath() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.rfind('/') + 1);
        if (::access((dir + "vantis-sim").c_str(), X_OK) == 0) return dir + "vantis-sim";
    }
    return "vantis-sim";
}

struct Simulator {
    pid_t pid = -1;
    ~Simulator() { stop(); }
    void stop() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

void startSimulator(Simulator& sim, const std::string& model, unsigned port) {
    const std::string program = simulatorPath();
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    const std::string name = "replay-" + std::to_string(::getpid());
    std::vector<std::string> args{program, "--headless", "--listen", listen, "--model", model, "--name", name};
    sim.pid = ::fork();
    if (sim.pid < 0) bad("cannot start " + program);
    if (sim.pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        std::_Exit(127);
    }
    const auto t0 = Clock::now();
    while (since(t0) < 15) {
        int status = 0;
        if (::waitpid(sim.pid, &status, WNOHANG) == sim.pid) {
            sim.pid = -1;
            bad(program + " ended at start (status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128) + ")");
        }
        if (const int fd = connectTo("127.0.0.1", port); fd >= 0) {
            ::close(fd);  // a probe: the simulator takes the next client once it has seen this one go
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bad(program + " did not listen on " + listen + " within 15 s");
}

// ---- One conversation, replayed ----

struct Received {
    std::string bytes;
    std::vector<std::pair<std::size_t, Clock::time_point>> arrivals;  // stream length after each read
    ReplyCounter counter;
    bool closed = false;
};

void readFor(int fd, Received& r, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const double left = std::chrono::duration<double>(end - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        const int ms = left > 0 ? static_cast<int>(left * 1000) + 1 : 0;
        if (r.closed || ::poll(&p, 1, ms) <= 0) return;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            r.closed = true;
            return;
        }
        r.bytes.append(buf, static_cast<std::size_t>(n));
        r.arrivals.emplace_back(r.bytes.size(), Clock::now());
        if (left <= 0) return;
    }
}

// The SENDCONFIG requests among the bytes sent so far, line by line as they go.
struct ConfigRequests {
    std::string partial;
    int count = 0;
    void add(const std::string& bytes) {
        partial += bytes;
        std::size_t start = 0, lf;
        while ((lf = partial.find('\n', start)) != std::string::npos) {
            const std::string line = partial.substr(start, lf + 1 - start);
            if (line.substr(0, line.find('#')).find("SENDCONFIG") != std::string::npos && checksumHolds(line)) ++count;
            start = lf + 1;
        }
        partial.erase(0, start);
        if (partial.size() > 4096) partial.clear();  // no request is that long
    }
};

// Reads until the stream holds count complete replies, or time runs out; when
// the last of them arrived.
Clock::time_point readUntil(int fd, Received& r, std::size_t count, int configRecords, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::size_t have = r.counter.count(r.bytes, configRecords);
    while (have < count && !r.closed && Clock::now() < end) {
        readFor(fd, r, std::min(0.05, std::chrono::duration<double>(end - Clock::now()).count()));
        have = r.counter.count(r.bytes, configRecords);
    }
    return r.arrivals.empty() ? Clock::now() : r.arrivals.back().second;
}

Received replay(const Conversation& conv, const std::vector<Message>& expected, const std::string& host,
                unsigned port) {
    Received r;
    const int fd = connectTo(host, port);
    if (fd < 0) bad("cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(errno));
    std::size_t serverSoFar = 0;       // in the capture, before the current piece
    double lastServerTime = conv.start;
    double lastHostTime = conv.start;
    double countReachedTime = conv.start;  // when the capture's instrument reached serverSoFar
    ConfigRequests sent;
    Clock::time_point lastSend = Clock::now();
    std::size_t within = 0;  // expected replies complete within the bytes so far (they only grow)
    const auto repliesWithin = [&](std::size_t bytes) {
        while (within < expected.size() && expected[within].kind != Message::Incomplete &&
               expected[within].offset + expected[within].bytes.size() <= bytes)
            ++within;
        return within;
    };
    for (const Piece& p : conv.pieces) {
        if (!p.fromHost) {
            serverSoFar += p.bytes.size();
            lastServerTime = countReachedTime = p.time;
            continue;
        }
        // The replies the host had when it sent this, then as long after the
        // instrument's last answer (and the host's last send) as in the capture.
        const double anchor = std::max(lastServerTime, lastHostTime);
        const double gap = std::max(0.0, p.time - anchor);
        const double allowed = std::max(0.0, countReachedTime - lastHostTime) + kSlackSeconds;
        const Clock::time_point reached =
            readUntil(fd, r, repliesWithin(serverSoFar), sent.count, allowed);
        const auto from = std::max(reached, lastSend);
        const auto due = from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(gap));
        while (Clock::now() < due) readFor(fd, r, std::chrono::duration<double>(due - Clock::now()).count());
        if (r.closed) break;
        const char* data = p.bytes.data();
        std::size_t left = p.bytes.size();
        while (left > 0) {
            const ssize_t n = ::send(fd, data, left, MSG_NOSIGNAL);
            if (n <= 0) {
                r.closed = true;
                break;
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        sent.add(p.bytes);
        lastSend = Clock::now();
        lastHostTime = p.time;
    }
    // The rest of the answers, as long as the capture took for them and a little more.
    readUntil(fd, r, repliesWithin(serverSoFar), sent.count,
              std::max(0.0, lastServerTime - lastHostTime) + kSlackSeconds);
    readFor(fd, r, kQuietSeconds);
    ::close(fd);
    return r;
}

// ---- What the capture says ----

std::string instrumentStream(const Conversation& c) {
    std::string s;
    for (const Piece& p : c.pieces)
        if (!p.fromHost) s += p.bytes;
    return s;
}

struct HostLine {
    std::string text;
    double time;
    std::size_t index;  // from 1, over the whole capture
};

// The host's requests, line by line, with the time of the piece that ended each.
std::vector<HostLine> hostLines(const Conversation& c, std::size_t& counter) {
    std::vector<HostLine> lines;
    std::string pending;
    for (const Piece& p : c.pieces) {
        if (!p.fromHost) continue;
        pending += p.bytes;
        std::size_t lf;
        while ((lf = pending.find('\n')) != std::string::npos) {
            lines.push_back({pending.substr(0, lf + 1), p.time, ++counter});
            pending.erase(0, lf + 1);
        }
        if (pending.size() > 4096) pending.clear();
    }
    if (!pending.empty()) lines.push_back({pending, c.pieces.back().time, ++counter});
    return lines;
}

int configRequests(const std::vector<HostLine>& lines) {
    int n = 0;
    for (const auto& l : lines) {
        const std::string name = l.text.substr(0, l.text.find('#'));
        if (name.find("SENDCONFIG") != std::string::npos && checksumHolds(l.text)) ++n;
    }
    return n;
}

// When each byte of the instrument's stream was captured.
class InstrumentTimes {
public:
    explicit InstrumentTimes(const Conversation& c) {
        std::size_t seen = 0;
        for (const Piece& p : c.pieces)
            if (!p.fromHost) {
                seen += p.bytes.size();
                m_ends.push_back(seen);
                m_times.push_back(p.time);
            }
        m_last = c.pieces.empty() ? 0 : c.pieces.back().time;
    }
    double of(std::size_t offset) const {
        const auto it = std::upper_bound(m_ends.begin(), m_ends.end(), offset);
        return it == m_ends.end() ? m_last : m_times[static_cast<std::size_t>(it - m_ends.begin())];
    }

private:
    std::vector<std::size_t> m_ends;
    std::vector<double> m_times;
    double m_last = 0;
};

std::string modelFromCapture(const Capture& cap) {
    for (const Conversation& c : cap.conversations)
        for (const Message& m : splitReplies(instrumentStream(c), 0)) {
            if (m.kind != Message::Line) continue;
            const auto f = fieldsOf(m.bytes);
            if (f.size() < 3 || f[0] != "WHO_ARE_YOU") continue;
            for (int i = 1; i <= 10; ++i)
                if (f[1] == kWhoAreYou[i]) return std::to_string(i);
            bad("the capture's WHO_ARE_YOU reply names \"" + shown(f[1]) + "\", which no model answers; give --model or --target");
        }
    bad("the capture holds no WHO_ARE_YOU reply to tell its model; give --model or --target");
}

}  // namespace

int main(int argc, char** argv) {
    std::string capturePath, target, reportPath, model;
    std::vector<Ignore> ignores;
    bool defaults = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vantis-replay: %s needs a value\n%s", what, kUsage);
                std::exit(kBad);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return kOk;
        } else if (a == "--target") {
            target = value("--target");
        } else if (a == "--report") {
            reportPath = value("--report");
        } else if (a == "--model") {
            model = value("--model");
        } else if (a == "--no-default-ignore") {
            defaults = false;
        } else if (a == "--ignore") {
            std::stringstream list(value("--ignore"));
            for (std::string item; std::getline(list, item, ',');) {
                Ignore rule;
                if (!parseIgnore(item, rule)) {
                    std::fprintf(stderr, "vantis-replay: bad value '%s' for --ignore: expected COMMAND[:FIELD]\n%s",
                                 item.c_str(), kUsage);
                    return kBad;
                }
                ignores.push_back(rule);
            }
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "vantis-replay: unknown option '%s'\n%s", a.c_str(), kUsage);
            return kBad;
        } else if (capturePath.empty()) {
            capturePath = a;
        } else {
            std::fprintf(stderr, "vantis-replay: unexpected argument '%s'\n%s", a.c_str(), kUsage);
            return kBad;
        }
    }
    if (capturePath.empty()) {
        std::fputs(kUsage, stderr);
        return kBad;
    }
    ::signal(SIGPIPE, SIG_IGN);

    Capture cap;
    if (std::string why; !readCapture(capturePath, 0, cap, &why)) bad(capturePath + ": " + why);
    // What the capture expects, message by message, before anything is sent.
    struct Expected {
        std::vector<Message> messages;
        std::vector<HostLine> lines;
    };
    std::vector<Expected> expected;
    std::size_t requestCounter = 0;
    for (const Conversation& c : cap.conversations) {
        Expected e;
        e.lines = hostLines(c, requestCounter);
        e.messages = splitReplies(instrumentStream(c), configRequests(e.lines));
        expected.push_back(std::move(e));
    }
    const Expected& lastConv = expected.back();
    if (!lastConv.messages.empty() && lastConv.messages.back().kind == Message::Incomplete &&
        !cap.conversations.back().hostClosed)
        bad(capturePath + ": the capture ends inside a reply (" + shown(lastConv.messages.back().bytes, 40) + ")");

    std::string host;
    unsigned port = 0;
    Simulator sim;
    std::string against;
    if (!target.empty()) {
        if (!splitTarget(target, host, port)) bad("bad value '" + target + "' for --target: expected ADDRESS[:PORT]");
        against = target;
    } else {
        if (model.empty()) model = modelFromCapture(cap);
        host = "127.0.0.1";
        port = freeLoopbackPort();
        startSimulator(sim, model, port);
        against = "a vantis-sim (model " + model + ") on " + host + ":" + std::to_string(port);
    }

    std::ostringstream report;
    report << "vantis-replay: " << capturePath << ": " << cap.conversations.size() << " conversation"
           << (cap.conversations.size() == 1 ? "" : "s") << ", " << requestCounter << " requests, against " << against
           << "\n";
    int compared = 0, differing = 0, missing = 0, extra = 0, reported = 0;
    long long frames = 0, framesDiffering = 0;
    for (std::size_t k = 0; k < cap.conversations.size(); ++k) {
        const Conversation& conv = cap.conversations[k];
        const Expected& e = expected[k];
        const Received got = replay(conv, e.messages, host, port);
        const auto gotMessages = splitReplies(got.bytes, configRequests(e.lines));
        const InstrumentTimes times(conv);
        bool triggered = false;  // a trigger from the host or the panel since the last ERASE
        std::size_t lineAt = 0;
        for (std::size_t m = 0; m < std::max(e.messages.size(), gotMessages.size()); ++m) {
            const Message* em = m < e.messages.size() ? &e.messages[m] : nullptr;
            const Message* gm = m < gotMessages.size() ? &gotMessages[m] : nullptr;
            // The request this reply answers: the host's last line before it.
            const HostLine* request = nullptr;
            if (em) {
                const double t = times.of(em->offset);
                while (lineAt < e.lines.size() && e.lines[lineAt].time <= t) {
                    const std::string& text = e.lines[lineAt].text;
                    if (text.rfind("ERASE#", 0) == 0) triggered = false;
                    if (text.rfind("T#119", 0) == 0) triggered = true;
                    ++lineAt;
                }
                if (lineAt > 0) request = &e.lines[lineAt - 1];
                if (em->kind == Message::Line && (em->bytes.rfind("TRIGGERCHECK#1#", 0) == 0)) triggered = true;
            }
            std::string diff;
            int frameDiffs = 0;
            if (em && gm) {
                std::vector<Ignore> rules = ignores;
                if (defaults && triggered) {
                    rules.push_back({"DUMPINFO", 1});
                    rules.push_back({"DUMPINFO", 2});
                }
                diff = difference(*em, *gm, rules, &frameDiffs);
                ++compared;
                if (em->kind == Message::Download) {
                    frames += em->frames;
                    framesDiffering += frameDiffs;
                }
            } else if (em) {
                diff = "no reply";
                ++missing;
            } else {
                diff = "a reply the capture does not have";
                ++extra;
            }
            if (diff.empty()) continue;
            if (em && gm) ++differing;
            if (++reported > kMaxReported) continue;
            report << "\nDIFFERENCE " << reported << ": ";
            if (request)
                report << "request " << request->index << " \"" << shown(request->text, 60) << "\" at "
                       << std::to_string(request->time).substr(0, std::to_string(request->time).find('.') + 4) << " s";
            else
                report << "before any request";
            report << "\n  expected: " << (em ? shown(em->bytes.substr(0, em->kind == Message::Download ? em->headerLength : std::string::npos)) : "(nothing)")
                   << "\n  got:      " << (gm ? shown(gm->bytes.substr(0, gm->kind == Message::Download ? gm->headerLength : std::string::npos)) : "(nothing)")
                   << "\n  first difference: " << diff << "\n";
        }
    }
    if (reported > kMaxReported) report << "\n... and " << (reported - kMaxReported) << " more differences\n";
    const bool same = differing == 0 && missing == 0 && extra == 0;
    report << "\n" << (same ? "MATCH" : "DIFFERENT") << ": " << compared << " replies compared, " << differing
           << " differ, " << missing << " missing, " << extra << " extra; " << frames << " frames compared, "
           << framesDiffering << " differ\n";
    std::fputs(report.str().c_str(), stdout);
    if (!reportPath.empty()) {
        std::ofstream out(reportPath);
        out << report.str();
        if (!out) {
            std::fprintf(stderr, "vantis-replay: cannot write %s\n", reportPath.c_str());
            return kBad;
        }
    }
    return same ? kOk : kDiffers;
}
