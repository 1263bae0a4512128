// The TCP server: one listening port, conversations named by handles, and the
// connect, disconnect and data-ready events delivered to one callback.
//
// Data-ready is level-triggered: it is raised again while unread bytes remain,
// and never raised when there is nothing to read. Socket signals only post
// events, so a callback never runs inside a socket call.
#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QElapsedTimer>
#include <QSocketNotifier>

#include <cstring>

#include "internal.h"
#include "state.h"
#include "os.h"

namespace cvi {
namespace {

constexpr qint64 kReadBufferBytes = 64 * 1024;  // beyond this the client's sends wait
constexpr int kRetryFirstMs = 1;  // data left unread: ask again after this,
constexpr int kRetryLastMs = 64;  // doubling up to this
// Replies the system has not taken yet wait in our own queue up to this much;
// beyond it a new write waits for room and, finding none, fails whole.
constexpr qint64 kWriteQueueBytes = 64 * 1024;
constexpr qint64 kWaitStepMs = 5;  // a write waiting for room looks up this often

}  // namespace

struct TcpState {
    std::unique_ptr<QTcpServer> listener;
    unsigned port = 0;
    tcpFuncPtr callback = nullptr;
    void* callbackData = nullptr;
    std::map<unsigned, Conversation> conversations;
    std::vector<std::unique_ptr<QTcpSocket>> retired;  // deleted at the next safe point
    unsigned nextHandle = 1;
    std::string systemError = "No error";
    std::map<std::string, std::string> peerNames;  // reverse lookups done so far
    bool burstOpen = false;  // some conversation was written to, or is corked, since the last pause point
    bool inPass = false;     // an event pass of ProcessSystemEvents is running
    bool readingPaused = false;  // no data-ready events (a hung instrument)
    std::string failureNote;  // why the last registration failed
};

namespace {

TcpState& server() { return partOf(runtime().tcp); }

Conversation* find(unsigned handle) {
    auto& cs = server().conversations;
    const auto it = cs.find(handle);
    return it == cs.end() ? nullptr : &it->second;
}

void deliver(unsigned handle, int event) {
    auto& s = server();
    if (!s.callback) return;
    invokeCallback([&] { s.callback(handle, event, 0, s.callbackData); });
}

void setCork(QTcpSocket* sock, bool on) { os::setCork(sock->socketDescriptor(), on); }

void retire(unsigned handle) {
    auto& s = server();
    const auto it = s.conversations.find(handle);
    if (it == s.conversations.end()) return;
    QTcpSocket* sock = it->second.socket.get();
    if (it->second.corked) setCork(sock, false);
    it->second.writable.reset();
    it->second.paceTimer.reset();
    for (const auto& tap : installed().taps)
        if (tap.ended) tap.ended(handle, it->second.endHow);
    QObject::disconnect(sock, nullptr, nullptr, nullptr);
    sock->abort();
    s.retired.push_back(std::move(it->second.socket));
    s.conversations.erase(it);
    post([] { server().retired.clear(); });
}

void scheduleData(unsigned handle, int delayMs = 0);

std::string dottedIPv4(const QHostAddress& a) {
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    return ok ? QHostAddress(v4).toString().toStdString() : a.toString().toStdString();
}

// Tells the taps of bytes the system has handed over that they have not seen.
void tapIncoming(unsigned handle) {
    Conversation* c = find(handle);
    if (installed().taps.empty() || !c) return;
    const qint64 available = c->socket->bytesAvailable();
    const std::uint64_t total = c->consumed + static_cast<std::uint64_t>(std::max<qint64>(available, 0));
    if (total <= c->tappedIn) return;
    const auto fresh = static_cast<qsizetype>(total - c->tappedIn);
    const QByteArray all = c->socket->peek(available);
    c->tappedIn = total;
    if (all.size() < fresh) return;
    const auto* p = reinterpret_cast<const unsigned char*>(all.constData()) + (all.size() - fresh);
    for (const auto& tap : installed().taps)
        if (tap.received) tap.received(handle, p, static_cast<std::size_t>(fresh));
}

void deliverData(unsigned handle) {
    Conversation* c = find(handle);
    if (!c) return;
    c->readyPosted = false;
    if (server().readingPaused) return;  // offered again when reading resumes
    ++c->generation;  // any other pending delivery for this conversation is stale now
    if (c->socket->bytesAvailable() <= 0) {
        c->starved = false;
        return;
    }
    const auto before = c->consumed;
    deliver(handle, TCP_DATAREADY);
    c = find(handle);
    if (!c) return;
    const bool took = c->consumed != before;
    if (took) markActivity();
    c->starved = false;
    if (c->socket->bytesAvailable() <= 0) return;
    if (took) {
        c->retryMs = kRetryFirstMs;
        scheduleData(handle);
        return;
    }
    // The receiver took nothing (it has no room yet). Ask again at the next
    // event pass of a waiting loop, and meanwhile on a timer that backs off, so
    // that data nobody takes does not keep the processor busy.
    c->starved = true;
    scheduleData(handle, c->retryMs);
    c->retryMs = std::min(c->retryMs * 2, kRetryLastMs);
}

void scheduleData(unsigned handle, int delayMs) {
    Conversation* c = find(handle);
    if (!c || c->readyPosted || c->goneDelivered || server().readingPaused) return;
    c->readyPosted = true;
    const unsigned generation = c->generation;
    auto run = [handle, generation] {
        Conversation* conv = find(handle);
        if (conv && conv->generation == generation) deliverData(handle);
    };
    if (delayMs <= 0)
        soon(run);
    else
        QTimer::singleShot(delayMs, Qt::PreciseTimer, qApp, [run] { runOrHold(run); });
}

void deliverGone(unsigned handle) {
    Conversation* c = find(handle);
    if (!c || c->goneDelivered) return;
    c->goneDelivered = true;
    // What the peer sent before it went is offered while the callback takes it
    // (not while reading is paused: a hung instrument reads nothing).
    while (!server().readingPaused && c->socket->bytesAvailable() > 0) {
        const auto before = c->consumed;
        deliver(handle, TCP_DATAREADY);
        c = find(handle);
        if (!c) return;
        if (c->consumed == before) break;
    }
    deliver(handle, TCP_DISCONNECT);
    retire(handle);
}

// Takes in what the conversations have pending, so that a peer that has gone is
// noticed, and its end announced, before a newcomer is: a client that closes and
// at once connects again is then accepted, not refused as a second client.
void refreshConversations() {
    for (auto& [h, c] : server().conversations)
        if (c.socket->state() == QAbstractSocket::ConnectedState) c.socket->waitForReadyRead(0);
}

void accept() {
    auto& s = server();
    if (s.listener && s.listener->hasPendingConnections()) refreshConversations();
    while (s.listener && s.listener->hasPendingConnections()) {
        QTcpSocket* raw = s.listener->nextPendingConnection();
        if (!raw) break;
        raw->setParent(nullptr);
        unsigned handle = s.nextHandle++;
        if (s.nextHandle == 0) s.nextHandle = 1;
        while (find(handle)) handle = s.nextHandle++;
        Conversation c;
        c.handle = handle;
        c.socket.reset(raw);
        raw->setReadBufferSize(kReadBufferBytes);
        raw->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        QObject::connect(raw, &QTcpSocket::readyRead, raw, [handle] {
            tapIncoming(handle);
            scheduleData(handle);
        });
        QObject::connect(raw, &QTcpSocket::disconnected, raw, [handle] { soon([handle] { deliverGone(handle); }); });
        QObject::connect(raw, &QTcpSocket::errorOccurred, raw, [raw](QAbstractSocket::SocketError) {
            server().systemError = raw->errorString().toStdString();
        });
        s.conversations.emplace(handle, std::move(c));
        markActivity();
        if (!installed().taps.empty()) {
            const ext::Endpoints ends{dottedIPv4(raw->localAddress()), raw->localPort(), dottedIPv4(raw->peerAddress()),
                                      raw->peerPort()};
            for (const auto& tap : installed().taps)
                if (tap.opened) tap.opened(handle, ends);
            tapIncoming(handle);
        }
        soon([handle] {
            if (find(handle)) deliver(handle, TCP_CONNECT);
            Conversation* conv = find(handle);
            if (conv && conv->socket->bytesAvailable() > 0) scheduleData(handle);
            if (conv && conv->socket->state() != QAbstractSocket::ConnectedState)
                post([handle] { deliverGone(handle); });
        });
    }
}

qint64 writeQueueLimit() {
    const long long v = seams().writeQueueLimit.load();
    return v >= 0 ? static_cast<qint64>(v) : kWriteQueueBytes;
}

// Writes that follow one another with no pause point between them (the frames
// of a fast download) are corked, so that they leave in full segments instead
// of one segment each; the first write of a burst (a reply) is never held.
// Whatever is held leaves in aboutToWait, the one point the run-time passes
// before it waits, sleeps or returns to an event loop, or at the next event pass.
void joinBurst(Conversation& c) {
    if (c.inBurst && !c.corked) {
        setCork(c.socket.get(), true);
        c.corked = true;
    }
    c.inBurst = true;
    server().burstOpen = true;
}

// The client has not taken a write within its time-out. Until events are next
// processed, further writes to it fail at once: a download writes all its
// frames without processing events, and each would otherwise wait its full
// time-out, freezing the program for as many seconds as there are frames.
int stall(Conversation& c) {
    c.stalled = true;
    const unsigned handle = c.handle;
    post([handle] {
        if (Conversation* conv = find(handle)) conv->stalled = false;
    });
    return kTCP_TimeOutErr;
}

using PaceClock = ext::PaceClock;
// A write waiting for room looks up this often: busy work goes on meanwhile.
constexpr auto kBusyEvery = std::chrono::milliseconds(4);
constexpr std::size_t kPacedQueueFallback = 4u << 20;

bool connected(const Conversation& c) {
    return !c.goneDelivered && c.socket->state() == QAbstractSocket::ConnectedState;
}

bool paced(const Conversation& c) {
    const auto& engaged = installed().pacer.engaged;
    return engaged && engaged(c.handle);
}

// A paced queue holds what a real socket's buffering would: the system's largest send buffer.
std::size_t pacedBound() {
    auto& bound = installed().pacedQueue;
    if (bound == 0) bound = static_cast<std::size_t>(os::largestSendBuffer(static_cast<long>(kPacedQueueFallback)));
    return std::max<std::size_t>(bound, static_cast<std::size_t>(writeQueueLimit()));
}

std::size_t queueBound(const Conversation& c) {
    return paced(c) ? pacedBound() : static_cast<std::size_t>(writeQueueLimit());
}

void dropQueue(Conversation& c) {
    c.out.clear();
    c.outFront = 0;
    c.outBytes = 0;
    c.systemFull = false;
    if (c.writable) c.writable->setEnabled(false);
}

// The one place where bytes go to the system: the count it took, or -1 when
// the conversation has failed.
long handOver(Conversation& c, const char* data, std::size_t n) {
    auto& s = server();
    std::string error;
    const long sent = os::sendNow(c.socket->socketDescriptor(), data, n, &error);
    if (sent < 0) {
        s.systemError = error;
        return -1;
    }
    c.systemFull = static_cast<std::size_t>(sent) < n;
    if (sent > 0) {
        c.handed += static_cast<std::uint64_t>(sent);
        for (const auto& tap : installed().taps)
            if (tap.sent) tap.sent(c.handle, reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(sent));
    }
    return sent;
}

void pump(unsigned handle);

void watchWritable(Conversation& c) {
    if (!c.writable) {
        const unsigned handle = c.handle;
        c.writable = std::make_unique<QSocketNotifier>(c.socket->socketDescriptor(), QSocketNotifier::Write);
        QObject::connect(c.writable.get(), &QSocketNotifier::activated, [handle] { pump(handle); });
    }
    c.writable->setEnabled(true);
}

void askAgainAt(Conversation& c, PaceClock::time_point again, PaceClock::time_point now) {
    c.paceDue = again;
    if (again == PaceClock::time_point::max()) {
        if (c.paceTimer) c.paceTimer->stop();
        return;
    }
    if (!c.paceTimer) {
        const unsigned handle = c.handle;
        c.paceTimer = std::make_unique<QTimer>();
        c.paceTimer->setSingleShot(true);
        c.paceTimer->setTimerType(Qt::PreciseTimer);
        QObject::connect(c.paceTimer.get(), &QTimer::timeout, [handle] { pump(handle); });
    }
    const auto ms = std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(again - now).count());
    c.paceTimer->start(static_cast<int>(std::min<long long>(ms, 1 << 30)));
}

// Hands over what the queue holds, as far as the system takes it and the pacer
// allows; arranges to be called again when either will take more.
void pump(unsigned handle) {
    Conversation* c = find(handle);
    if (!c) return;
    c->paceDue = PaceClock::time_point::max();
    while (c->outBytes > 0) {
        if (!connected(*c)) {
            dropQueue(*c);
            return;
        }
        std::size_t n = c->out.front().size() - c->outFront;
        const bool isPaced = paced(*c);
        if (isPaced) {
            const auto now = PaceClock::now();
            auto again = PaceClock::time_point::max();
            const std::size_t allowed = installed().pacer.allow(handle, c->handed, c->outBytes, now, &again);
            if (allowed == 0) {
                askAgainAt(*c, again, now);
                return;
            }
            // The pacer may have ended the conversation, or let go of what it held.
            c = find(handle);
            if (!c) return;
            if (!connected(*c) || c->outBytes == 0) {
                dropQueue(*c);
                return;
            }
            n = std::min(c->out.front().size() - c->outFront, allowed);
        }
        const std::uint64_t at = c->handed;
        const long sent = handOver(*c, c->out.front().data() + c->outFront, n);
        if (sent < 0) {
            dropQueue(*c);
            return;
        }
        if (sent == 0) {
            watchWritable(*c);
            return;
        }
        c->outFront += static_cast<std::size_t>(sent);
        c->outBytes -= static_cast<std::size_t>(sent);
        if (c->outFront == c->out.front().size()) {
            c->out.pop_front();
            c->outFront = 0;
        }
        if (isPaced && installed().pacer.sent) {
            installed().pacer.sent(handle, at, static_cast<std::size_t>(sent));
            c = find(handle);
            if (!c) return;
        }
    }
    if (c->writable) c->writable->setEnabled(false);
}

void pumpAll() {
    std::vector<unsigned> waiting;
    for (auto& [h, c] : server().conversations)
        if (c.outBytes > 0) waiting.push_back(h);
    for (unsigned h : waiting) pump(h);
}

void enqueue(Conversation& c, const char* data, std::size_t n) {
    c.out.emplace_back(data, n);
    c.outBytes += n;
}

enum class Waited { Moved, TimedOut, Closed };

// Waits, processing no events, a little for the queue to move: until the
// system has room, the pacer's next time, or the deadline.
Waited waitForQueue(unsigned handle, PaceClock::time_point deadline) {
    busyPoint();
    Conversation* c = find(handle);
    if (!c || !connected(*c)) return Waited::Closed;
    const auto now = PaceClock::now();
    if (now >= deadline) return Waited::TimedOut;
    auto until = std::min(deadline, now + kBusyEvery);
    if (!c->systemFull) {
        // The pacer holds the bytes: nothing to wait for but its time.
        until = std::min(until, c->paceDue);
        blockingWait([&] {
            os::sleepUntil(until);
            return true;
        });
    } else {
        const auto ms = std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
        const std::intptr_t fd = c->socket->socketDescriptor();
        blockingWait([&] { return os::waitWritable(fd, static_cast<int>(ms)); });
    }
    pump(handle);
    c = find(handle);
    return c && connected(*c) ? Waited::Moved : Waited::Closed;
}

void copyOut(const std::string& text, char* buffer, std::size_t size) {
    if (!buffer || size == 0) return;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

// Offers data that the receiver last had no room for; called once per event
// pass, after the code that frees room has had its turn.
void retryStarvedReceivers() {
    std::vector<unsigned> starved;
    for (auto& [h, c] : server().conversations)
        if (c.starved && !c.goneDelivered) starved.push_back(h);
    for (unsigned h : starved) deliverData(h);
}

void releaseWrites() {
    auto& s = server();
    if (!s.burstOpen) return;
    s.burstOpen = false;
    for (auto& [h, c] : s.conversations) {
        c.inBurst = false;
        if (c.corked) {
            setCork(c.socket.get(), false);  // sends the partial segment held back
            c.corked = false;
        }
    }
}

namespace {

// More requests of this conversation are already here, whole: in the
// application's own buffers (its word) or in the socket's.
bool moreRequestsWaiting(const Conversation& c) {
    const auto& waiting = installed().inputWaiting;
    return (waiting && waiting(c.handle)) || c.socket->canReadLine();
}

}  // namespace

void passWriteBurst() {
    auto& s = server();
    if (!s.burstOpen) return;
    s.burstOpen = false;
    for (auto& [h, c] : s.conversations) {
        // Held only if this conversation was written to since the last pass:
        // a pass with nothing written releases what waits, so a reply is never
        // held for a request that is not being served.
        const bool hold = c.inBurst && !c.stalled && moreRequestsWaiting(c);
        c.inBurst = false;
        if (hold) {
            if (!c.corked) setCork(c.socket.get(), true);
            c.corked = true;
            s.burstOpen = true;
        } else if (c.corked) {
            setCork(c.socket.get(), false);
            c.corked = false;
        }
    }
}

void setInPass(bool inPass) { server().inPass = inPass; }

// Bytes the system holds unsent for some conversation (over loopback, only a
// cork keeps them).
bool writesHeld() {
    for (auto& [h, c] : server().conversations)
        if (os::unsentBytes(c.socket->socketDescriptor()) > 0) return true;
    return false;
}

std::string takeFailureNote() {
    std::string note;
    note.swap(server().failureNote);
    return note;
}

namespace {

// "ADDRESS:PORT", an IPv6 address in brackets.
std::string addressText(const QHostAddress& a, unsigned port) {
    const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + a.toString() + QLatin1Char(']')
                                                                        : a.toString();
    return host.toStdString() + ":" + std::to_string(port);
}

bool anyAddress(const QHostAddress& a) {
    return a == QHostAddress(QHostAddress::AnyIPv4) || a == QHostAddress(QHostAddress::AnyIPv6) ||
           a == QHostAddress(QHostAddress::Any);
}

}  // namespace

void closeConversations() {
    auto& s = server();
    for (auto& [h, c] : s.conversations) {
        c.writable.reset();
        c.paceTimer.reset();
        for (const auto& tap : installed().taps)
            if (tap.ended) tap.ended(h, ext::ConversationEnd::Closed);
        QObject::disconnect(c.socket.get(), nullptr, nullptr, nullptr);
        c.socket->abort();
    }
    s.conversations.clear();
    s.retired.clear();
    s.listener.reset();
}

QTcpSocket* conversationSocket(unsigned handle) {
    Conversation* c = find(handle);
    return c ? c->socket.get() : nullptr;
}

unsigned conversationCount() { return static_cast<unsigned>(server().conversations.size()); }

unsigned long long conversationBytesRead(unsigned handle) {
    Conversation* c = find(handle);
    return c ? c->consumed : 0;
}

namespace ext {

unsigned listeningPort() {
    auto& s = server();
    return s.listener ? s.listener->serverPort() : 0;
}

bool setListenAddress(const std::string& address, int port) {
    QHostAddress a;
    if (!a.setAddress(QString::fromStdString(address)) || port < -1 || port > 65535) return false;
    installed().listenAddress = a;
    installed().listenPort = port;
    return true;
}

std::string listenAddress() {
    auto& s = server();
    if (s.listener) return addressText(installed().listenAddress, s.listener->serverPort());
    return addressText(installed().listenAddress, installed().listenPort >= 0 ? static_cast<unsigned>(installed().listenPort) : 3000u);
}

void setWriteFilter(WriteFilter filter) { installed().filter = std::move(filter); }

void setInputWaiting(std::function<bool(unsigned)> waiting) { installed().inputWaiting = std::move(waiting); }

bool conversationOpen(unsigned handle) {
    Conversation* c = find(handle);
    return c && !c->goneDelivered && c->socket->state() == QAbstractSocket::ConnectedState;
}

bool endConversation(unsigned handle) {
    if (!conversationOpen(handle)) return false;
    // Cut the connection under the socket: the peer sees it end, and the socket
    // finds the end as after the peer's close, so the program hears of it
    // through the one path every disconnect takes.
    Conversation* c = find(handle);
    c->endHow = ConversationEnd::Closed;
    dropQueue(*c);
    os::shutdownBoth(c->socket->socketDescriptor());
    return true;
}

bool resetConversation(unsigned handle, unsigned drainMs) {
    if (!conversationOpen(handle)) return false;
    Conversation* c = find(handle);
    if (c->corked) {
        setCork(c->socket.get(), false);
        c->corked = false;
    }
    c->endHow = ConversationEnd::Reset;
    dropQueue(*c);
    if (c->paceTimer) c->paceTimer->stop();
    // What the system was given reaches the peer first: a reset discards what
    // is still on its way, and a reset placed in the stream must not.
    const auto drainUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(drainMs);
    while (drainMs > 0 && os::unackedBytes(c->socket->socketDescriptor()) > 0 &&
           std::chrono::steady_clock::now() < drainUntil) {
        busyPoint();
        os::sleepUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
        c = find(handle);
        if (!c || c->socket->state() != QAbstractSocket::ConnectedState) break;
    }
    if (!c) return true;
    os::setLingerZero(c->socket->socketDescriptor());
    c->socket->abort();  // closes at once: with no linger time the peer gets RST
    post([handle] { deliverGone(handle); });
    return true;
}

int offerWrite(unsigned handle, const void* data, std::size_t length) {
    Conversation* c = find(handle);
    if (!c) return kTCP_InvalidHandle;
    if (!connected(*c)) return kTCP_ConnectionClosed;
    markActivity();
    if (length == 0) return 0;
    // The same rule as writeThrough's: whole, and only when there is room.
    if (c->outBytes != 0 && c->outBytes + length > queueBound(*c)) return 0;
    const std::uint64_t at = c->written;
    enqueue(*c, static_cast<const char*>(data), length);
    c->written += length;
    if (paced(*c) && installed().pacer.queued) installed().pacer.queued(handle, at, length);
    pump(handle);
    return static_cast<int>(length);
}

void setPacer(Pacer pacer) { installed().pacer = std::move(pacer); }

void repace() {
    std::vector<unsigned> all;
    for (auto& [h, c] : server().conversations) all.push_back(h);
    for (unsigned h : all) pump(h);
}

std::uint64_t bytesWritten(unsigned handle) {
    Conversation* c = find(handle);
    return c ? c->written : 0;
}

std::size_t bytesQueued(unsigned handle) {
    Conversation* c = find(handle);
    return c ? c->outBytes : 0;
}

std::size_t pacedQueueBytes() { return pacedBound(); }

void addTrafficTap(TrafficTap tap) { installed().taps.push_back(std::move(tap)); }
void onProgramRead(ReadObserver observer) { installed().readObservers.push_back(std::move(observer)); }

void setReadingPaused(bool paused) {
    auto& s = server();
    if (s.readingPaused == paused) return;
    s.readingPaused = paused;
    if (paused) return;
    std::vector<unsigned> waiting;
    for (auto& [h, c] : s.conversations) {
        c.readyPosted = false;
        ++c.generation;  // a delivery scheduled before the pause is stale
        if (c.socket->bytesAvailable() > 0) waiting.push_back(h);
        else if (c.socket->state() != QAbstractSocket::ConnectedState) post([h = h] { deliverGone(h); });
    }
    for (unsigned h : waiting) scheduleData(h);
}

int writeThrough(unsigned handle, const void* data, std::size_t length, unsigned timeoutMs) {
    Conversation* c = find(handle);
    if (!c) return kTCP_InvalidHandle;
    if (!connected(*c)) return kTCP_ConnectionClosed;
    if (c->stalled) return kTCP_TimeOutErr;
    markActivity();
    if (length == 0) return 0;
    const auto* bytes = static_cast<const char*>(data);
    const auto deadline = PaceClock::now() + std::chrono::milliseconds(timeoutMs);
    const bool isPaced = paced(*c);
    if (!isPaced && c->outBytes == 0) {
        // Nothing queued ahead: the system takes the bytes at once, in one call.
        // What it does not take is queued whole behind them.
        joinBurst(*c);
        const long sent = handOver(*c, bytes, length);
        if (sent < 0) return kTCP_WriteFailed;
        c->written += length;
        if (static_cast<std::size_t>(sent) == length) return static_cast<int>(length);
        enqueue(*c, bytes + sent, length - static_cast<std::size_t>(sent));
        watchWritable(*c);
    } else {
        // A write is queued only when there is room for all of it, and then
        // whole, so the stream never holds a piece of a reply or frame; queued
        // bytes leave in order even after a time-out.
        while (c->outBytes > 0 && c->outBytes + length > queueBound(*c)) {
            const Waited w = waitForQueue(handle, deadline);
            c = find(handle);
            if (w == Waited::Closed || !c) return kTCP_ConnectionClosed;
            if (w == Waited::TimedOut) return stall(*c);
        }
        const std::uint64_t at = c->written;
        enqueue(*c, bytes, length);
        c->written += length;
        if (isPaced) {
            // As a real socket's buffer: the write is done once the bytes are taken in.
            if (installed().pacer.queued) installed().pacer.queued(handle, at, length);
            pump(handle);
            return static_cast<int>(length);
        }
        pump(handle);
        c = find(handle);
        if (!c) return kTCP_ConnectionClosed;
    }
    // Done once the system has them all.
    while (c->outBytes > 0) {
        if (paced(*c)) return static_cast<int>(length);  // a fault came meanwhile: the link holds them
        const Waited w = waitForQueue(handle, deadline);
        c = find(handle);
        if (w == Waited::Closed || !c) return kTCP_ConnectionClosed;
        if (w == Waited::TimedOut) return stall(*c);
    }
    return static_cast<int>(length);
}

}  // namespace ext
}  // namespace cvi

using namespace cvi;

int RegisterTCPServer(unsigned port, tcpFuncPtr callback, void* callbackData) {
    auto& s = server();
    if (s.listener) return kTCP_UnableToRegisterService;
    const int override = seams().portOverride.load();
    const int chosen = installed().listenPort >= 0 ? installed().listenPort : static_cast<int>(port);
    const quint16 listenPort = static_cast<quint16>(override >= 0 ? override : chosen);
    auto listener = std::make_unique<QTcpServer>();
    listener->setMaxPendingConnections(64);
    if (!listener->listen(installed().listenAddress, listenPort)) {
        s.systemError = listener->errorString().toStdString();
        s.failureNote = addressText(installed().listenAddress, listenPort) + ": " + s.systemError;
        return kTCP_UnableToRegisterService;
    }
    s.failureNote.clear();
    QObject::connect(listener.get(), &QTcpServer::newConnection, listener.get(), [] { accept(); });
    if (!installed().tcpHooked) {
        addOwnBeforeWait(releaseWrites);  // nothing held over any wait
        addOwnBusy(pumpAll);              // paced bytes leave while the program processes no events
        installed().tcpHooked = true;
    }
    s.listener = std::move(listener);
    s.port = port;
    s.callback = callback;
    s.callbackData = callbackData;
    return 0;
}

int UnregisterTCPServer(unsigned port) {
    auto& s = server();
    if (!s.listener || s.port != port) return kTCP_ServerNotRegistered;
    closeConversations();
    s.callback = nullptr;
    s.callbackData = nullptr;
    s.burstOpen = false;
    s.readingPaused = false;
    return 0;
}

int ServerTCPRead(unsigned handle, void* buffer, std::size_t length, unsigned timeoutMs) {
    Conversation* c = find(handle);
    if (!c) return kTCP_InvalidHandle;
    if (!buffer) return kTCP_InvalidParameter;
    QTcpSocket* sock = c->socket.get();
    if (sock->bytesAvailable() <= 0) {
        if (sock->state() != QAbstractSocket::ConnectedState) return kTCP_ConnectionClosed;
        if (!blockingWait([&] { return sock->waitForReadyRead(static_cast<int>(timeoutMs)); })) return kTCP_TimeOutErr;
        c = find(handle);
        if (!c) return kTCP_ConnectionClosed;
    }
    const qint64 n = sock->read(static_cast<char*>(buffer), static_cast<qint64>(length));
    if (n < 0) return kTCP_ReadFailed;
    c->consumed += static_cast<unsigned long long>(n);
    if (n > 0)
        for (const auto& observer : installed().readObservers)
            observer(handle, static_cast<const unsigned char*>(buffer), static_cast<std::size_t>(n));
    return static_cast<int>(n);
}

int ServerTCPWrite(unsigned handle, const void* data, std::size_t length, unsigned timeoutMs) {
    busyPoint();
    auto& filter = installed().filter;
    if (int result = 0;
        filter && data && filter(handle, static_cast<const unsigned char*>(data), length, timeoutMs, &result))
        return result;
    return ext::writeThrough(handle, data, length, timeoutMs);
}

int GetTCPPeerAddr(unsigned handle, char* buffer, std::size_t size) {
    Conversation* c = find(handle);
    if (!c) return kTCP_InvalidHandle;
    copyOut(dottedIPv4(c->socket->peerAddress()), buffer, size);
    return 0;
}

int GetTCPPeerName(unsigned handle, char* buffer, std::size_t size) {
    Conversation* c = find(handle);
    if (!c) return kTCP_InvalidHandle;
    auto& s = server();
    const std::string addr = dottedIPv4(c->socket->peerAddress());
    auto it = s.peerNames.find(addr);
    if (it == s.peerNames.end()) {
        // A host without a name is shown by its address rather than failing the connection.
        std::string name = addr;
        bool ok = false;
        const quint32 v4 = c->socket->peerAddress().toIPv4Address(&ok);
        if (ok)
            if (std::string found = os::hostNameOf(v4); !found.empty()) name = found;
        if (s.peerNames.size() > 256) s.peerNames.clear();
        it = s.peerNames.emplace(addr, name).first;
    }
    copyOut(it->second, buffer, size);
    return 0;
}

int GetTCPHostAddr(char* buffer, std::size_t size) {
    // Listening on one address, that is the host's address for the client.
    if (const QHostAddress& own = installed().listenAddress; !anyAddress(own)) {
        copyOut(dottedIPv4(own), buffer, size);
        return 0;
    }
    std::string addr = "127.0.0.1";
    for (const QNetworkInterface& nif : QNetworkInterface::allInterfaces()) {
        const auto flags = nif.flags();
        if (!(flags & QNetworkInterface::IsUp) || !(flags & QNetworkInterface::IsRunning) ||
            (flags & QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry& e : nif.addressEntries())
            if (e.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                addr = e.ip().toString().toStdString();
                copyOut(addr, buffer, size);
                return 0;
            }
    }
    copyOut(addr, buffer, size);
    return 0;
}

int GetTCPHostName(char* buffer, std::size_t size) {
    if (seams().failHostName) {
        server().systemError = "Name or service not known";
        return kTCP_HostLookupFailed;
    }
    const QString name = QHostInfo::localHostName();
    if (name.isEmpty()) return kTCP_HostLookupFailed;
    copyOut(name.toStdString(), buffer, size);
    return 0;
}

int DisconnectTCPClient(unsigned handle) {
    Conversation* c = find(handle);
    if (!c) return kTCP_InvalidHandle;
    c->endHow = ext::ConversationEnd::Closed;
    retire(handle);
    return 0;
}

int SetTCPDisconnectMode(unsigned handle, int mode) {
    if (!find(handle)) return kTCP_InvalidHandle;
    return mode == TCP_DISCONNECT_AUTO ? 0 : kTCP_InvalidParameter;
}

const char* GetTCPErrorString(int code) {
    switch (code) {
        case 0: return "No error";
        case kTCP_UnableToRegisterService: return "Unable to register the service";
        case kTCP_ServerNotRegistered: return "Server not registered";
        case kTCP_ReadFailed: return "Read failed";
        case kTCP_WriteFailed: return "Write failed";
        case kTCP_InvalidParameter: return "Invalid parameter";
        case kTCP_TimeOutErr: return "Timeout error";
        case kTCP_NoConnectionEstablished: return "No connection established";
        case kTCP_ConnectionClosed: return "Connection closed";
        case kTCP_InvalidHandle: return "Invalid conversation handle";
        case kTCP_HostLookupFailed: return "Host lookup failed";
        default: return "Unknown error";
    }
}

const char* GetTCPSystemErrorString() { return server().systemError.c_str(); }
