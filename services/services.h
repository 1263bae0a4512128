// The services for scripts, put on the run-time through its extension
// interface: the control channel, the link faults and what the cork needs to
// know of the instrument's receive ring.
#pragma once

namespace vantis::services {

// Installs them all; call once, before the run-time starts.
void install();

}  // namespace vantis::services
