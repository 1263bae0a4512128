// Run-time start and end, the event loop, popups, cursor and the clock.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QGuiApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "internal.h"
#include "os.h"
#include "state.h"

namespace cvi {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Real time. Delay sleeps towards an absolute deadline; a Delay that follows the
// previous one closely continues from its deadline, so that a paced sequence of
// short waits keeps its rate instead of drifting by the work done in between.
class RealClock final : public Clock {
public:
    double now() override {
        return std::chrono::duration<double>(SteadyClock::now().time_since_epoch()).count();
    }

    void delay(double seconds) override {
        if (!(seconds > 0)) return;
        const auto start = SteadyClock::now();
        auto base = start;
        const auto length = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds));
        // Late by less than one wait (a slow write, a moment without the processor):
        // still the same sequence, so the lost time is made up.
        if (haveDeadline_ && start >= lastDeadline_ && start - lastDeadline_ < std::max<SteadyClock::duration>(kChainWindow, length))
            base = lastDeadline_;
        const auto deadline = base + length;
        lastDeadline_ = deadline;
        haveDeadline_ = true;
        // Sleep to shortly before the deadline, then spin the rest: the scheduler's
        // wake-up latency would otherwise add tens of microseconds to every wait.
        const auto sleepUntil = deadline - kSpin;
        if (sleepUntil > SteadyClock::now()) os::sleepUntil(sleepUntil);
        while (SteadyClock::now() < deadline) {
        }
    }

private:
    static constexpr auto kChainWindow = std::chrono::milliseconds(1);
    static constexpr auto kSpin = std::chrono::microseconds(150);
    SteadyClock::time_point lastDeadline_{};
    bool haveDeadline_ = false;
};

}  // namespace

struct LoopState {
    QEventLoop* uiLoop = nullptr;
    bool quitRequested = false;
    int quitCode = 0;
    bool closing = false;  // QuitUserInterface was called: the program is ending
    std::vector<QPointer<QMessageBox>> popups;  // open, innermost last
    int signalFd = -1;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    SteadyClock::time_point nextSignalLook{};
    bool waitCursor = false;
    std::unique_ptr<QTimer> wake;  // bounds the idle wait of ProcessSystemEvents
    bool wakeAtSet = false;  // WakeAt was called since the last event pass
    double wakeAt = 0;       // the earliest reading it asked for
    // Qt's loops (the user-interface loop, a popup's, the idle wait) all wait in
    // the dispatcher: its about-to-block signal is their one before-wait point.
    QMetaObject::Connection beforeBlock;

    ~LoopState() {
        QObject::disconnect(beforeBlock);
        if (waitCursor) QApplication::restoreOverrideCursor();
    }
};

// The time scale: readings are base + (clock - clockBase) * k. A change of k
// moves the bases to the moment of the change, so Timer runs on without a jump.
struct Scale {
    std::mutex mutex;
    double k = 1.0;
    double clockBase = 0.0;
    double base = 0.0;
    const Clock* clock = nullptr;  // the clock the bases were taken from
    bool changed = false;          // until a script sets a scale, readings are the clock's own
    std::optional<double> hold;    // readings go no further than this until released
};

struct ClockState {
    RealClock real;
    Scale scale;
};

namespace {

LoopState& loop() { return partOf(runtime().loop); }
RealClock& realClock() { return partOf(runtime().clock).real; }
Scale& scale() { return partOf(runtime().clock).scale; }

// The clock in use, kept alive while it is read even if a test swaps it.
std::shared_ptr<Clock> activeClock() {
    auto& h = seams();
    std::lock_guard lock(h.mutex);
    if (h.clock) return h.clock;
    return std::shared_ptr<Clock>(std::shared_ptr<Clock>{}, &realClock());
}

// Caller holds the scale's mutex.
double unheld(Scale& s, const Clock& c, double raw) {
    if (!s.changed) return raw;
    if (s.clock != &c) {
        // A new clock (a test's): the readings go on from its own, at the scale set.
        s.clock = &c;
        s.clockBase = raw;
        s.base = raw;
    }
    return s.base + (raw - s.clockBase) * s.k;
}

double scaled(Scale& s, const Clock& c, double raw) {
    const double v = unheld(s, c, raw);
    return s.hold && v > *s.hold ? *s.hold : v;
}

// Idle for this long before ProcessSystemEvents starts waiting for events.
constexpr qint64 kIdleAfterMs = 2;
constexpr int kIdleWaitUntimedMs = 500;

// Real seconds until Timer reads `reading`; negative once it has.
double realSecondsUntil(double reading) {
    const auto clock = activeClock();
    auto& s = scale();
    std::lock_guard lock(s.mutex);
    return (reading - scaled(s, *clock, clock->peek())) / s.k;
}

// Waits for the next event, at most `ms` milliseconds.
void waitForEvents(int ms) {
    auto& l = loop();
    l.wake->start(std::max(ms, 0));
    QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
    l.wake->stop();
}

// A close signal has come: the panels hear of it as of their close button, at
// once (the program may be in the middle of a download, processing no events).
void closeForSignal() {
    if (!deliverPanelClose()) QuitUserInterface(0);
}

void lookForCloseSignal() {
    auto& l = loop();
    if (l.signalFd >= 0 && os::takeCloseSignals(l.signalFd)) closeForSignal();
}

// The error output, for a popup that nobody could see: one line.
void writePopupLine(const char* title, const char* message) {
    std::string text = message ? message : "";
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos;) text.replace(at, 1, "; ");
    if (std::string note = takeFailureNote(); !note.empty()) text += " (" + note + ")";
    std::fprintf(stderr, "vantis-sim: %s: %s\n", title && title[0] ? title : "message", text.c_str());
    std::fflush(stderr);
}

}  // namespace

