// The verbs of the control channel. Operator verbs go through the widgets
// (operator.h), so that their callbacks run at the same points and in the same
// way as a person's.
#include "control.h"

#include <QAbstractButton>
#include <QJsonArray>
#include <QJsonObject>
#include <QWidget>

#include <optional>
#include <vector>

#include "args.h"
#include "capture.h"
#include "events.h"
#include "expected.h"
#include "models.h"
#include "replyfaults.h"
#include "cvi.h"
#include "downloadwatch.h"
#include "extension.h"
#include "instrument_view.h"
#include "linkfaults.h"
#include "operator.h"
#include "recording.h"
#include "verbs.h"

namespace cvi::control {
namespace {

using args::badValue;
using args::latin1;
using args::OrderedObject;
using args::written;

constexpr double kDefaultWaitSeconds = 10.0;
constexpr double kMaxWaitSeconds = 24 * 3600.0;

const instrument::View& view() { return instrument::view(); }
int panel() { return view().panel(); }

bool panelShown() {
    QWidget* root = ext::panelWidget(panel());
    return root && root->isVisible();
}

bool ready() { return ext::listeningPort() != 0 && panelShown(); }

std::string textOf(int id) {
    char text[1024] = "";
    GetCtrlVal(panel(), id, text, sizeof text);
    return text;
}

// A control's value, text as shown, visibility and dimming; null for one the
// panel does not have.
QByteArray describe(int id) {
    const auto& f = view();
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

// ---- Verbs (verbs.h lists them; each has its handler here) ----

struct Request {
    Session& session;
    const ChannelVerbs& verbs;
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

// A verb that takes one word: the first word too many is named.
bool oneWord(const std::string& arg, const char* verb, std::string* error) {
    const auto w = args::words(arg);
    if (w.size() <= 1) return true;
    *error = args::extraWord(w[1], verb);
    return false;
}

std::string noWords(const Request& r, const char* verb, const std::string& then) {
    if (r.arg.empty()) return then;
    return args::extraWord(args::firstWord(r.arg).first, verb);
}

std::string setSwitch(const char* verb, int id, const char* const texts[2], const std::string& arg) {
    if (std::string e; !oneWord(arg, verb, &e)) return e;
    int want = -1;
    for (int i = 0; i < 2; ++i)
        if (args::sameWord(arg, texts[i])) want = i;
    if (want < 0) return badValue(arg, verb, args::lower(texts[0]) + " or " + args::lower(texts[1]));
    ext::Kind kind{};
    auto* sw = qobject_cast<QAbstractButton*>(ext::widgetOf(panel(), id));
    if (!sw || ext::controlKind(panel(), id, &kind) < 0 || kind != ext::Kind::Switch)
        return "error the panel is not loaded";
    if (sw->isHidden() || !sw->isEnabled()) return refusal(UIEGeneral, verb);
    if (static_cast<int>(sw->isChecked()) == want) return "ok";  // already there: nothing to move
    return refusal(op::FlipSwitch(panel(), id), verb);
}

std::string verbModel(Request& r) {
    const auto& f = view();
    if (r.arg.empty()) return "error model needs a value: 0..10, none or an item's text";
    long long value = -1;
    if (!args::parseWhole(r.arg, 0, 999, value)) {
        std::string want = r.lower;
        if (want.size() >= 2 && want.front() == '"' && want.back() == '"') want = want.substr(1, want.size() - 2);
        if (want == "none") value = 0;
        if (const int named = vantis::models::find(want); named >= 0) value = named;
        for (const auto& [v, text] : op::RingItems(panel(), f.modelRing))
            if (args::lower(text) == want) value = v;
    }
    bool known = false;
    for (const auto& [v, text] : op::RingItems(panel(), f.modelRing)) known = known || v == value;
    if (!known) return badValue(r.arg, "model", "0..10, none, a short name (h3-50) or an item's text");
    return refusal(op::ChooseRingItem(panel(), f.modelRing, static_cast<int>(value)), "the model ring");
}

std::string verbTrigger(Request& r) { return vantis::events::triggerVerb(r.lower); }

std::string verbSpeed(Request& r) { return setSwitch("speed", view().speedSwitch, view().speedTexts, r.lower); }

std::string verbDirection(Request& r) {
    return setSwitch("direction", view().directionSwitch, view().directionTexts, r.lower);
}

std::string verbBattery(Request& r) {
    if (std::string e; !oneWord(r.lower, "battery", &e)) return e;
    const auto& f = view();
    for (const instrument::Item& item : f.batteryItems)
        if (args::sameWord(r.lower, item.word)) return refusal(op::ChooseRingItem(panel(), f.batteryRing, item.value), "BATTERY");
    return badValue(r.lower, "battery", "ok, not-found or discharged");
}

std::string verbClear(Request& r) {
    if (!r.arg.empty()) return noWords(r, "clear", "");
    return refusal(op::PressButton(panel(), view().clearButton), "CLEAR");
}

std::string verbClose(Request& r) {
    if (!r.arg.empty()) return noWords(r, "close", "");
    if (!ext::panelWidget(panel())) return "error the panel is not loaded";
    if (ext::busy()) {
        // Inside a download the panel's close request would wait for its end:
        // the close is heard at once, as a close signal is.
        ext::closeNow();
        return "ok";
    }
    return op::ClosePanel(panel()) == 0 ? "ok" : "error the panel is not loaded";
}

std::string verbState(Request& r) { return noWords(r, "state", "ok " + r.verbs.state()); }

std::string verbTraffic(Request& r) {
    if (std::string e; !oneWord(r.lower, "traffic", &e)) return e;
    const auto& f = view();
    const QJsonValue receive = latin1(op::TextBoxContents(panel(), f.receiveBox));
    const QJsonValue transmit = latin1(op::TextBoxContents(panel(), f.transmitBox));
    if (r.lower.empty()) return "ok " + written(QJsonObject{{"receive", receive}, {"transmit", transmit}}).toStdString();
    if (r.lower == "receive") return "ok " + written(receive).toStdString();
    if (r.lower == "transmit") return "ok " + written(transmit).toStdString();
    return badValue(r.lower, "traffic", "receive or transmit");
}

// A wait either answers at once or leaves the session waiting (no reply yet).
std::string verbWait(Request& r) {
    const auto w = args::words(r.lower);
    const std::string what = w.empty() ? std::string() : w[0];
    std::function<bool()> holds;
    const ChannelVerbs& verbs = r.verbs;
    if (what == "ready") holds = ready;
    else if (what == "connected") holds = [] { return view().client() != 0; };
    else if (what == "disconnected") holds = [] { return view().client() == 0; };
    else if (what == "idle") holds = [&verbs] { return verbs.idle(); };
    else if (auto syncPoint = vantis::events::syncPoint(what)) holds = std::move(syncPoint);
    else return badValue(what, "wait", "ready, connected, disconnected, idle, armed, erasing, erased, triggered, "
                                       "recorded, downloading or downloaded");
    if (w.size() > 2) return args::extraWord(w[2], "wait " + what + " " + w[1]);
    double seconds = kDefaultWaitSeconds;
    if (w.size() == 2 && (!args::parseDecimal(w[1], seconds) || seconds < 0 || seconds > kMaxWaitSeconds))
        return "error bad time-out " + args::quoted(w[1]) + ": expected seconds from 0 to 86400";
    if (holds()) return "ok";
    r.session.beginWait(std::move(holds), what, seconds);
    return {};
}

std::vector<std::string> allFaults() {
    std::vector<std::string> all = linkfaults::active();
    for (auto& f : vantis::replyfaults::active()) all.push_back(std::move(f));
    return all;
}

// The instrument's own faults (reply, delay) beside the link's; the event
// stream hears of each set and cleared.
std::string faultVerb(const std::string& arg) {
    const auto w = args::words(arg);
    const std::string what = w.empty() ? std::string() : w[0];
    if (what == "reply" || what == "delay") return vantis::replyfaults::verb(w);
    if (what == "clear" && w.size() == 2 && (w[1] == "reply" || w[1] == "delay"))
        return vantis::replyfaults::clearFaults(w[1]), "ok";
    if (what == "list" && w.size() == 1) {
        QJsonArray list;
        for (const auto& f : allFaults()) list.append(QString::fromStdString(f));
        return "ok " + written(list).toStdString();
    }
    const std::string reply = linkfaults::verb(arg);
    if (reply == "ok" && what == "clear" && w.size() == 1) vantis::replyfaults::clearFaults();
    if (reply == "ok" && (what == "disconnect" || what == "reset") && w.size() == 1)
        vantis::events::tell("fault-fired", {{"what", what}});
    return reply;
}

std::string verbFault(Request& r) {
    const auto before = allFaults();
    std::string reply = faultVerb(r.lower);
    vantis::events::faultsChanged(before, allFaults());
    return reply;
}

// The file name keeps its case and its bytes. A load replies once the file is read.
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

// The file name keeps its case and its bytes.
std::string verbCapture(Request& r) { return vantis::capture::verb(r.arg); }

// The session carries the event stream from now on: "ok", then one line per event.
std::string verbEvents(Request& r) {
    if (!r.lower.empty() && r.lower != "--json") return badValue(r.lower, "events", "nothing or --json");
    const bool json = r.lower == "--json";
    if (!r.session.carry([json](QLocalSocket* socket) { return vantis::events::openStream(socket, json); }))
        return "error too many event listeners";
    return {};
}

std::string verbTimeScale(Request& r) {
    if (r.arg.empty()) return "ok " + args::formatNumber(ext::timeScale());
    if (std::string e; !oneWord(r.arg, "time-scale", &e)) return e;
    double k = 0;
    if (!args::parseDecimal(r.arg, k) || !ext::setTimeScale(k))
        return badValue(r.arg, "time-scale", "a number from 0.1 to 100");
    return "ok";
}

std::string verbPing(Request& r) { return noWords(r, "ping", "ok"); }

struct Handler {
    std::string_view verb;
    std::string (*run)(Request&);
};

#define VANTIS_VERB_HANDLER(handler, name, args, help) Handler{name, &handler},
constexpr Handler kHandlers[] = {VANTIS_CONTROL_VERBS(VANTIS_VERB_HANDLER)};
#undef VANTIS_VERB_HANDLER

}  // namespace

ChannelVerbs::ChannelVerbs(const vantis::DownloadWatch& download, const std::string& name)
    : m_download(download), m_name(name) {}

bool ChannelVerbs::actsOnInstrument(const std::string& verb, const std::string& arg) const {
    // data load or pattern; showing the data, or what a download would hold, only looks
    if (verb == "data") return !arg.empty() && !args::sameWord(args::firstWord(arg).first, "expected");
    return verb == "model" || verb == "trigger" || verb == "speed" || verb == "direction" || verb == "battery" ||
           verb == "clear";
}

std::string ChannelVerbs::run(Session& session, const std::string& verb, const std::string& arg) {
    Request r{session, *this, arg, args::lower(arg)};
    for (const Handler& h : kHandlers)
        if (h.verb == verb) return h.run(r);
    return "error unknown verb " + args::quoted(verb) + " (" + vantis::verbs::names() + ")";
}

bool ChannelVerbs::idle() const { return !ext::busy() && !m_download.current() && view().noWait(); }

std::string ChannelVerbs::state() const {
    const auto& f = view();
    OrderedObject controls;
    for (int i = 0; i < f.reportedCount; ++i) controls.addWritten(f.reported[i].name, describe(f.reported[i].control));
    QJsonArray faults;
    for (const auto& fault : allFaults()) faults.append(QString::fromStdString(fault));
    const auto triggerAfter = vantis::events::triggerAfterMs();
    QByteArray download = "null";
    if (const auto& d = m_download.current())
        download = OrderedObject()
                       .add("command", QString::fromStdString(d->command))
                       .add("frames_sent", static_cast<qint64>(d->sent))
                       .add("frames", static_cast<qint64>(d->frames))
                       .text();
    return OrderedObject()
        .add("ready", ready())
        .add("tcp_port", static_cast<qint64>(ext::listeningPort()))
        .addWritten("time_scale", QByteArray::fromStdString(args::formatNumber(ext::timeScale())))  // %g, not all digits
        .add("controls", controls)
        .addWritten("instrument", QByteArray::fromStdString(f.state()))  // the program's, in its own order
        .addWritten("faults", written(faults))
        .addWritten("data", QByteArray::fromStdString(recording::describe()))
        .add("trigger_after_ms", triggerAfter ? QJsonValue(static_cast<qint64>(*triggerAfter)) : QJsonValue(QJsonValue::Null))
        .add("name", latin1(m_name))
        .add("listen", QString::fromStdString(ext::listenAddress()))
        .addWritten("capture", QByteArray::fromStdString(vantis::capture::describe()))
        .addWritten("download", download)
        .text()
        .toStdString();
}

}  // namespace cvi::control
