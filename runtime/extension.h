// The run-time's extension interface: the one way code above the run-time (the
// services, the application) adds to it. The run-time calls nothing above it
// except what was installed here, and nothing here names what is installed.
//
// Everything runs on the user-interface thread. Install before InitCVIRTDll;
// what is installed stays for the life of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cvi.h"

class QWidget;

namespace cvi::ext {

// ---- Life cycle ----
// Run in the order installed, once the run-time has started (at the end of a
// successful InitCVIRTDll), and in reverse order as it ends (first thing in
// CloseCVIRTDll), while the panels and the TCP server still exist.
void onStart(std::function<void()> fn);
void onStop(std::function<void()> fn);

// ---- The panel file's callbacks ----
// Callback names a panel file may refer to, bound when the panel loads.
struct CallbackBinding {
    const char* name;
    CtrlCallbackPtr control;
    PanelCallbackPtr panel;
};
void setCallbackBindings(const CallbackBinding* bindings, std::size_t count);

// ---- Writes to a conversation ----
// Sees every ServerTCPWrite before it leaves. Returns false to let the write go
// on unchanged; true when it has taken the write, with *result what the write
// returns to the program. A filter that sends bytes of its own uses writeThrough.
using WriteFilter = std::function<bool(unsigned handle, const unsigned char* data, std::size_t length,
                                       unsigned timeoutMs, int* result)>;
void setWriteFilter(WriteFilter filter);
// A write that passes no filter, with ServerTCPWrite's rules and results.
int writeThrough(unsigned handle, const void* data, std::size_t length, unsigned timeoutMs);
// True while the conversation is open and its peer has not gone.
bool conversationOpen(unsigned handle);

// The application's word that more whole requests of this conversation wait in
// its own buffers (they will be answered at once): its replies may then leave
// together. Without it, only the socket's own buffer is looked at.
void setInputWaiting(std::function<bool(unsigned handle)> waiting);

// Ends a conversation as a pulled cable would: the peer sees the end, and the
// program hears of it through the usual disconnect event. False when the
// conversation is not open.
bool endConversation(unsigned handle);

// Ends a conversation with a reset (RST) in place of a clean close; the
// program hears of it through the usual disconnect event. False when the
// conversation is not open.
bool resetConversation(unsigned handle);

// Hands bytes to the conversation's bounded write queue without waiting: the
// length when all were taken, 0 when the queue has no room for them now (none
// taken), or ServerTCPWrite's negative result. Never holds them back in a cork.
int offerWrite(unsigned handle, const void* data, std::size_t length);

// While paused, no data-ready event is raised: what the clients send waits in
// the system's buffers. Resuming offers what waits. Disconnects still arrive.
void setReadingPaused(bool paused);

// The port the TCP server listens on; 0 when none.
unsigned listeningPort();

// Where RegisterTCPServer listens: an IPv4 or IPv6 literal, and a port that
// replaces the one the program asks for (-1: keep it). Without a call, all IPv4
// interfaces on the program's port. False, and nothing changes, for an address
// that is not a literal or a port out of range.
bool setListenAddress(const std::string& address, int port = -1);
// The address being listened on ("127.0.0.1:3000", "[::1]:3000"), or, while
// nothing listens, the one that will be.
std::string listenAddress();

// ---- Before every wait ----
// Run whenever the run-time is about to wait or pause: an idle wait for events,
// Delay, a blocking read or write, a popup, a return to an event loop.
void onBeforeWait(std::function<void()> fn);

// ---- While the program is busy ----
// Run from inside operations that process no events (a download's writes and
// pauses, a write waiting for room), at most every few ms: work that must go on
// meanwhile and never touches the instrument (the control channel's observing
// and fault verbs, a close). Meanwhile the program's own deliveries (its TCP
// events, panel callbacks) are held, and come once it processes events again.
void onBusy(std::function<void()> fn);
// True while that work runs.
bool busy();
// A pause of about a millisecond for a service that waits inside a write: the
// busy point, then a sleep. No event of the program's is processed.
void busyPause();

// ---- Recorded data ----
// Answers GetRecordedSample; returns false when it has nothing for that many words.
using SampleProvider = std::function<bool(long long tenths, int count, std::uint16_t* words)>;
void setSampleProvider(SampleProvider provider);

// ---- Closing ----
// From the run-time's start to its end, SIGTERM, SIGINT and SIGHUP close the
// program as the panel's close button does, even while the program processes no
// events (QuitRequested looks for them). A second signal of the same kind ends
// the process at once.
void closeOnSignals();
// Closes the program as a close signal does: the panels hear of their close at
// once, even inside an operation that processes no events.
void closeNow();
// No display: popups go to the error output (MessagePopup).
bool headless();

// ---- Panels, for operator actions and reports ----
enum class Kind { Ring, Button, TextBox, Led, String, Decoration, Switch };
// Appended to the title of every panel loaded from now on.
void setPanelTitleSuffix(const std::string& suffix);
// The widget behind a control or a panel; null when there is none.
QWidget* widgetOf(int panel, int control);
QWidget* panelWidget(int panel);
// UIEBadPanel or UIEBadControl when the control is not there, else 0.
int controlKind(int panel, int control, Kind* kind);
// A ring's items: value and text, in the ring's order.
std::vector<std::pair<int, std::string>> ringItems(int panel, int control);
// A text box's whole text, including what is appended but not yet drawn.
std::string textBoxContents(int panel, int control);
// Takes back text appended to a text box while it is still its unshown tail.
// False, and nothing changes, when it is not.
bool withdrawAppendedText(int panel, int control, std::string_view text);

// ---- The clock ----
// Speed of the clock behind Timer and Delay relative to real time (1: real time).
inline constexpr double kTimeScaleMin = 0.1;
inline constexpr double kTimeScaleMax = 100.0;
bool setTimeScale(double k);  // false, and nothing changes, outside the range
double timeScale();

}  // namespace cvi::ext
