#include "services_testing.h"

#include "operator.h"
#include "services.h"

namespace cvi::testing {

int ChooseRingItem(int panel, int control, int value) { return op::ChooseRingItem(panel, control, value); }
int PressButton(int panel, int control) { return op::PressButton(panel, control); }
int FlipSwitch(int panel, int control) { return op::FlipSwitch(panel, control); }
int CommitText(int panel, int control, const std::string& text) { return op::CommitText(panel, control, text); }
int ClosePanel(int panel) { return op::ClosePanel(panel); }
std::string TextBoxContents(int panel, int control) { return op::TextBoxContents(panel, control); }

void SetControlSocket(const std::string& path) { vantis::services::setControlSocketForTests(true, path); }
void UseDefaultControlSocket() { vantis::services::setControlSocketForTests(false, {}); }
std::string ControlSocketPath() { return vantis::services::controlSocketPath(); }
void SetControlIdleTimeout(int ms) { vantis::services::setControlIdleTimeout(ms); }

}  // namespace cvi::testing
