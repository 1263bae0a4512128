#include "control_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "args.h"
#include "controlpath.h"
#include "extension.h"

namespace cvi::control {
namespace {

constexpr qsizetype kMaxLine = 1024;            // longest request, line feed excluded
constexpr qint64 kReadBufferBytes = 4096;       // beyond this the script's sends wait
constexpr qint64 kMaxUnsentBytes = 256 * 1024;  // replies not yet taken: stop reading
constexpr int kMaxClients = 16;
constexpr int kRequestsPerPass = 32;            // then the program gets its turn
constexpr int kPollMs = 5;
constexpr double kMaxSeconds = 24 * 3600.0;

void warn(const QString& text) {
    std::fprintf(stderr, "vantis-sim: %s\n", qPrintable(text));
    std::fflush(stderr);
}

std::string tooLong() { return "error request longer than " + std::to_string(kMaxLine) + " bytes; dropped"; }

}  // namespace

struct Session::Waiting {
    std::function<bool()> holds;
    std::string name;
    QElapsedTimer since;
    qint64 limitMs;
    std::function<std::optional<std::string>()> later;  // in place of holds: the reply itself, once there
};

// A request that acts on the instrument, come while it is busy: carried out once
// the program processes events again, unless its asker's time-out passes first.
struct Session::Held {
    std::string verb, arg;
    std::optional<double> limitSeconds;  // the asker's own time-out
    QElapsedTimer since;
};

Session::Session(QLocalSocket* socket, QObject* server, Verbs& verbs, int idleMs)
    : QObject(server), m_socket(socket), m_verbs(verbs), m_idleMs(idleMs), m_poll(new QTimer(this)),
      m_idle(new QTimer(this)) {
    socket->setParent(this);
    socket->setReadBufferSize(kReadBufferBytes);
    m_poll->setInterval(kPollMs);
    connect(m_poll, &QTimer::timeout, this, &Session::check);
    m_idle->setSingleShot(true);
    connect(m_idle, &QTimer::timeout, this, &Session::idleOut);
    connect(socket, &QLocalSocket::readyRead, this, &Session::serve);
    connect(socket, &QLocalSocket::bytesWritten, this, &Session::serveLater);
    // Not at once: the signal may come from inside a read of this very session.
    connect(socket, &QLocalSocket::disconnected, this, [this] {
        m_gone = true;
        QMetaObject::invokeMethod(this, &Session::finish, Qt::QueuedConnection);
    });
    restartIdle();
    serveLater();
}

Session::~Session() {
    m_socket->disconnect(this);
    m_socket->flush();  // the last replies (to close, say) go out
    m_socket->abort();
}

// Every reply is plain ASCII, whatever a handler put in it.
void Session::reply(const std::string& line) {
    if (m_socket->state() != QLocalSocket::ConnectedState) return;
    m_socket->write(QByteArray::fromStdString(args::escaped(line)) + '\n');
    m_socket->flush();
}

// Takes the next whole request out of what the script sent. An over-long one
// is answered with an error and dropped up to its end.
bool Session::takeRequest(std::string& request) {
    for (;;) {
        const bool lineWaits = m_socket->canReadLine();
        if (!lineWaits && m_socket->bytesAvailable() <= (m_skipping ? 0 : kMaxLine)) return false;
        QByteArray line = m_socket->readLine(kMaxLine + 2);  // enough to tell a request from a longer line
        if (line.isEmpty()) return false;
        const bool ended = line.endsWith('\n');
        if (m_skipping) {
            m_skipping = !ended;
            continue;
        }
        if (!ended || line.size() > kMaxLine + 1) {
            reply(tooLong());
            m_skipping = !ended;
            continue;
        }
        line.chop(1);
        if (line.endsWith('\r')) line.chop(1);
        request = line.toStdString();
        return true;
    }
}

// One request: "[--timeout SECONDS] VERB [ARGS]". The time-out is the asker's:
// how long it will wait for a request that the instrument's work holds up.
void Session::handle(const std::string& request) {
    auto [verb, arg] = args::firstWord(request);
    std::optional<double> limit;
    if (args::sameWord(verb, "--timeout")) {
        const auto [seconds, rest] = args::firstWord(arg);
        double s = 0;
        if (!args::parseDecimal(seconds, s) || s < 0 || s > kMaxSeconds)
            return reply("error bad time-out " + args::quoted(seconds) + ": expected seconds from 0 to 86400");
        limit = s;
        std::tie(verb, arg) = args::firstWord(rest);
    }
    verb = args::lower(verb);
    if (verb.empty()) return reply("error empty request");
    if (ext::busy() && m_verbs.actsOnInstrument(verb, arg)) {
        m_held = std::make_unique<Held>(Held{verb, arg, limit, {}});
        m_held->since.start();
        m_idle->stop();
        m_poll->start();
        return;
    }
    const std::string answer = m_verbs.run(*this, verb, arg);
    if (!answer.empty()) reply(answer);
}

void Session::serve() {
    m_servePosted = false;
    if (m_gone) return;
    const QPointer<Session> self(this);  // a verb may run the program's events
    for (int handled = 0; handled < kRequestsPerPass; ++handled) {
        // Replies go out in order: nothing after a wait is read until it ends, and
        // a script that does not read its replies is not read from either.
        if (m_stream || m_waiting || m_held || m_socket->bytesToWrite() > kMaxUnsentBytes) return;
        std::string request;
        if (!takeRequest(request)) return;
        restartIdle();
        handle(request);
        if (!self || m_gone) return;
    }
    serveLater();  // more may wait: after the program's next event pass
}

void Session::serveLater() {
    if (m_servePosted || m_done) return;
    m_servePosted = true;
    QTimer::singleShot(0, this, &Session::serve);
}

void Session::beginWait(std::function<bool()> holds, const std::string& name, double seconds) {
    m_waiting = std::make_unique<Waiting>(Waiting{std::move(holds), name, {}, static_cast<qint64>(std::llround(seconds * 1000.0)), {}});
    m_waiting->since.start();
    m_idle->stop();
    m_poll->start();
}

void Session::replyWhen(std::function<std::optional<std::string>()> later) {
    m_waiting = std::make_unique<Waiting>(Waiting{{}, {}, {}, 0, std::move(later)});
    m_waiting->since.start();
    m_idle->stop();
    m_poll->start();
}

bool Session::carry(const std::function<std::shared_ptr<void>(QLocalSocket*)>& open) {
    std::shared_ptr<void> stream = open(m_socket);
    if (!stream) return false;
    m_idle->stop();
    reply("ok");  // before the stream's first line
    m_stream = std::move(stream);
    return true;
}

void Session::check() {
    if (m_held) {
        const bool late = m_held->limitSeconds && m_held->since.elapsed() >= std::llround(*m_held->limitSeconds * 1000.0);
        if (!late && ext::busy()) return;
        const std::unique_ptr<Held> held = std::move(m_held);
        m_poll->stop();
        if (late) {
            // Its asker has given up: never carried out.
            reply("error timed out after " + args::formatNumber(*held->limitSeconds) +
                  " s: the instrument is busy with a download; " + held->verb + " not carried out");
        } else {
            // The program is back in its own event processing: the request acts
            // now, as a click made during the download does.
            const QPointer<Session> self(this);
            const std::string answer = m_verbs.run(*this, held->verb, held->arg);
            if (!self) return;
            if (!answer.empty()) reply(answer);
        }
        if (!m_waiting) restartIdle();
        return serveLater();
    }
    if (!m_waiting) return m_poll->stop();
    if (m_waiting->later) {
        const std::optional<std::string> answer = m_waiting->later();
        if (!answer) return;
        reply(*answer);
    } else if (m_waiting->holds()) {
        reply("ok");
    } else if (m_waiting->since.elapsed() >= m_waiting->limitMs) {
        const double seconds = static_cast<double>(m_waiting->limitMs) / 1000.0;
        reply("error timed out after " + args::formatNumber(seconds) + " s waiting for " + m_waiting->name);
    } else {
        return;
    }
    m_waiting.reset();
    m_poll->stop();
    restartIdle();
    serveLater();
}

// A script that sent its requests and went at once still has them carried out,
// except those that would have to wait for a busy instrument: a request whose
// asker has gone is never carried out later. A request it did not finish is
// dropped, and so is a wait nobody will hear of.
void Session::finish() {
    const QPointer<Session> self(this);
    m_held.reset();
    std::string request;
    for (int handled = 0; handled < kRequestsPerPass && takeRequest(request); ++handled) {
        handle(request);
        if (!self) return;
        m_waiting.reset();
        m_held.reset();
    }
    m_poll->stop();
    m_idle->stop();
    m_done = true;
    deleteLater();
}

void Session::restartIdle() {
    if (m_idleMs > 0 && !m_done && !m_stream) m_idle->start(m_idleMs);
}

// A script that says nothing for this long loses its place, so that idle
// clients cannot lock the others out.
void Session::idleOut() {
    if (m_stream || m_waiting || m_held || m_done) return;
    reply("error closed: no request for " + args::formatNumber(m_idleMs / 1000.0) + " s");
    m_socket->flush();
    m_socket->disconnectFromServer();
    m_gone = true;
    QMetaObject::invokeMethod(this, &Session::finish, Qt::QueuedConnection);
}

// ---- The server ----

bool ownFolder(const QString& dir) {
    const QFileInfo before(dir);
    if (!before.exists() && !before.isSymLink() &&
        !QDir().mkdir(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        warn(QStringLiteral("cannot create %1").arg(dir));
        return false;
    }
    const QFileInfo info(dir);
    constexpr QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther |
                                          QFile::WriteOther | QFile::ExeOther;
    if (info.isSymLink() || !info.isDir() || info.ownerId() != vantis::userId() || (info.permissions() & others)) {
        warn(QStringLiteral("%1 is not a folder of this user's alone").arg(dir));
        return false;
    }
    return true;
}

namespace {

// True when something answers on the socket at path: it takes the connection,
// or its queue is full (busy, not gone). A local socket refuses at once, so
// this does not wait.
bool answers(const QString& path) {
    QLocalSocket probe;
    probe.connectToServer(path);
    const bool live = probe.state() != QLocalSocket::UnconnectedState;
    probe.abort();
    return live;
}

}  // namespace

struct ControlServer::Parts {
    explicit Parts(const QString& path)
        : lock(QFile::decodeName(QByteArray::fromStdString(vantis::controlLockPath(QFile::encodeName(path).toStdString())))) {}
    QLockFile lock;  // declared before the listener: released after it
    QLocalServer listener;
};

ControlServer::ControlServer(const QString& path, Verbs& verbs, int idleMs)
    : m_path(path), m_verbs(verbs), m_idleMs(idleMs), m_parts(std::make_unique<Parts>(path)) {}

ControlServer::~ControlServer() {
    // Scripts first, then the socket; the lock goes last, with the members, so
    // that no simulator starting meanwhile finds it free while this one answers.
    qDeleteAll(findChildren<Session*>(Qt::FindDirectChildrenOnly));
    m_parts->listener.close();  // removes the socket
}

bool ControlServer::refuse(const QString& why) {
    warn(QStringLiteral("control channel off: ") + why);
    return false;
}

bool ControlServer::open() {
    // One simulator per socket: the lock is held while the simulator lives. A
    // lock left by one that crashed names a process that is gone, and is taken.
    auto& lock = m_parts->lock;
    const QString lockPath = m_path + QStringLiteral(".lock");
    if (!lock.tryLock(0)) {
        if (lock.error() == QLockFile::LockFailedError) return refuse("another simulator is using " + m_path);
        return refuse(QStringLiteral("cannot create %1").arg(lockPath));
    }
    QFile::setPermissions(lockPath, QFile::ReadOwner | QFile::WriteOwner);
    if (!clearWay()) return false;
    auto& listener = m_parts->listener;
    listener.setSocketOptions(QLocalServer::UserAccessOption);
    listener.setMaxPendingConnections(kMaxClients);
    if (!listener.listen(m_path))
        return refuse(QStringLiteral("cannot listen on %1: %2").arg(m_path, listener.errorString()));
    QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);  // owner only, whatever the folder allows
    connect(&listener, &QLocalServer::newConnection, this, &ControlServer::acceptClients);
    return true;
}

// A socket left behind by a simulator that crashed is taken over, once it is
// clear that nothing answers on it; anything else at the path is left alone.
bool ControlServer::clearWay() {
    const QFileInfo at(m_path);
    if (!at.exists() && !at.isSymLink()) return true;
    if (!vantis::isSocket(QFile::encodeName(m_path).toStdString()) || at.ownerId() != vantis::userId())
        return refuse(m_path + " is in the way");
    if (answers(m_path)) return refuse("another simulator answers on " + m_path);
    return QLocalServer::removeServer(m_path) || refuse("cannot remove the stale socket " + m_path);
}

int ControlServer::clientCount() const {
    const auto sessions = findChildren<Session*>(Qt::FindDirectChildrenOnly);
    return static_cast<int>(std::count_if(sessions.begin(), sessions.end(), [](const Session* s) { return !s->done(); }));
}

void ControlServer::acceptClients() {
    while (QLocalSocket* socket = m_parts->listener.nextPendingConnection()) {
        if (clientCount() >= kMaxClients) {
            socket->write("error too many control clients\n");
            socket->flush();
            socket->disconnectFromServer();
            socket->deleteLater();
            continue;
        }
        new Session(socket, this, m_verbs, m_idleMs);
    }
}

}  // namespace cvi::control
