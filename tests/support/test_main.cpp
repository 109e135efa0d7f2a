#include <gtest/gtest.h>
#include <QApplication>

// Every test program runs with a real QApplication on the offscreen platform,
// set here because test discovery runs the binary outside CTest's environment.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
