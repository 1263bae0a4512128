// The control channel's server: a local socket that only this user can reach,
// serving scripts (up to a limit) one request line at a time. What a request
// does is the verbs' business (control.h); here are the sessions, the order of
// replies, waits, requests held for a busy instrument, and the socket's folder.
//
// Requests are read and answered when the program processes events, like a
// click, and also in the busy passes between the frames of a download. A
// request that would act on the instrument waits there for the download's end.
#pragma once

#include <optional>

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class QLocalSocket;
class QTimer;

namespace cvi::control {

class Session;

// What the sessions ask of the verbs.
class Verbs {
public:
    virtual ~Verbs() = default;
    // True when the request works the panel or the instrument: inside a busy
    // pass it waits until the program processes events of its own again.
    virtual bool actsOnInstrument(const std::string& verb, const std::string& arg) const = 0;
    // The reply line; empty when the reply comes later (a wait begun on the session).
    virtual std::string run(Session& session, const std::string& verb, const std::string& arg) = 0;
};

// One connected script.
class Session : public QObject {
    Q_OBJECT
public:
    Session(QLocalSocket* socket, QObject* server, Verbs& verbs, int idleMs);
    ~Session() override;

    // Finished with: no longer counts as a client, and goes at the next event pass.
    bool done() const { return m_done; }
    // The reply to this request comes once holds() is true or the time is up.
    void beginWait(std::function<bool()> holds, const std::string& name, double seconds);
    // The reply to this request is the one `later` gives, once it gives one.
    void replyWhen(std::function<std::optional<std::string>()> later);
    // From now on the session carries a stream that `open` makes of its socket
    // (the event stream): "ok", then the stream's lines; no more requests are
    // read, and it never times out. False, and nothing changes, when `open`
    // makes none.
    bool carry(const std::function<std::shared_ptr<void>(QLocalSocket*)>& open);

private:
    struct Waiting;
    struct Held;

    void serve();
    void serveLater();
    bool takeRequest(std::string& request);
    void handle(const std::string& request);
    void reply(const std::string& line);
    void check();
    void finish();
    void idleOut();
    void restartIdle();

    QLocalSocket* m_socket;  // a child of the session
    Verbs& m_verbs;
    int m_idleMs;
    QTimer* m_poll;
    QTimer* m_idle;
    std::unique_ptr<Waiting> m_waiting;
    std::unique_ptr<Held> m_held;
    bool m_skipping = false;  // dropping the rest of an over-long request
    bool m_servePosted = false;
    bool m_gone = false;      // the script disconnected; finish() is posted
    bool m_done = false;
    std::shared_ptr<void> m_stream;  // set while the session carries a stream
};

class ControlServer : public QObject {
    Q_OBJECT
public:
    ControlServer(const QString& path, Verbs& verbs, int idleMs);
    ~ControlServer() override;

    // Takes the lock, clears a stale socket and listens; false, with the reason
    // on stderr, when the channel cannot be had.
    bool open();
    const QString& path() const { return m_path; }

private:
    struct Parts;
    bool refuse(const QString& why);
    bool clearWay();
    void acceptClients();
    int clientCount() const;

    QString m_path;
    Verbs& m_verbs;
    int m_idleMs;
    std::unique_ptr<Parts> m_parts;  // the lock and the listener
};

// The folder of the default socket must be this user's alone: created so, or
// refused (with the reason on stderr) when it is anything else.
bool ownFolder(const QString& dir);

}  // namespace cvi::control
