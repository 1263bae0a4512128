#include "testing.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QWidget>
#include <QTcpSocket>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "internal.h"

namespace cvi {
bool writesHeld();
QTcpSocket* conversationSocket(unsigned handle);
unsigned conversationCount();
unsigned long long conversationBytesRead(unsigned handle);
}

namespace cvi::testing {
namespace {

class ManualClock final : public Clock {
public:
    explicit ManualClock(double start) : now_(start) {}
    double now() override {
        std::lock_guard lock(mutex_);
        seen_ = generation_;
        return now_;
    }
    double peek() override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    // On the user-interface thread, inside the program's pause.
    void delay(double seconds) override {
        const bool held = writesHeld();
        std::lock_guard lock(mutex_);
        ++calls_;
        if (held) ++heldAtDelay_;
        now_ += seconds;
        delayed_ += seconds;
    }
    bool realTime() const override { return false; }
    void set(double t) {
        {
            std::lock_guard lock(mutex_);
            now_ = t;
            ++generation_;
        }
        wakeProgram();
    }
    void advance(double dt) {
        {
            std::lock_guard lock(mutex_);
            now_ += dt;
            ++generation_;
        }
        wakeProgram();
    }
    unsigned long long heldAtDelay() {
        std::lock_guard lock(mutex_);
        return heldAtDelay_;
    }
    // True once a reading has been taken since the last time the test moved the clock.
    bool seen() {
        std::lock_guard lock(mutex_);
        return seen_ == generation_;
    }
    double time() {
        std::lock_guard lock(mutex_);
        return now_;
    }
    unsigned long long calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    double delayed() {
        std::lock_guard lock(mutex_);
        return delayed_;
    }

private:
    std::mutex mutex_;
    double now_;
    unsigned long long generation_ = 0;
    unsigned long long seen_ = 0;
    unsigned long long calls_ = 0;
    unsigned long long heldAtDelay_ = 0;
    double delayed_ = 0;

    // A loop waiting for a time on this clock waits for events instead.
    static void wakeProgram() {
        if (auto* app = QCoreApplication::instance())
            if (auto* d = QAbstractEventDispatcher::instance(app->thread())) d->wakeUp();
    }
};

std::shared_ptr<ManualClock> manual() {
    auto& h = seams();
    std::lock_guard lock(h.mutex);
    return std::dynamic_pointer_cast<ManualClock>(h.clock);
}

template <typename Pred>
bool waitUntil(Pred pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace

void UseManualClock(double startSeconds) {
    auto& h = seams();
    std::lock_guard lock(h.mutex);
    h.clock = std::make_shared<ManualClock>(startSeconds);
}

void UseRealClock() {
    auto& h = seams();
    std::lock_guard lock(h.mutex);
    h.clock.reset();
}

void SetClock(double seconds) {
    if (auto c = manual()) c->set(seconds);
}

void AdvanceClock(double seconds) {
    if (auto c = manual()) c->advance(seconds);
}

double ClockNow() {
    auto c = manual();
    return c ? c->time() : 0.0;
}

unsigned long long TimerReads() { return seams().timerReads.load(); }

bool WaitForTimerReads(unsigned long long atLeast, int timeoutMs) {
    return waitUntil([&] { return seams().timerReads.load() >= atLeast; }, timeoutMs);
}

bool WaitUntilClockSeen(int timeoutMs) {
    auto c = manual();
    return c && waitUntil([&] { return c->seen(); }, timeoutMs);
}

unsigned long long DelayCalls() {
    auto c = manual();
    return c ? c->calls() : 0;
}

double DelayedSeconds() {
    auto c = manual();
    return c ? c->delayed() : 0.0;
}

unsigned long long DelaysWithWritesHeld() {
    auto c = manual();
    return c ? c->heldAtDelay() : 0;
}

void SetServerPort(int port) { seams().portOverride.store(port); }
unsigned ListeningPort() { return ext::listeningPort(); }
bool WritesHeld() { return writesHeld(); }

void SetPanelFile(const std::string& name) {
    auto& h = seams();
    std::lock_guard lock(h.mutex);
    h.panelFileOverride = name;
}

void FailRuntimeInit(bool fail) { seams().failInit.store(fail); }
void FailHostName(bool fail) { seams().failHostName.store(fail); }

void SetWriteQueueLimit(long long bytes) { seams().writeQueueLimit.store(bytes); }
unsigned long long PanelsDisplayed() { return seams().panelsDisplayed.load(); }

void CapturePopups(bool capture) {
    auto& h = seams();
    std::lock_guard lock(h.mutex);
    h.capturePopups = capture;
    h.popups.clear();
}

std::vector<std::pair<std::string, std::string>> Popups() {
    auto& h = seams();
    std::lock_guard lock(h.mutex);
    return h.popups;
}

void PostToUi(std::function<void()> fn) { post(std::move(fn)); }

void RunOnUi(std::function<void()> fn, int timeoutMs) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    post([fn = std::move(fn), done] {
        fn();
        done->set_value();
    });
    if (future.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        std::fprintf(stderr, "test: the user-interface thread did not respond within %d ms\n", timeoutMs);
        std::fflush(stderr);
        std::_Exit(3);
    }
}

unsigned long long CallbacksStarted() { return seams().callbacksStarted.load(); }
unsigned long long CallbacksFinished() { return seams().callbacksFinished.load(); }

bool WaitForCallbacks(unsigned long long startedAtLeast, unsigned long long finishedAtLeast, int timeoutMs) {
    return waitUntil(
        [&] {
            return seams().callbacksStarted.load() >= startedAtLeast &&
                   seams().callbacksFinished.load() >= finishedAtLeast;
        },
        timeoutMs);
}

long long UnreadBytes(unsigned handle) {
    QTcpSocket* sock = conversationSocket(handle);
    return sock ? sock->bytesAvailable() : -1;
}

unsigned long long BytesRead(unsigned handle) { return conversationBytesRead(handle); }
unsigned ConversationCount() { return conversationCount(); }

bool WaitForIncomingData(unsigned handle, int timeoutMs) {
    QTcpSocket* sock = conversationSocket(handle);
    if (!sock) return false;
    return sock->bytesAvailable() > 0 || sock->waitForReadyRead(timeoutMs);
}


std::string WindowTitle(int panel) {
    Panel* p = findPanel(panel);
    return p ? p->root->windowTitle().toStdString() : std::string();
}

int PanelWidth(int panel) {
    Panel* p = findPanel(panel);
    return p ? p->root->width() : -1;
}

int PanelHeight(int panel) {
    Panel* p = findPanel(panel);
    return p ? p->root->height() : -1;
}

}  // namespace cvi::testing
