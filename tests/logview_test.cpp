// The traffic boxes: a bounded log view, and the text-box calls on top of it.
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <string>

#include "harness.h"
#include "ZErov_uir.h"
#include "widgets.h"

namespace {

std::string numbered(int from, int to) {
    std::string s;
    for (int i = from; i < to; ++i) s += "line " + std::to_string(i) + "\r\n";
    return s;
}

std::string shown(int from, int to) {
    std::string s;
    for (int i = from; i < to; ++i) s += "line " + std::to_string(i) + "\n";
    return s;
}

}  // namespace

TEST(LogView, AppendsJoinLinesDropCarriageReturnsAndResetReplaces) {
    cvi::LogView v;
    EXPECT_EQ(v.text(), "");
    EXPECT_EQ(v.lineCount(), 1);
    v.append("WHO_ARE_");
    v.append("YOU#164\r");
    v.append("\nS#118\r\n\r\n");
    EXPECT_EQ(v.text(), "WHO_ARE_YOU#164\nS#118\n\n");
    EXPECT_EQ(v.lineCount(), 4);
    v.append("\xb5s\t");  // Latin-1 and tabs are kept as they came
    EXPECT_EQ(v.text(), "WHO_ARE_YOU#164\nS#118\n\n\xb5s\t");
    v.setText("fresh\r\nstart");
    EXPECT_EQ(v.text(), "fresh\nstart");
    v.setText("");
    EXPECT_EQ(v.text(), "");
    EXPECT_EQ(v.lineCount(), 1);
}

TEST(LogView, KeepsTheLastLinesWithinBothBounds) {
    cvi::LogView v;
    v.setLimits(100, 1000000);
    for (int i = 0; i < 1000; i += 7) v.append(numbered(i, std::min(i + 7, 1000)));
    // 100 lines counting the empty one after the last line feed.
    EXPECT_EQ(v.lineCount(), 100);
    EXPECT_EQ(v.text(), shown(901, 1000));

    // The character bound drops whole lines, oldest first.
    v.setLimits(100, 50);
    EXPECT_LE(v.charCount(), 50u);
    EXPECT_EQ(v.text(), shown(995, 1000));
    EXPECT_EQ(v.text().size(), v.charCount());

    // One unfinished line longer than the bound keeps its latest characters.
    v.setText("");
    for (int i = 0; i < 100; ++i) v.append("0123456789");
    EXPECT_LE(v.charCount(), 50u);
    EXPECT_FALSE(v.text().empty());
    EXPECT_TRUE(std::string("0123456789012345678901234567890123456789012345678901234567890123456789")
                    .find(v.text()) != std::string::npos);
    v.append("\nnext");
    EXPECT_TRUE(v.text().ends_with("\nnext"));
}

TEST(LogView, MillionsOfLinesStayWithinTheBoundInMemoryAndText) {
    cvi::LogView v;
    v.setLimits(5000, 400000);
    const std::string block = numbered(0, 200);
    for (int i = 0; i < 2000; ++i) v.append(block);  // 400,000 lines
    EXPECT_EQ(v.lineCount(), 5000);
    EXPECT_TRUE(v.text().ends_with("line 199\n"));
    EXPECT_LE(v.charCount(), 400000u);
}

TEST(LogView, FollowsTheEndUnlessScrolledBack) {
    cvi::LogView v;
    v.resize(300, 100);
    v.show();
    QScrollBar* bar = v.verticalScrollBar();
    v.append(numbered(0, 50));
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
    v.append(numbered(50, 60));
    EXPECT_EQ(bar->value(), bar->maximum()) << "new lines come into view";

    // Scrolled back, the same lines stay in view while more arrive and old ones go.
    v.setLimits(40, 1000000);
    bar->setValue(5);
    const int top = bar->value();
    QWheelEvent wheel(QPointF(10, 10), v.mapToGlobal(QPoint(10, 10)), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(v.viewport(), &wheel);
    EXPECT_LT(bar->value(), top) << "the wheel scrolls back";
    bar->setValue(10);
    v.append(numbered(60, 65));
    EXPECT_EQ(bar->value(), 5) << "the lines in view stay in view as five old ones go";
    EXPECT_LT(bar->value(), bar->maximum());
}

// Through the panel: appends show at the next flush or read, CR is not shown,
// reset replaces, and the reads agree with each other.
TEST_F(Sim, TrafficBoxesShowAppendsAsTheyWillBeReadBack) {
    run([&] {
        vt::OnUi([] {
            ResetTextBox(panel(), MAINPNL_RECEIVE, "first\r\n");
            SetCtrlVal(panel(), MAINPNL_RECEIVE, "S#118\r\n");
            SetCtrlVal(panel(), MAINPNL_RECEIVE, "half ");
            SetCtrlVal(panel(), MAINPNL_RECEIVE, "line");
        });
        EXPECT_EQ(box(MAINPNL_RECEIVE), "first\nS#118\nhalf line");
        const std::string viaGet = vt::OnUi([] {
            char text[64] = {};
            GetCtrlVal(panel(), MAINPNL_RECEIVE, text, sizeof text);
            return std::string(text);
        });
        EXPECT_EQ(viaGet, "first\nS#118\nhalf line");
        vt::OnUi([] { SetCtrlAttribute(panel(), MAINPNL_RECEIVE, ATTR_CTRL_VAL, "replaced\n"); });
        EXPECT_EQ(box(MAINPNL_RECEIVE), "replaced\n");

        // Many appends between two event passes: the box keeps its bound.
        vt::OnUi([] {
            for (int i = 0; i < 20000; ++i) SetCtrlVal(panel(), MAINPNL_TRANSMIT, "Transmit Error\n");
        });
        const std::string t = box(MAINPNL_TRANSMIT);
        EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 4999);
        EXPECT_TRUE(t.ends_with("Transmit Error\n"));
    });
}

TEST(LogView, SelectedLinesAreCopiedAndFollowTheirTextAsOldLinesGo) {
    cvi::LogView v;
    v.setLimits(10, 1000000);
    v.append(numbered(0, 5));
    EXPECT_EQ(v.selectedText(), "");
    v.selectLines(3, 1);
    EXPECT_EQ(v.selectedText(), "line 1\nline 2\nline 3");
    v.append(numbered(5, 12));  // lines 0 to 2 go
    EXPECT_EQ(v.selectedText(), "line 3") << "what is left of the selection";
    v.selectLines(0, 1000);
    EXPECT_EQ(v.selectedText(), v.text());
    QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
    QApplication::sendEvent(&v, &copy);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), v.text());
    v.setText("new");
    EXPECT_EQ(v.selectedText(), "");
}
