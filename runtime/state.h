// The run-time's state, in one place. What the layers above install through
// extension.h and what a test sets through testing.h come before start-up and
// are kept across runs (Installed). The run itself (the loop, the event passes,
// the panels, the TCP server and the clock) is one Runtime, built by
// InitCVIRTDll and destroyed by CloseCVIRTDll: nothing of a run is reset by hand.
#pragma once

#include <QHostAddress>
#include <QString>

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "extension.h"
#include "internal.h"

class QApplication;

namespace cvi {

struct Installed {
    TestSeams options;
    // the loop
    std::vector<std::function<void()>> started, stopping, passes;
    bool closeOnSignals = false;
    // event passes: what extension.h installed, and the run-time's own (the TCP
    // server's), which come first
    std::vector<std::function<void()>> beforeWait, busy;
    std::vector<std::function<void()>> ownBeforeWait, ownBusy;
    // the panels
    const ext::CallbackBinding* bindings = nullptr;
    std::size_t bindingCount = 0;
    QString titleSuffix;
    // the TCP server
    ext::WriteFilter filter;
    ext::Pacer pacer;
    std::vector<ext::TrafficTap> taps;
    std::vector<ext::ReadObserver> readObservers;
    std::function<bool(unsigned)> inputWaiting;
    QHostAddress listenAddress{QHostAddress::AnyIPv4};
    int listenPort = -1;            // -1: the port the program asks for
    bool tcpHooked = false;         // the TCP server's own hooks are in place
    std::size_t pacedQueue = 0;     // the paced queue's bound, once read from the system
    ext::SampleProvider samples;
};

// Each part is defined and worked on by one file, which makes it at its first
// use in the run.
struct LoopState;   // runtime.cpp: the user-interface loop, popups, close signals, wake time
struct ClockState;  // runtime.cpp: the real clock and the time scale
struct PassState;   // loop.cpp: event passes, busy passes, held deliveries, activity
struct PanelState;  // panel.cpp: the loaded panels
struct TcpState;    // tcp.cpp: the server and its conversations

class Runtime {
    // Declared first, destroyed last: the parts below go before the application
    // they use, and its arguments outlive it (it keeps a reference to argc).
    int argc_ = 1;
    char* argv_[2] = {nullptr, nullptr};
    std::unique_ptr<QApplication> app_;
    bool started_ = false;

public:
    Runtime() = default;
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Makes the run's own application, for a program that has none.
    void makeApplication(char* programName);
    // InitCVIRTDll has run on it.
    bool started() const { return started_; }
    void markStarted() { started_ = true; }

    // In the order they are made at start-up; destroyed in reverse.
    std::shared_ptr<ClockState> clock;
    std::shared_ptr<PassState> passes;
    std::shared_ptr<LoopState> loop;
    std::shared_ptr<PanelState> panels;
    std::shared_ptr<TcpState> tcp;
};

// The part of the run under way, made on first use.
template <class Part>
Part& partOf(std::shared_ptr<Part>& slot) {
    if (!slot) slot = std::make_shared<Part>();
    return *slot;
}

Installed& installed();
// The run under way. Outside one (before start-up, after the end), a fresh one
// is made on first use, and the next InitCVIRTDll runs on it.
Runtime& runtime();
// CloseCVIRTDll: the run is over.
void endRuntime();

}  // namespace cvi
