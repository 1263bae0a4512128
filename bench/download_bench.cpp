// Download speed of the simulator, measured at a loopback client:
//  - Fast: DUMPBINA of a whole WorldSID window (17001 frames of 121 bytes),
//    beside a minimal sender that writes the same frames, one write each.
//  - Normal: a paced download of 1001 frames of 53 bytes against 90 us per byte.
//  - Idle: processor time the simulator uses while it serves nobody.
// Prints the figures; it asserts nothing.
#include <QApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ZErov.h"
#include "instrument.h"
#include "testing.h"

namespace vt = cvi::testing;
using Clock = std::chrono::steady_clock;

namespace {

int connect_to(unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::string request(const std::string& text) {
    unsigned sum = 0;
    for (unsigned char c : text) sum += c;
    return text + std::to_string(sum % 256) + "\n";
}

std::string read_line(int fd) {
    std::string line;
    char ch;
    while (::recv(fd, &ch, 1, 0) == 1) {
        line += ch;
        if (ch == '\n') break;
    }
    return line;
}

// Reads exactly n bytes; returns the time the last of them arrived.
Clock::time_point read_all(int fd, std::size_t n) {
    std::vector<char> buf(1 << 16);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::recv(fd, buf.data(), std::min(buf.size(), n - got), 0);
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return Clock::now();
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The same 17001 frames of 121 bytes written by the plainest sender there is.
double minimal_sender_seconds(std::size_t frames, std::size_t frame_bytes) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 1);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::thread sender([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<char> frame(frame_bytes, 0x11);
        for (std::size_t i = 0; i < frames; ++i) ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
        ::close(fd);
    });
    const int fd = connect_to(ntohs(a.sin_port));
    const auto start = Clock::now();
    const auto end = read_all(fd, frames * frame_bytes);
    sender.join();
    ::close(fd);
    ::close(listener);
    return seconds(end - start);
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    vt::SetServerPort(0);
    vt::CapturePopups(true);

    std::thread script([] {
        const unsigned port = vt::OnUi([] { return vt::ListeningPort(); });
        const int fd = connect_to(port);
        vt::OnUi([] {});
        vt::PostToUi([] { vt::ChooseRingItem(instrument.panel_handle, MAINPNL_VATYPE, 1); });

        // Fast.
        constexpr std::size_t kFrames = 17001, kBytes = 121;
        const std::string cmd = request("DUMPBINA#-200#1500#");
        // Alternate the two, several times, and compare the medians: the machine is shared.
        std::vector<double> sim, minimal;
        for (int run = 0; run < 9; ++run) {
            ::send(fd, cmd.data(), cmd.size(), 0);
            const std::string header = read_line(fd);
            const auto start = Clock::now();
            const auto end = read_all(fd, kFrames * kBytes);
            sim.push_back(seconds(end - start));
            minimal.push_back(minimal_sender_seconds(kFrames, kBytes));
            if (run == 0) std::printf("fast header: %s", header.c_str());
        }
        std::sort(sim.begin(), sim.end());
        std::sort(minimal.begin(), minimal.end());
        const double s_med = sim[sim.size() / 2], m_med = minimal[minimal.size() / 2];
        std::printf("fast: simulator median %.3f s (%.1f MB/s, best %.3f), minimal sender median %.3f s (best %.3f); "
                    "ratio of medians %.2f\n",
                    s_med, kFrames * kBytes / s_med / 1e6, sim.front(), m_med, minimal.front(), s_med / m_med);

        // Normal: 1001 frames of 53 bytes on Hybrid III 50th Male.
        vt::PostToUi([] { vt::ChooseRingItem(instrument.panel_handle, MAINPNL_VATYPE, 2); });
        vt::PostToUi([] { vt::FlipSwitch(instrument.panel_handle, MAINPNL_DUMPSPEED); });
        vt::OnUi([] {});
        vt::OnUi([] {});
        const std::string paced = request("DUMPBINA#0#100#");
        ::send(fd, paced.data(), paced.size(), 0);
        read_line(fd);
        const auto start = Clock::now();
        // The first frame's pause follows it, so the last frame arrives after 1000 pauses.
        const auto end = read_all(fd, 1001 * 53);
        const double measured = seconds(end - start);
        const double expected = 1000 * 53 * 90e-6;
        std::printf("normal: 1001 frames of 53 bytes, %.4f s for 1000 pauses, expected %.4f s, deviation %+.3f %%\n",
                    measured, expected, 100.0 * (measured - expected) / expected);

        // Idle: the service loop runs, nobody talks.
        const double cpu0 = cpu_seconds();
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        const double cpu = cpu_seconds() - cpu0;
        std::printf("idle: %.1f %% of one core while the service loop waits (%.3f s in %.1f s)\n",
                    100.0 * cpu / seconds(Clock::now() - wall0), cpu, seconds(Clock::now() - wall0));

        ::close(fd);
        vt::PostToUi([] { vt::ClosePanel(instrument.panel_handle); });
    });
    char name[] = "vantis-sim";
    char* args[] = {name, nullptr};
    const int status = ZErovMain(1, args);
    script.join();
    return status;
}
