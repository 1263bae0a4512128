// The bottom of the run-time: what every other part of it uses to post work,
// to note activity and to wait. It calls none of them; they register with it.
#pragma once

#include <functional>

namespace cvi {

struct TestSeams;
TestSeams& seams();

// Runs fn on the user-interface thread when events are next processed, outside
// a busy pass (one that comes during a busy pass is held until after it).
void post(std::function<void()> fn);
// Runs fn now, or, inside a busy pass, once the program is back in its own event
// processing: for everything that would run the program's code.
void runOrHold(std::function<void()> fn);

// The busy point: called from inside operations that process no events (each
// ServerTCPWrite, a write's wait for room, Delay). At most every couple of
// milliseconds it runs what onBusy installed (the run-time's own work at every
// call), while the program's own
// deliveries (TCP events, panel callbacks) are held.
void busyPoint();
bool inBusyPass();

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

// The run-time's own work at every busy point, before what onBusy installed
// (the paced queues move on).
void addOwnBusy(std::function<void()> fn);

}  // namespace cvi
