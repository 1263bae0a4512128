#include "replyfaults.h"

#include <QTimer>

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <random>

#include "instrument_view.h"
#include "cvi.h"
#include "extension.h"
#include "parts.h"

namespace vantis::replyfaults {
namespace {

constexpr std::size_t kMaxFaults = 16;
constexpr long long kMaxCount = 100000;
constexpr long long kMaxDelayMs = 600000;
constexpr std::size_t kMaxHeld = 256;
constexpr std::uint64_t kDefaultSeed = 20240611u;

enum class Kind { BadChecksum, Error, Garbage, Empty, Stray, Drop, Delay };

struct KindName {
    Kind kind;
    const char* name;
};
constexpr KindName kKinds[] = {{Kind::BadChecksum, "bad-checksum"}, {Kind::Error, "error"}, {Kind::Garbage, "garbage"},
                               {Kind::Empty, "empty"},              {Kind::Stray, "stray"}, {Kind::Drop, "drop"}};

struct Fault {
    Kind kind;
    long long left;       // replies still to take
    std::string command;  // upper case; empty: any reply
    long long delayMs = 0;
};

struct Held {
    unsigned handle;
    std::string bytes;
    double due;  // on the instrument's clock
};

}  // namespace

struct State {
    std::deque<Fault> faults;
    std::deque<Held> held;
    std::string lastReply;  // the last reply line that went out, as it went
    unsigned lastHandle = 0;
    std::mt19937_64 random{kDefaultSeed};
    std::unique_ptr<QTimer> timer;
    std::vector<std::function<void(const std::string&, bool)>> fired;
};

namespace {

State& faultState() { return services::partOf(services::parts().replies); }

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

const char* nameOf(Kind k) {
    if (k == Kind::Delay) return "delay";
    for (const auto& kn : kKinds)
        if (kn.kind == k) return kn.name;
    return "?";
}

std::string describe(const Fault& f) {
    std::string out = f.kind == Kind::Delay ? "delay " + std::to_string(f.delayMs) : std::string("reply ") + nameOf(f.kind);
    out += " " + std::to_string(f.left);
    if (!f.command.empty()) out += " " + f.command;
    return out;
}

std::string firedName(const Fault& f) {
    return f.kind == Kind::Delay ? "delay " + std::to_string(f.delayMs) : std::string("reply ") + nameOf(f.kind);
}

// The sum after the last '#' of "TEXT#SUM\r\n": where it starts and ends; false without one.
bool sumField(const std::string& line, std::size_t& from, std::size_t& to) {
    to = line.size();
    while (to > 0 && (line[to - 1] == '\n' || line[to - 1] == '\r')) --to;
    const auto hash = line.rfind('#', to == 0 ? 0 : to - 1);
    if (hash == std::string::npos || hash + 1 >= to) return false;
    for (std::size_t i = hash + 1; i < to; ++i)
        if (line[i] < '0' || line[i] > '9') return false;
    from = hash + 1;
    return to - from <= 6;
}

// Can this fault act on this reply? A sum needs a sum to change, a stray copy an
// earlier reply; a download's header is never held (its frames follow at once).
bool applies(const Fault& f, const std::string& line, unsigned handle, std::string_view command) {
    if (!f.command.empty() && f.command != upper(std::string(command))) return false;
    std::size_t a = 0, b = 0;
    switch (f.kind) {
        case Kind::BadChecksum: return sumField(line, a, b);
        case Kind::Stray: return !faultState().lastReply.empty() && faultState().lastHandle == handle;
        case Kind::Delay: return line.rfind("DUMPBIN", 0) != 0 || line.find("#BAD#") != std::string::npos;
        default: return true;
    }
}

void note(const std::string& intended, const std::string& text) {
    const auto& face = cvi::instrument::view();
    cvi::ext::withdrawAppendedText(face.panel(), face.transmitBox, intended);
    std::string shown = text;
    if (shown.empty() || shown.back() != '\n') shown += '\n';
    SetCtrlVal(face.panel(), face.transmitBox, shown.c_str());
}

void tellFired(const std::string& what, bool spent) {
    for (const auto& fn : faultState().fired) fn(what, spent);
}

void sendHeld();

void wakeForHeld() {
    auto& s = faultState();
    if (s.held.empty()) {
        if (s.timer) s.timer->stop();
        return;
    }
    if (!s.timer) {
        s.timer = std::make_unique<QTimer>();
        s.timer->setSingleShot(true);
        s.timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(s.timer.get(), &QTimer::timeout, [] { sendHeld(); });
    }
    const double left = (s.held.front().due - cvi::ext::clockReading()) / cvi::ext::timeScale();
    // A clock that a test moves does not wake timers: look at least every 20 ms.
    s.timer->start(std::clamp(static_cast<int>(left * 1000.0), 0, 20));
}

// Held replies whose time has come go out, in the order they were held.
void sendHeld() {
    auto& s = faultState();
    const double now = cvi::ext::clockReading();
    std::sort(s.held.begin(), s.held.end(), [](const Held& a, const Held& b) { return a.due < b.due; });
    while (!s.held.empty() && s.held.front().due <= now) {
        const Held h = std::move(s.held.front());
        s.held.pop_front();
        if (cvi::ext::conversationOpen(h.handle)) cvi::ext::writeThrough(h.handle, h.bytes.data(), h.bytes.size(), 1000);
    }
    wakeForHeld();
}

std::string bad(const std::string& value, const std::string& what, const std::string& expected) {
    return "error bad value \"" + value.substr(0, 40) + "\" for fault " + what + ": expected " + expected;
}

bool wholeIn(const std::string& s, long long low, long long high, long long* out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    *out = std::stoll(s);
    return *out >= low && *out <= high;
}

}  // namespace

bool intercept(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs,
               std::string_view command, const Send& next, int* result) {
    auto& s = faultState();
    if (s.faults.empty()) {  // the common case: remember the reply for a stray copy, in place
        s.lastReply.assign(reinterpret_cast<const char*>(data), length);
        s.lastHandle = handle;
        return false;
    }
    const std::string line(reinterpret_cast<const char*>(data), length);
    const auto it = std::find_if(s.faults.begin(), s.faults.end(),
                                 [&](const Fault& f) { return applies(f, line, handle, command); });
    if (it == s.faults.end()) {
        s.lastReply = line;
        s.lastHandle = handle;
        return false;
    }
    const Fault fault = *it;
    const bool spent = --it->left <= 0;
    if (spent) s.faults.erase(it);
    tellFired(firedName(fault), spent);
    std::string out = line;
    const auto send = [&](const std::string& bytes) {
        return next(handle, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), timeoutMs);
    };
    const std::string label = "[reply fault: " + std::string(nameOf(fault.kind)) + "] ";
    switch (fault.kind) {
        case Kind::BadChecksum: {
            std::size_t a = 0, b = 0;
            sumField(line, a, b);
            out = line.substr(0, a) + std::to_string(std::stoi(line.substr(a, b - a)) + 1) + line.substr(b);
            break;
        }
        case Kind::Error: out = "?2\r\n"; break;
        case Kind::Garbage: {
            std::uniform_int_distribution<int> printable(0x20, 0x7e);
            for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(printable(s.random));
            if (out.size() >= 2) out.replace(out.size() - 2, 2, "\r\n");
            break;
        }
        case Kind::Empty: out = "\r\n"; break;
        case Kind::Stray: {
            const std::string copy = s.lastReply;
            note(line, label + copy + line);
            send(copy);
            *result = send(line);
            s.lastReply = line;
            return true;
        }
        case Kind::Drop:
            note(line, "[reply fault: not sent] " + line);
            *result = static_cast<int>(length);  // the instrument believes it went
            return true;
        case Kind::Delay:
            if (s.held.size() >= kMaxHeld) return false;  // bounded: beyond it, replies go on time
            note(line, "[reply fault: delayed " + std::to_string(fault.delayMs) + " ms] " + line);
            s.held.push_back({handle, line, cvi::ext::clockReading() + static_cast<double>(fault.delayMs) / 1000.0});
            s.lastReply = line;
            s.lastHandle = handle;
            wakeForHeld();
            *result = static_cast<int>(length);
            return true;
    }
    note(line, label + out);
    s.lastReply = out;
    s.lastHandle = handle;
    *result = send(out);
    // The instrument wrote its own reply; a shorter stand-in still counts as all of it.
    if (*result >= 0) *result = static_cast<int>(length);
    return true;
}

