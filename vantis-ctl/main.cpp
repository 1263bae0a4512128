// vantis-ctl: drives a running Vantis simulator through its control channel.
// One request per run; the reply's data goes to stdout, a failure to stderr as
// one line with a non-zero status (docs/control.md).
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "controlpath.h"
#include "models.h"
#include "verbs.h"

namespace {

enum Status { kOk = 0, kRefused = 1, kUsage = 2, kNoSimulator = 3, kTimedOut = 4 };

using SteadyClock = std::chrono::steady_clock;

std::string help() {
    return "usage: vantis-ctl [--timeout SECONDS] [--name NAME | --socket PATH] VERB [ARGS]\n"
           "       vantis-ctl list [--json]\n" +
           vantis::verbs::usage() +
           "  list [--json]           the running simulators: name, address, model, client\n"
           "The time-out (default 10 s) bounds the whole request, and a wait; events runs\n"
           "until --until, --count or its own --timeout. --name talks to the simulator\n"
           "started with that --name; without it, to the unnamed one.\n"
           "The channel's protocol: /usr/share/doc/vantis-sim/control.md; man vantis-ctl.\n"
           "Models (for model N|NAME: the value, the short name or the ring's text):\n" +
           vantis::models::listing("  ");
}

[[noreturn]] void fail(int status, const std::string& message) {
    std::fprintf(stderr, "vantis-ctl: %s\n", message.c_str());
    std::exit(status);
}

double secondsLeft(SteadyClock::time_point deadline) {
    return std::chrono::duration<double>(deadline - SteadyClock::now()).count();
}

int msLeft(SteadyClock::time_point deadline) {
    return static_cast<int>(std::ceil(std::max(0.0, secondsLeft(deadline)) * 1000.0));
}

// Why nothing answers, in the words the system would use.
std::string reason(const QLocalSocket& socket) {
    switch (socket.error()) {
        case QLocalSocket::ServerNotFoundError: return "No such file or directory";
        case QLocalSocket::ConnectionRefusedError: return "Connection refused";
        case QLocalSocket::SocketAccessError: return "Permission denied";
        default: return socket.errorString().toStdString();
    }
}

// One reply line, without its line feed.
std::string readLine(QLocalSocket& socket, SteadyClock::time_point deadline, const std::string& what) {
    for (;;) {
        if (socket.canReadLine()) return socket.readLine().chopped(1).toStdString();
        if (socket.state() != QLocalSocket::ConnectedState)
            fail(kNoSimulator, "the simulator closed the control channel before answering " + what);
        if (secondsLeft(deadline) <= 0) fail(kTimedOut, "timed out waiting for the simulator to answer " + what);
        socket.waitForReadyRead(msLeft(deadline));
    }
}

// The text of a JSON string (the traffic boxes hold Latin-1 bytes).
bool decodeJsonString(const std::string& json, std::string& out) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson("[" + QByteArray::fromStdString(json) + "]", &error);
    if (error.error != QJsonParseError::NoError || doc.array().size() != 1 || !doc.array().at(0).isString())
        return false;
    out = doc.array().at(0).toString().toLatin1().toStdString();
    return true;
}

enum class Answer { Reply, Busy, Gone };

// One request on a connection of its own: the reply, or Busy when something
// takes the connection but does not answer in time, or Gone when nothing does.
Answer query(const QString& path, const std::string& request, int timeoutMs, std::string* reply) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs)) return socket.state() == QLocalSocket::ConnectingState ? Answer::Busy : Answer::Gone;
    socket.write(QByteArray::fromStdString(request + "\n"));
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!socket.canReadLine()) {
        if (socket.state() != QLocalSocket::ConnectedState) return Answer::Gone;
        if (secondsLeft(deadline) <= 0) return Answer::Busy;
        socket.waitForReadyRead(msLeft(deadline));
    }
    *reply = socket.readLine().chopped(1).toStdString();
    return Answer::Reply;
}

