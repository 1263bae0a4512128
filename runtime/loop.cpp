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
#include "state.h"

namespace cvi {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A busy pass runs no more often than this: a fast download writes a frame every
// few microseconds, and a clock reading is all a frame pays.
constexpr auto kBusyEvery = std::chrono::milliseconds(2);
// ... and only once the program has gone this long without a pass of its own:
// an ordinary reply, even a slow one, never runs one.
constexpr auto kBusyAfter = std::chrono::milliseconds(20);

}  // namespace

struct PassState {
    std::vector<std::function<void()>> soon;  // for the end of the pass under way
    bool collecting = false;
    QElapsedTimer activity;
    bool inBusy = false;
    SteadyClock::time_point nextBusy{};
    std::deque<std::function<void()>> held;  // the program's deliveries that came during a busy pass
    bool replayPosted = false;
};

namespace {
PassState& passes() { return partOf(runtime().passes); }
}  // namespace

TestSeams& seams() { return installed().options; }

void runOrHold(std::function<void()> fn) {
    auto& h = passes();
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
    auto& h = passes();
    h.replayPosted = false;
    if (h.held.empty() || h.inBusy) return;  // inside a busy pass: posted again after it
    std::function<void()> fn = std::move(h.held.front());
    h.held.pop_front();
    if (!h.held.empty()) postReplay();
    fn();
}

void postReplay() {
    auto& h = passes();
    if (h.replayPosted) return;
    h.replayPosted = true;
    QMetaObject::invokeMethod(qApp, [] { replayHeld(); }, Qt::QueuedConnection);
}

}  // namespace

void busyPoint() {
    auto& h = passes();
    // Paced bytes move on at every point; what is installed, at most every kBusyEvery.
    const auto& with = installed();
    for (auto& fn : with.ownBusy) fn();
    if (with.busy.empty() || h.inBusy || !qApp) return;
    const auto now = SteadyClock::now();
    if (now < h.nextBusy) return;
    h.inBusy = true;
    for (auto& fn : with.busy) fn();
    h.inBusy = false;
    h.nextBusy = SteadyClock::now() + kBusyEvery;
    if (!h.held.empty()) postReplay();
}

bool inBusyPass() { return passes().inBusy; }

void soon(std::function<void()> fn) {
    auto& h = passes();
    if (h.inBusy)
        h.held.push_back(std::move(fn));
    else if (h.collecting)
        h.soon.push_back(std::move(fn));
    else
        post(std::move(fn));
}

// The program processes its own events: it is not busy, and a busy pass is due
// only once it has gone kBusyAfter without one.
void beginPass() {
    auto& h = passes();
    h.collecting = true;
    if (!installed().busy.empty()) h.nextBusy = SteadyClock::now() + kBusyAfter;
}

bool endPass() {
    auto& h = passes();
    h.collecting = false;
    if (!installed().busy.empty()) h.nextBusy = SteadyClock::now() + kBusyAfter;
    if (h.soon.empty()) return false;
    std::vector<std::function<void()>> due;
    due.swap(h.soon);
    for (auto& fn : due) fn();
    return true;
}

void markActivity() { passes().activity.restart(); }
void restartActivity() { passes().activity.start(); }
long long msSinceActivity() {
    const auto& activity = passes().activity;
    return activity.isValid() ? activity.elapsed() : -1;
}

void invokeCallback(const std::function<void()>& callback) {
    seams().callbacksStarted.fetch_add(1);
    callback();
    seams().callbacksFinished.fetch_add(1);
}

void aboutToWait() {
    const auto& with = installed();
    for (auto& fn : with.ownBeforeWait) fn();
    for (auto& fn : with.beforeWait) fn();
}

bool blockingWait(const std::function<bool()>& wait) {
    aboutToWait();
    return wait();
}

void addOwnBeforeWait(std::function<void()> fn) { installed().ownBeforeWait.push_back(std::move(fn)); }

void addOwnBusy(std::function<void()> fn) { installed().ownBusy.push_back(std::move(fn)); }

namespace ext {
void onBeforeWait(std::function<void()> fn) { installed().beforeWait.push_back(std::move(fn)); }

void onBusy(std::function<void()> fn) { installed().busy.push_back(std::move(fn)); }
bool busy() { return passes().inBusy; }

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
