// The program: the services and the panel's callbacks go onto the run-time,
// then the instrument runs.
#include "ZErov.h"
#include "ZErov_callbacks.h"
#include "services.h"

int main(int argc, char* argv[]) {
    vantis::services::install();
    BindPanelCallbacks();
    return ZErovMain(argc, argv);
}
