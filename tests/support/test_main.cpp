#include <gtest/gtest.h>
#include <QApplication>

// Every test program runs with a real QApplication on the offscreen platform,
// set here because test discovery runs the binary outside CTest's environment.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // A test folder may give the offscreen platform its options (its screens).
    if (!qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QLatin1String("offscreen:")))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
