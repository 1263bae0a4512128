// Operator actions as real widget events: what a person's mouse and keyboard
// would do to the panel, delivered through the widgets so that their callbacks
// run at the program's next event processing, exactly as after a click. Used by
// the control server, the tests and the benchmarks. All on the UI thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cvi::op {

// Each returns 0, UIEBadPanel or UIEBadControl for a control that is not there
// or not of that kind, UIEBadValue for a value the control does not offer, and
// UIEGeneral when the control is hidden or dimmed (an operator could not use it).
int ChooseRingItem(int panel, int control, int value);
int PressButton(int panel, int control);
int FlipSwitch(int panel, int control);
int CommitText(int panel, int control, const std::string& text);
int ClosePanel(int panel);

// Reading the panel as it is shown.
std::vector<std::pair<int, std::string>> RingItems(int panel, int control);  // value, text
std::string TextBoxContents(int panel, int control);
bool IsVisible(int panel, int control);
bool IsDimmed(int panel, int control);

}  // namespace cvi::op
