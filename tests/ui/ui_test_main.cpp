#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

// The views need a QApplication on the test's thread. Without a display they draw
// offscreen; the screenshot test starts its own X server for its child process.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
