#include "harness.h"

#include "ZErov_callbacks.h"
#include "services.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

std::string with_sum(std::string_view text) {
    unsigned sum = 0;
    for (unsigned char ch : text) sum += ch;
    return std::string(text) + std::to_string(sum % 256);
}

std::string request(std::string_view text) { return with_sum(text) + "\n"; }
std::string reply(std::string_view text) { return with_sum(text) + "\r\n"; }

int connect_loopback(unsigned port, int receiveBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    // Before connecting, so that the window the client offers is the small one.
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Client::Client(unsigned port) {
    fd_ = connect_loopback(port);
    if (fd_ < 0) return;
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Client::~Client() { close(); }

Client::Client(Client&& other) noexcept : fd_(other.fd_), pending_(std::move(other.pending_)), eof_(other.eof_) {
    other.fd_ = -1;
}

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void Client::send(std::string_view bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

bool Client::fill(int timeoutMs) {
    if (fd_ < 0 || eof_) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    pending_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::string Client::read(std::size_t n, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pending_.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) break;
    }
    std::string out = pending_.substr(0, n);
    pending_.erase(0, out.size());
    return out;
}

std::string Client::line(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto at = pending_.find('\n');
        if (at != std::string::npos) {
            std::string out = pending_.substr(0, at + 1);
            pending_.erase(0, at + 1);
            return out;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !fill(static_cast<int>(left.count()))) {
            std::string out = std::move(pending_);
            pending_.clear();
            return out;
        }
    }
}

bool Client::quiet(int timeoutMs) { return pending_.empty() && !fill(timeoutMs) && pending_.empty(); }

bool Client::closed(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        fill(static_cast<int>(left.count()));
    }
    return true;
}

// Runs what an earlier program left posted (such as the harness's closing of
// its panel) before the panels it meant are gone and new ones take their handles.
static void drain_posted_events() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void Sim::SetUp() {
    vantis::services::install();
    BindPanelCallbacks();
    drain_posted_events();
    instrument = InstrumentState{};
    rx_ring = RxRing{};
    vt::SetServerPort(0);
    vt::CapturePopups(true);
    vt::UseManualClock(0.0);
    vt::SetPanelFile("");
    vt::FailRuntimeInit(false);
    vt::FailHostName(false);
    vt::SetControlSocket("");  // no control channel unless a test asks for one
}

void Sim::TearDown() {
    drain_posted_events();
    vt::SetServerPort(-1);
    vt::UseRealClock();
}

int Sim::run_alone() {
    char name[] = "vantis-sim";
    char* argv[] = {name, nullptr};
    return ZErovMain(1, argv);
}

int Sim::run(const std::function<void()>& script) {
    std::atomic<bool> ended{false};
    std::thread worker([&] {
        port_ = vt::OnUi([] { return vt::ListeningPort(); });
        script();
        vt::PostToUi([] { vt::ClosePanel(instrument.panel_handle); });
        for (int i = 0; i < 3000 && !ended; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!ended) {
            std::fprintf(stderr, "test: the program did not end after the panel was closed\n");
            std::fflush(stderr);
            std::_Exit(4);
        }
    });
    const int status = run_alone();
    ended = true;
    worker.join();
    return status;
}

void Sim::settle() {
    vt::OnUi([] {});
    vt::OnUi([] {});
}

void Sim::choose(int model) {
    vt::PostToUi([model] { EXPECT_EQ(vt::ChooseRingItem(panel(), MAINPNL_VATYPE, model), 0); });
    settle();
}

void Sim::press(int control) {
    vt::PostToUi([control] { EXPECT_EQ(vt::PressButton(panel(), control), 0); });
    settle();
}

void Sim::flip(int control) {
    vt::PostToUi([control] { EXPECT_EQ(vt::FlipSwitch(panel(), control), 0); });
    settle();
}

void Sim::commit_text(int control, const std::string& t) {
    vt::PostToUi([control, t] { EXPECT_EQ(vt::CommitText(panel(), control, t), 0); });
    settle();
}

void Sim::close_panel() {
    vt::PostToUi([] { vt::ClosePanel(panel()); });
}

std::string Sim::box(int control) {
    return vt::OnUi([control] { return vt::TextBoxContents(panel(), control); });
}

int Sim::value(int control) {
    return vt::OnUi([control] {
        int v = -12345;
        GetCtrlVal(panel(), control, &v);
        return v;
    });
}

std::string Sim::text(int control) {
    return vt::OnUi([control] {
        char buf[600] = "";
        GetCtrlAttribute(panel(), control, ATTR_CTRL_VAL, buf);
        return std::string(buf);
    });
}

int Sim::attribute(int control, int attr) {
    return vt::OnUi([control, attr] {
        int v = -12345;
        GetCtrlAttribute(panel(), control, attr, &v);
        return v;
    });
}

bool Sim::wait_for(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!vt::OnUi(pred)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Client Sim::connect_client() {
    const unsigned long long before = vt::OnUi([] { return static_cast<unsigned long long>(instrument.client_handle); });
    Client c(port_);
    EXPECT_TRUE(c.ok());
    EXPECT_TRUE(wait_for([before] { return instrument.client_handle != 0 && instrument.client_handle != before; }));
    settle();
    return c;
}

Client Sim::serve(int model) {
    Client c = connect_client();
    choose(model);
    return c;
}

std::string Sim::ask(Client& c, std::string_view t) {
    c.command(t);
    return c.line();
}

void Sim::advance(double seconds) {
    vt::AdvanceClock(seconds);
    EXPECT_TRUE(vt::WaitUntilClockSeen());
}

void Sim::start_command(Client& c, std::string_view text) {
    const auto reads = vt::TimerReads();
    c.command(text);
    EXPECT_TRUE(vt::WaitForTimerReads(reads + 1));
}

void Sim::erase(Client& c) {
    const int ticks = vt::OnUi([] { return instrument.erase_ticks; });
    start_command(c, "ERASE#");
    for (int i = 0; i <= ticks; ++i) advance(0.301);
    EXPECT_EQ(c.line(), "ERASE#0#230\r\n");
}
