#include "linkfaults.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <random>

#include "args.h"
#include "instrument_view.h"
#include "cvi.h"
#include "downloadwatch.h"
#include "extension.h"
#include "parts.h"

namespace cvi::linkfaults {
namespace {

using Clock = ext::PaceClock;
using std::chrono::milliseconds;

constexpr std::size_t kMaxPending = 16;  // one-shot faults waiting, and faults waiting for a position
constexpr unsigned kDefaultSeed = 20240611u;
constexpr long long kMostPosition = 1LL << 40;
// The faults that can wait for a position, and those kept until cleared.
constexpr const char* kPlaced[] = {"disconnect", "drop-next", "corrupt-next", "reset", "stall",
                                   "close-after", "latency", "bandwidth", "slice"};
constexpr const char* kKinds[] = {"latency", "bandwidth", "slice", "stall", "close-after"};

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

void timedNote(const std::string& text) {
    const auto& f = instrument::view();
    SetCtrlVal(f.panel(), f.transmitBox, ("[link fault" + text + "]\n").c_str());
}

std::string ending(const std::string& text) { return !text.empty() && text.back() == '\n' ? text : text + "\n"; }

unsigned client() { return instrument::view().client(); }

enum class What { Disconnect, DropNext, CorruptNext, Reset, Stall, CloseAfter, Latency, Bandwidth, Slice };

const char* word(What w) {
    switch (w) {
        case What::Disconnect: return "disconnect";
        case What::DropNext: return "drop-next";
        case What::CorruptNext: return "corrupt-next";
        case What::Reset: return "reset";
        case What::Stall: return "stall";
        case What::CloseAfter: return "close-after";
        case What::Latency: return "latency";
        case What::Bandwidth: return "bandwidth";
        case What::Slice: return "slice";
    }
    return "";
}

// Where in the stream a fault waits to act.
struct Where {
    enum Kind { AfterBytes, AtFrame } kind = AfterBytes;
    long long n = 0;          // bytes, or the frame
    unsigned handle = 0;      // the conversation the position counts in; 0: the next one
    std::uint64_t base = 0;   // its bytes written when the fault was set
    bool resolved = false;    // a frame's position becomes known when the frame is written
    std::uint64_t at = 0;     // resolved: the position, in `handle`'s stream
};

// A fault waiting for its position.
struct Armed {
    What what;
    long long a = 0, b = 0;  // its values
    Where where;
};

}  // namespace

// All the state of the link faults, for one run.
class Link {
public:
    Link() { random_.seed(seed_); }

    // ---- The pacer ----
    bool isPaced(unsigned handle) {
        const Timed& t = faults_;
        return handle == client() && (t.latencyMs >= 0 || t.bytesPerSecond > 0 || t.sliceBytes > 0 || t.stall ||
                                      closeAt_ || !latencyMarks_.empty() || hasStreamMarks());
    }

    void tookIn(unsigned handle, std::uint64_t position, std::size_t length) {
        follow(handle);
        const Timed& t = faults_;
        if (t.latencyMs < 0 || position < latencyFrom_) return;
        int ms = t.latencyMs;
        if (t.jitterMs > 0) ms += std::uniform_int_distribution<int>(-t.jitterMs, t.jitterMs)(random_);
        auto due = Clock::now() + milliseconds(std::max(ms, 0));
        // Bytes keep their order: none leaves before those ahead of it.
        if (!latencyMarks_.empty()) due = std::max(due, latencyMarks_.back().due);
        // Writes due within a millisecond of each other share one mark (the
        // later time), so the marks stay few however small the writes.
        if (!latencyMarks_.empty() && latencyMarks_.back().end == position &&
            due - latencyMarks_.back().due < milliseconds(1)) {
            latencyMarks_.back().end = position + length;
            latencyMarks_.back().due = due;
        } else
            latencyMarks_.push_back({position, position + length, due});
    }

