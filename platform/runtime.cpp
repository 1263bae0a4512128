// Run-time start and end, the event loop, popups, cursor and the clock.
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QMetaObject>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control.h"
#include "internal.h"
#include "linkfaults.h"

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
        if (sleepUntil > SteadyClock::now()) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(sleepUntil.time_since_epoch());
            timespec ts{static_cast<time_t>(ns.count() / 1000000000), static_cast<long>(ns.count() % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
        }
        while (SteadyClock::now() < deadline) {
        }
    }

private:
    static constexpr auto kChainWindow = std::chrono::milliseconds(1);
    static constexpr auto kSpin = std::chrono::microseconds(150);
    SteadyClock::time_point lastDeadline_{};
    bool haveDeadline_ = false;
};

struct Loop {
    QApplication* ownedApp = nullptr;
    int argc = 1;
    char* argv[2] = {nullptr, nullptr};
    QEventLoop* uiLoop = nullptr;
    bool quitRequested = false;
    int quitCode = 0;
    bool waitCursor = false;
    QElapsedTimer activity;  // since the last sign of work
    QTimer* wake = nullptr;  // bounds the idle wait of ProcessSystemEvents
    unsigned long long timerReadsSeen = 0;
};

Loop& loop() {
    static Loop l;
    return l;
}

RealClock& realClock() {
    static RealClock c;
    return c;
}

// The clock in use, kept alive while it is read even if a test swaps it.
std::shared_ptr<Clock> activeClock() {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    if (h.clock) return h.clock;
    return std::shared_ptr<Clock>(std::shared_ptr<Clock>{}, &realClock());
}

// The time scale: readings are base + (clock - clockBase) * k. A change of k
// moves the bases to the moment of the change, so Timer runs on without a jump.
struct Scale {
    std::mutex mutex;
    double k = 1.0;
    double clockBase = 0.0;
    double base = 0.0;
    const Clock* clock = nullptr;  // the clock the bases were taken from
    bool changed = false;          // until a script sets a scale, readings are the clock's own
};

Scale& scale() {
    static Scale s;
    return s;
}

// Caller holds the scale's mutex.
double scaled(Scale& s, const Clock& c, double raw) {
    if (!s.changed) return raw;
    if (s.clock != &c) {
        // A new clock (a test's): the readings go on from its own, at the scale set.
        s.clock = &c;
        s.clockBase = raw;
        s.base = raw;
    }
    return s.base + (raw - s.clockBase) * s.k;
}

bool xDisplayOpens(const QByteArray& name) {
    xcb_connection_t* c = xcb_connect(name.isEmpty() ? nullptr : name.constData(), nullptr);
    const bool ok = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return ok;
}

bool waylandDisplayOpens(const QByteArray& name) {
    if (!qEnvironmentVariableIsEmpty("WAYLAND_SOCKET")) return true;  // handed over already open
    QByteArray path = name.isEmpty() ? QByteArray("wayland-0") : name;
    if (!path.startsWith('/')) {
        const QByteArray dir = qgetenv("XDG_RUNTIME_DIR");
        if (dir.isEmpty()) return false;
        path = dir + '/' + path;
    }
    sockaddr_un addr{};
    if (path.size() >= static_cast<qsizetype>(sizeof addr.sun_path)) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// QApplication aborts the process when no platform plugin can start, so try the
// displays Qt would use before constructing it. Returns why none opens, or an
// empty string when start-up may go on (including platforms we cannot judge,
// such as offscreen, which Qt then handles itself).
std::string displayProblem() {
    const QByteArray x = qgetenv("DISPLAY");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    QList<QByteArray> platforms;
    const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    if (!chosen.isEmpty()) {
        for (const QByteArray& entry : chosen.split(';')) platforms.append(entry.split(':').first().trimmed());
    } else {
        // Qt picks X, or Wayland in a Wayland session; either will do here, so
        // that this check never refuses a start that Qt would have managed.
        if (!wayland.isEmpty() || qgetenv("XDG_SESSION_TYPE") == "wayland") platforms.append("wayland");
        platforms.append("xcb");
    }
    QStringList failed;
    for (const QByteArray& p : platforms) {
        if (p == "xcb") {
            if (xDisplayOpens(x)) return {};
            failed.append(x.isEmpty() ? QStringLiteral("X display (DISPLAY is not set)")
                                      : QStringLiteral("X display \"%1\"").arg(QString::fromLocal8Bit(x)));
        } else if (p.startsWith("wayland")) {
            if (waylandDisplayOpens(wayland)) return {};
            failed.append(QStringLiteral("Wayland display \"%1\"")
                              .arg(wayland.isEmpty() ? QStringLiteral("wayland-0") : QString::fromLocal8Bit(wayland)));
        } else {
            return {};
        }
    }
    if (failed.isEmpty()) return {};
    return QStringLiteral("cannot open %1; to run without a display, set QT_QPA_PLATFORM=offscreen")
        .arg(failed.join(QStringLiteral(" or ")))
        .toStdString();
}

// Idle for this long before ProcessSystemEvents starts waiting for events.
constexpr qint64 kIdleAfterMs = 2;
constexpr long kTimedNapNs = 150000;
constexpr int kIdleWaitUntimedMs = 500;

}  // namespace

