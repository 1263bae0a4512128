// Binds the callback names written in the panel file to the program's functions.
#include "ZErov_uir.h"
#include "internal.h"

extern const cvi::CallbackBinding kCallbackBindings[] = {
    {"MainPanelCB", nullptr, MainPanelCB},
    {"ClearScreenCB", ClearScreenCB, nullptr},
    {"TransmitCB", TransmitCB, nullptr},
    {"TRIGGERBUTTON", TRIGGERBUTTON, nullptr},
    {"VATYPE", VATYPE, nullptr},
};
extern const std::size_t kCallbackBindingCount = sizeof kCallbackBindings / sizeof kCallbackBindings[0];