    std::size_t mayLeave(unsigned handle, std::uint64_t position, std::size_t waiting, Clock::time_point now,
                      Clock::time_point* again) {
        follow(handle);
        reach(handle, position);
        if (handle != client() || !ext::conversationOpen(handle)) return 0;
        const Timed& t = faults_;
        std::uint64_t limit = waiting;
        auto cap = [&](std::uint64_t at) {
            if (at > position) limit = std::min<std::uint64_t>(limit, at - position);
        };
        if (t.stall) return *again = Clock::time_point::max(), 0;
        // Positions where something is to happen: the bytes before leave first.
        for (const Armed& m : armed_)
            if (m.where.resolved && m.what != What::DropNext && m.what != What::CorruptNext) cap(m.where.at);
        if (closeAt_) cap(*closeAt_);
        // Latency: each write leaves when its time has come.
        while (!latencyMarks_.empty() && latencyMarks_.front().end <= position) latencyMarks_.pop_front();
        // The times only grow along the queue: the first write not due yet is
        // found by halving.
        const auto notDue = std::partition_point(latencyMarks_.begin(), latencyMarks_.end(),
                                                 [&](const Mark& m) { return m.due <= now; });
        if (notDue != latencyMarks_.end()) {
            if (notDue->begin <= position) return *again = notDue->due, 0;
            cap(notDue->begin);
        }
        // A rate: bytes owed since the link started sending, so that waits
        // rounded up to the timer's tick do not add up.
        if (t.bytesPerSecond > 0 && position >= rateFrom_) {
            const double rate = static_cast<double>(t.bytesPerSecond);
            if (!rateStarted_ || (rateDrained_ && now > rateFinish())) {
                rateStarted_ = true;
                rateStart_ = now;
                rateSent_ = 0;
            }
            rateDrained_ = false;
            const double since = std::chrono::duration<double>(now - rateStart_).count();
            const auto owedTotal = static_cast<std::uint64_t>(std::floor(since * rate)) + 1;
            const std::uint64_t owed = owedTotal > rateSent_ ? owedTotal - rateSent_ : 0;
            // Not in crumbs: at least a millisecond's worth, or what waits.
            const std::uint64_t least = std::min<std::uint64_t>(limit, std::max<std::uint64_t>(1, t.bytesPerSecond / 1000));
            if (owed < least) {
                *again = rateStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                          static_cast<double>(rateSent_ + least - 1) / rate));
                return 0;
            }
            limit = std::min(limit, owed);
        } else if (t.bytesPerSecond > 0) {
            cap(rateFrom_);
        }
        if (t.sliceBytes > 0 && position >= sliceFrom_) {
            const auto next = lastSlice_ + milliseconds(t.sliceGapMs);
            if (haveSlice_ && now < next) return *again = next, 0;
            limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(t.sliceBytes));
        } else if (t.sliceBytes > 0) {
            cap(sliceFrom_);
        }
        lastWaiting_ = waiting;
        return static_cast<std::size_t>(limit);
    }

    void hadLeft(unsigned handle, std::uint64_t position, std::size_t length) {
        const auto now = Clock::now();
        const Timed& t = faults_;
        if (t.bytesPerSecond > 0 && position >= rateFrom_) {
            rateSent_ += length;
            if (length >= lastWaiting_) rateDrained_ = true;
        }
        if (t.sliceBytes > 0 && position >= sliceFrom_) {
            lastSlice_ = now;
            haveSlice_ = true;
        }
        reach(handle, position + length);
    }

    // ---- The write filter ----
    bool intercept(unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs, int* result) {
        const long long frame = watch_.frameIndexOf(handle, length);
        watch_.onWrite(handle, data, length);
        if (length == 0 || !data || !ext::conversationOpen(handle) || handle != client()) return false;
        follow(handle);
        const std::uint64_t here = ext::bytesWritten(handle);
        // A fault waiting for this frame: its position is where the frame begins.
        for (Armed& m : armed_)
            if (!m.where.resolved && m.where.kind == Where::AtFrame && frame >= 0 && frame == m.where.n) {
                m.where.resolved = true;
                m.where.handle = handle;
                m.where.at = here;
            }
        settle(handle, here);
        // One-shot faults that wait for a byte of this write.
        for (auto it = armed_.begin(); it != armed_.end(); ++it) {
            if ((it->what != What::DropNext && it->what != What::CorruptNext) || !it->where.resolved ||
                it->where.at < here || it->where.at >= here + length)
                continue;
            const Armed m = *it;
            armed_.erase(it);
            const std::size_t index = m.where.kind == Where::AfterBytes ? static_cast<std::size_t>(m.where.at - here)
                                                                         : corruptionIndex(data, length);
            return oneShot(m.what == What::DropNext ? Fault::DropNext : Fault::CorruptNext, handle, data, length,
                           timeoutMs, result, index);
        }
        if (queue_.empty()) return false;
        const Fault fault = queue_.front();
        queue_.pop_front();
        return oneShot(fault, handle, data, length, timeoutMs, result, corruptionIndex(data, length));
    }

    void eventPass() { watch_.onEventPass(); }

    // ---- The verb ----
    std::string verb(const std::string& args);

    std::vector<std::string> active() const {
        const Timed& t = faults_;
        std::vector<std::string> out;
        if (t.latencyMs >= 0) out.push_back("latency " + std::to_string(t.latencyMs) + " " + std::to_string(t.jitterMs));
        if (t.bytesPerSecond > 0) out.push_back("bandwidth " + std::to_string(t.bytesPerSecond));
        if (t.sliceBytes > 0) out.push_back("slice " + std::to_string(t.sliceBytes) + " " + std::to_string(t.sliceGapMs));
        if (t.stall) out.push_back("stall");
        if (closeAt_) {
            const std::uint64_t now = ext::bytesWritten(closeHandle_) - ext::bytesQueued(closeHandle_);
            out.push_back("close-after " + std::to_string(*closeAt_ > now ? *closeAt_ - now : 0));
        }
        for (Fault f : queue_) out.push_back(name(f));
        for (const Armed& m : armed_) out.push_back(describe(m));
        if (seedSet_ || t.jitterMs > 0) out.push_back("seed " + std::to_string(seed_));
        return out;
    }

    bool armOneShot(Fault f) {
        if (queue_.size() >= kMaxPending) return false;
        queue_.push_back(f);
        return true;
    }

    void clearAll() {
        queue_.clear();
        armed_.clear();
        clearTimed({});
    }

    std::deque<Fault>& oneShots() { return queue_; }
    const Timed& faults() const { return faults_; }

    // Placed in the stream, the reset comes after everything before its place
    // has reached the client (waiting at most a second for it).
    bool resetClient(bool placed = false) {
        const unsigned handle = client();
        if (!handle || !ext::resetConversation(handle, placed ? 1000u : 0u)) return false;
        timedNote(": connection reset");
        return true;
    }

    bool disconnectClient() {
        const unsigned handle = client();
        return handle && ext::endConversation(handle);
    }

