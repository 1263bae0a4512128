#include "services.h"

#include <QTimer>

#include "capture.h"
#include <cstdio>

#include "control.h"
#include "controlpath.h"
#include "events.h"
#include "extension.h"
#include "linkfaults.h"
#include "replyfaults.h"
#include "recording.h"
#include "operator.h"

namespace vantis::services {
namespace {

std::string& name() {
    static std::string n;
    return n;
}

bool& refused() {
    static bool r = false;
    return r;
}

// Once the run-time and the channel have started: a named instance without its
// channel would leave scripts driving another one, so it ends; a second close
// signal then removes the channel's files.
void afterStart(const NamedFolder& folder) {
    const std::string socket = cvi::control::socketPath();
    if (!name().empty() && socket.empty()) {
        std::fprintf(stderr, "vantis-sim: the instance %s cannot run without its control channel\n", name().c_str());
        std::fflush(stderr);
        refused() = true;
        QuitUserInterface(0);
        return;
    }
    removeOnAbruptEnd({socket, socket.empty() ? std::string() : socket + ".lock", folder.path()});
    handCloseSignalsOver();
}

}  // namespace

void install() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    cvi::ext::onStart([] {
        cvi::linkfaults::restart();
        vantis::replyfaults::restart();
        cvi::control::start();
    });
    cvi::ext::onStop([] {
        cvi::control::stop();
        vantis::replyfaults::restart();
        cvi::linkfaults::stop();
    });
    // The write path: the event stream looks first, then the instrument's own
    // faults act on its replies, then the link's faults on the bytes.
    cvi::ext::setWriteFilter([](unsigned handle, const unsigned char* data, std::size_t length, unsigned timeoutMs,
                                int* result) {
        const auto linkThenSystem = [](unsigned h, const unsigned char* d, std::size_t n, unsigned t) {
            const auto waiting = cvi::linkfaults::pending();
            int r = 0;
            if (!cvi::linkfaults::intercept(h, d, n, t, &r)) r = cvi::ext::writeThrough(h, d, n, t);
            if (!waiting.empty() && cvi::linkfaults::pending().size() < waiting.size())
                vantis::events::tell("fault-fired", {{"what", cvi::linkfaults::name(waiting.front())}});
            return r;
        };
        const vantis::events::WriteSeen seen = vantis::events::beforeWrite(handle, data, length);
        if (!seen.reply || !vantis::replyfaults::intercept(handle, data, length, timeoutMs, seen.command, linkThenSystem, result))
            *result = linkThenSystem(handle, data, length, timeoutMs);
        vantis::events::afterWrite();
        return true;
    });
    vantis::replyfaults::onFired([](const std::string& what, bool spent) {
        vantis::events::tell("fault-fired", {{"what", what}});
        if (spent) vantis::events::tell("fault-cleared", {{"what", what}});
    });
    vantis::events::install();
    cvi::linkfaults::install();
    cvi::recording::install();
    vantis::capture::install();
    cvi::ext::setInputWaiting([](unsigned handle) {
        const auto& f = cvi::control::face();
        return f.client && f.client() == handle && f.requestWaiting && f.requestWaiting();
    });
}

bool configure(const Settings& settings, NamedFolder& folder, std::string* why, const std::function<bool()>& goOn) {
    std::string reason;
    const auto refuse = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    if (!settings.listenAddress.empty() && !cvi::ext::setListenAddress(settings.listenAddress, settings.listenPort))
        return refuse("cannot listen on \"" + settings.listenAddress + "\"");
    // The channel's socket must be one the system can bind, and a name one no
    // live simulator holds: checked before anything slow.
    const std::string socket = vantis::controlSocketPath(settings.name);
    if (socket.size() > vantis::kMaxSocketPathBytes)
        return refuse("the control socket path " + cvi::recording::shownName(socket) + " is " +
                      std::to_string(socket.size()) + " bytes long; the system allows at most " +
                      std::to_string(vantis::kMaxSocketPathBytes) + ": choose a shorter --name or XDG_RUNTIME_DIR");
    if (!settings.name.empty()) {
        if (!folder.claim(settings.name, &reason)) return refuse(reason);
        removeOnAbruptEnd({folder.path()});
    }
    if (!settings.dataFile.empty()) {
        const int model = settings.model > 0 ? settings.model : 0;
        const auto going = [&goOn](std::size_t) { return !goOn || goOn(); };
        if (std::string error = cvi::recording::load(settings.dataFile, model, going); !error.empty())
            return refuse(error);
    }
    if (!settings.captureFile.empty() && !vantis::capture::start(settings.captureFile, why)) return false;
    name() = settings.name;
    if (!settings.name.empty()) cvi::ext::setPanelTitleSuffix(" - " + settings.name);
    if (settings.closeOnSignals) cvi::ext::closeOnSignals();
    cvi::ext::onStart([&folder] { afterStart(folder); });
    // Before the channel's files go (hooks stop in reverse order): from then on
    // the path may be another simulator's.
    cvi::ext::onStop([&folder] { removeOnAbruptEnd({folder.path()}); });
    if (settings.model >= 0) {
        const int model = settings.model;
        // As an operator would, once the panel is up: the first event pass of the
        // user-interface loop. (A start that fails never shows the ring.)
        cvi::ext::onStart([model] {
            QTimer::singleShot(0, [model] {
                const auto& f = cvi::control::face();
                cvi::op::ChooseRingItem(f.panel(), f.modelRing, model);
            });
        });
    }
    return true;
}

const std::string& instanceName() { return name(); }

bool startRefused() { return refused(); }

}  // namespace vantis::services
