// The run-time's second face, for tests only: a clock the test drives, start-up
// failures on demand, popups captured instead of shown, a listening port of the
// test's choice, and what the TCP server holds. (Operator actions and the
// control channel's test settings sit with the services: services/services_testing.h.)
//
// A test usually runs the program on the main thread and its script on a
// second thread; everything touching widgets goes through OnUi or PostToUi.
#pragma once

#include <functional>
#include <future>
#include <string>
#include <utility>
#include <vector>

namespace cvi::testing {

// ---- Clock behind Timer and Delay ----
void UseManualClock(double startSeconds = 0.0);  // frozen until the test moves it
void UseRealClock();
void SetClock(double seconds);
void AdvanceClock(double seconds);
double ClockNow();
// Readings of Timer so far; a test waits for one to know the program saw the time.
unsigned long long TimerReads();
bool WaitForTimerReads(unsigned long long atLeast, int timeoutMs = 10000);
// Waits until the program has read the clock since the test last moved it.
bool WaitUntilClockSeen(int timeoutMs = 10000);
// Delay on the manual clock advances it; these count the calls and their sum.
unsigned long long DelayCalls();
double DelayedSeconds();
// Delays during which some conversation had bytes held back unsent.
unsigned long long DelaysWithWritesHeld();

// ---- Start-up ----
void SetServerPort(int port);  // -1: the port the program asks for; 0: any free port
unsigned ListeningPort();      // UI thread
// Bytes written to some conversation are held back unsent (UI thread).
bool WritesHeld();
void SetPanelFile(const std::string& name);  // empty: the name the program asks for
void FailRuntimeInit(bool fail);
void FailHostName(bool fail);  // the host's own name cannot be read
// Bytes a conversation may hold queued beyond what the system has taken;
// -1: the built-in bound.
void SetWriteQueueLimit(long long bytes);
unsigned long long PanelsDisplayed();
// ---- Popups ----
void CapturePopups(bool capture);
std::vector<std::pair<std::string, std::string>> Popups();

// ---- Threads ----
void PostToUi(std::function<void()> fn);
// Runs fn on the UI thread and waits for its result; fails the process rather
// than hang when the UI thread does not get to it.
void RunOnUi(std::function<void()> fn, int timeoutMs = 20000);
template <typename F>
auto OnUi(F fn) -> decltype(fn()) {
    using R = decltype(fn());
    if constexpr (std::is_void_v<R>) {
        RunOnUi(std::move(fn));
    } else {
        R result{};
        RunOnUi([&] { result = fn(); });
        return result;
    }
}

// Callbacks the platform has started and finished, to wait for an action's effect.
unsigned long long CallbacksStarted();
unsigned long long CallbacksFinished();
bool WaitForCallbacks(unsigned long long startedAtLeast, unsigned long long finishedAtLeast,
                      int timeoutMs = 10000);

// Bytes received on the conversation that the program has not read yet, and the
// conversations the run-time holds, announced or not (UI thread).
long long UnreadBytes(unsigned handle);
unsigned long long BytesRead(unsigned handle);  // by the modules, so far
unsigned ConversationCount();

// Blocks until bytes from the conversation have reached the program (UI thread);
// its data-ready event is then queued behind everything posted before.
bool WaitForIncomingData(unsigned handle, int timeoutMs = 5000);

// ---- Reading back (UI thread) ----
std::string WindowTitle(int panel);
int PanelWidth(int panel);
int PanelHeight(int panel);

}  // namespace cvi::testing
