// The two control kinds Qt has no widget for: a round indicator lamp and a
// two-position slide switch. Both are plain widgets the panel file names.
#pragma once

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QWidget>

#include <deque>
#include <string>
#include <string_view>

namespace cvi {

// A display-only lamp: a filled circle, bright green when on, dark when off.
class Led : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool on READ isOn WRITE setOn)
public:
    explicit Led(QWidget* parent = nullptr);
    bool isOn() const { return on_; }
    void setOn(bool on);
    QSize sizeHint() const override { return {20, 20}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    bool on_ = false;
};

// A two-position switch: unchecked is the left position, checked the right.
// A click anywhere on it moves the lever to the other side.
class Switch : public QAbstractButton {
    Q_OBJECT
public:
    explicit Switch(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {40, 12}; }

protected:
    void paintEvent(QPaintEvent*) override;
};

// A read-only view of the last lines of a text that only grows at its end (the
// traffic echo). It keeps at most maxLines lines and maxChars characters,
// dropping the oldest lines first, and lays out only the lines it draws: an
// append costs no more than copying its bytes. CR is not shown; a line feed
// ends a line. The text reads back as shown, lines joined by line feeds.
class LogView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit LogView(QWidget* parent = nullptr);
    void setLimits(int maxLines, int maxChars);
    void append(std::string_view text);
    void setText(std::string_view text);
    std::string text() const;
    // Lines held, the unfinished last one included (1 when empty).
    int lineCount() const { return static_cast<int>(starts_.size()); }
    std::size_t charCount() const { return buf_.size() - starts_.front(); }
    // Whole lines are selected with the mouse (or all with Ctrl+A) and copied
    // with Ctrl+C; the selection follows its lines as older ones go.
    void selectLines(int first, int last);  // indices as now shown; -1: none
    std::string selectedText() const;
    void copy() const;
    QSize sizeHint() const override { return {256, 192}; }

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void scrollContentsBy(int dx, int dy) override;
    void changeEvent(QEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent*) override;

private:
    int lineHeight() const;
    int topMargin() const;
    long long lineAtY(int y) const;  // counted from the first line ever shown
    void learnAdvances();
    int visibleLines() const;
    std::string_view lineAt(int i) const;  // 0 <= i < lineCount()
    std::size_t trimCount();  // drops what is over the bounds; returns the lines dropped
    void updateScrollBars();

    // The text shown is buf_ from starts_.front(): starts_ holds where each line
    // begins (the last one is unfinished, possibly empty). Dropped lines stay in
    // buf_ until they outweigh the rest, so that dropping one costs nothing.
    std::string buf_;
    std::deque<std::size_t> starts_{0};
    // Width of each line in pixels, from a table of character advances (no
    // shaping per line): the widest sets the horizontal scroll range.
    std::deque<int> widths_{0};
    int widest_ = 0;
    long long dropped_ = 0;           // lines dropped since the text was last set
    long long anchor_ = -1, current_ = -1;  // selected lines, counted as dropped_
    int advance_[256] = {};
    bool advancesKnown_ = false;
    int maxLines_ = 5000;
    std::size_t maxChars_ = 400000;
};

}  // namespace cvi
