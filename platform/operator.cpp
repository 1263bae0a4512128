#include "operator.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>

#include "internal.h"
#include "widgets.h"

namespace cvi::op {
namespace {

QWidget* widgetOf(int panel, int control) {
    Control* c = findControl(panel, control);
    return c ? c->widget.data() : nullptr;
}

int missing(int panel) { return findPanel(panel) ? UIEBadControl : UIEBadPanel; }

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

int ChooseRingItem(int panel, int control, int value) {
    Control* c = findControl(panel, control);
    if (!c) return missing(panel);
    auto* combo = qobject_cast<QComboBox*>(c->widget);
    if (c->kind != Kind::Ring || !combo) return UIEBadControl;
    int index = -1;
    for (std::size_t i = 0; i < c->itemValues.size(); ++i)
        if (c->itemValues[i] == value) index = static_cast<int>(i);
    if (index < 0) return UIEBadValue;
    if (!usable(combo)) return UIEGeneral;
    // What the widget does when the operator picks an item from its list. (Going
    // through the list's popup would let the style's closing effects delay it.)
    combo->setCurrentIndex(index);
    emit combo->activated(index);
    return 0;
}

int PressButton(int panel, int control) {
    QWidget* w = widgetOf(panel, control);
    if (!w) return missing(panel);
    auto* button = qobject_cast<QAbstractButton*>(w);
    if (!button) return UIEBadControl;
    if (!usable(button)) return UIEGeneral;
    click(button);
    return 0;
}

int FlipSwitch(int panel, int control) {
    QWidget* w = widgetOf(panel, control);
    if (!w) return missing(panel);
    auto* sw = qobject_cast<Switch*>(w);
    if (!sw) return UIEBadControl;
    if (!usable(sw)) return UIEGeneral;
    click(sw);
    return 0;
}

int CommitText(int panel, int control, const std::string& text) {
    QWidget* w = widgetOf(panel, control);
    if (!w) return missing(panel);
    auto* line = qobject_cast<QLineEdit*>(w);
    if (!line) return UIEBadControl;
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
    Panel* p = findPanel(panel);
    if (!p) return UIEBadPanel;
    p->root->close();  // a real close request; the panel's callback decides
    return 0;
}

std::vector<std::pair<int, std::string>> RingItems(int panel, int control) {
    std::vector<std::pair<int, std::string>> items;
    Control* c = findControl(panel, control);
    auto* combo = c ? qobject_cast<QComboBox*>(c->widget) : nullptr;
    if (!combo || c->kind != Kind::Ring) return items;
    for (int i = 0; i < combo->count() && i < static_cast<int>(c->itemValues.size()); ++i)
        items.emplace_back(c->itemValues[static_cast<std::size_t>(i)], combo->itemText(i).toStdString());
    return items;
}

std::string TextBoxContents(int panel, int control) {
    Control* c = findControl(panel, control);
    if (!c || c->kind != Kind::TextBox) return {};
    flushTextBox(*c);
    return static_cast<LogView*>(c->widget.data())->text();
}

bool IsVisible(int panel, int control) {
    QWidget* w = widgetOf(panel, control);
    return w && !w->isHidden();
}

bool IsDimmed(int panel, int control) {
    QWidget* w = widgetOf(panel, control);
    return w && !w->isEnabled();
}

}  // namespace cvi::op
