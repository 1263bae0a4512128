#include "widgets.h"

#include <QClipboard>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>

#include <algorithm>

namespace cvi {

Led::Led(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

void Led::setOn(bool on) {
    if (on_ == on) return;
    on_ = on;
    update();
}

void Led::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal d = qMin(width(), height()) - 2;
    const QRectF r((width() - d) / 2.0, (height() - d) / 2.0, d, d);
    QRadialGradient g(r.center() - QPointF(d / 5, d / 5), d / 1.6);
    if (on_) {
        g.setColorAt(0, QColor(190, 255, 190));
        g.setColorAt(1, QColor(0, 170, 0));
    } else {
        g.setColorAt(0, QColor(90, 110, 90));
        g.setColorAt(1, QColor(25, 45, 25));
    }
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(g);
    p.drawEllipse(r);
}

Switch::Switch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
}

void Switch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = track.height() / 2;
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(isEnabled() ? QColor(200, 200, 205) : QColor(225, 225, 225));
    p.drawRoundedRect(track, radius, radius);
    const qreal w = track.width() / 2;
    const QRectF lever(isChecked() ? track.left() + w : track.left(), track.top(), w, track.height());
    QLinearGradient g(lever.topLeft(), lever.bottomLeft());
    g.setColorAt(0, QColor(120, 140, 190));
    g.setColorAt(1, QColor(50, 70, 130));
    p.setBrush(g);
    p.drawRoundedRect(lever, radius, radius);
}

}  // namespace cvi

namespace cvi {

namespace {
constexpr int kMargin = 4;  // around the text, as a text edit's document has
}

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    viewport()->setCursor(Qt::IBeamCursor);
    verticalScrollBar()->setSingleStep(1);
    setFocusPolicy(Qt::WheelFocus);
    updateScrollBars();
}

void LogView::setLimits(int maxLines, int maxChars) {
    maxLines_ = std::max(1, maxLines);
    maxChars_ = static_cast<std::size_t>(std::max(1, maxChars));
    trimCount();
    updateScrollBars();
    viewport()->update();
}

void LogView::append(std::string_view text) {
    if (text.empty()) return;
    QScrollBar* bar = verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    if (!advancesKnown_) learnAdvances();
    buf_.reserve(buf_.size() + text.size());
    int width = widths_.back();
    for (const char ch : text) {
        if (ch == '\r') continue;  // a line end of CR LF shows as one line break
        buf_.push_back(ch);
        if (ch == '\n') {
            widths_.back() = width;
            widest_ = std::max(widest_, width);
            starts_.push_back(buf_.size());
            widths_.push_back(width = 0);
        } else {
            width += advance_[static_cast<unsigned char>(ch)];
        }
    }
    widths_.back() = width;
    widest_ = std::max(widest_, width);
    const int before = bar->value();
    const int dropped = static_cast<int>(trimCount());
    updateScrollBars();
    bar->setValue(follow ? bar->maximum() : before - dropped);
    viewport()->update();
}

void LogView::setText(std::string_view text) {
    buf_.clear();
    starts_.assign(1, 0);
    widths_.assign(1, 0);
    widest_ = 0;
    dropped_ = 0;
    anchor_ = current_ = -1;
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    append(text);
    updateScrollBars();
    viewport()->update();
}

std::string LogView::text() const { return buf_.substr(starts_.front()); }

std::string_view LogView::lineAt(int i) const {
    const auto k = static_cast<std::size_t>(i);
    const std::size_t from = starts_[k];
    const std::size_t to = k + 1 < starts_.size() ? starts_[k + 1] - 1 : buf_.size();
    return std::string_view(buf_).substr(from, to - from);
}

std::size_t LogView::trimCount() {
    std::size_t dropped = 0;
    bool rescan = false;
    while (starts_.size() > 1 &&
           (starts_.size() > static_cast<std::size_t>(maxLines_) || buf_.size() - starts_.front() > maxChars_)) {
        rescan = rescan || widths_.front() >= widest_;
        starts_.pop_front();
        widths_.pop_front();
        ++dropped;
        ++dropped_;
    }
    // One unfinished line longer than the whole bound keeps its end.
    if (buf_.size() - starts_.front() > maxChars_) {
        starts_.front() = buf_.size() - maxChars_ * 3 / 4;
        int w = 0;
        for (const char ch : lineAt(0)) w += advance_[static_cast<unsigned char>(ch)];
        widths_.front() = w;
        rescan = true;
    }
    if (rescan) widest_ = *std::max_element(widths_.begin(), widths_.end());
    // Reclaim the dropped text once it outweighs what is kept.
    const std::size_t dead = starts_.front();
    if (dead > 4096 && dead > buf_.size() - dead) {
        buf_.erase(0, dead);
        for (auto& s : starts_) s -= dead;
    }
    return dropped;
}

