#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    // The panel's widgets are real, drawn offscreen; no display is needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
