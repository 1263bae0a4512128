// The services' part of the test face: operator actions as real widget events,
// and where the control channel listens. With runtime/testing.h.
#pragma once

#include <string>

namespace cvi::testing {

// ---- Operator actions (UI thread): real events on the widgets ----
int ChooseRingItem(int panel, int control, int value);
int PressButton(int panel, int control);
int FlipSwitch(int panel, int control);
int CommitText(int panel, int control, const std::string& text);
int ClosePanel(int panel);
std::string TextBoxContents(int panel, int control);  // UI thread

// The control channel's socket for the next start: a path of the test's own,
// or empty for none. UseDefaultControlSocket goes back to the program's own.
void SetControlSocket(const std::string& path);
void UseDefaultControlSocket();
std::string ControlSocketPath();  // UI thread; empty while the channel is off
// How long a control client may stay silent before it is closed, from the next
// start (ms; 0: never). The program's own is a few seconds.
void SetControlIdleTimeout(int ms);

}  // namespace cvi::testing
