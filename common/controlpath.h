// Where the simulator's control socket and its lock live; shared by the
// simulator and vantis-ctl so that both find the same ones. Standard C++ and
// the only system calls of the control channel: the user's id (which names the
// folder, and which the simulator checks the folder's and a stale socket's
// owner against) and whether a path is a socket (Qt cannot tell one from a FIFO).
#pragma once

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vantis {

inline constexpr const char* kControlSocketVariable = "VANTIS_CONTROL_SOCKET";

// The longest socket path the system takes (a Unix-domain address holds it
// with its ending zero).
inline constexpr std::size_t kMaxSocketPathBytes = sizeof(sockaddr_un{}.sun_path) - 1;

// Names kept for the unnamed instance's files beside the named folders:
// "control", its lock "control.lock" and anything Qt puts beside them.
inline bool reservedName(const std::string& name) { return name == "control" || name.rfind("control.", 0) == 0; }

inline unsigned userId() { return static_cast<unsigned>(::getuid()); }

// True when path itself (not what a link there points to) is a Unix-domain
// socket: a stale one is taken over, nothing else at the path is touched.
inline bool isSocket(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The folder that holds the default socket: the user's runtime directory, or,
// where there is none (root in a bare chroot), a per-user folder in /tmp.
inline std::string controlDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/vantis-sim";
    return "/tmp/vantis-sim-" + std::to_string(userId());
}

// The socket of the instance named so: "control" in a folder of its own,
// NAME, in controlDirectory().
inline std::string namedControlSocketPath(const std::string& name) {
    return controlDirectory() + "/" + name + "/control";
}

// An instance's socket: a named instance's own, else VANTIS_CONTROL_SOCKET when
// set, else "control" in controlDirectory().
inline std::string controlSocketPath(const std::string& name = {}) {
    if (!name.empty()) return namedControlSocketPath(name);
    const char* named = std::getenv(kControlSocketVariable);
    if (named && named[0] != '\0') return named;
    return controlDirectory() + "/control";
}

// The lock a simulator holds while it serves the socket at socketPath.
inline std::string controlLockPath(const std::string& socketPath) { return socketPath + ".lock"; }

}  // namespace vantis