QString socketName(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// Every live simulator in the control folder: the unnamed one's socket and each
// named one's folder. One that takes the connection but does not answer in
// time is listed as busy. One line each, or a JSON array.
int list(bool json, double timeout) {
    const std::string base = vantis::controlDirectory();
    std::vector<std::pair<std::string, std::string>> sockets;  // name, path
    if (vantis::isSocket(base + "/control")) sockets.emplace_back("", base + "/control");
    const QDir dir(socketName(base));
    for (const QString& entry : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const std::string name = QFile::encodeName(entry).toStdString();
        const std::string path = vantis::namedControlSocketPath(name);
        if (vantis::isSocket(path)) sockets.emplace_back(name, path);
    }
    const int eachMs = static_cast<int>(std::min(timeout, 2.0) * 1000.0);
    QJsonArray all;
    for (const auto& [name, path] : sockets) {
        std::string reply;
        const Answer answer = query(socketName(path), "state", eachMs, &reply);
        if (answer == Answer::Gone) continue;  // left behind by a simulator that has gone
        QJsonObject one;
        one.insert(QLatin1String("name"), QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
        one.insert(QLatin1String("socket"), QString::fromLatin1(path.data(), static_cast<qsizetype>(path.size())));
        if (answer == Answer::Busy) one.insert(QLatin1String("busy"), true);
        if (answer == Answer::Reply) {
            if (reply.rfind("ok {", 0) != 0) continue;
            const QJsonObject state = QJsonDocument::fromJson(QByteArray::fromStdString(reply.substr(3))).object();
            const QJsonObject controls = state.value(QLatin1String("controls")).toObject();
            one.insert(QLatin1String("address"), state.value(QLatin1String("listen")).toString());
            one.insert(QLatin1String("model"),
                       controls.value(QLatin1String("model")).toObject().value(QLatin1String("text")).toString());
            one.insert(QLatin1String("connected"),
                       controls.value(QLatin1String("connected")).toObject().value(QLatin1String("value")).toInt() == 1);
        }
        all.append(one);
    }
    if (json) {
        std::printf("%s\n", QJsonDocument(all).toJson(QJsonDocument::Compact).constData());
        return kOk;
    }
    for (const auto& v : all) {
        const QJsonObject o = v.toObject();
        const QByteArray name = o.value(QLatin1String("name")).toString().toLatin1();
        if (o.value(QLatin1String("busy")).toBool()) {
            std::printf("%s\t-\t-\tbusy\n", name.isEmpty() ? "-" : name.constData());
            continue;
        }
        std::printf("%s\t%s\t%s\t%s\n", name.isEmpty() ? "-" : name.constData(),
                    o.value(QLatin1String("address")).toString().toLatin1().constData(),
                    o.value(QLatin1String("model")).toString().toLatin1().constData(),
                    o.value(QLatin1String("connected")).toBool() ? "connected" : "no-client");
    }
    return kOk;
}

bool knownEvent(const std::string& name) {
    for (std::string_view e : vantis::verbs::kEventNames)
        if (e == name) return true;
    return false;
}

// The event's name on one line of the stream, in either form.
std::string eventName(const QByteArray& line, bool json) {
    if (!json) {
        const auto space = line.indexOf(' ');
        const auto end = line.indexOf(' ', space + 1);
        return line.mid(space + 1, end < 0 ? -1 : end - space - 1).trimmed().toStdString();
    }
    return QJsonDocument::fromJson(line).object().value(QLatin1String("event")).toString().toStdString();
}

// `events`: prints each event as it comes, until the one named, a count, the
// time-out (only when given) or the simulator's end.
int streamEvents(QLocalSocket& socket, const std::vector<std::string>& words, bool timeoutGiven, double timeout) {
    bool json = false;
    std::string until;
    long long wanted = -1;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--json") {
            json = true;
        } else if (w == "--until" && i + 1 < words.size()) {
            until = words[++i];
            if (!knownEvent(until)) fail(kUsage, "unknown event \"" + until + "\" for --until");
        } else if (w == "--count" && i + 1 < words.size()) {
            const std::string& n = words[++i];
            char* end = nullptr;
            wanted = std::strtoll(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || wanted < 1) fail(kUsage, "bad count \"" + n + "\": expected 1 or more");
        } else {
            fail(kUsage, "events takes --json, --until EVENT, --count N and --timeout S");
        }
    }
    const bool bounded = !until.empty() || wanted > 0;
    const auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                   std::chrono::duration<double>(timeoutGiven ? timeout : 0));
    socket.write(json ? "events --json\n" : "events\n");
    socket.flush();
    bool answered = false;
    long long seen = 0;
    for (;;) {
        while (socket.canReadLine()) {
            const QByteArray line = socket.readLine().chopped(1);
            if (!answered) {
                if (line != "ok") fail(kRefused, line.startsWith("error ") ? line.mid(6).toStdString() : "unexpected reply: " + line.toStdString());
                answered = true;
                continue;
            }
            std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
            std::fputc('\n', stdout);
            std::fflush(stdout);
            const std::string name = eventName(line, json);
            if (name != "lost") ++seen;
            if ((!until.empty() && name == until) || (wanted > 0 && seen >= wanted)) return kOk;
        }
        if (socket.state() != QLocalSocket::ConnectedState) {
            if (!answered) fail(kNoSimulator, "the simulator closed the control channel before answering \"events\"");
            return bounded ? kNoSimulator : kOk;
        }
        if (timeoutGiven && secondsLeft(deadline) <= 0) {
            if (!bounded) return kOk;
            char text[64];
            std::snprintf(text, sizeof text, "timed out after %g s waiting for ", timeout);
            fail(kTimedOut, text + (until.empty() ? std::to_string(wanted) + " events" : until));
        }
        socket.waitForReadyRead(timeoutGiven ? std::max(1, msLeft(deadline)) : 1000);
    }
}

