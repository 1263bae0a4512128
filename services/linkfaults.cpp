#include "linkfaults.h"

#include <QTimer>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <random>

#include "args.h"
#include "instrument_view.h"
#include "cvi.h"
#include "extension.h"

namespace cvi::linkfaults {
namespace {

constexpr std::size_t kMaxPending = 16;

std::deque<Fault>& queue() {
    static std::deque<Fault> q;
    return q;
}

bool printable(const unsigned char* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        if ((bytes[i] < 0x20 && bytes[i] != '\r' && bytes[i] != '\n' && bytes[i] != '\t') || bytes[i] >= 0x7f)
            return false;
    return true;
}

// Shows in the TRANSMIT box what really went out. The program echoes a text just
// before writing it; that echo, still waiting to be shown, is replaced by the note.
void note(const unsigned char* intended, std::size_t length, const std::string& replacement) {
    const auto& f = instrument::view();
    if (length > 0)
        ext::withdrawAppendedText(f.panel(), f.transmitBox, std::string_view(reinterpret_cast<const char*>(intended), length));
    SetCtrlVal(f.panel(), f.transmitBox, replacement.c_str());
}

std::string ending(const std::string& text) {
    return !text.empty() && text.back() == '\n' ? text : text + "\n";
}


// ---- Timed faults ----

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// As the run-time's own write queue: a write waits only when this is full.
constexpr std::size_t kQueueBytes = 64 * 1024;
constexpr int kRetryMs = 2;  // the run-time's queue had no room: look again after this

struct Piece {
    unsigned handle;
    std::string bytes;
    std::size_t sent = 0;
    Clock::time_point due;  // with latency: not before this
};

struct Link {
    Timed faults;
    std::deque<Piece> pieces;
    std::size_t bytes = 0;
    Clock::time_point lastPiece{};  // when the last slice left
    Clock::time_point rateFree{};   // with a rate: when the next byte may leave
    bool failFast = false;          // a write timed out since events were last processed
    QTimer* timer = nullptr;
    std::minstd_rand random{20240611u};
};

Link& link() {
    static Link l;
    return l;
}

bool timedActive(const Timed& t) {
    return t.latencyMs >= 0 || t.bytesPerSecond > 0 || t.sliceBytes > 0 || t.stall || t.closeAfter >= 0;
}

void pump();

void wakeIn(Clock::duration d) {
    auto& l = link();
    if (!l.timer) {
        l.timer = new QTimer;
        l.timer->setSingleShot(true);
        l.timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(l.timer, &QTimer::timeout, [] { pump(); });
    }
    const auto ms = std::max<long long>(0, std::chrono::ceil<milliseconds>(d).count());
    if (!l.timer->isActive() || l.timer->remainingTime() > ms) l.timer->start(static_cast<int>(ms));
}

void dropQueue() {
    auto& l = link();
    l.pieces.clear();
    l.bytes = 0;
}

// Sends what is due, in order; sets a timer for the rest.
void pump() {
    auto& l = link();
    const Timed& t = l.faults;
    while (!l.pieces.empty() && !t.stall) {
        Piece& p = l.pieces.front();
        const auto now = Clock::now();
        if (t.latencyMs >= 0 && now < p.due) return wakeIn(p.due - now);
        if (t.sliceBytes > 0 && p.sent == 0 && now < l.lastPiece + milliseconds(t.sliceGapMs))
            return wakeIn(l.lastPiece + milliseconds(t.sliceGapMs) - now);
        if (t.bytesPerSecond > 0 && now < l.rateFree) return wakeIn(l.rateFree - now);
        std::size_t n = p.bytes.size() - p.sent;
        // Held to a rate: about 20 ms worth at a time, so that the flow is even.
        if (t.bytesPerSecond > 0) n = std::min<std::size_t>(n, std::max<long long>(1, t.bytesPerSecond / 50));
        bool closing = false;
        if (t.closeAfter >= 0 && static_cast<long long>(n) >= t.closeAfter) {
            n = static_cast<std::size_t>(t.closeAfter);
            closing = true;
        }
        const int r = n ? ext::offerWrite(p.handle, p.bytes.data() + p.sent, n) : static_cast<int>(n);
        if (r < 0) {  // the client has gone: what waits for it goes too
            const unsigned gone = p.handle;
            std::erase_if(l.pieces, [&](const Piece& q) {
                if (q.handle == gone) l.bytes -= q.bytes.size() - q.sent;
                return q.handle == gone;
            });
            continue;
        }
        if (r == 0 && n > 0) return wakeIn(milliseconds(kRetryMs));
        p.sent += n;
        l.bytes -= n;
        l.lastPiece = now;
        if (t.bytesPerSecond > 0)
            l.rateFree = std::max(l.rateFree, now) +
                         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                             static_cast<double>(n) / static_cast<double>(t.bytesPerSecond)));
        if (t.closeAfter >= 0) l.faults.closeAfter -= static_cast<long long>(n);
        if (closing) {
            const unsigned handle = p.handle;
            l.faults.closeAfter = -1;
            dropQueue();
            ext::endConversation(handle);
            const auto& f = instrument::view();
            SetCtrlVal(f.panel(), f.transmitBox, "[link fault: connection closed after its bytes]\n");
            return;
        }
        if (p.sent == p.bytes.size()) l.pieces.pop_front();
    }
}

