#include "loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMetaObject>

#include <chrono>
#include <deque>
#include <thread>
#include <utility>
#include <vector>

#include "extension.h"
#include "internal.h"

namespace cvi {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A busy pass runs no more often than this: a fast download writes a frame every
// few microseconds, and a clock reading is all a frame pays.
constexpr auto kBusyEvery = std::chrono::milliseconds(2);
// ... and only once the program has gone this long without a pass of its own:
// an ordinary reply, even a slow one, never runs one.
constexpr auto kBusyAfter = std::chrono::milliseconds(20);

struct Hooks {
    std::vector<std::function<void()>> own, installed, busy;
    std::vector<std::function<void()>> ownBusy;  // the run-time's, at every busy point
    std::vector<std::function<void()>> soon;  // for the end of the pass under way
    bool collecting = false;
    QElapsedTimer activity;
    bool inBusy = false;
    SteadyClock::time_point nextBusy{};
    std::deque<std::function<void()>> held;  // the program's deliveries that came during a busy pass
    bool replayPosted = false;
};

Hooks& hooks() {
    static Hooks h;
    return h;
}

}  // namespace

TestSeams& seams() {
    static TestSeams s;
    return s;
}

void runOrHold(std::function<void()> fn) {
    auto& h = hooks();
    if (h.inBusy) {
        h.held.push_back(std::move(fn));
        return;
    }
    fn();
}

void post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        qApp, [fn = std::move(fn)]() mutable { runOrHold(std::move(fn)); }, Qt::QueuedConnection);
}

namespace {

void postReplay();

// What was held runs one delivery per event, in order. The next one is posted
// before a delivery runs, so that one that runs a loop of its own (a model
// choice starts the service loop) does not hold up the rest.
void replayHeld() {
    auto& h = hooks();
    h.replayPosted = false;
    if (h.held.empty() || h.inBusy) return;  // inside a busy pass: posted again after it
    std::function<void()> fn = std::move(h.held.front());
    h.held.pop_front();
    if (!h.held.empty()) postReplay();
    fn();
}

void postReplay() {
    auto& h = hooks();
    if (h.replayPosted) return;
    h.replayPosted = true;
    QMetaObject::invokeMethod(qApp, [] { replayHeld(); }, Qt::QueuedConnection);
}

}  // namespace

void busyPoint() {
    auto& h = hooks();
    // Paced bytes move on at every point; what is installed, at most every kBusyEvery.
    for (auto& fn : h.ownBusy) fn();
    if (h.busy.empty() || h.inBusy || !qApp) return;
    const auto now = SteadyClock::now();
    if (now < h.nextBusy) return;
    h.inBusy = true;
    for (auto& fn : h.busy) fn();
    h.inBusy = false;
    h.nextBusy = SteadyClock::now() + kBusyEvery;
    if (!h.held.empty()) postReplay();
}

bool inBusyPass() { return hooks().inBusy; }

void soon(std::function<void()> fn) {
    if (hooks().inBusy)
        hooks().held.push_back(std::move(fn));
    else if (hooks().collecting)
        hooks().soon.push_back(std::move(fn));
    else
        post(std::move(fn));
}

// The program processes its own events: it is not busy, and a busy pass is due
// only once it has gone kBusyAfter without one.
void beginPass() {
    auto& h = hooks();
    h.collecting = true;
    if (!h.busy.empty()) h.nextBusy = SteadyClock::now() + kBusyAfter;
}

bool endPass() {
    auto& h = hooks();
    h.collecting = false;
    if (!h.busy.empty()) h.nextBusy = SteadyClock::now() + kBusyAfter;
    if (h.soon.empty()) return false;
    std::vector<std::function<void()>> due;
    due.swap(h.soon);
    for (auto& fn : due) fn();
    return true;
}

void markActivity() { hooks().activity.restart(); }
void restartActivity() { hooks().activity.start(); }
long long msSinceActivity() { return hooks().activity.isValid() ? hooks().activity.elapsed() : -1; }

void invokeCallback(const std::function<void()>& callback) {
    seams().callbacksStarted.fetch_add(1);
    callback();
    seams().callbacksFinished.fetch_add(1);
}

void aboutToWait() {
    for (auto& fn : hooks().own) fn();
    for (auto& fn : hooks().installed) fn();
}

bool blockingWait(const std::function<bool()>& wait) {
    aboutToWait();
    return wait();
}

void addOwnBeforeWait(std::function<void()> fn) { hooks().own.push_back(std::move(fn)); }

void addOwnBusy(std::function<void()> fn) { hooks().ownBusy.push_back(std::move(fn)); }

namespace ext {
void onBeforeWait(std::function<void()> fn) { hooks().installed.push_back(std::move(fn)); }

void onBusy(std::function<void()> fn) { hooks().busy.push_back(std::move(fn)); }
bool busy() { return hooks().inBusy; }

void busyPause() {
    busyPoint();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool headless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}
}  // namespace ext

}  // namespace cvi
