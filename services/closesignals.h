// SIGTERM, SIGINT and SIGHUP over the whole life of the program.
//
// From main's first line they are noted: a start-up load stops on one, and the
// program ends with 0. Once the run-time has its own handlers (which close the
// program as the panel's close button does), they go to those, and a signal
// noted before is handed on. A second signal of a kind ends the program at
// once, as the run-time does, but first removes what an ordinary end would
// have: the control socket, its lock and the named folder.
//
// A signal handler can reach only static state: it lives here, in one place.
#pragma once

#include <string>
#include <vector>

namespace vantis::services {

void catchCloseSignalsEarly();
// A close signal has come (before the hand-over).
bool closeSignalSeen();
// Files a second signal removes before the program ends, in order; a folder
// among them is removed only when empty. Replaces the list before.
void removeOnAbruptEnd(const std::vector<std::string>& paths);
// Once the run-time's handlers are in: ours go in front of them.
void handCloseSignalsOver();

}  // namespace vantis::services