// `data expected`'s rows, as CSV or with tabs between the columns.
int printRows(const std::string& data, bool csv) {
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(data));
    if (!doc.isArray()) fail(kRefused, "unexpected reply to data expected");
    for (const auto& row : doc.array()) {
        QByteArray text = row.toString().toLatin1();
        if (!csv) text.replace(',', '\t');
        std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
        std::fputc('\n', stdout);
    }
    return kOk;
}

// Seconds in decimal digits (one point at most): no exponent, no hexadecimal.
bool decimalSeconds(const std::string& text, double& out) {
    int digits = 0, points = 0;
    for (const char ch : text) {
        if (ch >= '0' && ch <= '9') ++digits;
        else if (ch == '.' && ++points == 1) continue;
        else return false;
    }
    if (digits == 0 || text.size() > 32) return false;
    out = std::strtod(text.c_str(), nullptr);
    return true;
}

std::string lowered(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

// A path the simulator can open from any folder: a relative one is made
// absolute in the caller's, byte for byte (a name need not be UTF-8).
std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::string here(4096, '\0');
    while (!::getcwd(here.data(), here.size())) {
        if (errno != ERANGE || here.size() > (1u << 20)) fail(kUsage, "cannot tell the current folder");
        here.resize(here.size() * 2);
    }
    here.resize(std::strlen(here.c_str()));
    return (here == "/" ? std::string() : here) + "/" + path;
}

}  // namespace

