// Binds the callback names written in the panel file to the program's functions.
#include "ZErov_callbacks.h"

#include "ZErov_uir.h"
#include "extension.h"

namespace {

const cvi::ext::CallbackBinding kCallbackBindings[] = {
    {"MainPanelCB", nullptr, MainPanelCB},
    {"ClearScreenCB", ClearScreenCB, nullptr},
    {"TransmitCB", TransmitCB, nullptr},
    {"TRIGGERBUTTON", TRIGGERBUTTON, nullptr},
    {"VATYPE", VATYPE, nullptr},
};

}  // namespace

void BindPanelCallbacks() {
    cvi::ext::setCallbackBindings(kCallbackBindings, sizeof kCallbackBindings / sizeof kCallbackBindings[0]);
}
