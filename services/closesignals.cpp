#include "closesignals.h"

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantis::services {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kMaxLeftovers = 4;

struct State {
    bool caught = false;  // catchCloseSignalsEarly ran
    volatile sig_atomic_t seen[NSIG] = {};
    volatile sig_atomic_t pending = 0;     // the first signal noted before the hand-over
    volatile sig_atomic_t handedOver = 0;
    struct sigaction next[NSIG] = {};      // the run-time's handlers, after the hand-over
    char leftovers[kMaxLeftovers][PATH_MAX] = {};
    volatile sig_atomic_t leftoverCount = 0;
};

// A signal handler reaches nothing but the process's own: this is made before
// main and kept for the life of the process.
State closeState;

State& state() { return closeState; }

// Async-signal-safe: unlink, rmdir and lstat only.
void removeLeftovers() {
    State& s = state();
    for (int i = 0; i < s.leftoverCount; ++i) {
        struct stat st {};
        if (::lstat(s.leftovers[i], &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) ::rmdir(s.leftovers[i]);
        else ::unlink(s.leftovers[i]);
    }
}

void endAtOnce(int sig) {
    removeLeftovers();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void onSignal(int sig, siginfo_t* info, void* context) {
    const int saved = errno;
    State& s = state();
    const bool second = s.seen[sig] != 0;
    s.seen[sig] = 1;
    if (!s.handedOver) {
        if (second) endAtOnce(sig);
        if (!s.pending) s.pending = sig;
    } else {
        if (second) removeLeftovers();  // the run-time's handler ends the program on it
        const struct sigaction& next = s.next[sig];
        if (next.sa_flags & SA_SIGINFO) next.sa_sigaction(sig, info, context);
        else if (next.sa_handler == SIG_DFL) endAtOnce(sig);
        else if (next.sa_handler != SIG_IGN) next.sa_handler(sig);
    }
    errno = saved;
}

void install() {
    struct sigaction sa {};
    sa.sa_sigaction = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) sigaddset(&sa.sa_mask, sig);  // one handler at a time
    sa.sa_flags = SA_RESTART | SA_SIGINFO;
    for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
}

// Holds the close signals off while the handler's state changes.
class Blocked {
public:
    Blocked() {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : kSignals) sigaddset(&set, sig);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~Blocked() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

private:
    sigset_t old_;
};

}  // namespace

void catchCloseSignalsEarly() {
    State& s = state();
    if (s.caught) return;
    s.caught = true;
    install();
}

bool closeSignalSeen() { return state().pending != 0; }

void removeOnAbruptEnd(const std::vector<std::string>& paths) {
    State& s = state();
    const Blocked blocked;
    int n = 0;
    for (const std::string& p : paths) {
        if (p.empty() || p.size() >= PATH_MAX || n == kMaxLeftovers) continue;
        std::memcpy(s.leftovers[n], p.c_str(), p.size() + 1);
        ++n;
    }
    s.leftoverCount = n;
}

void handCloseSignalsOver() {
    State& s = state();
    if (!s.caught || s.handedOver) return;
    int pending = 0;
    {
        const Blocked blocked;
        // The run-time has just put its handlers in place of ours.
        for (int sig : kSignals) {
            ::sigaction(sig, nullptr, &s.next[sig]);
            if ((s.next[sig].sa_flags & SA_SIGINFO) && s.next[sig].sa_sigaction == onSignal) {
                s.next[sig] = {};  // it took none: the system's default ends the program
                s.next[sig].sa_handler = SIG_DFL;
            }
        }
        for (int sig : kSignals) s.seen[sig] = 0;
        pending = s.pending;
        s.pending = 0;
        s.handedOver = 1;
        install();
    }
    if (pending) ::raise(pending);  // now a close, as the run-time makes of it
}

}  // namespace vantis::services
