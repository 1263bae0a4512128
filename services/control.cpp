// The control channel's server: a local socket that only this user can reach,
// serving any number of scripts (up to a limit) one request line at a time.
//
// Requests are read and answered when the program processes events, like a
// click: inside the user-interface loop, the service loop and the waits of the
// long commands; a request that comes during a download is answered after it.
// Operator verbs go through the widgets (operator.h), so that their callbacks
// run at the same points and in the same way as a person's.
#include "control.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>

#include <QAbstractButton>
#include <QCoreApplication>
#include <mutex>

#include "controlpath.h"
#include "cvi.h"
#include "extension.h"
#include "linkfaults.h"
#include "operator.h"

namespace cvi::control {
namespace {

constexpr std::size_t kMaxLine = 1024;        // longest request, line feed excluded
constexpr std::size_t kReadChunk = 512;
constexpr qint64 kReadBufferBytes = 4096;     // beyond this the script's sends wait
constexpr qint64 kMaxUnsentBytes = 256 * 1024;  // replies not yet taken: stop reading
constexpr int kMaxClients = 16;
constexpr int kRequestsPerPass = 32;          // then the program gets its turn
constexpr int kWaitPollMs = 5;
constexpr double kDefaultWaitSeconds = 10.0;
constexpr double kMaxWaitSeconds = 24 * 3600.0;

enum class Condition { Ready, Connected, Disconnected, Idle };

struct Waiting {
    Condition condition;
    std::string name;
    QElapsedTimer since;
    qint64 limitMs;
};

struct Client {
    quint64 id = 0;
    QLocalSocket* socket = nullptr;
    std::string partial;    // the request read so far
    bool skipping = false;  // dropping the rest of an over-long request
    std::optional<Waiting> waiting;
    bool pumpPosted = false;
    bool gone = false;      // disconnected; its ending is posted
};

struct Channel {
    std::unique_ptr<QLocalServer> server;
    std::string path;
    std::string lockPath;
    int lockFd = -1;
    std::map<quint64, std::unique_ptr<Client>> clients;
    quint64 nextId = 1;
    std::unique_ptr<QTimer> waitTimer;
};

Channel& channel() {
    static Channel c;
    return c;
}

// A socket path a test chose for the next start (set from the test's thread).
struct TestSocket {
    std::mutex mutex;
    bool set = false;
    std::string path;
};

TestSocket& testSocket() {
    static TestSocket t;
    return t;
}

void warn(const std::string& text) {
    std::fprintf(stderr, "vantis-sim: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string lower(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

bool sameWord(const std::string& a, const char* b) { return b && lower(a) == lower(b); }

// A piece of the request fit to quote in an error: printable and short.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size() && i < 40; ++i)
        out += (s[i] >= 0x20 && s[i] < 0x7f && s[i] != '"') ? s[i] : '?';
    if (s.size() > 40) out += "...";
    return out + "\"";
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool parseNumber(const std::string& s, double& out) {
    if (s.empty() || s.size() > 32) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtod(s.c_str(), &end);
    return errno == 0 && end == s.c_str() + s.size() && std::isfinite(out);
}

bool parseInt(const std::string& s, int& out) {
    if (s.empty() || s.size() > 9) return false;
    for (char ch : s)
        if (ch < '0' || ch > '9') return false;
    out = std::atoi(s.c_str());
    return true;
}

std::string formatNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

const char* boolText(bool b) { return b ? "true" : "false"; }

// ---- What the panel shows ----

int panel() { return face().panel(); }

bool panelShown() {
    QWidget* root = ext::panelWidget(panel());
    return root && root->isVisible();
}

bool ready() { return ext::listeningPort() != 0 && panelShown(); }

bool holds(Condition c) {
    switch (c) {
        case Condition::Ready: return ready();
        case Condition::Connected: return face().client() != 0;
        case Condition::Disconnected: return face().client() == 0;
        case Condition::Idle: return face().idle();
    }
    return false;
}

std::string textOf(int id) {
    char text[1024] = "";
    GetCtrlVal(panel(), id, text, sizeof text);
    return text;
}

std::string describe(int id) {
    const Face& f = face();
    ext::Kind kind{};
    QWidget* w = ext::widgetOf(panel(), id);
    if (ext::controlKind(panel(), id, &kind) < 0 || !w) return "null";
    std::string out = "{";
    int value = 0;
    switch (kind) {
        case ext::Kind::Ring:
            GetCtrlVal(panel(), id, &value);
            out += "\"value\":" + std::to_string(value) + ",\"text\":" + jsonString(textOf(id)) + ",";
            break;
        case ext::Kind::Led:
            GetCtrlVal(panel(), id, &value);
            out += std::string("\"value\":") + (value ? "1" : "0") + ",";
            break;
        case ext::Kind::Switch: {
            const bool right = static_cast<QAbstractButton*>(w)->isChecked();
            char text[64] = "";
            const bool textValued = GetCtrlVal(panel(), id, text, sizeof text) == 0;
            out += "\"value\":";
            out += textValued ? jsonString(text) : std::string(right ? "1" : "0");
            const char* const* texts = id == f.speedSwitch       ? f.speedTexts
                                       : id == f.directionSwitch ? f.directionTexts
                                                                 : nullptr;
            if (texts) out += std::string(",\"text\":") + jsonString(texts[right ? 1 : 0]);
            out += ",";
            break;
        }
        case ext::Kind::String:
            out += "\"text\":" + jsonString(textOf(id)) + ",";
            break;
        case ext::Kind::Button:
            out += "\"text\":" + jsonString(static_cast<QAbstractButton*>(w)->text().remove(QLatin1Char('&')).toLatin1().toStdString()) + ",";
            break;
        default:
            break;
    }
    out += std::string("\"visible\":") + boolText(!w->isHidden()) + ",\"dimmed\":" + boolText(!w->isEnabled()) + "}";
    return out;
}

std::string stateJson() {
    const Face& f = face();
    std::string out = "{\"ready\":";
    out += boolText(ready());
    out += ",\"tcp_port\":" + std::to_string(ext::listeningPort());
    out += ",\"time_scale\":" + formatNumber(ext::timeScale());
    out += ",\"controls\":{";
    for (int i = 0; i < f.reportedCount; ++i) {
        if (i) out += ",";
        out += jsonString(f.reported[i].name) + ":" + describe(f.reported[i].control);
    }
    out += "},\"instrument\":" + f.instrument();
    out += ",\"faults\":[";
    const auto faults = linkfaults::pending();
    for (std::size_t i = 0; i < faults.size(); ++i) out += (i ? ",\"" : "\"") + std::string(linkfaults::name(faults[i])) + "\"";
    out += "]}";
    return out;
}

// ---- Verbs ----

std::string refusal(int rc, const std::string& what) {
    switch (rc) {
        case 0: return "ok";
        case UIEGeneral: return "error refused: " + what + " is hidden or dimmed";
        case UIEBadValue: return "error refused: " + what + " has no such item";
        default: return "error the panel is not loaded";
    }
}

std::string chooseModel(const std::string& arg) {
    const Face& f = face();
    if (arg.empty()) return "error model needs a value: 0..10, none or an item's text";
    int value = -1;
    if (!parseInt(arg, value)) {
        std::string want = lower(arg);
        if (want.size() >= 2 && want.front() == '"' && want.back() == '"') want = want.substr(1, want.size() - 2);
        if (want == "none") value = 0;
        for (const auto& [v, text] : op::RingItems(panel(), f.modelRing))
            if (lower(text) == want) value = v;
    }
    bool known = false;
    for (const auto& [v, text] : op::RingItems(panel(), f.modelRing)) known = known || v == value;
    if (!known) return "error bad value " + quoted(arg) + " for model: expected 0..10, none or an item's text";
    return refusal(op::ChooseRingItem(panel(), f.modelRing, value), "the model ring");
}

std::string setSwitch(const char* verb, int id, const char* const texts[2], const std::string& arg) {
    int want = -1;
    for (int i = 0; i < 2; ++i)
        if (sameWord(arg, texts[i])) want = i;
    if (want < 0)
        return std::string("error bad value ") + quoted(arg) + " for " + verb + ": expected " + lower(texts[0]) + " or " +
               lower(texts[1]);
    ext::Kind kind{};
    auto* sw = qobject_cast<QAbstractButton*>(ext::widgetOf(panel(), id));
    if (!sw || ext::controlKind(panel(), id, &kind) < 0 || kind != ext::Kind::Switch)
        return "error the panel is not loaded";
    if (sw->isHidden() || !sw->isEnabled()) return refusal(UIEGeneral, verb);
    if (static_cast<int>(sw->isChecked()) == want) return "ok";  // already there: nothing to move
    return refusal(op::FlipSwitch(panel(), id), verb);
}

std::string setBattery(const std::string& arg) {
    const Face& f = face();
    for (const Item& item : f.batteryItems)
        if (sameWord(arg, item.word)) return refusal(op::ChooseRingItem(panel(), f.batteryRing, item.value), "BATTERY");
    return "error bad value " + quoted(arg) + " for battery: expected ok, not-found or discharged";
}

std::string traffic(const std::string& arg) {
    const Face& f = face();
    if (arg.empty())
        return "ok {\"receive\":" + jsonString(op::TextBoxContents(panel(), f.receiveBox)) +
               ",\"transmit\":" + jsonString(op::TextBoxContents(panel(), f.transmitBox)) + "}";
    if (arg == "receive") return "ok " + jsonString(op::TextBoxContents(panel(), f.receiveBox));
    if (arg == "transmit") return "ok " + jsonString(op::TextBoxContents(panel(), f.transmitBox));
    return "error bad value " + quoted(arg) + " for traffic: expected receive or transmit";
}

std::string fault(const std::string& arg) {
    if (arg == "disconnect") return linkfaults::disconnect() ? "ok" : "error no client is connected";
    if (arg == "drop-next" || arg == "corrupt-next") {
        const auto which = arg == "drop-next" ? linkfaults::Fault::DropNext : linkfaults::Fault::CorruptNext;
        return linkfaults::arm(which) ? "ok" : "error too many faults are waiting; fault clear drops them";
    }
    if (arg == "clear") {
        linkfaults::clear();
        return "ok";
    }
    return "error bad value " + quoted(arg) + " for fault: expected disconnect, drop-next, corrupt-next or clear";
}

std::string timeScaleVerb(const std::string& arg) {
    if (arg.empty()) return "ok " + formatNumber(ext::timeScale());
    double k = 0;
    if (!parseNumber(arg, k) || !ext::setTimeScale(k))
        return "error bad value " + quoted(arg) + " for time-scale: expected a number from 0.1 to 100";
    return "ok";
}

// A wait either answers at once or leaves the client waiting.
std::string startWait(Client& c, const std::string& arg) {
    const auto space = arg.find(' ');
    const std::string what = arg.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : trim(arg.substr(space));
    Condition cond;
    if (what == "ready") cond = Condition::Ready;
    else if (what == "connected") cond = Condition::Connected;
    else if (what == "disconnected") cond = Condition::Disconnected;
    else if (what == "idle") cond = Condition::Idle;
    else return "error bad value " + quoted(what) + " for wait: expected ready, connected, disconnected or idle";
    double seconds = kDefaultWaitSeconds;
    if (!rest.empty() && (!parseNumber(rest, seconds) || seconds < 0 || seconds > kMaxWaitSeconds))
        return "error bad time-out " + quoted(rest) + ": expected seconds from 0 to 86400";
    if (holds(cond)) return "ok";
    Waiting w{cond, what, {}, static_cast<qint64>(std::llround(seconds * 1000.0))};
    w.since.start();
    c.waiting = std::move(w);
    if (!channel().waitTimer->isActive()) channel().waitTimer->start();
    return {};
}

std::string handle(Client& c, const std::string& request) {
    const std::string line = trim(request);
    const auto space = line.find(' ');
    const std::string verb = lower(line.substr(0, space));
    const std::string arg = space == std::string::npos ? std::string() : trim(line.substr(space));
    const std::string argLower = lower(arg);
    const Face& f = face();
    if (verb.empty()) return "error empty request";
    if (verb == "ping") return "ok";
    if (verb == "model") return chooseModel(arg);
    if (verb == "trigger") return refusal(op::PressButton(panel(), f.triggerButton), "TRIGGER");
    if (verb == "speed") return setSwitch("speed", f.speedSwitch, f.speedTexts, argLower);
    if (verb == "direction") return setSwitch("direction", f.directionSwitch, f.directionTexts, argLower);
    if (verb == "battery") return setBattery(argLower);
    if (verb == "clear") return refusal(op::PressButton(panel(), f.clearButton), "CLEAR");
    if (verb == "close") return op::ClosePanel(panel()) == 0 ? "ok" : "error the panel is not loaded";
    if (verb == "state") return "ok " + stateJson();
    if (verb == "traffic") return traffic(argLower);
    if (verb == "wait") return startWait(c, argLower);
    if (verb == "fault") return fault(argLower);
    if (verb == "time-scale") return timeScaleVerb(arg);
    return "error unknown verb " + quoted(verb) +
           " (model, trigger, speed, direction, battery, clear, close, state, traffic, wait, fault, time-scale, ping)";
}

// ---- Clients ----

Client* findClient(quint64 id) {
    auto& cs = channel().clients;
    const auto it = cs.find(id);
    return it == cs.end() ? nullptr : it->second.get();
}

void send(Client& c, const std::string& text) {
    if (c.socket->state() != QLocalSocket::ConnectedState) return;
    std::string line = text;
    line += '\n';
    c.socket->write(line.data(), static_cast<qint64>(line.size()));
    c.socket->flush();
}

void drop(quint64 id) {
    auto& cs = channel().clients;
    const auto it = cs.find(id);
    if (it == cs.end()) return;
    QLocalSocket* s = it->second->socket;
    QObject::disconnect(s, nullptr, nullptr, nullptr);
    s->abort();
    s->deleteLater();
    cs.erase(it);
}

void schedulePump(quint64 id);

std::string tooLong() { return "error request longer than " + std::to_string(kMaxLine) + " bytes; dropped"; }

// Takes the next whole request out of what the client sent, reading as needed.
// An over-long request is answered with an error and dropped up to its end.
bool nextRequest(Client& c, std::string& request) {
    for (;;) {
        const auto lf = c.partial.find('\n');
        if (lf != std::string::npos) {
            const bool skipped = c.skipping;
            request = c.partial.substr(0, lf);
            c.partial.erase(0, lf + 1);
            c.skipping = false;
            if (skipped) continue;
            if (request.size() > kMaxLine) {
                send(c, tooLong());
                continue;
            }
            if (!request.empty() && request.back() == '\r') request.pop_back();
            return true;
        }
        if (c.partial.size() > kMaxLine) {
            if (!c.skipping) send(c, tooLong());
            c.skipping = true;
            c.partial.clear();
        }
        if (!c.socket->isOpen() || c.socket->bytesAvailable() <= 0) return false;
        char chunk[kReadChunk];
        const qint64 n = c.socket->read(chunk, sizeof chunk);
        if (n <= 0) return false;
        c.partial.append(chunk, static_cast<std::size_t>(n));
    }
}

void pump(quint64 id) {
    Client* c = findClient(id);
    if (!c) return;
    c->pumpPosted = false;
    if (c->gone) return;
    for (int handled = 0; handled < kRequestsPerPass; ++handled) {
        // Replies go out in order: nothing after a wait is read until it ends, and
        // a script that does not read its replies is not read from either.
        if (c->waiting || c->socket->bytesToWrite() > kMaxUnsentBytes) return;
        std::string request;
        if (!nextRequest(*c, request)) return;
        const std::string answer = handle(*c, request);
        c = findClient(id);
        if (!c || c->gone) return;
        if (!answer.empty()) send(*c, answer);
    }
    schedulePump(id);  // more may wait: after the program's next event pass
}

// A script that sent its requests and went at once still has them carried out;
// a request it did not finish is dropped.
void finish(quint64 id) {
    for (int handled = 0; handled < kRequestsPerPass; ++handled) {
        Client* c = findClient(id);
        std::string request;
        if (!c || !nextRequest(*c, request)) break;
        handle(*c, request);
        if (Client* again = findClient(id)) again->waiting.reset();
    }
    drop(id);
}

void schedulePump(quint64 id) {
    Client* c = findClient(id);
    if (!c || c->pumpPosted) return;
    c->pumpPosted = true;
    QTimer::singleShot(0, c->socket, [id] { pump(id); });
}

void checkWaits() {
    bool any = false;
    std::vector<quint64> ids;
    for (auto& [id, c] : channel().clients) ids.push_back(id);
    for (quint64 id : ids) {
        Client* c = findClient(id);
        if (!c || !c->waiting) continue;
        if (holds(c->waiting->condition)) {
            c->waiting.reset();
            send(*c, "ok");
            schedulePump(id);
        } else if (c->waiting->since.elapsed() >= c->waiting->limitMs) {
            const std::string what = c->waiting->name;
            const double seconds = static_cast<double>(c->waiting->limitMs) / 1000.0;
            c->waiting.reset();
            send(*c, "error timed out after " + formatNumber(seconds) + " s waiting for " + what);
            schedulePump(id);
        } else {
            any = true;
        }
    }
    auto& timer = channel().waitTimer;
    if (any && !timer->isActive()) timer->start();
    if (!any) timer->stop();
}

void accept() {
    auto& ch = channel();
    while (ch.server && ch.server->hasPendingConnections()) {
        QLocalSocket* s = ch.server->nextPendingConnection();
        if (!s) break;
        s->setParent(nullptr);
        if (static_cast<int>(ch.clients.size()) >= kMaxClients) {
            s->write("error too many control clients\n");
            s->flush();
            s->disconnectFromServer();
            s->deleteLater();
            continue;
        }
        s->setReadBufferSize(kReadBufferBytes);
        auto c = std::make_unique<Client>();
        const quint64 id = ch.nextId++;
        c->id = id;
        c->socket = s;
        QObject::connect(s, &QLocalSocket::readyRead, s, [id] { pump(id); });
        QObject::connect(s, &QLocalSocket::bytesWritten, s, [id] { schedulePump(id); });
        // Not at once: the signal may come from inside a read of this very client.
        QObject::connect(s, &QLocalSocket::disconnected, s, [id] {
            if (Client* c = findClient(id)) c->gone = true;
            QMetaObject::invokeMethod(qApp, [id] { finish(id); }, Qt::QueuedConnection);
        });
        ch.clients.emplace(id, std::move(c));
        schedulePump(id);
    }
}

// The folder of the default socket must be this user's alone.
bool ownFolder(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        warn("cannot create " + dir + ": " + std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
        warn(dir + " is not a folder of this user's alone");
        return false;
    }
    return true;
}

// True when a simulator answers on the socket at path.
bool answers(const std::string& path) {
    QLocalSocket probe;
    probe.connectToServer(QString::fromLocal8Bit(path.c_str()));
    const bool live = probe.waitForConnected(1000);
    probe.abort();
    return live;
}

void release() {
    auto& ch = channel();
    if (ch.lockFd >= 0) {
        ::unlink(ch.lockPath.c_str());
        ::close(ch.lockFd);
    }
    ch.lockFd = -1;
    ch.lockPath.clear();
}

}  // namespace

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto u = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (u < 0x20 || u >= 0x7f) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", u);
                    out += esc;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

void start() {
    auto& ch = channel();
    if (ch.server) return;
    std::string path;
    {
        auto& t = testSocket();
        std::lock_guard lock(t.mutex);
        if (t.set) {
            if (t.path.empty()) return;  // a test that wants no channel
            path = t.path;
        }
    }
    if (path.empty()) {
        path = vantis::controlSocketPath();
        if (path == vantis::controlDirectory() + "/control" && !ownFolder(vantis::controlDirectory())) return;
    }
    // One simulator per socket: the lock is held while the simulator lives and
    // goes with it, however it ends.
    const std::string lockPath = path + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        warn("control channel off: cannot open " + lockPath + ": " + std::strerror(errno));
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        warn("control channel off: another simulator is using " + path);
        return;
    }
    ch.lockFd = fd;
    ch.lockPath = lockPath;
    // A socket left behind by a simulator that crashed is taken over, once it is
    // clear that nothing answers on it; anything else at the path is left alone.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) {
            warn("control channel off: " + path + " is in the way");
            return release();
        }
        if (answers(path)) {
            warn("control channel off: another simulator answers on " + path);
            return release();
        }
        ::unlink(path.c_str());
    }
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->setMaxPendingConnections(kMaxClients);
    if (!server->listen(QString::fromLocal8Bit(path.c_str()))) {
        warn("control channel off: cannot listen on " + path + ": " + server->errorString().toStdString());
        return release();
    }
    ::chmod(path.c_str(), 0600);  // owner only, whatever the folder allows
    QObject::connect(server.get(), &QLocalServer::newConnection, server.get(), [] { accept(); });
    ch.server = std::move(server);
    ch.path = path;
    ch.waitTimer = std::make_unique<QTimer>();
    ch.waitTimer->setInterval(kWaitPollMs);
    QObject::connect(ch.waitTimer.get(), &QTimer::timeout, [] { checkWaits(); });
}

void stop() {
    auto& ch = channel();
    for (auto& [id, c] : ch.clients) {
        QObject::disconnect(c->socket, nullptr, nullptr, nullptr);
        c->socket->flush();
        c->socket->abort();
        delete c->socket;
    }
    ch.clients.clear();
    ch.waitTimer.reset();
    if (ch.server) ch.server->close();  // removes the socket
    ch.server.reset();
    ch.path.clear();
    release();
}

std::string socketPath() { return channel().path; }

void setSocketForTests(bool set, const std::string& path) {
    auto& t = testSocket();
    std::lock_guard lock(t.mutex);
    t.set = set;
    t.path = path;
}

}  // namespace cvi::control
