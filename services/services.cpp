#include "services.h"

#include <QTimer>

#include "control.h"
#include "extension.h"
#include "linkfaults.h"
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
        cvi::control::start();
    });
    cvi::ext::onStop([] {
        cvi::control::stop();
        cvi::linkfaults::stop();
    });
    cvi::ext::setWriteFilter(cvi::linkfaults::intercept);
    cvi::linkfaults::install();
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
