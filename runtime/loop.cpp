#include "loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMetaObject>

#include <utility>
#include <vector>

#include "extension.h"
#include "internal.h"

namespace cvi {
namespace {

struct Hooks {
    std::vector<std::function<void()>> own, installed, busy;
    std::vector<std::function<void()>> soon;  // for the end of the pass under way
    bool collecting = false;
    QElapsedTimer activity;
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

void post(std::function<void()> fn) { QMetaObject::invokeMethod(qApp, std::move(fn), Qt::QueuedConnection); }

void soon(std::function<void()> fn) {
    if (hooks().collecting)
        hooks().soon.push_back(std::move(fn));
    else
        post(std::move(fn));
}

void beginPass() { hooks().collecting = true; }

bool endPass() {
    auto& h = hooks();
    h.collecting = false;
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

void busyPoint() {
    for (auto& fn : hooks().busy) fn();
}

void addOwnBusy(std::function<void()> fn) { hooks().busy.push_back(std::move(fn)); }

namespace ext {
void onBeforeWait(std::function<void()> fn) { hooks().installed.push_back(std::move(fn)); }

bool headless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}
}  // namespace ext

}  // namespace cvi
