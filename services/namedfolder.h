// A named instance's folder (controlDirectory()/NAME, which holds its control
// socket and lock), held by one live simulator at a time. The hold is a lock
// on the folder itself, which the system releases when the process ends,
// however it ends: a name is never taken from a live simulator, and a folder
// left by one that crashed is taken over, with the socket and lock it left.
// The folder goes when its holder ends, once the channel's files have gone.
#pragma once

#include <string>

namespace vantis::services {

class NamedFolder {
public:
    NamedFolder() = default;
    ~NamedFolder();
    NamedFolder(const NamedFolder&) = delete;
    NamedFolder& operator=(const NamedFolder&) = delete;

    // Makes the folder (owner only) or takes the one there, and holds it. False,
    // with one line in *why, when a live simulator holds it (naming its process
    // id when its lock file says it) or it is not a folder of this user's alone.
    bool claim(const std::string& name, std::string* why);
    // Removes the folder if it is empty and lets it go; the destructor does it too.
    void release();
    // The folder while held; empty otherwise.
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace vantis::services