namespace ext {

void onStart(std::function<void()> fn) { installed().started.push_back(std::move(fn)); }
void onStop(std::function<void()> fn) { installed().stopping.push_back(std::move(fn)); }
void onEventPass(std::function<void()> fn) { installed().passes.push_back(std::move(fn)); }

void setSampleProvider(SampleProvider provider) { installed().samples = std::move(provider); }

void closeOnSignals() { installed().closeOnSignals = true; }

void closeNow() { closeForSignal(); }

}  // namespace ext
}  // namespace cvi

using namespace cvi;

int InitCVIRTDll(int argc, char* argv[]) {
    if (seams().failInit) return 0;
    // A run that a program left without CloseCVIRTDll (it returned early) ends
    // first: every run starts from nothing.
    if (runtime().started()) CloseCVIRTDll();
    Runtime& run = runtime();
    if (!QCoreApplication::instance()) {
        if (const std::string problem = os::displayProblem(); !problem.empty()) {
            std::fprintf(stderr, "vantis-sim: %s\n", problem.c_str());
            return 0;
        }
        run.makeApplication((argc > 0 && argv && argv[0]) ? argv[0] : const_cast<char*>("vantis-sim"));
    }
    run.markStarted();
    QApplication::setQuitOnLastWindowClosed(false);
    os::requestFineTimers();
    auto& l = loop();
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        l.beforeBlock = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [] { aboutToWait(); });
    restartActivity();
    l.wake = std::make_unique<QTimer>();
    l.wake->setSingleShot(true);
    l.wake->setTimerType(Qt::PreciseTimer);
    const auto& with = installed();
    if (with.closeOnSignals) {
        l.signalFd = os::catchCloseSignals();
        if (l.signalFd >= 0) {
            l.signalNotifier = std::make_unique<QSocketNotifier>(l.signalFd, QSocketNotifier::Read);
            QObject::connect(l.signalNotifier.get(), &QSocketNotifier::activated, [] { lookForCloseSignal(); });
        }
    }
    for (auto& fn : with.started) fn();
    return 1;
}

void CloseCVIRTDll() {
    const auto& with = installed();
    for (auto it = with.stopping.rbegin(); it != with.stopping.rend(); ++it) (*it)();
    // What calls back into the run-time as it goes, while the run still exists.
    closeConversations();
    discardPanels();
    endRuntime();
}

int DisableBreakOnLibraryErrors() { return 0; }

int GetRecordedSample(long long tenths, int count, unsigned short* words) {
    const auto& provider = installed().samples;
    if (!provider || !words || count <= 0) return 0;
    return provider(tenths, count, reinterpret_cast<std::uint16_t*>(words)) ? 1 : 0;
}

int MessagePopup(const char* title, const char* message) {
    aboutToWait();  // nothing is held while the operator reads
    auto& h = seams();
    {
        std::lock_guard lock(h.mutex);
        if (h.capturePopups) {
            h.popups.emplace_back(title ? title : "", message ? message : "");
            return 0;
        }
    }
    auto& l = loop();
    // Headless, a modal popup would wait for a click that cannot come.
    if (ext::headless()) {
        writePopupLine(title, message);
        return UIEGeneral;
    }
    if (l.closing) return 0;  // nobody is left to read it
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(title ? title : ""),
                    QString::fromLatin1(message ? message : ""), QMessageBox::Ok);
    l.popups.emplace_back(&box);
    box.exec();
    l.popups.pop_back();
    return 0;
}

int SetWaitCursor(int on) {
    auto& l = loop();
    if (on && !l.waitCursor) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        l.waitCursor = true;
    } else if (!on && l.waitCursor) {
        QApplication::restoreOverrideCursor();
        l.waitCursor = false;
    }
    return 0;
}

int RunUserInterface() {
    auto& l = loop();
    if (l.quitRequested) {
        l.quitRequested = false;
        return l.quitCode;
    }
    QEventLoop ui;
    l.uiLoop = &ui;
    const int code = ui.exec();
    l.uiLoop = nullptr;
    l.quitRequested = false;
    return code;
}

