// The control channel's server: a local socket that only this user can reach,
// serving scripts (up to a limit) one request line at a time.
//
// Requests are read and answered when the program processes events, like a
// click: inside the user-interface loop, the service loop and the waits of the
// long commands; a request that comes during a download is answered after it.
// Operator verbs go through the widgets (operator.h), so that their callbacks
// run at the same points and in the same way as a person's.
#include "control.h"

#include <QAbstractButton>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>

#include "capture.h"
#include "controlpath.h"
#include "events.h"
#include "expected.h"
#include "models.h"
#include "replyfaults.h"
#include "services.h"
#include "cvi.h"
#include "extension.h"
#include "linkfaults.h"
#include "recording.h"
#include "operator.h"
#include "verbs.h"

namespace cvi::control {
namespace {

constexpr qsizetype kMaxLine = 1024;             // longest request, line feed excluded
constexpr qint64 kReadBufferBytes = 4096;        // beyond this the script's sends wait
constexpr qint64 kMaxUnsentBytes = 256 * 1024;   // replies not yet taken: stop reading
constexpr int kMaxClients = 16;
constexpr int kRequestsPerPass = 32;             // then the program gets its turn
constexpr int kWaitPollMs = 5;
constexpr double kDefaultWaitSeconds = 10.0;
constexpr double kMaxWaitSeconds = 24 * 3600.0;

void warn(const QString& text) {
    std::fprintf(stderr, "vantis-sim: %s\n", qPrintable(text));
    std::fflush(stderr);
}

// ---- Words and numbers of the requests ----

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

// Spaces and tabs only: any other byte is part of the request (and refused).
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

// Six significant digits (printf's %g), as the replies have always given the
// time scale and the time-outs.
std::string formatNumber(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// ---- JSON ----
//
// Values are written by Qt. Two things are the channel's own: its texts are
// Latin-1 bytes and its replies plain ASCII, with every byte outside printable
// ASCII (and \b, \f) written \u00XX, where Qt writes UTF-8 and \b, \f; and its
// objects keep the order of docs/control.md where QJsonObject sorts its keys.

// Qt's compact JSON text brought to the channel's ASCII form.
QByteArray asAscii(const QByteArray& qtJson) {
    const QString text = QString::fromUtf8(qtJson);
    QByteArray out;
    out.reserve(qtJson.size());
    const auto escaped = [&out](char16_t u) { out += "\\u" + QByteArray::number(u, 16).rightJustified(4, '0'); };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u == '\\' && i + 1 < text.size()) {  // an escape of Qt's, kept unless \b or \f
            const char16_t next = text[++i].unicode();
            if (next == 'b') {
                escaped(0x08);
            } else if (next == 'f') {
                escaped(0x0c);
            } else {
                out += '\\';
                out += static_cast<char>(next);
            }
        } else if (u >= 0x7f) {
            escaped(u);
        } else {
            out += static_cast<char>(u);
        }
    }
    return out;
}

QByteArray written(const QJsonArray& array) { return asAscii(QJsonDocument(array).toJson(QJsonDocument::Compact)); }
QByteArray written(const QJsonObject& object) { return asAscii(QJsonDocument(object).toJson(QJsonDocument::Compact)); }

// One value on its own: Qt writes only whole documents, so it goes in an array
// of one and comes out of its brackets.
QByteArray written(const QJsonValue& value) {
    const QByteArray array = written(QJsonArray{value});
    return array.mid(1, array.size() - 2);
}

QJsonValue latin1(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// A JSON object written member by member in the order they are added.
class OrderedObject {
public:
    OrderedObject& add(const char* key, const QJsonValue& value) { return addWritten(key, written(value)); }
    OrderedObject& add(const char* key, const OrderedObject& value) { return addWritten(key, value.text()); }
    // A value already written as JSON text.
    OrderedObject& addWritten(const char* key, const QByteArray& json) {
        if (!m_members.isEmpty()) m_members += ',';
        m_members += written(QJsonValue(QLatin1String(key))) + ':' + json;
        return *this;
    }
    QByteArray text() const { return '{' + m_members + '}'; }

private:
    QByteArray m_members;
};

// ---- What the panel shows ----

int panel() { return face().panel(); }

bool panelShown() {
    QWidget* root = ext::panelWidget(panel());
    return root && root->isVisible();
}

bool ready() { return ext::listeningPort() != 0 && panelShown(); }

enum class Condition { Ready, Connected, Disconnected, Idle };

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

// A control's value, text as shown, visibility and dimming; null for one the
// panel does not have.
QByteArray describe(int id) {
    const Face& f = face();
    ext::Kind kind{};
    QWidget* w = ext::widgetOf(panel(), id);
    if (ext::controlKind(panel(), id, &kind) < 0 || !w) return written(QJsonValue(QJsonValue::Null));
    OrderedObject out;
    int value = 0;
    switch (kind) {
        case ext::Kind::Ring:
            GetCtrlVal(panel(), id, &value);
            out.add("value", value).add("text", latin1(textOf(id)));
            break;
        case ext::Kind::Led:
            GetCtrlVal(panel(), id, &value);
            out.add("value", value ? 1 : 0);
            break;
        case ext::Kind::Switch: {
            const bool right = static_cast<QAbstractButton*>(w)->isChecked();
            char text[64] = "";
            const bool textValued = GetCtrlVal(panel(), id, text, sizeof text) == 0;
            out.add("value", textValued ? latin1(text) : QJsonValue(right ? 1 : 0));
            const char* const* texts = id == f.speedSwitch       ? f.speedTexts
                                       : id == f.directionSwitch ? f.directionTexts
                                                                 : nullptr;
            if (texts) out.add("text", latin1(texts[right ? 1 : 0]));
            break;
        }
        case ext::Kind::String:
            out.add("text", latin1(textOf(id)));
            break;
        case ext::Kind::Button: {
            const QString caption = static_cast<QAbstractButton*>(w)->text().remove(QLatin1Char('&'));
            out.add("text", QString::fromLatin1(caption.toLatin1()));  // as Latin-1 shows it
            break;
        }
        default:
            break;
    }
    out.add("visible", !w->isHidden()).add("dimmed", !w->isEnabled());
    return out.text();
}

QByteArray stateJson() {
    const Face& f = face();
    OrderedObject controls;
    for (int i = 0; i < f.reportedCount; ++i) controls.addWritten(f.reported[i].name, describe(f.reported[i].control));
    QJsonArray faults;
    for (const auto& fault : linkfaults::active()) faults.append(QString::fromStdString(fault));
    for (const auto& fault : vantis::replyfaults::active()) faults.append(QString::fromStdString(fault));
    const auto triggerAfter = vantis::events::triggerAfterMs();
    return OrderedObject()
        .add("ready", ready())
        .add("tcp_port", static_cast<qint64>(ext::listeningPort()))
        .addWritten("time_scale", QByteArray::fromStdString(formatNumber(ext::timeScale())))  // %g, not all digits
        .add("controls", controls)
        .addWritten("instrument", QByteArray::fromStdString(f.instrument()))  // the program's, in its own order
        .addWritten("faults", written(faults))
        .addWritten("data", QByteArray::fromStdString(recording::describe()))
        .add("trigger_after_ms", triggerAfter ? QJsonValue(static_cast<qint64>(*triggerAfter)) : QJsonValue(QJsonValue::Null))
        .add("name", QString::fromStdString(vantis::services::instanceName()))
        .add("listen", QString::fromStdString(ext::listenAddress()))
        .addWritten("capture", QByteArray::fromStdString(vantis::capture::describe()))
        .text();
}

// ---- Sessions: one per connected script ----

class Session : public QObject {
    Q_OBJECT
public:
    Session(QLocalSocket* socket, QObject* server);
    ~Session() override;

    // Finished with: no longer counts as a client, and goes at the next event pass.
    bool done() const { return m_done; }
    // The reply to this request comes once the condition holds or the time is up.
    void beginWait(Condition condition, const std::string& name, double seconds);
    // The reply to this request is the one `later` gives, once it gives one.
    void replyWhen(recording::LaterReply later);
    // The same for a sync point of the event stream.
    void beginWait(std::function<bool()> test, const std::string& name, double seconds);
    // From now on the session carries the event stream; its requests are not read.
    bool listenForEvents(bool json);

private:
    struct Waiting {
        Condition condition;
        std::string name;
        QElapsedTimer since;
        qint64 limitMs;
        recording::LaterReply later;
        std::function<bool()> test;  // a sync point in place of the condition
    };

    void serve();
    void serveLater();
    bool takeRequest(std::string& request);
    void reply(const std::string& line);
    void checkWait();
    void finish();

    QLocalSocket* m_socket;  // a child of the session
    QTimer m_waitPoll;
    std::optional<Waiting> m_waiting;
    bool m_skipping = false;  // dropping the rest of an over-long request
    bool m_servePosted = false;
    bool m_gone = false;      // the script disconnected; finish() is posted
    bool m_done = false;
    std::shared_ptr<void> m_listener;  // set while the session carries the event stream
};

// ---- Verbs (verbs.h lists them; each has its handler here) ----

struct Request {
    Session& session;
    std::string arg;    // the rest of the line, trimmed
    std::string lower;  // the same in lower case, for the verbs that take words
};

// The handlers' declarations, from the table: "std::string verbModel(Request&);" ...
#define VANTIS_VERB_DECLARE(handler, name, args, help) std::string handler(Request& r);
VANTIS_CONTROL_VERBS(VANTIS_VERB_DECLARE)
#undef VANTIS_VERB_DECLARE

std::string refusal(int rc, const std::string& what) {
    switch (rc) {
        case 0: return "ok";
        case UIEGeneral: return "error refused: " + what + " is hidden or dimmed";
        case UIEBadValue: return "error refused: " + what + " has no such item";
        default: return "error the panel is not loaded";
    }
}

std::string badValue(const std::string& arg, const char* verb, const std::string& expected) {
    return "error bad value " + quoted(arg) + " for " + verb + ": expected " + expected;
}

std::string setSwitch(const char* verb, int id, const char* const texts[2], const std::string& arg) {
    int want = -1;
    for (int i = 0; i < 2; ++i)
        if (sameWord(arg, texts[i])) want = i;
    if (want < 0) return badValue(arg, verb, lower(texts[0]) + " or " + lower(texts[1]));
    ext::Kind kind{};
    auto* sw = qobject_cast<QAbstractButton*>(ext::widgetOf(panel(), id));
    if (!sw || ext::controlKind(panel(), id, &kind) < 0 || kind != ext::Kind::Switch)
        return "error the panel is not loaded";
    if (sw->isHidden() || !sw->isEnabled()) return refusal(UIEGeneral, verb);
    if (static_cast<int>(sw->isChecked()) == want) return "ok";  // already there: nothing to move
    return refusal(op::FlipSwitch(panel(), id), verb);
}

std::string verbModel(Request& r) {
    const Face& f = face();
    if (r.arg.empty()) return "error model needs a value: 0..10, none or an item's text";
    int value = -1;
    if (!parseInt(r.arg, value)) {
        std::string want = r.lower;
        if (want.size() >= 2 && want.front() == '"' && want.back() == '"') want = want.substr(1, want.size() - 2);
        value = vantis::models::find(want);
        for (const auto& [v, text] : op::RingItems(panel(), f.modelRing))
            if (lower(text) == want) value = v;
    }
    bool known = false;
    for (const auto& [v, text] : op::RingItems(panel(), f.modelRing)) known = known || v == value;
    if (!known) return badValue(r.arg, "model", "0..10, none, a short name (h3-50) or an item's text");
    return refusal(op::ChooseRingItem(panel(), f.modelRing, value), "the model ring");
}

std::string verbTrigger(Request& r) { return vantis::events::triggerVerb(r.lower); }

std::string verbSpeed(Request& r) { return setSwitch("speed", face().speedSwitch, face().speedTexts, r.lower); }

std::string verbDirection(Request& r) {
    return setSwitch("direction", face().directionSwitch, face().directionTexts, r.lower);
}

std::string verbBattery(Request& r) {
    const Face& f = face();
    for (const Item& item : f.batteryItems)
        if (sameWord(r.lower, item.word)) return refusal(op::ChooseRingItem(panel(), f.batteryRing, item.value), "BATTERY");
    return badValue(r.lower, "battery", "ok, not-found or discharged");
}

std::string verbClear(Request&) { return refusal(op::PressButton(panel(), face().clearButton), "CLEAR"); }

std::string verbClose(Request&) { return op::ClosePanel(panel()) == 0 ? "ok" : "error the panel is not loaded"; }

std::string verbState(Request&) { return "ok " + stateJson().toStdString(); }

std::string verbTraffic(Request& r) {
    const Face& f = face();
    const QJsonValue receive = latin1(op::TextBoxContents(panel(), f.receiveBox));
    const QJsonValue transmit = latin1(op::TextBoxContents(panel(), f.transmitBox));
    if (r.lower.empty()) return "ok " + written(QJsonObject{{"receive", receive}, {"transmit", transmit}}).toStdString();
    if (r.lower == "receive") return "ok " + written(receive).toStdString();
    if (r.lower == "transmit") return "ok " + written(transmit).toStdString();
    return badValue(r.lower, "traffic", "receive or transmit");
}

// A wait either answers at once or leaves the session waiting (no reply yet).
std::string verbWait(Request& r) {
    const auto space = r.lower.find(' ');
    const std::string what = r.lower.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : trim(r.lower.substr(space));
    Condition cond = Condition::Ready;
    std::function<bool()> syncPoint = vantis::events::syncPoint(what);
    if (syncPoint) cond = Condition::Ready;  // not looked at
    else if (what == "ready") cond = Condition::Ready;
    else if (what == "connected") cond = Condition::Connected;
    else if (what == "disconnected") cond = Condition::Disconnected;
    else if (what == "idle") cond = Condition::Idle;
    else return badValue(what, "wait", "ready, connected, disconnected, idle, armed, erasing, erased, triggered, "
                                       "recorded, downloading or downloaded");
    double seconds = kDefaultWaitSeconds;
    if (!rest.empty() && (!parseNumber(rest, seconds) || seconds < 0 || seconds > kMaxWaitSeconds))
        return "error bad time-out " + quoted(rest) + ": expected seconds from 0 to 86400";
    if (syncPoint) {
        if (syncPoint()) return "ok";
        r.session.beginWait(std::move(syncPoint), what, seconds);
        return {};
    }
    if (holds(cond)) return "ok";
    r.session.beginWait(cond, what, seconds);
    return {};
}

std::vector<std::string> allFaults() {
    std::vector<std::string> all = linkfaults::active();
    for (auto& f : vantis::replyfaults::active()) all.push_back(std::move(f));
    return all;
}

// The instrument's own faults (reply, delay) beside the link's; the event
// stream hears of each set and cleared.
std::string faultVerb(const std::string& args) {
    std::vector<std::string> w;
    for (std::size_t i = 0; i < args.size();) {
        const auto b = args.find_first_not_of(' ', i);
        if (b == std::string::npos) break;
        const auto e = args.find(' ', b);
        w.push_back(args.substr(b, e == std::string::npos ? std::string::npos : e - b));
        i = e == std::string::npos ? args.size() : e;
    }
    const std::string what = w.empty() ? std::string() : w[0];
    if (what == "reply" || what == "delay") return vantis::replyfaults::verb(w);
    if (what == "clear" && w.size() == 2 && (w[1] == "reply" || w[1] == "delay"))
        return vantis::replyfaults::clear(w[1]), "ok";
    if (what == "list" && w.size() == 1) {
        QJsonArray list;
        for (const auto& f : allFaults()) list.append(QString::fromStdString(f));
        return "ok " + written(list).toStdString();
    }
    const std::string reply = linkfaults::verb(args);
    if (reply == "ok" && what == "clear" && w.size() == 1) vantis::replyfaults::clear();
    if (reply == "ok" && (what == "disconnect" || what == "reset")) vantis::events::tell("fault-fired", {{"what", what}});
    return reply;
}

std::string verbFault(Request& r) {
    const auto before = allFaults();
    std::string reply = faultVerb(r.lower);
    vantis::events::faultsChanged(before, allFaults());
    return reply;
}


// The file name keeps its case.
std::string verbCapture(Request& r) { return vantis::capture::verb(r.arg); }
// The file name keeps its case. A load replies once the file is read.
std::string verbData(Request& r) {
    if (r.lower == "expected" || r.lower.rfind("expected ", 0) == 0) return vantis::expected::verb(r.lower.substr(8));
    recording::LaterReply later;
    const std::string answer = recording::verb(r.arg, &later);
    if (!later) {
        vantis::events::dataMayHaveChanged();
        return answer;
    }
    r.session.replyWhen([later = std::move(later)]() {
        std::optional<std::string> done = later();
        if (done) vantis::events::dataMayHaveChanged();
        return done;
    });
    return answer;
}

// The session carries the event stream from now on: "ok", then one line per event.
std::string verbEvents(Request& r) {
    if (!r.lower.empty() && r.lower != "--json") return badValue(r.lower, "events", "nothing or --json");
    if (!r.session.listenForEvents(r.lower == "--json")) return "error too many event listeners";
    return {};
}

std::string verbTimeScale(Request& r) {
    if (r.arg.empty()) return "ok " + formatNumber(ext::timeScale());
    double k = 0;
    if (!parseNumber(r.arg, k) || !ext::setTimeScale(k)) return badValue(r.arg, "time-scale", "a number from 0.1 to 100");
    return "ok";
}

std::string verbPing(Request&) { return "ok"; }

struct Handler {
    std::string_view verb;
    std::string (*run)(Request&);
};

#define VANTIS_VERB_HANDLER(handler, name, args, help) Handler{name, &handler},
constexpr Handler kHandlers[] = {VANTIS_CONTROL_VERBS(VANTIS_VERB_HANDLER)};
#undef VANTIS_VERB_HANDLER

// The reply to one request line; empty when it comes later (a wait).
std::string dispatch(Session& session, const std::string& request) {
    const std::string line = trim(request);
    const auto space = line.find(' ');
    const std::string verb = lower(line.substr(0, space));
    if (verb.empty()) return "error empty request";
    const std::string arg = space == std::string::npos ? std::string() : trim(line.substr(space));
    Request r{session, arg, lower(arg)};
    for (const Handler& h : kHandlers)
        if (h.verb == verb) return h.run(r);
    return "error unknown verb " + quoted(verb) + " (" + vantis::verbs::names() + ")";
}

// ---- Sessions ----

std::string tooLong() { return "error request longer than " + std::to_string(kMaxLine) + " bytes; dropped"; }

Session::Session(QLocalSocket* socket, QObject* server) : QObject(server), m_socket(socket) {
    socket->setParent(this);
    socket->setReadBufferSize(kReadBufferBytes);
    m_waitPoll.setInterval(kWaitPollMs);
    connect(&m_waitPoll, &QTimer::timeout, this, &Session::checkWait);
    connect(socket, &QLocalSocket::readyRead, this, &Session::serve);
    connect(socket, &QLocalSocket::bytesWritten, this, &Session::serveLater);
    // Not at once: the signal may come from inside a read of this very session.
    connect(socket, &QLocalSocket::disconnected, this, [this] {
        m_gone = true;
        QMetaObject::invokeMethod(this, &Session::finish, Qt::QueuedConnection);
    });
    serveLater();
}

Session::~Session() {
    m_socket->disconnect(this);
    m_socket->flush();  // the last replies (to close, say) go out
    m_socket->abort();
}

void Session::reply(const std::string& line) {
    if (m_socket->state() != QLocalSocket::ConnectedState) return;
    m_socket->write(QByteArray::fromStdString(line) + '\n');
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

void Session::serve() {
    m_servePosted = false;
    if (m_gone) return;
    const QPointer<Session> self(this);  // a verb may run the program's events
    if (m_listener) return;  // an event stream reads no more requests
    for (int handled = 0; handled < kRequestsPerPass; ++handled) {
        // Replies go out in order: nothing after a wait is read until it ends, and
        // a script that does not read its replies is not read from either.
        if (m_waiting || m_socket->bytesToWrite() > kMaxUnsentBytes) return;
        std::string request;
        if (!takeRequest(request)) return;
        const std::string answer = dispatch(*this, request);
        if (!self || m_gone) return;
        if (!answer.empty()) reply(answer);
        if (m_listener) return;
    }
    serveLater();  // more may wait: after the program's next event pass
}

void Session::serveLater() {
    if (m_servePosted || m_done) return;
    m_servePosted = true;
    QTimer::singleShot(0, this, &Session::serve);
}

void Session::beginWait(Condition condition, const std::string& name, double seconds) {
    m_waiting = Waiting{condition, name, {}, static_cast<qint64>(std::llround(seconds * 1000.0)), {}, {}};
    m_waiting->since.start();
    m_waitPoll.start();
}

void Session::replyWhen(recording::LaterReply later) {
    m_waiting = Waiting{Condition::Ready, "data", {}, 0, std::move(later), {}};
    m_waitPoll.start();
}

void Session::beginWait(std::function<bool()> test, const std::string& name, double seconds) {
    beginWait(Condition::Ready, name, seconds);
    m_waiting->test = std::move(test);
}

bool Session::listenForEvents(bool json) {
    m_listener = vantis::events::listen(m_socket, json);
    if (!m_listener) return false;
    reply("ok");  // before the first event
    return true;
}

void Session::checkWait() {
    if (!m_waiting) return m_waitPoll.stop();
    if (m_waiting->later) {
        const std::optional<std::string> answer = m_waiting->later();
        if (!answer) return;
        reply(*answer);
    } else if (m_waiting->test ? m_waiting->test() : holds(m_waiting->condition)) {
        reply("ok");
    } else if (m_waiting->since.elapsed() >= m_waiting->limitMs) {
        const double seconds = static_cast<double>(m_waiting->limitMs) / 1000.0;
        reply("error timed out after " + formatNumber(seconds) + " s waiting for " + m_waiting->name);
    } else {
        return;
    }
    m_waiting.reset();
    m_waitPoll.stop();
    serveLater();
}

// A script that sent its requests and went at once still has them carried out;
// a request it did not finish is dropped, and so is a wait nobody will hear of.
void Session::finish() {
    const QPointer<Session> self(this);
    std::string request;
    for (int handled = 0; handled < kRequestsPerPass && !m_listener && takeRequest(request); ++handled) {
        dispatch(*this, request);
        if (!self) return;
        m_waiting.reset();
    }
    m_waitPoll.stop();
    m_done = true;
    deleteLater();
}

// ---- The server ----

// The folder of the default socket must be this user's alone.
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

class ControlServer : public QObject {
    Q_OBJECT
public:
    explicit ControlServer(const QString& path) : m_path(path), m_lock(path + QStringLiteral(".lock")) {}
    ~ControlServer() override;

    // Takes the lock, clears a stale socket and listens; false, with the reason
    // on stderr, when the channel cannot be had.
    bool open();
    const QString& path() const { return m_path; }

private:
    bool refuse(const QString& why);
    bool clearWay();
    void acceptClients();
    int clientCount() const;

    QString m_path;
    QLockFile m_lock;         // declared before the listener: released after it
    QLocalServer m_listener;
};

ControlServer::~ControlServer() {
    // Scripts first, then the socket; the lock goes last, with the members, so
    // that no simulator starting meanwhile finds it free while this one answers.
    qDeleteAll(findChildren<Session*>(Qt::FindDirectChildrenOnly));
    m_listener.close();  // removes the socket
}

bool ControlServer::refuse(const QString& why) {
    warn(QStringLiteral("control channel off: ") + why);
    return false;
}

bool ControlServer::open() {
    // One simulator per socket: the lock is held while the simulator lives. A
    // lock left by one that crashed names a process that is gone, and is taken.
    if (!m_lock.tryLock(0)) {
        if (m_lock.error() == QLockFile::LockFailedError) return refuse("another simulator is using " + m_path);
        return refuse(QStringLiteral("cannot create %1.lock").arg(m_path));
    }
    QFile::setPermissions(m_path + QStringLiteral(".lock"), QFile::ReadOwner | QFile::WriteOwner);
    if (!clearWay()) return false;
    m_listener.setSocketOptions(QLocalServer::UserAccessOption);
    m_listener.setMaxPendingConnections(kMaxClients);
    if (!m_listener.listen(m_path))
        return refuse(QStringLiteral("cannot listen on %1: %2").arg(m_path, m_listener.errorString()));
    QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);  // owner only, whatever the folder allows
    connect(&m_listener, &QLocalServer::newConnection, this, &ControlServer::acceptClients);
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
    while (QLocalSocket* socket = m_listener.nextPendingConnection()) {
        if (clientCount() >= kMaxClients) {
            socket->write("error too many control clients\n");
            socket->flush();
            socket->disconnectFromServer();
            socket->deleteLater();
            continue;
        }
        new Session(socket, this);
    }
}

// ---- The channel ----

std::unique_ptr<ControlServer>& server() {
    static std::unique_ptr<ControlServer> s;
    return s;
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

QString fileName(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// The test's path, else VANTIS_CONTROL_SOCKET, else the default in a folder
// that must be the user's alone; none when the channel is to stay off.
std::optional<QString> chosenPath() {
    {
        auto& t = testSocket();
        std::lock_guard lock(t.mutex);
        if (t.set) {
            if (t.path.empty()) return std::nullopt;  // a test that wants no channel
            return fileName(t.path);
        }
    }
    const std::string& name = vantis::services::instanceName();
    const std::string path = vantis::controlSocketPath(name);
    const bool inOwnFolder = !name.empty() || path == vantis::controlDirectory() + "/control";
    if (inOwnFolder && !ownFolder(fileName(vantis::controlDirectory()))) return std::nullopt;
    if (!name.empty() && !ownFolder(fileName(vantis::controlDirectory() + "/" + name))) return std::nullopt;
    return fileName(path);
}

}  // namespace

std::string jsonString(const std::string& text) { return written(latin1(text)).toStdString(); }

void start() {
    if (server()) return;
    const std::optional<QString> path = chosenPath();
    if (!path) return;
    auto candidate = std::make_unique<ControlServer>(*path);
    if (candidate->open()) server() = std::move(candidate);
}

void stop() { server().reset(); }

std::string socketPath() { return server() ? QFile::encodeName(server()->path()).toStdString() : std::string(); }

void setSocketForTests(bool set, const std::string& path) {
    auto& t = testSocket();
    std::lock_guard lock(t.mutex);
    t.set = set;
    t.path = path;
}

}  // namespace cvi::control

#include "control.moc"
