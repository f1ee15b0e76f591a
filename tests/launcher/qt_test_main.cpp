#include <gtest/gtest.h>

#include <QApplication>

// The launcher's window tests run on Qt's offscreen platform: no display is needed, and the
// window is still a real Qt window with real layout, fonts and events.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
