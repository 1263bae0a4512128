// Panels loaded from Qt Designer files carried in the executable, and the
// values and attributes of their controls.
#include <QComboBox>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QUiLoader>

#include <cstdio>
#include <cstring>

#include "internal.h"
#include "state.h"
#include "widgets.h"

namespace cvi {
namespace {

// Scrollback of a text box: lines and characters kept before the oldest go.
constexpr int kTextBoxMaxLines = 5000;
constexpr int kTextBoxMaxChars = 400000;
constexpr int kTextBoxFlushMs = 25;

class Loader : public QUiLoader {
public:
    QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
        QWidget* w = nullptr;
        if (className == QLatin1String("cvi::Led"))
            w = new Led(parent);
        else if (className == QLatin1String("cvi::Switch"))
            w = new Switch(parent);
        else if (className == QLatin1String("cvi::LogView"))
            w = new LogView(parent);
        else
            return QUiLoader::createWidget(className, parent, name);
        w->setObjectName(name);
        return w;
    }
};

// Turns the window's close button into the panel's close event; the window stays.
class CloseFilter : public QObject {
public:
    CloseFilter(int handle, QObject* owner) : QObject(owner), handle_(handle) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            event->ignore();
            const int handle = handle_;
            post([handle] {
                Panel* p = findPanel(handle);
                if (p && p->callback) invokeCallback([&] { p->callback(handle, EVENT_CLOSE, nullptr, 0, 0); });
            });
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    int handle_;
};

}  // namespace

struct PanelState {
    std::map<int, Panel> byHandle;
    int nextHandle = 1;
};

