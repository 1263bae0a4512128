// The bottom of the run-time: what every other part of it uses to post work,
// to note activity and to wait. It calls none of them; they register with it.
#pragma once

#include <functional>

namespace cvi {

struct TestSeams;
TestSeams& seams();

// Runs fn on the user-interface thread when events are next processed.
void post(std::function<void()> fn);

// Runs fn at the end of the event pass under way (ProcessSystemEvents'), so
// that a loop already running needs no wake-up for it; with none under way, as
// post does.
void soon(std::function<void()> fn);
// Around an event pass: what soon collected meanwhile runs at its end. True
// when something ran.
void beginPass();
bool endPass();

// Work was done: the event loop does not start an idle wait just yet.
void markActivity();
// Milliseconds since the last sign of work; -1 before the run-time started.
long long msSinceActivity();
void restartActivity();

// Calls a module callback, counting it for tests that wait on it.
void invokeCallback(const std::function<void()>& callback);

// The one place that runs before the run-time waits or pauses: Qt's event
// dispatcher calls it as it is about to block, and the run-time's own blocking
// calls go through blockingWait. It runs the run-time's own hooks first (the
// TCP server's release of held writes), then what the extension interface installed.
void aboutToWait();
bool blockingWait(const std::function<bool()>& wait);
void addOwnBeforeWait(std::function<void()> fn);

// Run from inside operations that process no events (a write's start and its
// waits for room, Delay), at most every few ms: work that must go on meanwhile
// and never touches the instrument. The run-time's own (the paced queues) first.
void busyPoint();
void addOwnBusy(std::function<void()> fn);

}  // namespace cvi
