// vantis-ctl: drives a running Vantis simulator through its control channel.
// One request per run; the reply's data goes to stdout, a failure to stderr as
// one line with a non-zero status (docs/control.md).
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "controlpath.h"
#include "verbs.h"

namespace {

enum Status { kOk = 0, kRefused = 1, kUsage = 2, kNoSimulator = 3, kTimedOut = 4 };

using SteadyClock = std::chrono::steady_clock;

std::string help() {
    return "usage: vantis-ctl [--timeout SECONDS] [--socket PATH] VERB [ARGS]\n" + vantis::verbs::usage() +
           "The time-out (default 10 s) bounds the whole request, and a wait.\n";
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

}  // namespace

int main(int argc, char* argv[]) {
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
            std::fputs(help().c_str(), stdout);
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
    if (!vantis::verbs::find(verb)) fail(kUsage, "unknown verb \"" + verb + "\" (vantis-ctl --help lists them)");
    if (verb == "wait" && words.size() != 2) fail(kUsage, "wait needs one of ready, connected, disconnected, idle");
    // The simulator may run elsewhere in the file tree: a file is named to it in full.
    if (verb == "data" && words.size() == 3 && words[1] == "load")
        words[2] = QFileInfo(QFile::decodeName(QByteArray::fromStdString(words[2]))).absoluteFilePath().toStdString();
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

    auto replyDeadline = deadline;
    if (verb == "wait") {
        // The simulator times the wait itself; allow it a moment to say so.
        char left[32];
        std::snprintf(left, sizeof left, "%.3f", std::max(0.0, secondsLeft(deadline)));
        request += std::string(" ") + left;
        replyDeadline += std::chrono::seconds(2);
    }
    socket.write(QByteArray::fromStdString(request + "\n"));
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(msLeft(replyDeadline))) {
            if (socket.state() != QLocalSocket::ConnectedState) fail(kNoSimulator, "the simulator closed the control channel");
            fail(kTimedOut, "timed out sending \"" + request + "\"");
        }
    const std::string reply = readLine(socket, replyDeadline, "\"" + request + "\"");
    socket.abort();

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