namespace {

PanelState& panels() { return partOf(runtime().panels); }

const ext::CallbackBinding* findBinding(const QString& name) {
    const auto& ps = installed();
    for (std::size_t i = 0; i < ps.bindingCount; ++i)
        if (name == QLatin1String(ps.bindings[i].name)) return &ps.bindings[i];
    return nullptr;
}

// Each kind of control, its name in the panel file and the widget it must be:
// the rest of the run-time relies on that widget class.
struct KindInfo {
    const char* name;
    Kind kind;
    const char* widgetClass;
    bool (*fits)(QWidget*);
};

const KindInfo kKinds[] = {
    {"ring", Kind::Ring, "QComboBox", [](QWidget* w) { return qobject_cast<QComboBox*>(w) != nullptr; }},
    {"button", Kind::Button, "QPushButton", [](QWidget* w) { return qobject_cast<QPushButton*>(w) != nullptr; }},
    {"textbox", Kind::TextBox, "cvi::LogView", [](QWidget* w) { return qobject_cast<LogView*>(w) != nullptr; }},
    {"led", Kind::Led, "cvi::Led", [](QWidget* w) { return qobject_cast<Led*>(w) != nullptr; }},
    {"string", Kind::String, "QLineEdit", [](QWidget* w) { return qobject_cast<QLineEdit*>(w) != nullptr; }},
    {"decoration", Kind::Decoration, "QFrame", [](QWidget* w) { return qobject_cast<QFrame*>(w) != nullptr; }},
    {"switch", Kind::Switch, "cvi::Switch", [](QWidget* w) { return qobject_cast<Switch*>(w) != nullptr; }},
};

int badFile(const QWidget* w, const std::string& why) {
    std::fprintf(stderr, "vantis-sim: panel file: control %s %s\n", w->objectName().toLocal8Bit().constData(),
                 why.c_str());
    std::fflush(stderr);
    return UIEBadFile;
}

// The control's kind, checked against its widget.
int parseKind(QWidget* w, Kind& kind) {
    const QString named = w->property("ctrlKind").toString();
    for (const KindInfo& k : kKinds) {
        if (named != QLatin1String(k.name)) continue;
        if (!k.fits(w))
            return badFile(w, std::string("is of kind ") + k.name + " but its widget is a " +
                                  w->metaObject()->className() + ", not a " + k.widgetClass);
        kind = k.kind;
        return 0;
    }
    return badFile(w, "has no known kind (\"" + named.toStdString() + "\")");
}

void copyOut(std::string_view text, char* buffer, std::size_t size) {
    if (!buffer || size == 0) return;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

void copyOut(const QByteArray& text, char* buffer, std::size_t size) {
    copyOut(std::string_view(text.constData(), static_cast<std::size_t>(text.size())), buffer, size);
}

void commit(int panel, int control) {
    post([panel, control] {
        Control* c = findControl(panel, control);
        if (c && c->callback)
            invokeCallback([&] { c->callback(panel, control, EVENT_COMMIT, nullptr, 0, 0); });
    });
}

void wireCommit(int panel, Control& c) {
    const int id = c.id;
    QWidget* w = c.widget;
    if (auto* combo = qobject_cast<QComboBox*>(w))
        QObject::connect(combo, &QComboBox::activated, combo, [panel, id](int) { commit(panel, id); });
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        QObject::connect(button, &QAbstractButton::clicked, button, [panel, id] { commit(panel, id); });
    else if (auto* line = qobject_cast<QLineEdit*>(w))
        QObject::connect(line, &QLineEdit::returnPressed, line, [panel, id] { commit(panel, id); });
}

// Builds the control table from the widgets' properties; negative if the file is inconsistent.
int bindControls(Panel& p) {
    const auto widgets = p.root->findChildren<QWidget*>();
    for (QWidget* w : widgets) {
        const QVariant id = w->property("ctrlId");
        if (!id.isValid()) continue;
        Control c;
        c.id = id.toInt();
        c.widget = w;
        if (const int rc = parseKind(w, c.kind); rc < 0) return rc;
        const QString cb = w->property("callback").toString();
        if (!cb.isEmpty()) {
            const ext::CallbackBinding* b = findBinding(cb);
            if (!b || !b->control) return UIECallbackNotFound;
            c.callback = b->control;
        }
        if (c.kind == Kind::Ring) {
            const auto* combo = static_cast<QComboBox*>(w);
            const QStringList values = w->property("itemValues").toString().split(',', Qt::SkipEmptyParts);
            for (int i = 0; i < combo->count(); ++i)
                c.itemValues.push_back(i < values.size() ? values[i].trimmed().toInt() : i);
        }
        if (c.kind == Kind::Switch) {
            c.offValue = w->property("offValue").toString();
            c.onValue = w->property("onValue").toString();
            c.textValued = !c.offValue.isEmpty();
        }
        if (c.kind == Kind::TextBox) static_cast<LogView*>(w)->setLimits(kTextBoxMaxLines, kTextBoxMaxChars);
        if (!p.controls.emplace(c.id, std::move(c)).second) return badFile(w, "has the id of another control");
    }
    // Labels and position texts follow their control when it is hidden or dimmed.
    for (QWidget* w : widgets) {
        const QString owner = w->property("labelFor").toString();
        if (owner.isEmpty()) continue;
        for (auto& [id, c] : p.controls)
            if (c.widget && c.widget->objectName() == owner) c.companions.emplace_back(w);
    }
    for (auto& [id, c] : p.controls) {
        const QVariant visible = c.widget->property("initiallyVisible");
        if (visible.isValid() && !visible.toBool()) {
            c.widget->setVisible(false);
            for (auto& comp : c.companions)
                if (comp) comp->setVisible(false);
        }
        wireCommit(p.handle, c);
    }
    return 0;
}

int setRingValue(Control& c, int value) {
    auto* combo = static_cast<QComboBox*>(c.widget.data());
    for (std::size_t i = 0; i < c.itemValues.size(); ++i)
        if (c.itemValues[i] == value) {
            combo->setCurrentIndex(static_cast<int>(i));
            return 0;
        }
    return UIEBadValue;
}

int setIntValue(Control& c, int value) {
    switch (c.kind) {
        case Kind::Ring:
            return setRingValue(c, value);
        case Kind::Led:
            static_cast<Led*>(c.widget.data())->setOn(value != 0);
            return 0;
        case Kind::Switch:
            if (c.textValued) return UIEBadValue;
            static_cast<Switch*>(c.widget.data())->setChecked(value != 0);
            return 0;
        default:
            return UIEBadValue;
    }
}

// Keeps the last scrollback's worth of pending text, from a line start.
void trimPending(std::string& pending) {
    std::size_t from = pending.size() - static_cast<std::size_t>(kTextBoxMaxChars);
    const std::size_t nl = pending.find('\n', from);
    if (nl != std::string::npos && nl + 1 < pending.size()) from = nl + 1;
    pending.erase(0, from);
}

// Where the last kTextBoxMaxLines lines of the text begin: older ones would be
// laid out only to be dropped again.
std::size_t lastLinesStart(const std::string& text) {
    int lines = 0;
    for (std::size_t i = text.size(); i-- > 0;)
        if (text[i] == '\n' && i + 1 < text.size() && ++lines >= kTextBoxMaxLines) return i + 1;
    return 0;
}

int setTextValue(Control& c, const char* text) {
    const char* t = text ? text : "";
    switch (c.kind) {
        case Kind::TextBox:
            c.pending.append(t);
            // Text appended without an event pass in between (a failing download
            // adds a line per frame) could grow without end. The box keeps no more
            // than its scrollback, so the older text goes; dropping only once the
            // pending text is twice that keeps each append cheap.
            if (c.pending.size() > 2 * static_cast<std::size_t>(kTextBoxMaxChars)) trimPending(c.pending);
            if (!c.flushPosted) {
                // Appends are shown in batches: laying out and drawing the box for
                // every line would cost more than the whole command it echoes.
                c.flushPosted = true;
                Control* self = &c;
                QTimer::singleShot(kTextBoxFlushMs, c.widget, [self] { flushTextBox(*self); });
            }
            return 0;
        case Kind::String:
            static_cast<QLineEdit*>(c.widget.data())->setText(QString::fromLatin1(t));
            return 0;
        case Kind::Switch:
            if (!c.textValued) return UIEBadValue;
            if (c.onValue == QLatin1String(t))
                static_cast<Switch*>(c.widget.data())->setChecked(true);
            else if (c.offValue == QLatin1String(t))
                static_cast<Switch*>(c.widget.data())->setChecked(false);
            else
                return UIEBadValue;
            return 0;
        default:
            return UIEBadValue;
    }
}

int getIntValue(Control& c, int* value) {
    if (!value) return UIEBadValue;
    switch (c.kind) {
        case Kind::Ring: {
            const int i = static_cast<QComboBox*>(c.widget.data())->currentIndex();
            if (i < 0 || i >= static_cast<int>(c.itemValues.size())) return UIEBadValue;
            *value = c.itemValues[static_cast<std::size_t>(i)];
            return 0;
        }
        case Kind::Led:
            *value = static_cast<Led*>(c.widget.data())->isOn() ? 1 : 0;
            return 0;
        case Kind::Switch:
            if (c.textValued) return UIEBadValue;
            *value = static_cast<Switch*>(c.widget.data())->isChecked() ? 1 : 0;
            return 0;
        default:
            return UIEBadValue;
    }
}

int getTextValue(Control& c, char* buffer, std::size_t size) {
    switch (c.kind) {
        case Kind::TextBox:
            flushTextBox(c);
            copyOut(static_cast<LogView*>(c.widget.data())->text(), buffer, size);
            return 0;
        case Kind::String:
            copyOut(static_cast<QLineEdit*>(c.widget.data())->text().toLatin1(), buffer, size);
            return 0;
        case Kind::Switch: {
            if (!c.textValued) return UIEBadValue;
            const bool on = static_cast<Switch*>(c.widget.data())->isChecked();
            copyOut((on ? c.onValue : c.offValue).toLatin1(), buffer, size);
            return 0;
        }
        case Kind::Ring: {
            copyOut(static_cast<QComboBox*>(c.widget.data())->currentText().toLatin1(), buffer, size);
            return 0;
        }
        default:
            return UIEBadValue;
    }
}

void setVisible(Control& c, bool visible) {
    c.widget->setVisible(visible);
    for (auto& w : c.companions)
        if (w) w->setVisible(visible);
}

void setDimmed(Control& c, bool dimmed) {
    c.widget->setEnabled(!dimmed);
    for (auto& w : c.companions)
        if (w) w->setEnabled(!dimmed);
}

}  // namespace

Panel* findPanel(int handle) {
    auto& ps = panels().byHandle;
    const auto it = ps.find(handle);
    return it == ps.end() ? nullptr : &it->second;
}

Control* findControl(int panel, int control) {
    Panel* p = findPanel(panel);
    if (!p) return nullptr;
    const auto it = p->controls.find(control);
    return (it == p->controls.end() || !it->second.widget) ? nullptr : &it->second;
}

void flushTextBox(Control& c) {
    c.flushPosted = false;
    if (c.pending.empty() || !c.widget) return;
    auto* box = static_cast<LogView*>(c.widget.data());
    const std::size_t from = c.pending.size() > static_cast<std::size_t>(kTextBoxMaxLines) ? lastLinesStart(c.pending) : 0;
    box->append(std::string_view(c.pending).substr(from));
    c.pending.clear();
    markActivity();
}

void discardPanels() { panels().byHandle.clear(); }

bool deliverPanelClose() {
    std::vector<int> handles;
    for (const auto& [h, p] : panels().byHandle)
        if (p.callback) handles.push_back(h);
    for (int h : handles)
        if (Panel* p = findPanel(h); p && p->callback) invokeCallback([&] { p->callback(h, EVENT_CLOSE, nullptr, 0, 0); });
    return !handles.empty();
}

namespace ext {

void setCallbackBindings(const CallbackBinding* bindings, std::size_t count) {
    installed().bindings = bindings;
    installed().bindingCount = count;
}
void setPanelTitleSuffix(const std::string& suffix) { installed().titleSuffix = QString::fromUtf8(suffix.c_str()); }

QWidget* widgetOf(int panel, int control) {
    Control* c = findControl(panel, control);
    return c ? c->widget.data() : nullptr;
}

QWidget* panelWidget(int panel) {
    Panel* p = findPanel(panel);
    return p ? p->root.get() : nullptr;
}

int controlKind(int panel, int control, Kind* kind) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    if (kind) *kind = c->kind;
    return 0;
}

std::vector<std::pair<int, std::string>> ringItems(int panel, int control) {
    std::vector<std::pair<int, std::string>> items;
    Control* c = findControl(panel, control);
    if (!c || c->kind != Kind::Ring) return items;
    const auto* combo = static_cast<QComboBox*>(c->widget.data());
    for (int i = 0; i < combo->count() && i < static_cast<int>(c->itemValues.size()); ++i)
        items.emplace_back(c->itemValues[static_cast<std::size_t>(i)], combo->itemText(i).toStdString());
    return items;
}

std::string textBoxContents(int panel, int control) {
    Control* c = findControl(panel, control);
    if (!c || c->kind != Kind::TextBox) return {};
    flushTextBox(*c);
    return static_cast<LogView*>(c->widget.data())->text();
}

bool withdrawAppendedText(int panel, int control, std::string_view text) {
    Control* c = findControl(panel, control);
    if (!c || c->kind != Kind::TextBox) return false;
    std::string& shown = c->pending;
    if (shown.size() < text.size() || shown.compare(shown.size() - text.size(), text.size(), text) != 0) return false;
    shown.erase(shown.size() - text.size());
    return true;
}

}  // namespace ext
}  // namespace cvi