// Until the program next processes events of its own (not inside a busy pass,
// which comes between the frames of a download).
void failFastUntilEvents() {
    QTimer::singleShot(1, [] {
        if (ext::busy()) return failFastUntilEvents();
        link().failFast = false;
    });
}

// Takes a write into the queue: at once while there is room, else waiting for
// room up to the write's time-out. The wait sends what is due itself and
// processes none of the program's events: a data or model change must never
// land between two frames of a download.
int enqueue(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs) {
    auto& l = link();
    if (l.failFast) return kTCP_TimeOutErr;
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (l.bytes > 0 && l.bytes + length > kQueueBytes) {
        if (!ext::conversationOpen(handle)) return kTCP_ConnectionClosed;
        if (Clock::now() >= deadline) {
            // As the run-time does: later writes fail at once until events are
            // processed, so that a download does not wait its time-out per frame.
            l.failFast = true;
            failFastUntilEvents();
            return kTCP_TimeOutErr;
        }
        pump();
        if (l.bytes > 0 && l.bytes + length > kQueueBytes) ext::busyPause();
    }
    if (!ext::conversationOpen(handle)) return kTCP_ConnectionClosed;
    const Timed& t = l.faults;
    auto due = Clock::now();
    if (t.latencyMs >= 0) {
        int ms = t.latencyMs;
        if (t.jitterMs > 0) ms += std::uniform_int_distribution<int>(-t.jitterMs, t.jitterMs)(l.random);
        due += milliseconds(std::max(ms, 0));
    }
    const std::size_t slice = t.sliceBytes > 0 ? static_cast<std::size_t>(t.sliceBytes) : length;
    for (std::size_t at = 0; at < length; at += slice)
        l.pieces.push_back({handle, std::string(reinterpret_cast<const char*>(data) + at, std::min(slice, length - at)), 0, due});
    l.bytes += length;
    pump();
    return static_cast<int>(length);
}

void timedNote(const std::string& text) {
    const auto& f = instrument::view();
    SetCtrlVal(f.panel(), f.transmitBox, ("[link fault" + text + "]\n").c_str());
}

void clearTimed(const std::string& which) {
    auto& l = link();
    Timed& t = l.faults;
    auto off = [&](bool on, const char* name, auto reset) {
        if (!on || (!which.empty() && which != name)) return;
        reset();
        timedNote(std::string(" cleared: ") + name);
    };
    off(t.latencyMs >= 0, "latency", [&] { t.latencyMs = -1, t.jitterMs = 0; });
    off(t.bytesPerSecond > 0, "bandwidth", [&] { t.bytesPerSecond = 0; });
    off(t.sliceBytes > 0, "slice", [&] { t.sliceBytes = 0, t.sliceGapMs = 0; });
    off(t.stall, "stall", [&] {
        t.stall = false;
        ext::setReadingPaused(false);
    });
    off(t.closeAfter >= 0, "close-after", [&] { t.closeAfter = -1; });
    pump();  // what waited leaves now, as far as the faults left allow
}

// A whole number from lo to hi, in decimal.
bool number(const std::string& text, long long lo, long long hi, long long* out) {
    return args::parseWhole(text, lo, hi, *out);
}

}  // namespace

bool arm(Fault fault) {
    if (queue().size() >= kMaxPending) return false;
    queue().push_back(fault);
    return true;
}

void clear() {
    queue().clear();
    clearTimed({});
}

std::vector<Fault> pending() { return {queue().begin(), queue().end()}; }

