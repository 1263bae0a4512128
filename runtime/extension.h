// The run-time's extension interface: the one way code above the run-time (the
// services, the application) adds to it. The run-time calls nothing above it
// except what was installed here, and nothing here names what is installed.
//
// Everything runs on the user-interface thread. Install before InitCVIRTDll;
// what is installed stays for the life of the process.
#pragma once

#include <chrono>
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
// program hears of it through the usual disconnect event. With drainMs, it
// first waits (at most that long, processing no events) until the peer has
// acknowledged every byte the system was given. False when the conversation
// is not open.
bool resetConversation(unsigned handle, unsigned drainMs = 0);

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

// ---- Pacing the link ----
// Each conversation has one bounded queue of bytes on their way to the system.
// A pacer decides when its bytes may leave and how many, as a link would; it
// keeps no bytes of its own. While it is engaged for a conversation, a write
// returns once its bytes are queued (they leave later, as allowed), the queue
// may hold as much as the system's largest send buffer, and a write waits (at
// most its time-out, processing no events) only when even that is full.
// Positions count the conversation's bytes from its first: what was queued
// before, whatever the pacer did with it.
using PaceClock = std::chrono::steady_clock;
struct Pacer {
    // Engaged for this conversation: its writes go through the queue and allow.
    std::function<bool(unsigned handle)> engaged;
    // Bytes from `position` on were queued.
    std::function<void(unsigned handle, std::uint64_t position, std::size_t length)> queued;
    // How many of the `waiting` bytes from `position` on may leave now. Fewer
    // than all: *again is when to ask next (PaceClock::time_point::max(): only
    // after repace).
    std::function<std::size_t(unsigned handle, std::uint64_t position, std::size_t waiting,
                              PaceClock::time_point now, PaceClock::time_point* again)>
        allow;
    // Bytes from `position` on were handed to the system. It may end or reset
    // the conversation from here.
    std::function<void(unsigned handle, std::uint64_t position, std::size_t length)> sent;
};
void setPacer(Pacer pacer);
// The pacer's rules changed: every conversation asks it again now.
void repace();
// Bytes written to the conversation so far (its next byte's position); 0 when
// it is not open.
std::uint64_t bytesWritten(unsigned handle);
// Bytes queued on the conversation that the system has not taken yet.
std::size_t bytesQueued(unsigned handle);
// The largest queue a conversation keeps while paced.
std::size_t pacedQueueBytes();

// ---- Every byte on the wire ----
// Told of each conversation's life and of every byte as it is received from the
// system or handed to it (after the link faults: what really goes on the wire),
// at that moment. Several may be added.
struct Endpoints {
    std::string localAddress;
    unsigned localPort = 0;
    std::string peerAddress;
    unsigned peerPort = 0;
};
enum class ConversationEnd { PeerClosed, Closed, Reset };  // the client closed; we closed; we reset
struct TrafficTap {
    std::function<void(unsigned handle, const Endpoints&)> opened;
    std::function<void(unsigned handle, const unsigned char* data, std::size_t length)> received;
    std::function<void(unsigned handle, const unsigned char* data, std::size_t length)> sent;
    std::function<void(unsigned handle, ConversationEnd how)> ended;
};
void addTrafficTap(TrafficTap tap);

// ---- Before every wait ----
// Run whenever the run-time is about to wait or pause: an idle wait for events,
// Delay, a blocking read or write, a popup, a return to an event loop.
void onBeforeWait(std::function<void()> fn);

// ---- What the program reads ----
// Told of the bytes ServerTCPRead hands the program, as it hands them over
// (the wire's own view, earlier and whole, is the traffic tap's).
using ReadObserver = std::function<void(unsigned handle, const unsigned char* data, std::size_t length)>;
void onProgramRead(ReadObserver observer);

// ---- Every event pass ----
// Run at the start of every ProcessSystemEvents, the instrument's own turn to
// take events (its waits and its service loop call it, a download does not):
// cheap observers of the instrument's state.
void onEventPass(std::function<void()> fn);

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
// The clock reads no later than `reading` until released, then goes on from
// there without a jump: a moment that must land exactly (a trigger set for a
// time after arming) is not late by however long the program took to reach it.
void holdClockAt(double reading);
void releaseClock();
double timeScale();
// What Timer would read now (time-scaled, a test's clock included), without
// counting as one of the program's readings: for observers that stamp events.
double clockReading();

}  // namespace cvi::ext
