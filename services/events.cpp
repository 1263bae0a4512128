#include "events.h"

#include <QAbstractButton>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "VAmain.h"
#include "instrument_view.h"
#include "cvi.h"
#include "downloadwatch.h"
#include "extension.h"
#include "instrument.h"
#include "models.h"
#include "operator.h"
#include "recording.h"
#include "serialcom.h"
#include "verbs.h"
#include "parts.h"

namespace vantis::events {
namespace {

// A listener that stops reading gets no more than this queued; the rest is
// counted and told as `lost N` once it reads again.
constexpr qint64 kMaxBacklogBytes = 64 * 1024;
constexpr qint64 kResumeBelowBytes = 16 * 1024;
constexpr std::size_t kMaxLineBytes = 255;      // the receive ring's longest line
constexpr std::size_t kMaxPendingLines = 256;
constexpr std::size_t kMaxReplyBytes = 1024;
constexpr int kMaxListeners = 16;

// The event's place in the list of events, for its count.
std::size_t indexOf(std::string_view name) {
    for (std::size_t i = 0; i < std::size(verbs::kEventNames); ++i)
        if (verbs::kEventNames[i] == name) return i;
    return std::size(verbs::kEventNames);
}

std::string jsonText(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// ---- Listeners ----

class Listener {
public:
    Listener(QLocalSocket* socket, bool json) : m_socket(socket), m_json(json) {
        m_drained = QObject::connect(socket, &QLocalSocket::bytesWritten, socket, [this] { drained(); });
    }
    ~Listener() { QObject::disconnect(m_drained); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    void hand(double tMs, const char* name, std::initializer_list<Word> words) {
        if (!m_socket || m_socket->state() != QLocalSocket::ConnectedState) return;
        if (m_lost > 0 || m_socket->bytesToWrite() > kMaxBacklogBytes) {
            ++m_lost;
            m_lostSince = m_lostSince < 0 ? tMs : m_lostSince;
            return;
        }
        write(line(tMs, name, words));
    }

private:
    std::string line(double tMs, const char* name, std::initializer_list<Word> words) const {
        char t[32];
        std::snprintf(t, sizeof t, "%.1f", tMs);
        std::string out;
        if (m_json) {
            out = std::string("{\"t_ms\": ") + t + ", \"event\": " + jsonText(name);
            for (const Word& w : words) out += ", " + jsonText(w.key) + ": " + (w.number ? w.value : jsonText(w.value));
            out += "}";
        } else {
            out = std::string(t) + " " + name;
            for (const Word& w : words) out += " " + w.value;
        }
        return out + "\n";
    }

    void write(const std::string& text) {
        m_socket->write(text.data(), static_cast<qint64>(text.size()));
        m_socket->flush();  // never waits: what the system does not take stays queued
    }

    void drained() {
        if (m_lost == 0 || !m_socket || m_socket->bytesToWrite() > kResumeBelowBytes) return;
        const unsigned long long lost = m_lost;
        m_lost = 0;
        write(line(m_lostSince, "lost", {{"count", std::to_string(lost), true}}));
        m_lostSince = -1;
    }

    QPointer<QLocalSocket> m_socket;
    QMetaObject::Connection m_drained;
    bool m_json;
    unsigned long long m_lost = 0;
    double m_lostSince = -1;
};

// ---- A trigger set to land a time after arming ----

class DelayedTrigger {
public:
    void set(long long ms, bool armedNow) {
        m_ms = ms;
        m_anchored = false;
        if (armedNow) anchor(ext_now());
    }
    void cancel() {
        m_ms.reset();
        m_anchored = false;
        if (m_timer) m_timer->stop();
        letClockGo();
    }
    // The instrument has seen the press and had its turn since: it took the
    // trigger's time from the held clock, which may now go on. (The press's
    // callback may come only in a later pass.)
    void eventPass() {
        if (m_pressed && instrument.trigger_seen) letClockGo();
    }
    std::optional<long long> pending() const { return m_ms; }

    // The instrument was armed at this reading.
    void armed(double at) {
        if (m_ms && !m_anchored) anchor(at);
    }
    // The armed wait ended before the trigger was due: it waits for the next arming.
    void disarmed() {
        if (m_anchored) {
            m_anchored = false;
            if (m_timer) m_timer->stop();
        }
        letClockGo();
    }
    // A run starts or ends: nothing pending, and no timer outlives the run.
    void forget() {
        cancel();
        m_timer.reset();
    }

private:
    static double ext_now() { return cvi::ext::clockReading(); }

    // The clock stands at the due time until the instrument has seen the press,
    // so the trigger lands on it however late the program gets there.
    void anchor(double at) {
        m_due = at + static_cast<double>(*m_ms) / 1000.0;
        m_anchored = true;
        // (A microsecond past it, so that the window's whole milliseconds,
        // truncated, never come out one short by a rounding of the clock.)
        cvi::ext::holdClockAt(m_due + 1e-6);
        m_holding = true;
        look();
    }
    void letClockGo() {
        if (m_holding) cvi::ext::releaseClock();
        m_holding = false;
        m_pressed = false;
    }

    void lookIn(int ms) {
        if (!m_timer) {
            m_timer = std::make_unique<QTimer>();
            m_timer->setSingleShot(true);
            m_timer->setTimerType(Qt::PreciseTimer);
            QObject::connect(m_timer.get(), &QTimer::timeout, [this] { look(); });
        }
        m_timer->start(std::max(ms, 0));
    }

    // Presses once the clock reads the due time: a timer to shortly before it,
    // short sleeps, then a spin over the last fraction of a millisecond, so that
    // the press lands within some tens of microseconds of it.
    void look() {
        if (!m_ms || !m_anchored) return;
        constexpr double kTailSeconds = 0.002, kSpinSeconds = 0.00015;
        const auto left = [this] { return (m_due - ext_now()) / cvi::ext::timeScale(); };
        double l = left();
        if (l > kTailSeconds) return lookIn(std::min(20, static_cast<int>((l - kTailSeconds) * 1000.0)));
        // A clock that a test moves stands still: give the tail up after a moment.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::microseconds(2500);
        while (l > 0 && std::chrono::steady_clock::now() < giveUp) {
            if (l > kSpinSeconds)
                std::this_thread::sleep_for(std::chrono::duration<double>(std::min(l - kSpinSeconds, 0.0005)));
            l = left();
        }
        if (l > 0) return lookIn(1);
        press();
    }

    void press();

    std::optional<long long> m_ms;
    bool m_anchored = false;
    bool m_holding = false;  // the clock is held at m_due
    bool m_pressed = false;  // pressed while holding: let go at the next event pass
    double m_due = 0;
    std::unique_ptr<QTimer> m_timer;
};

// ---- What the observer has seen so far ----

struct PendingLine {
    unsigned long long end;  // offset in the received bytes just past its line feed
    std::string name;
};

}  // namespace

struct Observer {
    bool running = false;
    double startReading = 0;
    unsigned long long counts[std::size(verbs::kEventNames)] = {};
    std::vector<Listener*> listeners;

    int model = 0;
    unsigned client = 0;
    bool erasing = false;
    bool armed = false;
    bool triggerSeen = false;
    bool triggeredThisArm = false;
    bool scriptPress = false;  // a script pressed TRIGGER; its callback is still to come
    std::string dataSource = "pattern";

    // The client's request lines, as the receive ring gets them.
    unsigned long long bytesIn = 0;  // bytes handed to the ring since the client came
    std::string line;
    bool droppingLine = false;
    std::deque<PendingLine> lines;
    std::string answering;  // the command the interpreter took last

    // The reply being written, and the ARM reply's end (the arming's moment).
    bool armReplyWritten = false;
    double armedAt = 0;

    DownloadWatch downloads;
    DelayedTrigger trigger;
};

namespace {

Observer& seen() { return services::partOf(services::parts().events); }

// The button's own click, as a press of it gives, but without drawing it down
// and up first: a click repaints the button before it reports itself, which
// would land the trigger a few hundred microseconds late. Refused, as a person
// would be, while the button is hidden or dimmed.
void DelayedTrigger::press() {
    const auto& f = cvi::instrument::view();
    auto* button = qobject_cast<QAbstractButton*>(cvi::ext::widgetOf(f.panel(), f.triggerButton));
    if (!button || !button->isVisible() || !button->isEnabled()) {
        disarmed();  // not armed any more: the next arming starts the time again
        return;
    }
    seen().scriptPress = true;
    const bool holding = m_holding;
    m_holding = false;  // the press keeps the clock held: the instrument reads it next
    cancel();
    m_holding = holding;
    m_pressed = holding;
    emit button->clicked(false);
}

std::string number(long long v) { return std::to_string(v); }

int innermostWait() { return instrument.waits_in_service > 0 ? instrument.wait_kind : kWaitNone; }

// The name a request line is answered by, as the instrument's framing and
// dispatch would take it: ?1 for a bad or missing sum, ?2 for what it does not know.
std::string classify(std::string_view text) {
    const auto lastHash = text.rfind('#');
    if (lastHash == std::string_view::npos) return "?1";
    const unsigned sum = byte_sum(text.data(), lastHash + 1);
    if (parse_number(text.data() + lastHash + 1, text.data() + text.size()) != static_cast<int>(sum)) return "?1";
    text = text.substr(0, lastHash);
    const std::string_view name = text.substr(0, text.find('#'));
    if (name.size() >= 128 || std::count(text.begin(), text.end(), '#') > 3) return "?2";
    if (innermostWait() == kWaitErase) return name == "E" || name == "S" ? std::string(name) : "?2";
    char cName[128];
    std::memcpy(cName, name.data(), name.size());
    cName[name.size()] = '\0';
    const char* command = command_name(cName);
    return command ? command : "?2";
}

void programRead(unsigned handle, const unsigned char* data, std::size_t length) {
    auto& o = seen();
    if (!o.running || handle != instrument.client_handle) return;
    observe();
    // While armed or waiting for a comment the bytes are a raw block, not request lines.
    if (instrument.awaiting_reply) return;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(data[i]);
        ++o.bytesIn;
        if (o.droppingLine) {
            o.droppingLine = c != '\n';
            continue;
        }
        if (c != '\n') {
            o.line += c;
            if (o.line.size() >= kMaxLineBytes) {  // the ring drops a line it cannot hold
                o.line.clear();
                o.droppingLine = true;
            }
            continue;
        }
        if (o.lines.size() < kMaxPendingLines) o.lines.push_back({o.bytesIn, classify(o.line)});
        o.line.clear();
    }
}

// Request lines the interpreter has taken out of the ring since last looked.
void takeRequests() {
    auto& o = seen();
    if (o.lines.empty()) return;
    const unsigned unread = static_cast<std::uint8_t>(rx_ring.write_index - rx_ring.read_index);
    const unsigned long long taken = o.bytesIn >= unread ? o.bytesIn - unread : 0;
    while (!o.lines.empty() && o.lines.front().end <= taken) {
        o.answering = o.lines.front().name;
        o.lines.pop_front();
        if (o.listeners.empty()) ++o.counts[indexOf("request")];  // nobody to tell: only counted
        else tell("request", {{"name", o.answering}});
    }
}

std::string sourceNow() {
    const std::string d = cvi::recording::describe();
    const std::string key = "\"source\":\"";
    const auto at = d.find(key);
    if (at == std::string::npos) return "pattern";
    const auto end = d.find('"', at + key.size());
    return d.substr(at + key.size(), end - at - key.size());
}

void lookAtData() {
    auto& o = seen();
    const std::string now = sourceNow();
    if (now == o.dataSource) return;
    o.dataSource = now;
    tell("data", {{"source", now}});
}

// The ring has taken its text: the reply's first field ("ARM" of "ARM#0#500#44"),
// or the text up to a space ("?1" of "?1 - should be 12").
std::string replyName(const unsigned char* data, std::size_t length) {
    std::string name;
    for (std::size_t i = 0; i < length && name.size() < 40; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '#' || c == ' ' || c == '\r' || c == '\n') break;
        name += c;
    }
    return name;
}

bool replyLine(const unsigned char* data, std::size_t length) {
    if (length == 0 || length > kMaxReplyBytes || data[length - 1] != '\n') return false;
    for (std::size_t i = 0; i < length; ++i)
        if ((data[i] < 0x20 && data[i] != '\r' && data[i] != '\n' && data[i] != '\t') || data[i] >= 0x7f) return false;
    return true;
}

}  // namespace

void tell(const char* name, std::initializer_list<Word> words) {
    auto& o = seen();
    if (const std::size_t i = indexOf(name); i < std::size(o.counts)) ++o.counts[i];
    if (o.listeners.empty()) return;
    const double tMs = (cvi::ext::clockReading() - o.startReading) * 1000.0;
    for (Listener* l : o.listeners) l->hand(tMs, name, words);
}

unsigned long long timesTold(const std::string& name) {
    const std::size_t i = indexOf(name);
    return i < std::size(seen().counts) ? seen().counts[i] : 0;
}

void observe() {
    auto& o = seen();
    if (!o.running) return;
    if (instrument.model_type != o.model) {
        o.model = instrument.model_type;
        tell("model", {{"model", number(o.model), true}, {"name", models::shortName(o.model)}});
        lookAtData();  // a model the loaded file does not fit falls back to the pattern
    }
    if (instrument.client_handle != o.client) {
        if (o.client) tell("disconnected");
        o.client = instrument.client_handle;
        o.line.clear();
        o.droppingLine = false;
        o.lines.clear();
        o.bytesIn = static_cast<std::uint8_t>(rx_ring.write_index - rx_ring.read_index);
        if (o.client) {
            char address[64] = "";
            GetTCPPeerAddr(o.client, address, sizeof address);
            tell("connected", {{"address", address}});
        }
    }
    // What ended came before any request taken since (a command is taken only
    // once the one before it is done); what started came after one.
    const int wait = innermostWait();
    const bool erasing = wait == kWaitErase, armed = wait == kWaitArm;
    const bool triggerSeen = instrument.trigger_seen != 0;
    const auto lookAtTrigger = [&] {
        if (triggerSeen && !o.triggerSeen && !o.triggeredThisArm) {
            o.triggeredThisArm = true;
            tell("triggered", {{"source", o.scriptPress ? "script" : "panel"}});
        }
        if (triggerSeen && !o.triggerSeen) o.scriptPress = false;
        o.triggerSeen = triggerSeen;
    };
    if (o.erasing && !erasing) {
        o.erasing = false;
        if (instrument.erase_count > instrument.erase_ticks && instrument.record_state == kRecordErased) tell("erase-done");
    }
    if (o.armed && !armed) {
        lookAtTrigger();
        o.armed = false;
        o.trigger.disarmed();
        if (instrument.record_state == kRecordHeld)
            tell("recorded", {{"start", number(instrument.window_start_ms), true},
                              {"end", number(instrument.window_end_ms), true}});
    }
    takeRequests();
    if (erasing && !o.erasing) {
        o.erasing = true;
        tell("erase-started");
    }
    if (armed && !o.armed) {
        o.armed = true;
        o.triggeredThisArm = false;
        o.triggerSeen = false;
        tell("armed");
        o.trigger.armed(o.armReplyWritten ? o.armedAt : cvi::ext::clockReading());
        o.armReplyWritten = false;
    }
    lookAtTrigger();
}

WriteSeen beforeWrite(unsigned handle, const unsigned char* data, std::size_t length) {
    auto& o = seen();
    WriteSeen out;
    if (!o.running || !data) return out;
    observe();
    const auto& d = o.downloads.current();
    if (d && static_cast<int>(length) == d->frameBytes) {
        o.downloads.onWrite(handle, data, length);
        return out;
    }
    if (!replyLine(data, length)) {
        o.downloads.onWrite(handle, data, length);
        return out;
    }
    out.reply = true;
    out.command = o.answering;
    const std::string name = replyName(data, length);
    if (o.listeners.empty()) ++o.counts[indexOf("reply")];
    else tell("reply", {{"name", name}});
    if (o.armed && name == "T" && !o.triggeredThisArm) {  // the client's own trigger, answered
        o.triggeredThisArm = true;
        tell("triggered", {{"source", "client"}});
    }
    // ARM's answer "ARM#a#b#": the instrument counts its armed time from just after it.
    o.armReplyWritten = name == "ARM" && length > 4 && data[4] >= '0' && data[4] <= '9';
    o.downloads.onWrite(handle, data, length);
    return out;
}

void afterWrite() {
    auto& o = seen();
    if (o.armReplyWritten) o.armedAt = cvi::ext::clockReading();
}

DownloadWatch& downloads() { return seen().downloads; }

// Once, by the services object.
void install() {
    auto& o = seen();
    o.downloads.started = [](const DownloadWatch::Download& d) {
        tell("download-started", {{"command", d.command}, {"frames", number(d.frames), true}});
    };
    o.downloads.finished = [](const DownloadWatch::Download& d) {
        tell("download-done", {{"frames_sent", number(d.sent), true}});
    };
    cvi::ext::onStart([] {
        auto& s = seen();
        s.running = true;
        s.startReading = cvi::ext::clockReading();
        std::fill(std::begin(s.counts), std::end(s.counts), 0ULL);
        s.model = instrument.model_type;
        s.client = instrument.client_handle;
        s.erasing = s.armed = s.triggeredThisArm = s.scriptPress = s.armReplyWritten = false;
        s.triggerSeen = instrument.trigger_seen != 0;
        s.dataSource = sourceNow();
        s.lines.clear();
        s.line.clear();
        s.answering.clear();
        s.trigger.forget();
    });
    cvi::ext::onBeforeWait([] { observe(); });
    cvi::ext::onEventPass([] {
        // Back in the instrument's loop: a download still open has ended.
        if (seen().downloads.current()) seen().downloads.onEventPass();
        seen().trigger.eventPass();
        observe();
    });
    // Installed after the control channel: run before it stops, while listeners are there.
    cvi::ext::onStop(closing);
    cvi::ext::onProgramRead(programRead);
}

std::function<bool()> syncPoint(const std::string& word) {
    struct Point {
        const char* word;
        const char* event;
        bool (*now)();
    };
    static const Point kPoints[] = {
        {"armed", "armed", [] { return innermostWait() == kWaitArm; }},
        {"erasing", "erase-started", [] { return innermostWait() == kWaitErase; }},
        {"erased", "erase-done", nullptr},
        {"triggered", "triggered", nullptr},
        {"recorded", "recorded", nullptr},
        {"downloading", "download-started", [] { return seen().downloads.current().has_value(); }},
        {"downloaded", "download-done", nullptr},
    };
    for (const Point& p : kPoints) {
        if (word != p.word) continue;
        observe();
        const std::string event = p.event;
        const unsigned long long before = timesTold(event);
        const auto now = p.now;
        return [event, before, now] {
            observe();
            return timesTold(event) > before || (now && now());
        };
    }
    return {};
}

std::shared_ptr<void> openStream(QLocalSocket* socket, bool json) {
    auto& o = seen();
    if (static_cast<int>(o.listeners.size()) >= kMaxListeners) return {};
    observe();  // what happened before the listener came is not told
    auto* l = new Listener(socket, json);
    o.listeners.push_back(l);
    return std::shared_ptr<void>(l, [](void* p) {
        auto* l = static_cast<Listener*>(p);
        std::erase(seen().listeners, l);
        delete l;
    });
}

std::string triggerVerb(const std::string& args) {
    auto& o = seen();
    const auto& f = cvi::instrument::view();
    if (args.empty()) {
        const int rc = cvi::op::PressButton(f.panel(), f.triggerButton);
        if (rc == 0) o.scriptPress = true;
        if (rc == 0) return "ok";
        return rc == UIEGeneral ? "error refused: TRIGGER is hidden or dimmed" : "error the panel is not loaded";
    }
    if (args == "--cancel") {
        o.trigger.cancel();
        return "ok";
    }
    const std::string after = "--after";
    if (args.rfind(after, 0) == 0) {
        std::string ms = args.substr(after.size());
        if (!ms.empty() && ms[0] == '=') ms = ms.substr(1);
        const auto b = ms.find_first_not_of(' ');
        ms = b == std::string::npos ? "" : ms.substr(b);
        if (!ms.empty() && ms.size() <= 8 && ms.find_first_not_of("0123456789") == std::string::npos) {
            observe();
            o.trigger.set(std::stoll(ms), o.armed);
            return "ok";
        }
        return "error bad value \"" + ms.substr(0, 40) + "\" for trigger --after: expected milliseconds from 0 to 99999999";
    }
    return "error bad value \"" + args.substr(0, 40) + "\" for trigger: expected nothing, --after MS or --cancel";
}

std::optional<long long> triggerAfterMs() { return seen().trigger.pending(); }

void dataMayHaveChanged() {
    if (seen().running) lookAtData();
}

void faultsChanged(const std::vector<std::string>& before, const std::vector<std::string>& after) {
    for (const std::string& f : after)
        if (std::find(before.begin(), before.end(), f) == before.end()) tell("fault-set", {{"what", f}});
    for (const std::string& f : before)
        if (std::find(after.begin(), after.end(), f) == after.end()) tell("fault-cleared", {{"what", f}});
}

void closing() {
    auto& o = seen();
    if (!o.running) return;
    tell("closing");
    o.running = false;
    o.trigger.forget();
}

}  // namespace vantis::events