using namespace cvi;

int LoadPanel(int /*parentPanel*/, const char* panelFile, int panelResourceId) {
    if (!panelFile) return UIEFileNotFound;
    std::string name = panelFile;
    {
        auto& h = seams();
        std::lock_guard lock(h.mutex);
        if (!h.panelFileOverride.empty()) name = h.panelFileOverride;
    }
    // The panel files travel as resources: "ZErov.uir" is ":/ui/ZErov.ui".
    QString base = QFileInfo(QString::fromLocal8Bit(name.c_str())).completeBaseName();
    QFile file(QStringLiteral(":/ui/") + base + QStringLiteral(".ui"));
    if (!file.open(QFile::ReadOnly)) return UIEFileNotFound;
    Loader loader;
    std::unique_ptr<QWidget> root(loader.load(&file));
    if (!root) return UIEBadFile;
    if (root->property("panelId").toInt() != panelResourceId) return UIEBadPanel;

    Panel p;
    p.handle = panels().nextHandle;
    p.left = root->property("screenLeft").toInt();
    p.top = root->property("screenTop").toInt();
    const QString panelCb = root->property("callback").toString();
    if (!panelCb.isEmpty()) {
        const ext::CallbackBinding* b = findBinding(panelCb);
        if (!b || !b->panel) return UIECallbackNotFound;
        p.callback = b->panel;
    }
    if (const QString& suffix = installed().titleSuffix; !suffix.isEmpty()) root->setWindowTitle(root->windowTitle() + suffix);
    p.root = std::move(root);
    if (const int rc = bindControls(p); rc < 0) return rc;
    p.root->installEventFilter(new CloseFilter(p.handle, p.root.get()));
    const int handle = p.handle;
    panels().byHandle.emplace(handle, std::move(p));
    ++panels().nextHandle;
    return handle;
}

