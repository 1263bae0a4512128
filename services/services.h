// The services for scripts, put on the run-time through its extension
// interface: the control channel, the link faults, the recorded data, and what
// the cork needs to know of the instrument's receive ring. All their state
// that is not the link faults' or the recording's own lives in one object,
// built once by install().
#pragma once

#include <string>

namespace vantis::services {

// Builds the services and installs them; call before the run-time starts.
// Later calls do nothing.
void install();

// What the command line asks of one run of the program. Left at their defaults,
// the program behaves as it does without options.
struct Settings {
    std::string name;            // the instance's name: its own control folder, the window title
    std::string listenAddress;   // empty: all IPv4 interfaces
    int listenPort = -1;         // -1: the program's own port
    int model = -1;              // chosen in the model ring at start-up; -1: none
    bool closeOnSignals = false; // SIGTERM, SIGINT, SIGHUP close as the panel's close button
    std::string dataFile;        // a recording for the download; empty: the built-in pattern
};

// Applies them; call once, after install and before the run-time starts.
// False, and a reason, when the run-time refuses a setting.
bool configure(const Settings& settings, std::string* why);

// The instance's name; empty when it has none.
const std::string& instanceName();

// ---- For the test face ----
// The control socket for the next start: set, a path of the test's own (empty:
// no channel); not set, the program's own.
void setControlSocketForTests(bool set, const std::string& path);
std::string controlSocketPath();  // empty while the channel is off
// How long a control client may stay silent before it is closed (ms; 0: never).
void setControlIdleTimeout(int ms);

}  // namespace vantis::services
