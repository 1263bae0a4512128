#include "namedfolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "controlpath.h"
#include "recordingfile.h"

namespace vantis::services {
namespace {

constexpr int kAttempts = 5;

bool aloneOwned(const struct stat& st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

std::string notOwn(const std::string& dir) {
    return cvi::recording::shownName(dir) + " is not a folder of this user's alone";
}

// The folder of all the sockets: made if missing, and this user's alone.
bool ownBase(const std::string& dir, std::string* why) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = "cannot create " + cvi::recording::shownName(dir) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !aloneOwned(st)) {
        *why = notOwn(dir);
        return false;
    }
    return true;
}

// The holder's process id as its control lock names it (the first line), or 0.
long holderPid(const std::string& dir) {
    std::ifstream lock(dir + "/control.lock");
    char text[24] = "";
    lock.getline(text, sizeof text);
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 ? pid : 0;
}

// Qt binds the channel's socket in a folder of its own (".XXXXXX", holding
// "s") and renames it into place: a simulator ended in between leaves that
// folder, and the named folder could never go. Only such folders are taken,
// and only what Qt puts in them; a folder holding anything else stays.
bool listenFolderName(const char* name) {
    if (name[0] != '.' || std::strlen(name) != 7) return false;
    for (const char* c = name + 1; *c; ++c)
        if (!std::isalnum(static_cast<unsigned char>(*c))) return false;
    return true;
}

void clearListenFolders(int dirFd) {
    const int listing = ::dup(dirFd);
    if (listing < 0) return;
    DIR* dir = ::fdopendir(listing);
    if (!dir) {
        ::close(listing);
        return;
    }
    std::vector<std::string> found;
    // A folder of the user's own: a bounded look is enough.
    for (int seen = 0; seen < 256; ++seen) {
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        if (listenFolderName(entry->d_name)) found.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : found) {
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !aloneOwned(st)) continue;
        const int inner = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner < 0) continue;
        struct stat socket {};
        if (::fstatat(inner, "s", &socket, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(socket.st_mode) &&
            socket.st_uid == ::getuid())
            ::unlinkat(inner, "s", 0);
        ::close(inner);
        ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);  // only once empty
    }
}

// Whatever the channel's files are doing in a folder just taken, no live
// simulator holds them: a lock whose process id has been reused by another
// process would otherwise keep the channel off.
void clearLeftovers(int dirFd) {
    for (const char* name : {"control", "control.lock", "control.lock.rmlock"}) {
        struct stat st {};
        if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != ::getuid()) continue;
        const bool socket = std::strcmp(name, "control") == 0;
        if (socket ? S_ISSOCK(st.st_mode) : S_ISREG(st.st_mode)) ::unlinkat(dirFd, name, 0);
    }
    clearListenFolders(dirFd);
}

}  // namespace

NamedFolder::~NamedFolder() { release(); }

bool NamedFolder::claim(const std::string& name, std::string* why) {
    release();
    const std::string base = controlDirectory();
    if (!ownBase(base, why)) return false;
    const std::string dir = base + "/" + name;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            *why = "cannot create " + cvi::recording::shownName(dir) + ": " + std::strerror(errno);
            return false;
        }
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat held {};
        if (fd < 0 || ::fstat(fd, &held) != 0 || !aloneOwned(held)) {
            if (fd >= 0) ::close(fd);
            if (fd < 0 && errno == ENOENT) continue;  // gone with its last holder just now
            *why = notOwn(dir);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error != EWOULDBLOCK) {
                *why = "cannot lock " + cvi::recording::shownName(dir) + ": " + std::strerror(error);
                return false;
            }
            const long pid = holderPid(dir);
            *why = "the name " + name + " is in use by " +
                   (pid > 0 ? "the simulator with PID " + std::to_string(pid) : std::string("another simulator"));
            return false;
        }
        // A holder that ended meanwhile removed the folder this one opened.
        struct stat now {};
        if (::lstat(dir.c_str(), &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino) {
            fd_ = fd;
            path_ = dir;
            clearLeftovers(fd);
            return true;
        }
        ::close(fd);
    }
    *why = "cannot hold " + cvi::recording::shownName(dir) + ": it keeps being removed";
    return false;
}

void NamedFolder::release() {
    if (fd_ < 0) return;
    ::rmdir(path_.c_str());  // only once empty: what else is there stays
    ::close(fd_);
    fd_ = -1;
    path_.clear();
}

}  // namespace vantis::services
