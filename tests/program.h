// A program run as a child process, its output and error output collected, for
// the tests that start the real simulator or vantis-ctl.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace testprocess {

struct Ended {
    int status = -1000;  // exit status (0..255), or -signal, or -1000 while still running
    double seconds = 0;  // from the start of the wait
    std::string out, err;
};

// A child process with its output and error output collected.
class Program {
public:
    Program(const std::string& path, const std::vector<std::string>& args, const std::vector<std::string>& env) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        std::vector<std::string> argStore{path};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv, envp;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore = env;
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execve(path.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Program() {
        if (pid_ > 0 && !ended_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
        if (err_ >= 0) ::close(err_);
    }
    pid_t pid() const { return pid_; }
    void signal(int sig) const { ::kill(pid_, sig); }

    // Waits for the end, collecting what the program writes meanwhile.
    Ended wait(int timeoutMs) {
        Ended e;
        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            drain();
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                e.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                ended_ = true;
                e.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) break;
            pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            ::poll(p, 2, 5);
        }
        drain();
        e.out = out;
        e.err = err;
        return e;
    }

    std::string out, err;

private:
    void drain() {
        char buf[4096];
        for (auto [fd, to] : {std::pair{out_, &out}, std::pair{err_, &err}}) {
            const int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0) to->append(buf, static_cast<std::size_t>(n));
        }
    }
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool ended_ = false;
};

// A port that nothing on 127.0.0.1 listens on just now.
inline unsigned free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

}  // namespace testprocess