const char* name(Fault fault) { return fault == Fault::DropNext ? "drop-next" : "corrupt-next"; }

bool disconnect() {
    const unsigned handle = instrument::view().client();
    return handle && ext::endConversation(handle);
}

std::size_t corruptionIndex(const unsigned char* bytes, std::size_t length) {
    if (length == 0 || !printable(bytes, length)) return 0;
    std::size_t hash = length;
    for (std::size_t i = length; i-- > 0;)
        if (bytes[i] == '#') {
            hash = i;
            break;
        }
    std::size_t i = hash;
    while (i > 0 && i < length && bytes[i] == '#') --i;  // "S#1#" -> the '1'
    return (hash < length && bytes[i] != '#') ? i : 0;
}

unsigned char corrupted(unsigned char byte) {
    // Flip the lowest bit, unless that would make a character the framing reads.
    const unsigned char flipped = byte ^ 0x01;
    if (flipped == '#' || flipped == '\n' || flipped == '\r' || flipped == 0) return byte ^ 0x02;
    return flipped;
}

bool intercept(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs, int* result) {
    auto& q = queue();
    const bool queueing = timedActive(link().faults) || !link().pieces.empty();
    if ((q.empty() && !queueing) || length == 0 || !data) return false;
    // Only a write that would really go out is faulted; others fail as they are.
    if (!ext::conversationOpen(handle)) return false;
    if (q.empty()) {
        *result = enqueue(handle, data, length, timeoutMs);
        return true;
    }
    const Fault fault = q.front();
    q.pop_front();
    const auto* bytes = data;
    const bool text = printable(bytes, length);
    if (fault == Fault::DropNext) {
        note(bytes, text ? length : 0,
             text ? ending("[link fault: not sent] " + std::string(reinterpret_cast<const char*>(bytes), length))
                  : "[link fault: not sent: " + std::to_string(length) + " bytes]\n");
        *result = static_cast<int>(length);  // the program believes it went
        return true;
    }
    std::string copy(reinterpret_cast<const char*>(bytes), length);
    const std::size_t at = corruptionIndex(bytes, length);
    copy[at] = static_cast<char>(corrupted(bytes[at]));
    note(bytes, text ? length : 0,
         text ? ending("[link fault: corrupted] " + copy)
              : "[link fault: corrupted byte " + std::to_string(at) + " of " + std::to_string(length) + "]\n");
    *result = queueing ? enqueue(handle, reinterpret_cast<const unsigned char*>(copy.data()), copy.size(), timeoutMs)
                       : ext::writeThrough(handle, copy.data(), copy.size(), timeoutMs);
    return true;
}

void restart() {
    queue().clear();
    auto& l = link();
    l.faults = Timed{};
    l.failFast = false;
    dropQueue();
    delete l.timer;
    l.timer = nullptr;
    ext::setReadingPaused(false);
}

Timed timed() { return link().faults; }

std::size_t queued() { return link().bytes; }

std::vector<std::string> active() {
    const Timed& t = link().faults;
    std::vector<std::string> out;
    if (t.latencyMs >= 0) out.push_back("latency " + std::to_string(t.latencyMs) + " " + std::to_string(t.jitterMs));
    if (t.bytesPerSecond > 0) out.push_back("bandwidth " + std::to_string(t.bytesPerSecond));
    if (t.sliceBytes > 0) out.push_back("slice " + std::to_string(t.sliceBytes) + " " + std::to_string(t.sliceGapMs));
    if (t.stall) out.push_back("stall");
    if (t.closeAfter >= 0) out.push_back("close-after " + std::to_string(t.closeAfter));
    for (Fault f : queue()) out.push_back(name(f));
    return out;
}

bool reset() {
    const unsigned handle = instrument::view().client();
    if (!handle || !ext::resetConversation(handle)) return false;
    timedNote(": connection reset");
    return true;
}

