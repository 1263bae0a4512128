// The program: the command line, the services and the panel's callbacks go
// onto the run-time, then the instrument runs.
#include <QByteArray>
#include <QtGlobal>

#include <cstdio>
#include <string>

#include "ZErov.h"
#include "ZErov_callbacks.h"
#include "options.h"
#include "services.h"

int main(int argc, char* argv[]) {
    // Before anything that may take time: a close signal from now on ends the
    // program with 0 and leaves nothing behind.
    vantis::services::catchCloseSignalsEarly();
    vantis::services::Settings settings;
    bool headless = false;
    if (const int status = vantis::app::parseCommandLine(argc, argv, settings, headless); status >= 0) return status;
    if (headless) qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    vantis::services::install();
    // Held until main returns, failed starts included; the folder goes then.
    vantis::services::NamedFolder folder;
    // A setting the services refuse (a recording that cannot serve, a name in
    // use) ends the start as a bad command line does.
    const auto going = [] { return !vantis::services::closeSignalSeen(); };
    if (std::string why; !vantis::services::configure(settings, folder, &why, going)) {
        if (vantis::services::closeSignalSeen()) return 0;
        std::fprintf(stderr, "vantis-sim: %s\n", why.c_str());
        return vantis::app::kUsageStatus;
    }
    if (vantis::services::closeSignalSeen()) return 0;
    BindPanelCallbacks();
    const int status = ZErovMain(argc, argv);
    return vantis::services::startRefused() ? vantis::app::kUsageStatus : status;
}