private:
    struct Mark {
        std::uint64_t begin, end;
        Clock::time_point due;
    };

    bool hasStreamMarks() const {
        for (const Armed& m : armed_)
            if (m.what != What::DropNext && m.what != What::CorruptNext) return true;
        return false;
    }

    double rateFinishSeconds() const { return static_cast<double>(rateSent_) / static_cast<double>(faults_.bytesPerSecond); }
    Clock::time_point rateFinish() const {
        return rateStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(rateFinishSeconds()));
    }

    // A new conversation starts its stream afresh.
    void follow(unsigned handle) {
        if (handle == streamHandle_) return;
        streamHandle_ = handle;
        latencyMarks_.clear();
        rateStarted_ = false;
        haveSlice_ = false;
        latencyFrom_ = rateFrom_ = sliceFrom_ = 0;
    }

    // Positions counted from the fault's setting turn into the conversation's own.
    void settle(unsigned handle, std::uint64_t written) {
        for (Armed& m : armed_) {
            if (m.where.kind != Where::AfterBytes) continue;
            if (m.where.handle != handle) {
                m.where.handle = handle;
                m.where.base = 0;
            }
            m.where.at = m.where.base + static_cast<std::uint64_t>(m.where.n);
            m.where.resolved = true;
        }
        (void)written;
    }

    std::string describe(const Armed& m) const {
        std::string out = word(m.what);
        if (m.what == What::Latency) out += " " + std::to_string(m.a) + " " + std::to_string(m.b);
        if (m.what == What::Bandwidth || m.what == What::CloseAfter) out += " " + std::to_string(m.a);
        if (m.what == What::Slice) out += " " + std::to_string(m.a) + " " + std::to_string(m.b);
        if (m.where.kind == Where::AtFrame) return out + " --at-frame " + std::to_string(m.where.n);
        long long left = m.where.n;
        if (m.where.handle && m.where.handle == client()) {
            const std::uint64_t now = ext::bytesWritten(m.where.handle);
            const std::uint64_t at = m.where.base + static_cast<std::uint64_t>(m.where.n);
            left = at > now ? static_cast<long long>(at - now) : 0;
        }
        return out + " --after-bytes " + std::to_string(left);
    }

    // The stream has reached `position`: the faults waiting for it take effect.
    void reach(unsigned handle, std::uint64_t position) {
        if (handle != client()) return;
        settle(handle, 0);
        for (std::size_t i = 0; i < armed_.size();) {
            Armed& m = armed_[i];
            if (m.what == What::DropNext || m.what == What::CorruptNext || !m.where.resolved ||
                m.where.handle != handle || m.where.at > position) {
                ++i;
                continue;
            }
            const Armed done = m;
            armed_.erase(armed_.begin() + static_cast<std::ptrdiff_t>(i));
            begin(done, handle, done.where.at);
            if (!ext::conversationOpen(handle)) return;
        }
        if (closeAt_ && closeHandle_ != handle) {
            // Set while another conversation (or none) was served: counted from here.
            closeHandle_ = handle;
            closeAt_ = position + static_cast<std::uint64_t>(std::max<long long>(faults_.closeAfter, 0));
        }
        if (closeAt_ && position >= *closeAt_) {
            closeAt_.reset();
            faults_.closeAfter = -1;
            ext::endConversation(handle);
            timedNote(": connection closed after its bytes");
        }
    }

    // A fault takes effect at `from` in the conversation's stream.
    void begin(const Armed& m, unsigned handle, std::uint64_t from) {
        Timed& t = faults_;
        switch (m.what) {
            case What::Disconnect:
                if (ext::endConversation(handle)) timedNote(": connection ended");
                break;
            case What::Reset: resetClient(true); break;
            case What::Stall: startStall(); break;
            case What::CloseAfter: setCloseAfter(handle, from, m.a); break;
            case What::Latency:
                t.latencyMs = static_cast<int>(m.a), t.jitterMs = static_cast<int>(m.b);
                latencyFrom_ = from;
                break;
            case What::Bandwidth:
                t.bytesPerSecond = m.a;
                rateFrom_ = from;
                rateStarted_ = false;
                break;
            case What::Slice:
                t.sliceBytes = static_cast<int>(m.a), t.sliceGapMs = static_cast<int>(m.b);
                sliceFrom_ = from;
                haveSlice_ = false;
                break;
            case What::DropNext:
            case What::CorruptNext: break;
        }
    }

    void startStall() {
        if (faults_.stall) return;
        faults_.stall = true;
        ext::setReadingPaused(true);
    }

    void setCloseAfter(unsigned handle, std::uint64_t from, long long n) {
        closeAt_ = from + static_cast<std::uint64_t>(n);
        closeHandle_ = handle;
        faults_.closeAfter = n;
    }

    bool oneShot(Fault fault, unsigned handle, const unsigned char* bytes, std::size_t length, unsigned timeoutMs,
                 int* result, std::size_t at) {
        const bool text = printable(bytes, length);
        if (fault == Fault::DropNext) {
            note(bytes, text ? length : 0,
                 text ? ending("[link fault: not sent] " + std::string(reinterpret_cast<const char*>(bytes), length))
                      : "[link fault: not sent: " + std::to_string(length) + " bytes]\n");
            *result = static_cast<int>(length);  // the program believes it went
            return true;
        }
        std::string copy(reinterpret_cast<const char*>(bytes), length);
        at = std::min(at, length - 1);
        copy[at] = static_cast<char>(corrupted(bytes[at]));
        note(bytes, text ? length : 0,
             text ? ending("[link fault: corrupted] " + copy)
                  : "[link fault: corrupted byte " + std::to_string(at) + " of " + std::to_string(length) + "]\n");
        *result = ext::writeThrough(handle, copy.data(), copy.size(), timeoutMs);
        return true;
    }

    void clearTimed(const std::string& which) {
        Timed& t = faults_;
        auto off = [&](bool on, const char* name, auto turnOff) {
            if (!on || (!which.empty() && which != name)) return;
            turnOff();
            timedNote(std::string(" cleared: ") + name);
        };
        off(t.latencyMs >= 0 || !latencyMarks_.empty(), "latency", [&] {
            t.latencyMs = -1, t.jitterMs = 0;
            latencyMarks_.clear();  // what it held leaves now
        });
        off(t.bytesPerSecond > 0, "bandwidth", [&] { t.bytesPerSecond = 0; });
        off(t.sliceBytes > 0, "slice", [&] { t.sliceBytes = 0, t.sliceGapMs = 0; });
        off(t.stall, "stall", [&] {
            t.stall = false;
            ext::setReadingPaused(false);
        });
        off(closeAt_.has_value(), "close-after", [&] {
            closeAt_.reset();
            t.closeAfter = -1;
        });
        ext::repace();  // what waited leaves now, as far as the faults left allow
    }

    std::string arm(What what, long long a, long long b, const std::optional<Where>& where);

    Timed faults_;
    std::deque<Fault> queue_;         // one-shot faults for the next writes, in order
    std::vector<Armed> armed_;        // faults waiting for a position
    std::deque<Mark> latencyMarks_;   // when the queued writes may leave
    std::optional<std::uint64_t> closeAt_;
    unsigned closeHandle_ = 0;
    unsigned streamHandle_ = 0;       // the conversation the stream state is of
    std::uint64_t latencyFrom_ = 0, rateFrom_ = 0, sliceFrom_ = 0;
    bool rateStarted_ = false, rateDrained_ = false;
    Clock::time_point rateStart_{};
    std::uint64_t rateSent_ = 0;
    std::size_t lastWaiting_ = 0;
    bool haveSlice_ = false;
    Clock::time_point lastSlice_{};
    unsigned seed_ = kDefaultSeed;
    bool seedSet_ = false;
    std::minstd_rand random_;
    vantis::DownloadWatch watch_;

    friend std::string cvi::linkfaults::verb(const std::string&);
};