int QuitUserInterface(int code) {
    auto& l = loop();
    l.quitCode = code;
    l.closing = true;
    // A popup open at the close does not hold it up.
    for (auto& box : l.popups)
        if (box) box->done(0);
    if (l.uiLoop)
        l.uiLoop->exit(code);  // takes effect once control is back in the loop
    else
        l.quitRequested = true;
    return 0;
}

int QuitRequested() {
    auto& l = loop();
    if (!l.closing && l.signalFd >= 0) {
        // Between event passes (a download processes none) the signal pipe is
        // looked at directly; often enough, and not once per frame.
        const auto now = SteadyClock::now();
        if (now >= l.nextSignalLook) {
            l.nextSignalLook = now + std::chrono::milliseconds(5);
            lookForCloseSignal();
        }
    }
    return l.closing ? 1 : 0;
}

int ProcessSystemEvents() {
    auto& l = loop();
    auto* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher) return 0;
    const bool timed = l.wakeAtSet;
    const double wakeAt = l.wakeAt;
    l.wakeAtSet = false;
    for (auto& fn : installed().passes) fn();
    // Posted events first, explicitly: when this runs nested inside the delivery
    // of a posted event, the glib dispatcher does not deliver posted events again.
    passWriteBurst();
    setInPass(true);
    QCoreApplication::sendPostedEvents();
    retryStarvedReceivers();
    beginPass();
    bool handled = dispatcher->processEvents(QEventLoop::AllEvents);
    handled = endPass() || handled;
    setInPass(false);
    if (handled) {
        markActivity();
        return 0;
    }
    // Nothing was pending. After a short quiet spell wait for the next event, so
    // that a loop that polls costs next to nothing: until the time the loop asked
    // to wake at (WakeAt), else at most 500 ms.
    if (!l.wake || msSinceActivity() < kIdleAfterMs) return 0;
    if (!timed) {
        waitForEvents(kIdleWaitUntimedMs);
        return 0;
    }
    const double left = realSecondsUntil(wakeAt);
    if (!activeClock()->realTime()) {
        // A test's clock stands still until the test moves it, which wakes the loop.
        if (left >= 0) waitForEvents(kIdleWaitUntimedMs);
        return 0;
    }
    if (left <= 0) return 0;
    // Events are watched up to the time itself: a timer on the whole
    // milliseconds before it (Qt's timers never fire early), then the last
    // fraction of a millisecond is polled by the caller's loop. So a request that
    // comes just before the time is answered at once, and the time is kept to
    // well within a millisecond.
    if (const int ms = static_cast<int>(left * 1000.0); ms >= 1) waitForEvents(ms);
    return 0;
}

void WakeAt(double seconds) {
    auto& l = loop();
    if (!l.wakeAtSet || seconds < l.wakeAt) l.wakeAt = seconds;
    l.wakeAtSet = true;
}

namespace cvi::ext {

bool setTimeScale(double k) {
    if (!(k >= kTimeScaleMin && k <= kTimeScaleMax)) return false;
    const auto clock = activeClock();
    auto& s = scale();
    std::lock_guard lock(s.mutex);
    const double raw = clock->peek();
    if (!s.changed) {
        s.clock = clock.get();
        s.base = raw;
    } else {
        s.base = scaled(s, *clock, raw);
    }
    s.clockBase = raw;
    s.k = k;
    s.changed = true;
    return true;
}

double timeScale() {
    auto& s = scale();
    std::lock_guard lock(s.mutex);
    return s.k;
}

void holdClockAt(double reading) {
    const auto clock = activeClock();
    auto& s = scale();
    std::lock_guard lock(s.mutex);
    if (!s.changed) {
        // From here on the readings are kept by the bases, which a release moves.
        const double raw = clock->peek();
        s.clock = clock.get();
        s.base = s.clockBase = raw;
        s.changed = true;
    }
    s.hold = reading;
}

void releaseClock() {
    const auto clock = activeClock();
    auto& s = scale();
    std::lock_guard lock(s.mutex);
    if (!s.hold) return;
    // The time the clock stood still is taken out: it goes on from the hold.
    const double v = unheld(s, *clock, clock->peek());
    if (v > *s.hold) s.base -= v - *s.hold;
    s.hold.reset();
}

double clockReading() {
    const auto clock = activeClock();
    auto& s = scale();
    std::lock_guard lock(s.mutex);
    return scaled(s, *clock, clock->peek());
}

}  // namespace cvi::ext

double Timer() {
    const auto clock = activeClock();
    const double raw = clock->now();
    // Counted once taken: a test that has seen the count go up may move the clock
    // without the move landing in this very reading.
    seams().timerReads.fetch_add(1);
    auto& s = scale();
    std::lock_guard lock(s.mutex);
    return scaled(s, *clock, raw);
}

void Delay(double seconds) {
    busyPoint();
    // A paced frame leaves before its pause, not after.
    busyPoint();
    blockingWait([&] {
        activeClock()->delay(seconds / ext::timeScale());
        return true;
    });
}
