// System-test harness: the whole program runs on the main thread with the real
// widgets (offscreen) while a test script on a second thread acts as operator
// and as a TCP client on loopback.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>

#include "ZErov.h"
#include "cvi.h"
#include "instrument.h"
#include "serialcom.h"
#include "VAmain.h"
#include "testing.h"
#include "services_testing.h"

namespace vt = cvi::testing;

// Text with its decimal byte sum appended: the form of requests and replies.
std::string with_sum(std::string_view text);
// A request line as a client sends it: text, sum, line feed.
std::string request(std::string_view text);
// A reply as the simulator sends it: text, sum, CR LF.
std::string reply(std::string_view text);

// A connected loopback socket to port, or -1; receiveBuffer > 0 sets SO_RCVBUF first.
int connect_loopback(unsigned port, int receiveBuffer = 0);

// A blocking TCP client with time-outs.
class Client {
public:
    explicit Client(unsigned port);
    ~Client();
    Client(Client&& other) noexcept;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool ok() const { return fd_ >= 0; }
    void send(std::string_view bytes);
    void command(std::string_view text) { send(request(text)); }
    // Exactly n bytes, or fewer if the time-out or the end of the stream comes first.
    std::string read(std::size_t n, int timeoutMs = 5000);
    // Up to and including the next line feed.
    std::string line(int timeoutMs = 5000);
    // True if nothing arrives within timeoutMs (use sparingly: it waits).
    bool quiet(int timeoutMs = 50);
    // True once the simulator has closed the connection.
    bool closed(int timeoutMs = 5000);
    void close();

private:
    bool fill(int timeoutMs);
    int fd_ = -1;
    std::string pending_;
    bool eof_ = false;
};

class Sim : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the program with the script on a second thread; closes the panel
    // after the script and returns the program's exit status.
    int run(const std::function<void()>& script);
    // Runs the program with no script (for start-ups that end by themselves).
    int run_alone();

    unsigned port() const { return port_; }
    static int panel() { return instrument.panel_handle; }

    // Operator actions, each returning once its callback has run (or, for the
    // model ring, has started its service loop).
    void choose(int model);
    void press(int control);
    void flip(int control);
    void commit_text(int control, const std::string& text);
    void close_panel();
    // Waits until every event posted so far has been handled.
    static void settle();

    static std::string box(int control);
    static int value(int control);
    static std::string text(int control);
    static int attribute(int control, int attr);
    static bool wait_for(const std::function<bool()>& pred, int timeoutMs = 5000);

    // Connects a client and waits until the panel shows the connection notice.
    Client connect_client();
    // Connects, chooses a model and checks the service answers.
    Client serve(int model);

    // Sends a command and returns the one reply line.
    static std::string ask(Client& c, std::string_view text);

    // Moves the manual clock and waits until the program has read it.
    static void advance(double seconds);
    // Sends a command that reads the clock as it starts and waits until it has.
    static void start_command(Client& c, std::string_view text);
    // Sends ERASE and runs the model's ticks to the end (ticks + 1 steps of 0.301 s).
    static void erase(Client& c);

private:
    unsigned port_ = 0;
};
