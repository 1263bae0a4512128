#include "services.h"

#include "control.h"
#include "extension.h"
#include "linkfaults.h"
#include "recording.h"

namespace vantis::services {

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
        cvi::linkfaults::restart();
    });
    cvi::ext::setWriteFilter(cvi::linkfaults::intercept);
    cvi::recording::install();
    cvi::ext::setInputWaiting([](unsigned handle) {
        const auto& f = cvi::control::face();
        return f.client && f.client() == handle && f.requestWaiting && f.requestWaiting();
    });
}

}  // namespace vantis::services