std::string verb(const std::string& lowered) {
    const std::vector<std::string> w = args::words(lowered);
    const std::string what = w.empty() ? std::string() : w[0];
    const std::size_t n = w.size();
    auto bad = [&](const std::string& value, const std::string& expected) {
        return args::badValue(value, "fault " + what, expected);
    };
    auto tooMany = [&](std::size_t most) { return n > most + 1 ? args::extraWord(w[most + 1], "fault " + what) : std::string(); };
    Timed& t = link().faults;
    long long a = 0, b = 0;
    if (what == "disconnect" && n == 1) return disconnect() ? "ok" : "error no client is connected";
    if ((what == "drop-next" || what == "corrupt-next") && n == 1)
        return arm(what == "drop-next" ? Fault::DropNext : Fault::CorruptNext)
                   ? "ok" : "error too many faults are waiting; fault clear drops them";
    if (what == "clear") {
        if (n == 1) return clear(), "ok";
        constexpr const char* kinds[] = {"latency", "bandwidth", "slice", "stall", "close-after"};
        const bool known = std::find_if(std::begin(kinds), std::end(kinds), [&](const char* k) { return w[1] == k; }) !=
                               std::end(kinds) || w[1] == "drop-next" || w[1] == "corrupt-next";
        if (known && n > 2) return args::extraWord(w[2], "fault clear " + w[1]);
        if (n == 2 && std::find_if(std::begin(kinds), std::end(kinds), [&](const char* k) { return w[1] == k; }) != std::end(kinds))
            return clearTimed(w[1]), "ok";
        if (n == 2 && (w[1] == "drop-next" || w[1] == "corrupt-next")) {
            const Fault f = w[1] == "drop-next" ? Fault::DropNext : Fault::CorruptNext;
            std::erase(queue(), f);
            return "ok";
        }
        return bad(n > 1 ? w[1] : "", "nothing, or latency, bandwidth, slice, stall, close-after, drop-next or corrupt-next");
    }
    if (what == "list" && n == 1) {
        std::string out = "ok [";
        for (const std::string& f : active()) out += (out.size() > 4 ? ",\"" : "\"") + f + "\"";
        return out + "]";
    }
    if (what == "reset" && n == 1) return reset() ? "ok" : "error no client is connected";
    if (what == "latency") {
        if (auto e = tooMany(2); !e.empty()) return e;
        if (n < 2 || !number(w[1], 0, 60000, &a)) return bad(n > 1 ? w[1] : "", "milliseconds from 0 to 60000");
        if (n > 2 && !number(w[2], 0, a, &b)) return bad(w[2], "a jitter in milliseconds from 0 to " + std::to_string(a));
        t.latencyMs = static_cast<int>(a), t.jitterMs = static_cast<int>(n > 2 ? b : 0);
        timedNote(": latency " + std::to_string(a) + " ms" + (t.jitterMs ? " +- " + std::to_string(t.jitterMs) + " ms" : ""));
        return "ok";
    }
    if (what == "bandwidth") {
        if (auto e = tooMany(1); !e.empty()) return e;
        if (n < 2 || !number(w[1], 1, 1000000000, &a)) return bad(n > 1 ? w[1] : "", "bytes per second from 1 to 1000000000");
        t.bytesPerSecond = a;
        link().rateFree = Clock::now();
        timedNote(": bandwidth " + std::to_string(a) + " bytes/s");
        return "ok";
    }
    if (what == "slice") {
        if (auto e = tooMany(2); !e.empty()) return e;
        if (n < 2 || !number(w[1], 1, 65536, &a)) return bad(n > 1 ? w[1] : "", "bytes from 1 to 65536");
        if (n > 2 && !number(w[2], 0, 10000, &b)) return bad(w[2], "a gap in milliseconds from 0 to 10000");
        t.sliceBytes = static_cast<int>(a), t.sliceGapMs = static_cast<int>(n > 2 ? b : 1);
        timedNote(": slices of " + std::to_string(a) + " bytes, " + std::to_string(t.sliceGapMs) + " ms apart");
        return "ok";
    }
    if (what == "stall" && n == 1) {
        if (t.stall) return "ok";
        t.stall = true;
        ext::setReadingPaused(true);
        timedNote(": stall");
        return "ok";
    }
    if (what == "close-after") {
        if (auto e = tooMany(1); !e.empty()) return e;
        if (n < 2 || !number(w[1], 0, 1LL << 40, &a)) return bad(n > 1 ? w[1] : "", "a count of bytes");
        t.closeAfter = a;
        timedNote(": close after " + std::to_string(a) + " bytes");
        return "ok";
    }
    if (n > 1 && (what == "disconnect" || what == "drop-next" || what == "corrupt-next" || what == "list" ||
                  what == "reset" || what == "stall"))
        return args::extraWord(w[1], "fault " + what);
    return args::badValue(what, "fault", "disconnect, drop-next, corrupt-next, latency, bandwidth, slice, stall, reset, close-after, list or clear");
}

}  // namespace cvi::linkfaults