int LogView::lineHeight() const { return std::max(1, fontMetrics().height()); }

// As in a text edit, the document's margin shows above the first line only.
int LogView::topMargin() const { return verticalScrollBar()->value() == 0 ? kMargin : 0; }

void LogView::learnAdvances() {
    const QFontMetrics fm = fontMetrics();
    for (int i = 0; i < 256; ++i) advance_[i] = fm.horizontalAdvance(QChar(static_cast<char16_t>(i)));
    advancesKnown_ = true;
}

void LogView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() != QEvent::FontChange) return;
    // Measure again in the new font.
    learnAdvances();
    for (std::size_t i = 0; i < starts_.size(); ++i) {
        int w = 0;
        for (const char ch : lineAt(static_cast<int>(i))) w += advance_[static_cast<unsigned char>(ch)];
        widths_[i] = w;
    }
    widest_ = *std::max_element(widths_.begin(), widths_.end());
    updateScrollBars();
    viewport()->update();
}

int LogView::visibleLines() const {
    return std::max(1, (viewport()->height() - 2 * kMargin) / lineHeight());
}

void LogView::updateScrollBars() {
    QScrollBar* v = verticalScrollBar();
    const int page = visibleLines();
    v->setPageStep(page);
    v->setRange(0, std::max(0, lineCount() - page));
    QScrollBar* h = horizontalScrollBar();
    h->setPageStep(viewport()->width());
    h->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
    h->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
}

void LogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    QScrollBar* bar = verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    updateScrollBars();
    if (follow) bar->setValue(bar->maximum());
}

void LogView::scrollContentsBy(int /*dx*/, int /*dy*/) { viewport()->update(); }

void LogView::paintEvent(QPaintEvent* event) {
    QPainter p(viewport());
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    const QFontMetrics fm = fontMetrics();
    const int h = lineHeight();
    const int x = kMargin - horizontalScrollBar()->value();
    const int first = verticalScrollBar()->value();
    const QRect clip = event->rect();
    const long long lo = std::min(anchor_, current_), hi = std::max(anchor_, current_);
    const QPen text = p.pen();
    int y = topMargin();
    for (int i = first; i < lineCount() && y < viewport()->height(); ++i, y += h) {
        if (y + h < clip.top() || y > clip.bottom()) continue;
        const bool selected = anchor_ >= 0 && dropped_ + i >= lo && dropped_ + i <= hi;
        if (selected) p.fillRect(QRect(0, y, viewport()->width(), h), palette().brush(QPalette::Highlight));
        p.setPen(selected ? palette().color(QPalette::HighlightedText) : text.color());
        const std::string_view line = lineAt(i);
        if (line.empty()) continue;
        p.drawText(x, y + fm.ascent(), QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
    }
}

long long LogView::lineAtY(int y) const {
    const int i = verticalScrollBar()->value() + std::max(0, y - topMargin()) / lineHeight();
    return dropped_ + std::clamp(i, 0, lineCount() - 1);
}

void LogView::selectLines(int first, int last) {
    if (first < 0 || last < 0) {
        anchor_ = current_ = -1;
    } else {
        anchor_ = dropped_ + std::min(first, lineCount() - 1);
        current_ = dropped_ + std::min(last, lineCount() - 1);
    }
    viewport()->update();
}

std::string LogView::selectedText() const {
    if (anchor_ < 0) return {};
    const long long lo = std::max(std::min(anchor_, current_), dropped_);
    const long long hi = std::min(std::max(anchor_, current_), dropped_ + lineCount() - 1);
    std::string out;
    for (long long i = lo; i <= hi; ++i) {
        out.append(lineAt(static_cast<int>(i - dropped_)));
        if (i < hi) out.push_back('\n');
    }
    return out;
}

void LogView::copy() const {
    const std::string text = selectedText();
    if (!text.empty())
        QGuiApplication::clipboard()->setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
}

void LogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    anchor_ = current_ = lineAtY(event->position().toPoint().y());
    viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton) || anchor_ < 0) return QAbstractScrollArea::mouseMoveEvent(event);
    current_ = lineAtY(event->position().toPoint().y());
    viewport()->update();
}

void LogView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copy();
    } else if (event->matches(QKeySequence::SelectAll)) {
        selectLines(0, lineCount() - 1);
    } else {
        QAbstractScrollArea::keyPressEvent(event);
    }
}

}  // namespace cvi
