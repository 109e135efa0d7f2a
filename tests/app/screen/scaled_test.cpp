// The window on a laptop's 1280x800 screen at a scale factor of 2 (640x400
// device-independent pixels, set by this folder's CMakeLists): every bell
// and button on the screen.

#include "app/MainForm.h"
#include "controls/MMLED.h"
#include "tests/support/ConsoleKit.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>

namespace {

class Scaled : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        QScreen* screen = QGuiApplication::primaryScreen();
        ASSERT_EQ(screen->geometry(), QRect(0, 0, 640, 400))
            << "run through CTest: the screen is set by the test's environment";
        ASSERT_EQ(screen->devicePixelRatio(), 2.0);
    }

    // Whether all of Widget lies on the screen.
    static bool OnScreen(const QWidget* Widget) {
        const QRect global(Widget->mapToGlobal(QPoint(0, 0)), Widget->size());
        return QGuiApplication::primaryScreen()->geometry().contains(global);
    }
};

TEST_F(Scaled, EveryBellAndButtonIsOnTheScreen) {
    // The stored size and place as the window was closed on a larger screen.
    for (const QByteArray& stored :
         {QByteArray(), QByteArray("[Position]\nLeft=100\nTop=100\nWidth=737\nHeight=233\n"),
          QByteArray("[Position]\nLeft=900\nTop=50\nWidth=1200\nHeight=700\n")}) {
        TfMainform& form = Open(stored);
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_TRUE(available.contains(form.frameGeometry()))
            << stored.constData() << " the window lies at " << form.frameGeometry();
        EXPECT_LE(form.minimumWidth(), available.width());
        EXPECT_LE(form.minimumHeight(), available.height());
        for (int n = 1; n <= kBellCount; ++n) {
            EXPECT_TRUE(OnScreen(form.MMLED(n))) << "bell " << n << " at " << stored.constData();
            EXPECT_GT(form.MMLED(n)->width(), 20) << "bell " << n;
        }
        for (const QWidget* w : std::initializer_list<const QWidget*>{form.bSequence(), form.bListen(),
                                                                      form.cbPort(), form.cbDelaysActive()})
            EXPECT_TRUE(OnScreen(w)) << w->objectName().toStdString() << " at " << stored.constData();
        // The listen button leaves "Delays Active" readable.
        EXPECT_GE(form.bListen()->x(),
                  form.cbDelaysActive()->x() + form.cbDelaysActive()->sizeHint().width());
        EXPECT_LE(form.bListen()->geometry().right(), form.bSequence()->x());
        Form.reset();
    }
}

}  // namespace
