#include "operator.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>

#include "cvi.h"
#include "extension.h"

namespace cvi::op {
namespace {

using ext::Kind;

// The control's widget when it is of the kind asked for; else the error.
QWidget* control(int panel, int id, Kind want, int* error) {
    Kind kind{};
    *error = ext::controlKind(panel, id, &kind);
    if (*error < 0) return nullptr;
    QWidget* w = ext::widgetOf(panel, id);
    if (kind != want || !w) *error = UIEBadControl;
    return *error < 0 ? nullptr : w;
}

bool usable(const QWidget* w) { return w->isVisible() && w->isEnabled(); }

// A left click in the middle of the widget: press and release, as the mouse sends them.
void click(QWidget* widget) {
    QPointer<QWidget> w(widget);
    const QPointF local(w->width() / 2.0, w->height() / 2.0);
    const QPointF global = w->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    if (!w) return;
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

void key(QWidget* w, int k, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier, text);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, k, Qt::NoModifier, text);
    QApplication::sendEvent(w, &release);
}

}  // namespace

int ChooseRingItem(int panel, int id, int value) {
    int rc = 0;
    auto* combo = qobject_cast<QComboBox*>(control(panel, id, Kind::Ring, &rc));
    if (!combo) return rc < 0 ? rc : UIEBadControl;
    int index = -1;
    const auto items = ext::ringItems(panel, id);
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].first == value) index = static_cast<int>(i);
    if (index < 0) return UIEBadValue;
    if (!usable(combo)) return UIEGeneral;
    // What the widget does when the operator picks an item from its list. (Going
    // through the list's popup would let the style's closing effects delay it.)
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    return 0;
}

int PressButton(int panel, int id) {
    int rc = 0;
    QWidget* button = control(panel, id, Kind::Button, &rc);
    if (!button) return rc;
    if (!usable(button)) return UIEGeneral;
    click(button);
    return 0;
}

int FlipSwitch(int panel, int id) {
    int rc = 0;
    QWidget* sw = control(panel, id, Kind::Switch, &rc);
    if (!sw) return rc;
    if (!usable(sw)) return UIEGeneral;
    click(sw);
    return 0;
}

int CommitText(int panel, int id, const std::string& text) {
    int rc = 0;
    auto* line = qobject_cast<QLineEdit*>(control(panel, id, Kind::String, &rc));
    if (!line) return rc < 0 ? rc : UIEBadControl;
    if (!usable(line)) return UIEGeneral;
    line->setFocus();
    for (const char ch : text) {
        const QChar c = QChar::fromLatin1(ch);
        key(line, c.toUpper().unicode(), QString(c));  // Qt's key codes are the upper-case characters
    }
    key(line, Qt::Key_Return, QStringLiteral("\r"));
    return 0;
}

int ClosePanel(int panel) {
    QWidget* root = ext::panelWidget(panel);
    if (!root) return UIEBadPanel;
    root->close();  // a real close request; the panel's callback decides
    return 0;
}

std::vector<std::pair<int, std::string>> RingItems(int panel, int control) { return ext::ringItems(panel, control); }

std::string TextBoxContents(int panel, int control) { return ext::textBoxContents(panel, control); }

bool IsVisible(int panel, int control) {
    QWidget* w = ext::widgetOf(panel, control);
    return w && !w->isHidden();
}

bool IsDimmed(int panel, int control) {
    QWidget* w = ext::widgetOf(panel, control);
    return w && !w->isEnabled();
}

}  // namespace cvi::op
