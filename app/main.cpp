// The program: the services and the panel's callbacks go onto the run-time,
// then the instrument runs.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ZErov.h"
#include "ZErov_callbacks.h"
#include "recording.h"
#include "services.h"

int main(int argc, char* argv[]) {
    // --data FILE (or --data=FILE): a recording for the download, checked
    // against the model when one is chosen. Other arguments go on unchanged.
    std::vector<char*> rest;
    std::string data;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--data") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vantis-sim: --data needs a file\n");
                return 2;
            }
            data = argv[++i];
        } else if (i > 0 && std::strncmp(argv[i], "--data=", 7) == 0) {
            data = argv[i] + 7;
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (!data.empty()) {
        if (const std::string error = cvi::recording::load(data); !error.empty()) {
            std::fprintf(stderr, "vantis-sim: %s\n", error.c_str());
            return 2;
        }
    }
    rest.push_back(nullptr);
    vantis::services::install();
    BindPanelCallbacks();
    return ZErovMain(static_cast<int>(rest.size()) - 1, rest.data());
}
