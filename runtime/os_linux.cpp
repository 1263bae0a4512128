// Linux (and X11 or Wayland) behind os.h.
#include "os.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

namespace cvi::os {
namespace {

bool xDisplayOpens(const QByteArray& name) {
    xcb_connection_t* c = xcb_connect(name.isEmpty() ? nullptr : name.constData(), nullptr);
    const bool ok = xcb_connection_has_error(c) == 0;
    xcb_disconnect(c);
    return ok;
}

bool waylandDisplayOpens(const QByteArray& name) {
    if (!qEnvironmentVariableIsEmpty("WAYLAND_SOCKET")) return true;  // handed over already open
    QByteArray path = name.isEmpty() ? QByteArray("wayland-0") : name;
    if (!path.startsWith('/')) {
        const QByteArray dir = qgetenv("XDG_RUNTIME_DIR");
        if (dir.isEmpty()) return false;
        path = dir + '/' + path;
    }
    sockaddr_un addr{};
    if (path.size() >= static_cast<qsizetype>(sizeof addr.sun_path)) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    // std::chrono::steady_clock is CLOCK_MONOTONIC here.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    if (ns.count() <= 0) return;
    timespec ts{static_cast<time_t>(ns.count() / 1000000000), static_cast<long>(ns.count() % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void requestFineTimers() { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

// QApplication aborts the process when no platform plugin can start, so the
// displays Qt would use are tried before it is constructed.
std::string displayProblem() {
    const QByteArray x = qgetenv("DISPLAY");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    QList<QByteArray> platforms;
    const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    if (!chosen.isEmpty()) {
        for (const QByteArray& entry : chosen.split(';')) platforms.append(entry.split(':').first().trimmed());
    } else {
        // Qt picks X, or Wayland in a Wayland session; either will do here, so
        // that this check never refuses a start that Qt would have managed.
        if (!wayland.isEmpty() || qgetenv("XDG_SESSION_TYPE") == "wayland") platforms.append("wayland");
        platforms.append("xcb");
    }
    QStringList failed;
    for (const QByteArray& p : platforms) {
        if (p == "xcb") {
            if (xDisplayOpens(x)) return {};
            failed.append(x.isEmpty() ? QStringLiteral("X display (DISPLAY is not set)")
                                      : QStringLiteral("X display \"%1\"").arg(QString::fromLocal8Bit(x)));
        } else if (p.startsWith("wayland")) {
            if (waylandDisplayOpens(wayland)) return {};
            failed.append(QStringLiteral("Wayland display \"%1\"")
                              .arg(wayland.isEmpty() ? QStringLiteral("wayland-0") : QString::fromLocal8Bit(wayland)));
        } else {
            return {};
        }
    }
    if (failed.isEmpty()) return {};
    return QStringLiteral("cannot open %1; to run without a display, set QT_QPA_PLATFORM=offscreen")
        .arg(failed.join(QStringLiteral(" or ")))
        .toStdString();
}

void setCork(std::intptr_t socket, bool on) {
    const int v = on ? 1 : 0;
    ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_CORK, &v, sizeof v);
}

long unsentBytes(std::intptr_t socket) {
    int unsent = 0;
    return ::ioctl(static_cast<int>(socket), SIOCOUTQNSD, &unsent) == 0 ? unsent : 0;
}

long unackedBytes(std::intptr_t socket) {
    int unacked = 0;
    return ::ioctl(static_cast<int>(socket), SIOCOUTQ, &unacked) == 0 ? unacked : 0;
}

long sendNow(std::intptr_t socket, const void* data, std::size_t length, std::string* error) {
    const ssize_t n = ::send(static_cast<int>(socket), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    if (error) *error = std::strerror(errno);
    return -1;
}

bool waitWritable(std::intptr_t socket, int timeoutMs) {
    pollfd p{static_cast<int>(socket), POLLOUT, 0};
    int n;
    while ((n = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

long largestSendBuffer(long fallback) {
    std::ifstream in("/proc/sys/net/ipv4/tcp_wmem");
    long least = 0, usual = 0, most = 0;
    if (in >> least >> usual >> most && most > 0) return most;
    return fallback;
}

void shutdownBoth(std::intptr_t socket) { ::shutdown(static_cast<int>(socket), SHUT_RDWR); }

void setLingerZero(std::intptr_t socket) {
    const linger l{1, 0};
    ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

namespace {

// A signal handler reaches nothing but the process's own: the pair of sockets
// it writes to is made once and kept for the life of the process.
int closeSignalReadFd = -1;
int closeSignalWriteFd = -1;
volatile std::sig_atomic_t closeSignalsSeen[NSIG] = {};

void onCloseSignal(int sig) {
    const int saved = errno;
    if (closeSignalsSeen[sig]) {
        // The close already asked for has not ended the program: let this one.
        std::signal(sig, SIG_DFL);
        std::raise(sig);
    }
    closeSignalsSeen[sig] = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(closeSignalWriteFd, &byte, 1);
    errno = saved;
}

}  // namespace

int catchCloseSignals() {
    if (closeSignalReadFd >= 0) {
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) closeSignalsSeen[sig] = 0;
        return closeSignalReadFd;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    closeSignalWriteFd = fds[1];
    closeSignalReadFd = fds[0];
    struct sigaction sa {};
    sa.sa_handler = onCloseSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
    return closeSignalReadFd;
}

bool takeCloseSignals(int fd) {
    bool any = false;
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) any = true;
    return any;
}

std::string hostNameOf(std::uint32_t ipv4) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ipv4);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, 0) != 0) return {};
    return host;
}

}  // namespace cvi::os