namespace {

// The run's link: made anew as a run starts, gone as it ends.
std::shared_ptr<Link>& theLink() { return vantis::services::parts().link; }

Link& link() { return vantis::services::partOf(theLink()); }

std::string quotedArg(const std::string& s) { return args::quoted(s); }

bool number(const std::string& text, long long lo, long long hi, long long* out) {
    long long v = 0;
    const auto [at, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || at != text.data() + text.size() || text.empty() || v < lo || v > hi) return false;
    *out = v;
    return true;
}

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t j = s.find(' ', i);
        if (j != i) out.push_back(s.substr(i, j == std::string::npos ? std::string::npos : j - i));
        if (j == std::string::npos) break;
        i = j + 1;
    }
    return out;
}

std::string positionText(const Where& w) {
    return w.kind == Where::AtFrame ? " at frame " + std::to_string(w.n) : " after " + std::to_string(w.n) + " bytes";
}

}  // namespace

std::string Link::arm(What what, long long a, long long b, const std::optional<Where>& where) {
    if (where) {
        if (armed_.size() >= kMaxPending) return "error too many faults are waiting; fault clear drops them";
        Armed m{what, a, b, *where};
        const unsigned handle = client();
        if (handle && m.where.kind == Where::AfterBytes) {
            m.where.handle = handle;
            m.where.base = ext::bytesWritten(handle);
        }
        armed_.push_back(m);
        timedNote(std::string(": ") + word(what) + positionText(*where));
        if (handle) {
            settle(handle, 0);
            reach(handle, ext::bytesWritten(handle) - ext::bytesQueued(handle));
            ext::repace();
        }
        return "ok";
    }
    Timed& t = faults_;
    const unsigned handle = client();
    // Acts on the bytes not yet sent.
    const std::uint64_t from = handle ? ext::bytesWritten(handle) - ext::bytesQueued(handle) : 0;
    if (handle) follow(handle);
    switch (what) {
        case What::Latency:
            t.latencyMs = static_cast<int>(a), t.jitterMs = static_cast<int>(b);
            latencyFrom_ = from;
            timedNote(": latency " + std::to_string(a) + " ms" + (t.jitterMs ? " +- " + std::to_string(t.jitterMs) + " ms" : ""));
            break;
        case What::Bandwidth:
            t.bytesPerSecond = a;
            rateFrom_ = from;
            rateStarted_ = false;
            timedNote(": bandwidth " + std::to_string(a) + " bytes/s");
            break;
        case What::Slice:
            t.sliceBytes = static_cast<int>(a), t.sliceGapMs = static_cast<int>(b);
            sliceFrom_ = from;
            haveSlice_ = false;
            timedNote(": slices of " + std::to_string(a) + " bytes, " + std::to_string(t.sliceGapMs) + " ms apart");
            break;
        case What::Stall:
            if (t.stall) return "ok";
            startStall();
            timedNote(": stall");
            break;
        case What::CloseAfter:
            setCloseAfter(handle, from, a);
            timedNote(": close after " + std::to_string(a) + " bytes");
            if (handle) reach(handle, from);
            break;
        default: break;
    }
    ext::repace();
    return "ok";
}


