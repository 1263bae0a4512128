// Internals of the run-time layer shared between its implementation files and
// its test face. The modules never include this.
#pragma once

#include <QPointer>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "cvi.h"
#include "extension.h"
#include "loop.h"

class QEventLoop;
class QTcpServer;
class QTcpSocket;
class QWidget;

namespace cvi {

using Kind = ext::Kind;

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

// One client conversation: its socket and everything on its way out to it.
struct Conversation {
    unsigned handle = 0;
    std::unique_ptr<QTcpSocket> socket;
    // The one queue: whole writes in order, the first maybe partly handed over.
    std::deque<std::string> out;
    std::size_t outFront = 0;   // bytes of out.front() already with the system
    std::size_t outBytes = 0;   // bytes waiting in out
    std::uint64_t written = 0;  // bytes queued or handed over so far
    std::uint64_t handed = 0;   // bytes handed to the system so far
    std::unique_ptr<QSocketNotifier> writable;  // enabled while the system has no room
    std::unique_ptr<QTimer> paceTimer;          // when the pacer wants to be asked again
    ext::ConversationEnd endHow = ext::ConversationEnd::PeerClosed;
    std::uint64_t tappedIn = 0;  // bytes received that the taps have been told of
    bool systemFull = false;     // the system took less than offered: wait for room
    std::chrono::steady_clock::time_point paceDue = std::chrono::steady_clock::time_point::max();
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
    // False for a clock that a test moves: waits for a time on it then end when
    // events come (moving it wakes the event loop), not after real time.
    virtual bool realTime() const { return true; }
};

// Settings a test makes before the program starts, and counters it reads; the
// run-time only consults them. Kept across runs.
struct TestSeams {
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
};

Panel* findPanel(int handle);
Control* findControl(int panel, int control);
void flushTextBox(Control& c);
void markActivity();
void retryStarvedReceivers();
// Sends what back-to-back writes held back (see aboutToWait).
void releaseWrites();
// At the start of an event pass that does not wait: the same, except that the
// client's replies stay corked while more of its requests are already waiting
// (they will be answered at once), so a burst of replies leaves in full segments.
void passWriteBurst();
void setInPass(bool inPass);
// Raises the close event of every loaded panel that has a callback, at once;
// false when there is none.
bool deliverPanelClose();
// What the last failed start-up step of the TCP server said (the address it
// could not listen on, and why), once; empty when nothing failed.
std::string takeFailureNote();
// As a run ends, while it still exists: the conversations are closed (the taps
// told), the panels and their widgets go.
void closeConversations();
void discardPanels();

}  // namespace cvi
