// Where the simulator's control socket lives; shared by the simulator and
// vantis-ctl so that both find the same one. Standard C++ and one system call,
// the user's id (which names the folder, and which the simulator checks the
// folder's and a stale socket's owner against).
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vantis {

inline constexpr const char* kControlSocketVariable = "VANTIS_CONTROL_SOCKET";

inline unsigned userId() { return static_cast<unsigned>(::getuid()); }

// The folder that holds the default socket: the user's runtime directory, or,
// where there is none (root in a bare chroot), a per-user folder in /tmp.
inline std::string controlDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/vantis-sim";
    return "/tmp/vantis-sim-" + std::to_string(userId());
}

// VANTIS_CONTROL_SOCKET when set, else "control" in controlDirectory().
inline std::string controlSocketPath() {
    const char* named = std::getenv(kControlSocketVariable);
    if (named && named[0] != '\0') return named;
    return controlDirectory() + "/control";
}

}  // namespace vantis