TestHooks& hooks() {
    static TestHooks h;
    return h;
}

void post(std::function<void()> fn) {
    QMetaObject::invokeMethod(qApp, std::move(fn), Qt::QueuedConnection);
}

void markActivity() { loop().activity.restart(); }

int& callbackDepth() {
    static int depth = 0;
    return depth;
}

void resetPanels();
void resetTcp();

}  // namespace cvi

using namespace cvi;

int InitCVIRTDll(int argc, char* argv[]) {
    if (hooks().failInit) return 0;
    auto& l = loop();
    if (!QCoreApplication::instance()) {
        if (const std::string problem = displayProblem(); !problem.empty()) {
            std::fprintf(stderr, "vantis-sim: %s\n", problem.c_str());
            return 0;
        }
        l.argc = 1;
        l.argv[0] = (argc > 0 && argv && argv[0]) ? argv[0] : const_cast<char*>("vantis-sim");
        l.ownedApp = new QApplication(l.argc, l.argv);
    }
    QApplication::setQuitOnLastWindowClosed(false);
    // Fine-grained timers: the paced download waits a few milliseconds per frame.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    l.quitRequested = false;
    l.quitCode = 0;
    l.activity.start();
    if (!l.wake) {
        l.wake = new QTimer;
        l.wake->setSingleShot(true);
        l.wake->setTimerType(Qt::PreciseTimer);
    }
    resetPanels();
    resetTcp();
    control::start();
    linkfaults::clear();
    {
        // A new simulator runs in real time.
        auto& s = scale();
        std::lock_guard lock(s.mutex);
        s.k = 1.0;
        s.clock = nullptr;
        s.changed = false;
    }
    return 1;
}

void CloseCVIRTDll() {
    auto& l = loop();
    control::stop();
    resetTcp();
    resetPanels();
    if (l.waitCursor) {
        QApplication::restoreOverrideCursor();
        l.waitCursor = false;
    }
    delete l.wake;
    l.wake = nullptr;
    if (l.ownedApp) {
        delete l.ownedApp;
        l.ownedApp = nullptr;
    }
}

int DisableBreakOnLibraryErrors() { return 0; }

int MessagePopup(const char* title, const char* message) {
    endWriteBurst();
    auto& h = hooks();
    {
        std::lock_guard lock(h.mutex);
        if (h.capturePopups) {
            h.popups.emplace_back(title ? title : "", message ? message : "");
            return 0;
        }
    }
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(title ? title : ""),
                    QString::fromLatin1(message ? message : ""), QMessageBox::Ok);
    box.exec();
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
    if (l.uiLoop)
        l.uiLoop->exit(code);  // takes effect once control is back in the loop
    else
        l.quitRequested = true;
    return 0;
}

int ProcessSystemEvents() {
    auto& l = loop();
    auto* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher) return 0;
    // Posted events first, explicitly: when this runs nested inside the delivery
    // of a posted event, the glib dispatcher does not deliver posted events again.
    passWriteBurst();
    setInPass(true);
    QCoreApplication::sendPostedEvents();
    retryStarvedReceivers();
    const bool handled = dispatcher->processEvents(QEventLoop::AllEvents);
    setInPass(false);
    if (handled) {
        l.activity.restart();
        return 0;
    }
    // Nothing was pending. After a short quiet spell wait, so that an idle loop
    // costs next to nothing. A loop that reads the clock between passes has a
    // time limit to keep: it naps a fraction of a millisecond (Qt's timers keep
    // whole milliseconds, and an erase adds up the lateness of each of its
    // ticks) and takes what arrived meanwhile at its next pass. Other loops wait
    // for the next event, at most 500 ms.
    if (l.wake && l.activity.isValid() && l.activity.elapsed() >= kIdleAfterMs) {
        const auto reads = hooks().timerReads.load();
        const bool timed = reads != l.timerReadsSeen;
        l.timerReadsSeen = reads;
        endWriteBurst();  // nothing is held over a wait
        if (timed) {
            timespec nap{0, kTimedNapNs};
            nanosleep(&nap, nullptr);
            return 0;
        }
        l.wake->start(kIdleWaitUntimedMs);
        dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        l.wake->stop();
    }
    return 0;
}

namespace cvi {

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

}  // namespace cvi

double Timer() {
    const auto clock = activeClock();
    const double raw = clock->now();
    // Counted once taken: a test that has seen the count go up may move the clock
    // without the move landing in this very reading.
    hooks().timerReads.fetch_add(1);
    auto& s = scale();
    std::lock_guard lock(s.mutex);
    return scaled(s, *clock, raw);
}

void Delay(double seconds) {
    endWriteBurst();  // a paced frame leaves before its pause, not after
    activeClock()->delay(seconds / timeScale());
}
