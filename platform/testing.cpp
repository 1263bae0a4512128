#include "testing.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTcpSocket>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "internal.h"
#include "widgets.h"

namespace cvi {
unsigned listeningPort();
QTcpSocket* conversationSocket(unsigned handle);
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

QWidget* widgetOf(int panel, int control) {
    Control* c = findControl(panel, control);
    return c ? c->widget.data() : nullptr;
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

void SetPanelFile(const std::string& name) {
    auto& h = hooks();
    std::lock_guard lock(h.mutex);
    h.panelFileOverride = name;
}

void FailRuntimeInit(bool fail) { hooks().failInit.store(fail); }
void FailHostName(bool fail) { hooks().failHostName.store(fail); }

void SetWriteQueueLimit(long long bytes) { hooks().writeQueueLimit.store(bytes); }
unsigned long long PanelsDisplayed() { return hooks().panelsDisplayed.load(); }

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

int ChooseRingItem(int panel, int control, int value) {
    Control* c = findControl(panel, control);
    if (!c || c->kind != Kind::Ring) return UIEBadControl;
    auto* combo = qobject_cast<QComboBox*>(c->widget);
    int index = -1;
    for (std::size_t i = 0; i < c->itemValues.size(); ++i)
        if (c->itemValues[i] == value) index = static_cast<int>(i);
    if (index < 0) return UIEBadValue;
    if (!combo->isVisible() || !combo->isEnabled()) return UIEGeneral;
    // What the widget does when the operator picks an item from its list. (Going
    // through the list's popup would let the style's closing effects delay it.)
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    return 0;
}

int PressButton(int panel, int control) {
    QWidget* w = widgetOf(panel, control);
    auto* button = qobject_cast<QAbstractButton*>(w);
    if (!button) return UIEBadControl;
    if (!button->isVisible() || !button->isEnabled()) return UIEGeneral;
    QTest::mouseClick(button, Qt::LeftButton);
    return 0;
}

int FlipSwitch(int panel, int control) {
    auto* sw = qobject_cast<Switch*>(widgetOf(panel, control));
    if (!sw) return UIEBadControl;
    if (!sw->isVisible() || !sw->isEnabled()) return UIEGeneral;
    QTest::mouseClick(sw, Qt::LeftButton);
    return 0;
}

int CommitText(int panel, int control, const std::string& text) {
    auto* line = qobject_cast<QLineEdit*>(widgetOf(panel, control));
    if (!line) return UIEBadControl;
    if (!line->isVisible() || !line->isEnabled()) return UIEGeneral;
    line->setFocus();
    QTest::keyClicks(line, QString::fromLatin1(text.c_str()));
    QTest::keyClick(line, Qt::Key_Return);
    return 0;
}

int ClosePanel(int panel) {
    Panel* p = findPanel(panel);
    if (!p) return UIEBadPanel;
    p->root->close();  // a real close request; the panel's callback decides
    return 0;
}

bool WaitForIncomingData(unsigned handle, int timeoutMs) {
    QTcpSocket* sock = conversationSocket(handle);
    if (!sock) return false;
    return sock->bytesAvailable() > 0 || sock->waitForReadyRead(timeoutMs);
}

std::string TextBoxContents(int panel, int control) {
    Control* c = findControl(panel, control);
    if (!c || c->kind != Kind::TextBox) return {};
    std::vector<char> buffer(1 << 20);
    GetCtrlVal(panel, control, buffer.data(), buffer.size());
    return buffer.data();
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
