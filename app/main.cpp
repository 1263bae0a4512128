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
    vantis::services::Settings settings;
    bool headless = false;
    if (const int status = vantis::app::parseCommandLine(argc, argv, settings, headless); status >= 0) return status;
    if (headless) qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    vantis::services::install();
    // A setting the services refuse (a recording that cannot be read) ends the
    // start as a bad command line does.
    if (std::string why; !vantis::services::configure(settings, &why)) {
        std::fprintf(stderr, "vantis-sim: %s\n", why.c_str());
        return vantis::app::kUsageStatus;
    }
    BindPanelCallbacks();
    return ZErovMain(argc, argv);
}