int main(int argc, char* argv[]) {
    double timeout = 10.0;
    bool timeoutGiven = false;
    std::string path = vantis::controlSocketPath();
    std::string socketOption, name;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        std::string value;
        if (a == "--timeout" || a == "--socket" || a == "--name") {
            if (i + 1 >= argc) fail(kUsage, a + " needs a value");
            value = argv[++i];
        } else if (a.rfind("--timeout=", 0) == 0 || a.rfind("--socket=", 0) == 0 || a.rfind("--name=", 0) == 0) {
            value = a.substr(a.find('=') + 1);
        } else if (a == "-h" || a == "--help") {
            std::fputs(help().c_str(), stdout);
            return kOk;
        } else if (a == "--version") {
            std::printf("vantis-ctl %s\n", VANTIS_VERSION);
            return kOk;
        } else {
            words.push_back(a);
            continue;
        }
        if (a.rfind("--timeout", 0) == 0) {
            timeoutGiven = true;
            if (!decimalSeconds(value, timeout) || timeout > 86400)
                fail(kUsage, "bad time-out \"" + value + "\": expected seconds from 0 to 86400");
        } else if (a.rfind("--name", 0) == 0) {
            if (value.empty() || value.find('/') != std::string::npos || value[0] == '.')
                fail(kUsage, "bad name \"" + value + "\": expected the NAME a simulator was started with");
            name = value;
        } else {
            socketOption = value;
        }
    }
    if (!name.empty() && !socketOption.empty()) fail(kUsage, "--name and --socket both name a socket: give one");
    if (!socketOption.empty()) path = socketOption;
    if (!name.empty()) path = vantis::controlSocketPath(name);
    if (words.empty()) fail(kUsage, "no verb given (vantis-ctl --help lists them)");
    // Verbs in any case, as the channel takes them.
    words[0] = lowered(words[0]);
    const std::string verb = words[0];
    if (verb == "list") {
        if (words.size() > 2 || (words.size() == 2 && words[1] != "--json"))
            fail(kUsage, "list takes only --json, not \"" + words[words.size() == 2 ? 1 : 2] + "\"");
        QCoreApplication app(argc, argv);
        return list(words.size() == 2, timeout);
    }
    if (!vantis::verbs::find(verb)) fail(kUsage, "unknown verb \"" + verb + "\" (vantis-ctl --help lists them)");
    if (verb == "wait" && words.size() != 2)
        fail(kUsage, "wait needs one of ready, connected, disconnected, idle, armed, erasing, erased, triggered, "
                     "recorded, downloading, downloaded");
    // The simulator may run elsewhere in the file tree: a file is named to it in full.
    if (verb == "data" && words.size() == 3 && lowered(words[1]) == "load") words[2] = absolute(words[2]);
    if (verb == "capture" && words.size() == 3 && lowered(words[1]) == "start") words[2] = absolute(words[2]);
    std::string request;
    for (const auto& w : words) {
        if (w.find('\n') != std::string::npos) fail(kUsage, "a request cannot hold a line feed");
        request += (request.empty() ? "" : " ") + w;
    }

    QCoreApplication app(argc, argv);  // the socket's notifiers want one, even when only blocking
    const auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                   std::chrono::duration<double>(timeout));
    const bool waitReady = verb == "wait" && words.size() > 1 && words[1] == "ready";
    const QString socketName = QFile::decodeName(QByteArray::fromStdString(path));
    QLocalSocket socket;
    const auto connect = [&] {
        socket.connectToServer(socketName);
        return socket.waitForConnected(msLeft(deadline));
    };
    bool connected = connect();
    // A simulator that is still starting has no socket yet: wait ready keeps trying.
    while (!connected && waitReady && secondsLeft(deadline) > 0) {
        QThread::msleep(50);
        connected = connect();
    }
    if (!connected) {
        if (waitReady) fail(kTimedOut, "timed out: no simulator answered on " + path);
        fail(kNoSimulator, "no simulator running (nothing answers on " + path + ": " + reason(socket) + ")");
    }

    if (verb == "events") return streamEvents(socket, words, timeoutGiven, timeout);

    // The simulator is told the time-out: a request held up by a busy instrument
    // is then answered "timed out", and never carried out after its asker has
    // gone. It is given a moment beyond it to say so.
    auto replyDeadline = deadline + std::chrono::seconds(2);
    const std::string asked = request;
    char left[32];
    std::snprintf(left, sizeof left, "%.3f", std::max(0.0, secondsLeft(deadline)));
    if (verb == "wait")
        request += std::string(" ") + left;  // the simulator times the wait itself
    else
        request = std::string("--timeout ") + left + " " + request;
    socket.write(QByteArray::fromStdString(request + "\n"));
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(msLeft(replyDeadline))) {
            if (socket.state() != QLocalSocket::ConnectedState) fail(kNoSimulator, "the simulator closed the control channel");
            fail(kTimedOut, "timed out sending \"" + asked + "\"");
        }
    const std::string reply = readLine(socket, replyDeadline, "\"" + asked + "\"");
    socket.abort();

    if (reply.rfind("error timed out", 0) == 0) {
        // Said in the caller's own terms: the simulator was given what was left
        // of the time-out, not the time-out itself.
        char text[64];
        std::snprintf(text, sizeof text, "timed out after %g s", timeout);
        if (verb == "wait") fail(kTimedOut, text + std::string(" waiting for ") + words[1]);
        const std::string said = "error timed out after ";
        const std::size_t unit = reply.find(" s", said.size());
        if (reply.rfind(said, 0) != 0 || unit == std::string::npos) fail(kTimedOut, reply.substr(6));
        fail(kTimedOut, text + reply.substr(unit + 2));
    }
    if (reply.rfind("error", 0) == 0) fail(kRefused, reply.size() > 6 ? reply.substr(6) : "refused");
    if (reply != "ok" && reply.rfind("ok ", 0) != 0) fail(kRefused, "unexpected reply: " + reply);
    if (reply.size() <= 3) return kOk;
    const std::string data = reply.substr(3);
    if (verb == "data" && words.size() > 1 && words[1] == "expected") {
        return printRows(data, std::find(words.begin(), words.end(), "--csv") != words.end());
    } else if (verb == "traffic" && words.size() > 1) {
        std::string text;
        if (!decodeJsonString(data, text)) fail(kRefused, "unexpected reply: " + reply);
        std::fwrite(text.data(), 1, text.size(), stdout);
    } else {
        std::printf("%s\n", data.c_str());
    }
    return kOk;
}
