// Internals of the run-time layer shared between its implementation files and
// its test face. The modules never include this.
#pragma once

#include <QPointer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cvi.h"

class QEventLoop;
class QTcpServer;
class QTcpSocket;
class QWidget;

namespace cvi {

// Callback names a panel file may refer to, bound when the panel loads.
struct CallbackBinding {
    const char* name;
    CtrlCallbackPtr control;
    PanelCallbackPtr panel;
};

enum class Kind { Ring, Button, TextBox, Led, String, Decoration, Switch };

struct Control {
    int id = 0;
    Kind kind = Kind::Decoration;
    QPointer<QWidget> widget;
    CtrlCallbackPtr callback = nullptr;
    std::vector<int> itemValues;         // rings: value of each item
    QString offValue, onValue;           // text-valued switches
    bool textValued = false;
    std::vector<QPointer<QWidget>> companions;  // label and position texts
    std::string pending;                 // text box: appended, not yet shown
    bool flushPosted = false;
};

struct Panel {
    int handle = 0;
    std::unique_ptr<QWidget> root;
    PanelCallbackPtr callback = nullptr;
    std::map<int, Control> controls;
    int left = 0, top = 0;
};

struct Conversation {
    unsigned handle = 0;
    std::unique_ptr<QTcpSocket> socket;
    bool readyPosted = false;
    bool starved = false;       // bytes wait that the receiver had no room for
    int retryMs = 1;
    unsigned generation = 0;    // tells stale scheduled deliveries apart
    bool goneDelivered = false;
    unsigned long long consumed = 0;  // bytes read by the modules so far
    bool stalled = false;       // a write timed out since events were last processed
    bool inBurst = false;       // written to since the last pause point
    bool corked = false;        // back-to-back writes held for full segments
};

// The clock behind Timer and Delay.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() = 0;
    virtual void delay(double seconds) = 0;
    // A reading taken by the run-time for itself, not by the program.
    virtual double peek() { return now(); }
};

// Speed of the clock behind Timer and Delay relative to real time (1: real time).
inline constexpr double kTimeScaleMin = 0.1;
inline constexpr double kTimeScaleMax = 100.0;
bool setTimeScale(double k);  // false, and nothing changes, outside the range
double timeScale();

// Settings a test may make before the program starts; kept across runs.
struct TestHooks {
    std::atomic<bool> failInit{false};
    std::atomic<int> portOverride{-1};        // -1: use the port asked for
    std::atomic<bool> failHostName{false};
    std::atomic<long long> writeQueueLimit{-1};  // -1: the built-in bound
    std::mutex mutex;                         // guards the members below
    std::string panelFileOverride;            // non-empty: load this name instead
    bool capturePopups = false;
    std::vector<std::pair<std::string, std::string>> popups;
    std::shared_ptr<Clock> clock;             // null: the real clock
    std::atomic<unsigned long long> callbacksStarted{0};
    std::atomic<unsigned long long> callbacksFinished{0};
    std::atomic<unsigned long long> timerReads{0};
    std::atomic<unsigned long long> panelsDisplayed{0};
    bool controlSocketSet = false;            // guarded by mutex: the test's own
    std::string controlSocket;                // control socket path; empty: none
};

TestHooks& hooks();

// Runs fn on the user-interface thread when events are next processed.
void post(std::function<void()> fn);

void endWriteBurst();
int& callbackDepth();

// Calls a module callback, counting it for tests that wait on it. When the
// outermost one returns, control goes back to an event loop: nothing written
// may stay held.
template <typename F>
void invokeCallback(F&& f) {
    hooks().callbacksStarted.fetch_add(1);
    ++callbackDepth();
    f();
    if (--callbackDepth() == 0) endWriteBurst();
    hooks().callbacksFinished.fetch_add(1);
}

Panel* findPanel(int handle);
Control* findControl(int panel, int control);
void flushTextBox(Control& c);
void markActivity();
void retryStarvedReceivers();
// Sends what back-to-back writes held back; called before anything that pauses
// (Delay, a blocking wait, a popup, a return to the event loop).
void endWriteBurst();
// The same at the start of an event pass that does not wait, except that the
// client's replies stay corked while more of its requests are already waiting
// (they will be answered at once): a burst of replies then leaves in full
// segments. inPass tells a posted end of burst that a pass is running.
void passWriteBurst();
void setInPass(bool inPass);

}  // namespace cvi

// Defined beside the panel file: the callbacks its controls name.
extern const cvi::CallbackBinding kCallbackBindings[];
extern const std::size_t kCallbackBindingCount;
