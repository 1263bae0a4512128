#include "services.h"

#include <QTimer>

#include "control.h"
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
        cvi::linkfaults::restart();
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
    cvi::recording::install();
    cvi::ext::setInputWaiting([](unsigned handle) {
        const auto& f = cvi::control::face();
        return f.client && f.client() == handle && f.requestWaiting && f.requestWaiting();
    });
}

bool configure(const Settings& settings, std::string* why) {
    if (!settings.listenAddress.empty() && !cvi::ext::setListenAddress(settings.listenAddress, settings.listenPort)) {
        if (why) *why = "cannot listen on \"" + settings.listenAddress + "\"";
        return false;
    }
    if (!settings.dataFile.empty()) {
        if (const std::string error = cvi::recording::load(settings.dataFile); !error.empty()) {
            if (why) *why = error;
            return false;
        }
    }
    name() = settings.name;
    if (!settings.name.empty()) cvi::ext::setPanelTitleSuffix(" - " + settings.name);
    if (settings.closeOnSignals) cvi::ext::closeOnSignals();
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

}  // namespace vantis::services
