#include "control_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

ControlClient::ControlClient(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close();
}

ControlClient::~ControlClient() { close(); }

void ControlClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void ControlClient::send(const std::string& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

std::string ControlClient::line(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string out = pending_.substr(0, lf);
            pending_.erase(0, lf + 1);
            return out;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (fd_ < 0 || eof_ || left.count() <= 0) return {};
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            eof_ = true;
            continue;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

bool ControlClient::closed(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof_ && fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) eof_ = true;
    }
    return true;
}

void Controlled::SetUp() {
    Sim::SetUp();
    char dir[] = "/tmp/vantis-control-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/control";
    vt::SetControlSocket(path_);
}

void Controlled::TearDown() {
    vt::SetControlSocket("");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    Sim::TearDown();
}

std::string Controlled::ctl(const std::string& request) const {
    ControlClient c(path_);
    EXPECT_TRUE(c.ok()) << "no control channel at " << path_;
    return c.ask(request);
}

std::string Controlled::ok(const std::string& request) const {
    const std::string r = ctl(request);
    EXPECT_TRUE(r == "ok" || r.rfind("ok ", 0) == 0) << request << " -> " << r;
    return r.size() > 3 ? r.substr(3) : std::string();
}

std::string json_text(const std::string& json) {
    std::string out;
    for (std::size_t i = 1; i + 1 < json.size(); ++i) {
        if (json[i] != '\\') {
            out += json[i];
            continue;
        }
        const char e = json[++i];
        if (e == 'n') out += '\n';
        else if (e == 'r') out += '\r';
        else if (e == 't') out += '\t';
        else if (e == 'u') {
            out += static_cast<char>(std::strtoul(json.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
        } else out += e;
    }
    return out;
}