bool arm(Fault fault) { return link().armOneShot(fault); }

void clearFaults() { link().clearAll(); }

void restart() {
    theLink() = std::make_shared<Link>();
    ext::setReadingPaused(false);
}

void endRun() {
    theLink().reset();
    ext::setReadingPaused(false);
}

std::vector<Fault> pending() { return {link().oneShots().begin(), link().oneShots().end()}; }

const char* name(Fault fault) { return fault == Fault::DropNext ? "drop-next" : "corrupt-next"; }

bool pullCable() { return link().disconnectClient(); }

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
    return link().intercept(handle, data, length, timeoutMs, result);
}

Timed timed() { return link().faults(); }

std::vector<std::string> active() { return link().active(); }

bool resetLink() { return link().resetClient(); }

std::string verb(const std::string& args) {
    Link& l = link();
    std::vector<std::string> w = words(args);
    const std::string what = w.empty() ? std::string() : w[0];
    auto bad = [&](const std::string& value, const std::string& expected) {
        return "error bad value " + quotedArg(value) + " for fault " + what + ": expected " + expected;
    };
    // A position, anywhere after the fault's name.
    std::optional<Where> where;
    for (std::size_t i = 1; i < w.size();) {
        if (w[i] != "--after-bytes" && w[i] != "--at-frame") {
            ++i;
            continue;
        }
        const bool frame = w[i] == "--at-frame";
        if (where) return "error fault " + what + " takes one position";
        long long v = 0;
        if (i + 1 >= w.size() || !number(w[i + 1], 0, kMostPosition, &v))
            return "error bad value " + quotedArg(i + 1 < w.size() ? w[i + 1] : "") + " for " + w[i] + ": expected " +
                   (frame ? "a frame number from 0" : "a count of bytes");
        Where p;
        p.kind = frame ? Where::AtFrame : Where::AfterBytes;
        p.n = v;
        where = p;
        w.erase(w.begin() + static_cast<std::ptrdiff_t>(i), w.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    }
    const std::size_t n = w.size();
    if (where && std::find(std::begin(kPlaced), std::end(kPlaced), what) == std::end(kPlaced))
        return "error fault " + (what.empty() ? std::string("") : what + " ") + "takes no position";
    auto tooMany = [&](std::size_t most) { return n > most + 1 ? args::extraWord(w[most + 1], "fault " + what) : std::string(); };
    long long a = 0, b = 0;
    if (what == "disconnect" && n == 1) {
        if (where) return l.arm(What::Disconnect, 0, 0, where);
        return pullCable() ? "ok" : "error no client is connected";
    }
    if (what == "reset" && n == 1) {
        if (where) return l.arm(What::Reset, 0, 0, where);
        return resetLink() ? "ok" : "error no client is connected";
    }
    if ((what == "drop-next" || what == "corrupt-next") && n == 1) {
        const What kind = what == "drop-next" ? What::DropNext : What::CorruptNext;
        if (where) return l.arm(kind, 0, 0, where);
        return arm(kind == What::DropNext ? Fault::DropNext : Fault::CorruptNext)
                   ? "ok"
                   : "error too many faults are waiting; fault clear drops them";
    }
    if (what == "clear") {
        if (n == 1) return clearFaults(), "ok";
        const bool timedKind = n == 2 && std::find(std::begin(kKinds), std::end(kKinds), w[1]) != std::end(kKinds);
        const bool placedKind = n >= 2 && std::find(std::begin(kPlaced), std::end(kPlaced), w[1]) != std::end(kPlaced);
        if (placedKind && n > 2) return args::extraWord(w[2], "fault clear " + w[1]);
        if (!placedKind) return bad(n > 1 ? w[1] : "", "nothing, or latency, bandwidth, slice, stall, close-after, drop-next, corrupt-next, disconnect or reset");
        std::erase_if(l.armed_, [&](const Armed& m) { return w[1] == word(m.what); });
        if (w[1] == "drop-next") std::erase(l.queue_, Fault::DropNext);
        if (w[1] == "corrupt-next") std::erase(l.queue_, Fault::CorruptNext);
        if (timedKind) l.clearTimed(w[1]);
        else ext::repace();
        return "ok";
    }
    if (what == "list" && n == 1) {
        std::string out = "ok [";
        for (const std::string& f : active()) out += (out.size() > 4 ? ",\"" : "\"") + f + "\"";
        return out + "]";
    }
    if (what == "seed") {
        if (auto e = tooMany(1); !e.empty()) return e;
        if (n < 2 || !number(w[1], 0, std::numeric_limits<unsigned>::max(), &a))
            return bad(n > 1 ? w[1] : "", "a whole number from 0 to 4294967295");
        l.seed_ = static_cast<unsigned>(a);
        l.seedSet_ = true;
        l.random_.seed(l.seed_);
        return "ok";
    }
    if (what == "latency") {
        if (auto e = tooMany(2); !e.empty()) return e;
        if (n < 2 || !number(w[1], 0, 60000, &a)) return bad(n > 1 ? w[1] : "", "milliseconds from 0 to 60000");
        if (n > 2 && !number(w[2], 0, a, &b)) return bad(w[2], "a jitter in milliseconds from 0 to " + std::to_string(a));
        return l.arm(What::Latency, a, n > 2 ? b : 0, where);
    }
    if (what == "bandwidth") {
        if (auto e = tooMany(1); !e.empty()) return e;
        if (n < 2 || !number(w[1], 1, 1000000000, &a)) return bad(n > 1 ? w[1] : "", "bytes per second from 1 to 1000000000");
        return l.arm(What::Bandwidth, a, 0, where);
    }
    if (what == "slice") {
        if (auto e = tooMany(2); !e.empty()) return e;
        if (n < 2 || !number(w[1], 1, 65536, &a)) return bad(n > 1 ? w[1] : "", "bytes from 1 to 65536");
        if (n > 2 && !number(w[2], 0, 10000, &b)) return bad(w[2], "a gap in milliseconds from 0 to 10000");
        return l.arm(What::Slice, a, n > 2 ? b : 1, where);
    }
    if (what == "stall" && n == 1) return l.arm(What::Stall, 0, 0, where);
    if (what == "close-after") {
        if (auto e = tooMany(1); !e.empty()) return e;
        if (n < 2 || !number(w[1], 0, kMostPosition, &a)) return bad(n > 1 ? w[1] : "", "a count of bytes");
        return l.arm(What::CloseAfter, a, 0, where);
    }
    if (n > 1 && (what == "disconnect" || what == "drop-next" || what == "corrupt-next" || what == "list" ||
                  what == "reset" || what == "stall"))
        return args::extraWord(w[1], "fault " + what);
    return "error bad value " + quotedArg(what) +
           " for fault: expected disconnect, drop-next, corrupt-next, latency, bandwidth, slice, stall, reset, "
           "close-after, seed, list or clear";
}

void install() {
    ext::Pacer p;
    p.engaged = [](unsigned h) {
        const auto& l = theLink();
        return l && l->isPaced(h);
    };
    p.queued = [](unsigned h, std::uint64_t at, std::size_t n) {
        if (const auto& l = theLink()) l->tookIn(h, at, n);
    };
    p.allow = [](unsigned h, std::uint64_t at, std::size_t waiting, Clock::time_point now, Clock::time_point* again) {
        const auto& l = theLink();
        return l ? l->mayLeave(h, at, waiting, now, again) : waiting;
    };
    p.sent = [](unsigned h, std::uint64_t at, std::size_t n) {
        if (const auto& l = theLink()) l->hadLeft(h, at, n);
    };
    ext::setPacer(std::move(p));
    ext::onEventPass([] {
        if (const auto& l = theLink()) l->eventPass();
    });
}

}  // namespace cvi::linkfaults
