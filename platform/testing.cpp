#include "testing.h"

#include <QApplication>
#include <QWidget>
#include <QTcpSocket>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "control.h"
#include "internal.h"
#include "operator.h"

namespace cvi {
unsigned listeningPort();
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
    void delay(double seconds) override {
        std::lock_guard lock(mutex_);
        ++calls_;
        now_ += seconds;
        delayed_ += seconds;
    }
    void set(double t) {
        std::lock_guard lock(mutex_);
        now_ = t;
        ++generation_;
    }
    void advance(double dt) {
        std::lock_guard lock(mutex_);
        now_ += dt;
        ++generation_;
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
    double delayed_ = 0;
};

std::shared_ptr<ManualClock> manual() {
    auto& h = hooks();
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
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    h.clock = std::make_shared<ManualClock>(startSeconds);
}

void UseRealClock() {
    auto& h = hooks();
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

unsigned long long TimerReads() { return hooks().timerReads.load(); }

bool WaitForTimerReads(unsigned long long atLeast, int timeoutMs) {
    return waitUntil([&] { return hooks().timerReads.load() >= atLeast; }, timeoutMs);
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

void SetServerPort(int port) { hooks().portOverride.store(port); }
unsigned ListeningPort() { return listeningPort(); }
bool WritesHeld() { return writesHeld(); }

void SetPanelFile(const std::string& name) {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    h.panelFileOverride = name;
}

void FailRuntimeInit(bool fail) { hooks().failInit.store(fail); }
void FailHostName(bool fail) { hooks().failHostName.store(fail); }

void SetWriteQueueLimit(long long bytes) { hooks().writeQueueLimit.store(bytes); }
unsigned long long PanelsDisplayed() { return hooks().panelsDisplayed.load(); }

void SetControlSocket(const std::string& path) {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    h.controlSocketSet = true;
    h.controlSocket = path;
}

void UseDefaultControlSocket() {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    h.controlSocketSet = false;
    h.controlSocket.clear();
}

std::string ControlSocketPath() { return control::socketPath(); }

void CapturePopups(bool capture) {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    h.capturePopups = capture;
    h.popups.clear();
}

std::vector<std::pair<std::string, std::string>> Popups() {
    auto& h = hooks();
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

unsigned long long CallbacksStarted() { return hooks().callbacksStarted.load(); }
unsigned long long CallbacksFinished() { return hooks().callbacksFinished.load(); }

bool WaitForCallbacks(unsigned long long startedAtLeast, unsigned long long finishedAtLeast, int timeoutMs) {
    return waitUntil(
        [&] {
            return hooks().callbacksStarted.load() >= startedAtLeast &&
                   hooks().callbacksFinished.load() >= finishedAtLeast;
        },
        timeoutMs);
}

int ChooseRingItem(int panel, int control, int value) { return op::ChooseRingItem(panel, control, value); }
int PressButton(int panel, int control) { return op::PressButton(panel, control); }
int FlipSwitch(int panel, int control) { return op::FlipSwitch(panel, control); }
int CommitText(int panel, int control, const std::string& text) { return op::CommitText(panel, control, text); }
int ClosePanel(int panel) { return op::ClosePanel(panel); }

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

std::string TextBoxContents(int panel, int control) { return op::TextBoxContents(panel, control); }

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
