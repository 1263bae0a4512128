// The panel file's callback names, bound to the program's functions.
#pragma once

// Hands the bindings to the run-time; call before the panel loads.
void BindPanelCallbacks();
