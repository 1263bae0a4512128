#include "state.h"

#include <QApplication>

#include <atomic>
#include <mutex>

namespace cvi {
namespace {

// The one run-time of the process.
struct Process {
    Installed installed;
    std::mutex mutex;  // a test's thread may reach the run while the program's makes it
    std::unique_ptr<Runtime> runtime;
    std::atomic<Runtime*> current{nullptr};  // read on every call: no lock once made
};

Process& process() {
    static Process p;
    return p;
}

}  // namespace

Runtime::~Runtime() = default;  // here, where QApplication is complete

void Runtime::makeApplication(char* programName) {
    argv_[0] = programName;
    app_ = std::make_unique<QApplication>(argc_, argv_);
}

Installed& installed() { return process().installed; }

Runtime& runtime() {
    auto& p = process();
    if (Runtime* r = p.current.load(std::memory_order_acquire)) return *r;
    std::lock_guard lock(p.mutex);
    if (!p.runtime) {
        p.runtime = std::make_unique<Runtime>();
        p.current.store(p.runtime.get(), std::memory_order_release);
    }
    return *p.runtime;
}

// The parts' own teardown (the conversations closed, the panels discarded) has
// run by now, so the parts go without calling back into the run-time.
void endRuntime() {
    auto& p = process();
    std::unique_ptr<Runtime> ended;
    {
        std::lock_guard lock(p.mutex);
        p.current.store(nullptr, std::memory_order_release);
        ended = std::move(p.runtime);
    }
}

}  // namespace cvi