std::string verb(const std::vector<std::string>& w) {
    auto& s = faultState();
    const std::string what = w.empty() ? std::string() : w[0];
    Fault f{Kind::Delay, 1, {}, 0};
    std::size_t i = 1;
    if (what == "reply") {
        const std::string kind = w.size() > 1 ? w[1] : "";
        const auto k = std::find_if(std::begin(kKinds), std::end(kKinds), [&](const KindName& kn) { return kind == kn.name; });
        if (k == std::end(kKinds)) return bad(kind, "reply", "bad-checksum, error, garbage, empty, stray or drop");
        f.kind = k->kind;
        i = 2;
    } else {
        if (w.size() < 2 || !wholeIn(w[1], 0, kMaxDelayMs, &f.delayMs))
            return bad(w.size() > 1 ? w[1] : "", "delay", "milliseconds from 0 to " + std::to_string(kMaxDelayMs));
        i = 2;
    }
    for (; i < w.size(); i += 2) {
        const std::string& option = w[i];
        const std::string value = i + 1 < w.size() ? w[i + 1] : "";
        if (option == "--count") {
            if (!wholeIn(value, 1, kMaxCount, &f.left))
                return bad(value, what + " --count", "a count from 1 to " + std::to_string(kMaxCount));
        } else if (option == "--command") {
            if (value.empty() || value.size() > 40 || value.find_first_of("#\r\n") != std::string::npos)
                return bad(value, what + " --command", "a command's name (ARM, DUMPBINA, ?2)");
            f.command = upper(value);
        } else {
            return bad(option, what, "--count N or --command NAME");
        }
    }
    if (s.faults.size() >= kMaxFaults) return "error too many reply faults are set; fault clear drops them";
    s.faults.push_back(f);
    return "ok";
}

std::vector<std::string> active() {
    std::vector<std::string> out;
    for (const Fault& f : faultState().faults) out.push_back(describe(f));
    return out;
}

bool clearFaults(const std::string& what) {
    auto& s = faultState();
    if (!what.empty() && what != "reply" && what != "delay") return false;
    std::erase_if(s.faults, [&](const Fault& f) { return what.empty() || (f.kind == Kind::Delay) == (what == "delay"); });
    if (what != "reply" && !s.held.empty()) {
        // A slow instrument made fast again: what it holds goes now, in order.
        const double now = cvi::ext::clockReading();
        for (Held& h : s.held) h.due = std::min(h.due, now);
        sendHeld();
    }
    return true;
}

void restart() {
    auto& s = faultState();
    s.faults.clear();
    s.held.clear();
    s.lastReply.clear();
    s.lastHandle = 0;
    s.timer.reset();
}

void setSeed(std::uint64_t seed) { faultState().random.seed(seed); }

void onFired(std::function<void(const std::string&, bool)> fn) { faultState().fired.push_back(std::move(fn)); }

}  // namespace vantis::replyfaults
