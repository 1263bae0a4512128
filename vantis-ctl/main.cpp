// vantis-ctl: drives a running Vantis simulator through its control channel.
// One request per run; the reply's data goes to stdout, a failure to stderr as
// one line with a non-zero status (docs/control.md).
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "controlpath.h"

namespace {

enum Status { kOk = 0, kRefused = 1, kUsage = 2, kNoSimulator = 3, kTimedOut = 4 };

using SteadyClock = std::chrono::steady_clock;

const char* const kHelp =
    "usage: vantis-ctl [--timeout SECONDS] [--socket PATH] VERB [ARGS]\n"
    "  model N|NAME            choose in the model ring (0..10, none, or the item's text)\n"
    "  trigger                 press TRIGGER\n"
    "  speed fast|normal       set the download-speed switch\n"
    "  direction left|right    set the direction switch\n"
    "  battery ok|not-found|discharged\n"
    "  clear                   press CLEAR\n"
    "  close                   close the window (the simulator ends)\n"
    "  state                   the panel and the instrument as one JSON object\n"
    "  traffic [receive|transmit]\n"
    "  wait ready|connected|disconnected|idle\n"
    "  fault disconnect|drop-next|corrupt-next|clear\n"
    "  time-scale [K]          run the simulator's clock K times as fast (0.1 to 100)\n"
    "The time-out (default 10 s) bounds the whole request, and a wait.\n";

[[noreturn]] void fail(int status, const std::string& message) {
    std::fprintf(stderr, "vantis-ctl: %s\n", message.c_str());
    std::exit(status);
}

double secondsLeft(SteadyClock::time_point deadline) {
    return std::chrono::duration<double>(deadline - SteadyClock::now()).count();
}

// Connects to the socket; -1 with errno set when nothing answers there.
int connectTo(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

void sendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(kNoSimulator, "the simulator closed the control channel");
        done += static_cast<std::size_t>(n);
    }
}

// One reply line, without its line feed.
std::string readLine(int fd, SteadyClock::time_point deadline, const std::string& what) {
    std::string line;
    for (;;) {
        const double left = secondsLeft(deadline);
        if (left <= 0) fail(kTimedOut, "timed out waiting for the simulator to answer " + what);
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::ceil(left * 1000.0)));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail(kNoSimulator, "the simulator closed the control channel before answering " + what);
        line.append(buf, static_cast<std::size_t>(n));
        const auto lf = line.find('\n');
        if (lf != std::string::npos) return line.substr(0, lf);
    }
}

// The text of a JSON string (the traffic boxes hold Latin-1 bytes).
bool decodeJsonString(const std::string& json, std::string& out) {
    if (json.size() < 2 || json.front() != '"' || json.back() != '"') return false;
    for (std::size_t i = 1; i + 1 < json.size(); ++i) {
        char ch = json[i];
        if (ch != '\\') {
            out += ch;
            continue;
        }
        if (++i + 1 >= json.size() + 1) return false;
        switch (json[i]) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case '/': out += '/'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'u': {
                if (i + 4 >= json.size()) return false;
                const unsigned long code = std::strtoul(json.substr(i + 1, 4).c_str(), nullptr, 16);
                out += code < 0x100 ? static_cast<char>(code) : '?';
                i += 4;
                break;
            }
            default: return false;
        }
    }
    return true;
}

bool knownVerb(const std::string& verb) {
    static const char* const verbs[] = {"model", "trigger", "speed", "direction", "battery", "clear", "close",
                                        "state", "traffic", "wait", "fault", "time-scale", "ping"};
    for (const char* v : verbs)
        if (verb == v) return true;
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::signal(SIGPIPE, SIG_IGN);
    double timeout = 10.0;
    std::string path = vantis::controlSocketPath();
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::string value;
        if (a == "--timeout" || a == "--socket") {
            if (i + 1 >= argc) fail(kUsage, a + " needs a value");
            value = argv[++i];
        } else if (a.rfind("--timeout=", 0) == 0 || a.rfind("--socket=", 0) == 0) {
            value = a.substr(a.find('=') + 1);
        } else if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return kOk;
        } else {
            words.push_back(a);
            continue;
        }
        if (a.rfind("--timeout", 0) == 0) {
            char* end = nullptr;
            timeout = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(timeout >= 0) || timeout > 86400)
                fail(kUsage, "bad time-out \"" + value + "\": expected seconds from 0 to 86400");
        } else {
            path = value;
        }
    }
    if (words.empty()) fail(kUsage, "no verb given (vantis-ctl --help lists them)");
    const std::string verb = words[0];
    if (!knownVerb(verb)) fail(kUsage, "unknown verb \"" + verb + "\" (vantis-ctl --help lists them)");
    if (verb == "wait" && words.size() != 2) fail(kUsage, "wait needs one of ready, connected, disconnected, idle");
    std::string request;
    for (const auto& w : words) {
        if (w.find('\n') != std::string::npos) fail(kUsage, "a request cannot hold a line feed");
        request += (request.empty() ? "" : " ") + w;
    }

    const auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                   std::chrono::duration<double>(timeout));
    const bool waitReady = verb == "wait" && words.size() > 1 && words[1] == "ready";
    int fd = connectTo(path);
    // A simulator that is still starting has no socket yet: wait ready keeps trying.
    while (fd < 0 && waitReady && secondsLeft(deadline) > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        fd = connectTo(path);
    }
    if (fd < 0) {
        if (waitReady) fail(kTimedOut, "timed out: no simulator answered on " + path);
        fail(kNoSimulator, "no simulator running (nothing answers on " + path + ": " + std::strerror(errno) + ")");
    }

    auto replyDeadline = deadline;
    if (verb == "wait") {
        // The simulator times the wait itself; allow it a moment to say so.
        char left[32];
        std::snprintf(left, sizeof left, "%.3f", std::max(0.0, secondsLeft(deadline)));
        request += std::string(" ") + left;
        replyDeadline += std::chrono::seconds(2);
    }
    sendAll(fd, request + "\n");
    const std::string reply = readLine(fd, replyDeadline, "\"" + request + "\"");
    ::close(fd);

    if (reply.rfind("error timed out", 0) == 0) {
        // Said in the caller's own terms: the simulator was given what was left.
        char text[64];
        std::snprintf(text, sizeof text, "timed out after %g s waiting for ", timeout);
        fail(kTimedOut, text + words[1]);
    }
    if (reply.rfind("error", 0) == 0) fail(kRefused, reply.size() > 6 ? reply.substr(6) : "refused");
    if (reply != "ok" && reply.rfind("ok ", 0) != 0) fail(kRefused, "unexpected reply: " + reply);
    if (reply.size() <= 3) return kOk;
    const std::string data = reply.substr(3);
    if (verb == "traffic" && words.size() > 1) {
        std::string text;
        if (!decodeJsonString(data, text)) fail(kRefused, "unexpected reply: " + reply);
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        std::printf("%s\n", data.c_str());
    }
    return kOk;
}
