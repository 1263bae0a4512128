// The services for scripts, put on the run-time through its extension
// interface: the control channel, the link faults, the recorded data, and what
// the cork needs to know of the instrument's receive ring. All their state
// that is not the link faults' or the recording's own lives in one object,
// built once by install().
#pragma once

#include <functional>
#include <string>

#include "closesignals.h"
#include "namedfolder.h"

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
    std::string captureFile;     // every conversation's bytes go to this pcap file; empty: none
};

// Applies them; call once, after install and before the run-time starts.
// False, and a one-line reason, when a setting is refused: an address the
// run-time cannot listen on, a control socket path too long for the system, a
// name a live simulator holds (folder holds it for this one from then on), a
// recording that cannot serve the model chosen (or any, when none is). goOn,
// asked while a start-up recording loads, stops the load when false.
bool configure(const Settings& settings, NamedFolder& folder, std::string* why,
               const std::function<bool()>& goOn = {});

// True once the start has been refused after the run-time started (a named
// instance that did not get its control channel): the program then ends at
// once, and with the status of a refused start.
bool startRefused();

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