int DisplayPanel(int panel) {
    Panel* p = findPanel(panel);
    if (!p) return UIEBadPanel;
    const QSize size = p->root->size();
    p->root->setFixedSize(size);
    p->root->setGeometry(p->left, p->top, size.width(), size.height());
    p->root->show();
    seams().panelsDisplayed.fetch_add(1);
    if (!ext::headless()) {  // the offscreen platform has no stacking, and says so on stderr
        p->root->raise();
        p->root->activateWindow();
    }
    return 0;
}

int DiscardPanel(int panel) {
    auto& ps = panels().byHandle;
    const auto it = ps.find(panel);
    if (it == ps.end()) return UIEBadPanel;
    ps.erase(it);
    return 0;
}

int SetCtrlVal(int panel, int control, int value) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    markActivity();
    return setIntValue(*c, value);
}

int SetCtrlVal(int panel, int control, const char* text) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    markActivity();
    return setTextValue(*c, text);
}

int GetCtrlVal(int panel, int control, int* value) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    return getIntValue(*c, value);
}

int GetCtrlVal(int panel, int control, char* buffer, std::size_t size) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    return getTextValue(*c, buffer, size);
}

int ResetTextBox(int panel, int control, const char* text) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    if (c->kind != Kind::TextBox) return UIEBadControl;
    c->pending.clear();
    static_cast<LogView*>(c->widget.data())->setText(text ? text : "");
    return 0;
}

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    switch (attribute) {
        case ATTR_DIMMED:
            setDimmed(*c, value != 0);
            return 0;
        case ATTR_VISIBLE:
            setVisible(*c, value != 0);
            return 0;
        case ATTR_CTRL_VAL:
            markActivity();
            return setIntValue(*c, value);
        default:
            return UIEBadAttribute;
    }
}

int SetCtrlAttribute(int panel, int control, int attribute, const char* value) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    if (attribute != ATTR_CTRL_VAL) return UIEBadAttribute;
    if (c->kind == Kind::TextBox) return ResetTextBox(panel, control, value);
    return setTextValue(*c, value);
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    if (!value) return UIEBadValue;
    switch (attribute) {
        case ATTR_DIMMED:
            *value = c->widget->isEnabled() ? 0 : 1;
            return 0;
        case ATTR_VISIBLE:
            *value = c->widget->isHidden() ? 0 : 1;
            return 0;
        case ATTR_CTRL_VAL:
            return getIntValue(*c, value);
        default:
            return UIEBadAttribute;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, char* buffer, std::size_t size) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    if (attribute != ATTR_CTRL_VAL) return UIEBadAttribute;
    return getTextValue(*c, buffer, size);
}

int SetActiveCtrl(int panel, int control) {
    Control* c = findControl(panel, control);
    if (!c) return findPanel(panel) ? UIEBadControl : UIEBadPanel;
    c->widget->setFocus(Qt::OtherFocusReason);
    return 0;
}
