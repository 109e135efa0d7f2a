// The main window as a ringer meets it: its layout at several sizes, the
// bells' LEDs and numbers as drawn, the mouse on the bells, the popup menu,
// start-up without a receiver, and closing.

#include "app/MainForm.h"
#include "app/DelayForm.h"
#include "app/Documentation.h"
#include "app/Widgets.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/gui/Dialogs.h"
#include "platform/gui/Timer.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QUrl>
#include <memory>

namespace {

class MainWindow : public ConsoleTest {
protected:
    // What the window shows now: what was last painted and flushed, not a
    // fresh rendering.
    QImage Shown() const {
        return Form->screen()->grabWindow(Form->winId()).toImage().convertToFormat(QImage::Format_RGB32);
    }
};

QList<TfDelay*> OpenDelayDialogs() {
    QList<TfDelay*> dialogs;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<TfDelay*>(w); d && d->isVisible()) dialogs << d;
    return dialogs;
}

// ---- Layout ------------------------------------------------------------------

struct LayoutCase {
    int Width, Height;
    int LEDWidth, LEDHeight;
    int SecondRowTop;
    int ListenLeft;
};

class Layout : public MainWindow, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(Layout, BellsFollowTheWindowSize) {
    const LayoutCase c = GetParam();
    TfMainform& form = Open();
    form.resize(c.Width, c.Height);
    QCoreApplication::processEvents();
    ASSERT_EQ(form.size(), QSize(c.Width, c.Height));

    for (int n = 1; n <= 16; ++n) {
        const TMMLED* led = form.MMLED(n);
        const int column = (n - 1) % 8;
        const int top = n <= 8 ? 8 : c.SecondRowTop;
        EXPECT_EQ(led->geometry(), QRect(152 + column * (c.LEDWidth + 5), top, c.LEDWidth, c.LEDHeight))
            << "LED " << n;
        // Every number centred on its LED, to the pixel.
        const QRect label = form.Label(n)->geometry();
        EXPECT_LE(std::abs(label.center().x() - led->geometry().center().x()), 1) << "label " << n;
        EXPECT_LE(std::abs(label.center().y() - led->geometry().center().y()), 1) << "label " << n;
    }
    EXPECT_EQ(form.pButtons()->geometry(), QRect(0, c.Height - 47, c.Width, 47));
    EXPECT_EQ(form.bListen()->geometry(), QRect(c.ListenLeft, 3, 169, 39));
    EXPECT_EQ(form.bSequence()->geometry(), QRect(c.Width - 6 - 92, 10, 92, 25));
    EXPECT_EQ(form.cbPort()->geometry(), QRect(25, 12, 97, 21));
    EXPECT_EQ(form.cbDelaysActive()->geometry(), QRect(136, 14, 136, 17));
    EXPECT_EQ(form.Image1()->geometry(), QRect(8, 8, 138, 138));
}

// Halfway values go to the even neighbour: 738 gives 66.5 (66); 400 high
// gives 148.5 (148); 402 gives 149.5 (150).
INSTANTIATE_TEST_SUITE_P(Sizes, Layout,
                         ::testing::Values(LayoutCase{737, 233, 66, 65, 78, 284},
                                           LayoutCase{738, 233, 66, 65, 78, 285},
                                           LayoutCase{741, 233, 67, 65, 78, 286},
                                           LayoutCase{1200, 400, 124, 148, 161, 516},
                                           LayoutCase{1200, 402, 124, 150, 163, 516}));

TEST_F(MainWindow, CannotShrinkBelowItsMinimum) {
    TfMainform& form = Open();
    form.resize(500, 100);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.size(), QSize(737, 233));
}

// ---- LEDs and numbers as drawn -------------------------------------------------

TEST_F(MainWindow, LedLightsWhileItsBellSoundsAndTheNumberShowsAgainAfter) {
    TfMainform& form = Open("[SOUNDFILES]\nBELL5=" + Bell("b.wav").toUtf8() + "\n");
    const QRect led = form.MMLED(5)->geometry();
    const QRect label = form.Label(5)->geometry();
    const QPoint corner = led.topLeft() + QPoint(2, 2);  // clear of the number
    auto darkPixels = [&](const QImage& image) {
        int dark = 0;
        for (int y = label.top(); y <= label.bottom(); ++y)
            for (int x = label.left(); x <= label.right(); ++x) dark += qGray(image.pixel(x, y)) < 60;
        return dark;
    };
    QImage before = Shown();
    EXPECT_EQ(before.pixel(corner), qRgb(128, 128, 128));
    EXPECT_GT(darkPixels(before), 20) << "the number is drawn on the grey LED";

    form.Player1Start(form.Player(5));
    QImage lit = Shown();
    EXPECT_EQ(lit.pixel(corner), qRgb(0, 255, 0));
    EXPECT_EQ(lit.pixel(led.bottomRight() - QPoint(1, 1)), qRgb(0, 255, 0)) << "the whole LED is lit";
    EXPECT_EQ(lit.pixel(form.MMLED(4)->geometry().topLeft() + QPoint(2, 2)), qRgb(128, 128, 128))
        << "its neighbour is not";
    EXPECT_EQ(lit.pixel(led.topRight() + QPoint(3, 0)), before.pixel(led.topRight() + QPoint(3, 0)))
        << "nothing outside the LED changes";

    form.Player1Stop(form.Player(5));
    QImage out = Shown();
    EXPECT_EQ(out.pixel(corner), qRgb(128, 128, 128));
    EXPECT_GT(darkPixels(out), 20) << "the number shows again once the LED is out";
}

TEST_F(MainWindow, LedIsLitExactlyWhileThePlayerIsOpen) {
    const QString file = Bell("b.wav", 150);
    TfMainform& form = Open("[SOUNDFILES]\nBELL2=" + file.toUtf8() + "\n");
    form.Player(2)->Play();
    EXPECT_TRUE(form.Player(2)->IsOpen());
    EXPECT_TRUE(form.MMLED(2)->Enabled());
    ASSERT_TRUE(PumpUntil([&] { return !form.Player(2)->IsOpen(); }));
    EXPECT_FALSE(form.MMLED(2)->Enabled());
}

// ---- The mouse on the bells -------------------------------------------------------

TEST_F(MainWindow, LeftClickOnLedOrNumberPlaysTheBellAtOnceWithoutItsDelay) {
    const QString file = Bell("b.wav", 2000);
    TfMainform& form = Open("[SOUNDFILES]\nBELL7=" + file.toUtf8() + "\n");
    ASSERT_TRUE(form.cbDelaysActive()->isChecked());
    for (QWidget* target : {static_cast<QWidget*>(form.MMLED(7)), static_cast<QWidget*>(form.Label(7))}) {
        QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(3, 3));
        EXPECT_TRUE(form.Player(7)->IsOpen()) << target->objectName().toStdString();
        EXPECT_TRUE(form.MMLED(7)->Enabled());
        EXPECT_FALSE(form.Timer(7)->Enabled());
        form.Player(7)->Stop();
    }
    EXPECT_FALSE(form.Player(6)->IsOpen());
}

TEST_F(MainWindow, ClickDuringAPendingDelaySoundsAtOnceAndTheDelayStillFires) {
    const QString file = Bell("b.wav", 100);
    TfMainform& form = Open("[SOUNDFILES]\nBELL3=" + file.toUtf8() + "\n[DELAY]\nBELL3=400\n");
    form.Play(3);  // a stroke: the delay starts
    ASSERT_TRUE(form.Timer(3)->Enabled());
    QTest::mouseClick(form.MMLED(3), Qt::LeftButton);
    EXPECT_TRUE(form.Player(3)->IsOpen());
    int starts = 1;
    form.Player(3)->OnStart = [&](QObject* s) {
        ++starts;
        form.Player1Start(s);
    };
    ASSERT_TRUE(PumpUntil([&] { return starts == 2; }, 5)) << "the pending delay never played";
    EXPECT_FALSE(form.Timer(3)->Enabled());
}

TEST_F(MainWindow, ShiftClickChoosesTheSoundFileAndStoresIt) {
    const QString first = Bell("first.wav"), second = Bell("second.wav");
    TfMainform& form = Open("[SOUNDFILES]\nBELL4=" + first.toUtf8() + "\n");
    QString offered;
    QString answer;
    TWaveFileChooser previous = TMMWavePlayer::SetWaveFileChooser([&](QString& name) {
        offered = name;
        if (answer.isEmpty()) return false;
        name = answer;
        return true;
    });

    // Cancelled: nothing changes, and a plain click afterwards plays.
    QTest::mouseClick(form.Label(4), Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(offered, first) << "the dialog starts at the bell's file";
    EXPECT_FALSE(form.Player(4)->IsOpen()) << "a Shift+click never plays";
    EXPECT_EQ(form.Player(4)->FileName(), first);
    EXPECT_FALSE(Sandbox->ReadSettings().contains("second.wav"));
    QTest::mouseClick(form.MMLED(4), Qt::LeftButton);
    EXPECT_TRUE(form.Player(4)->IsOpen());
    form.Player(4)->Stop();

    answer = second;
    QTest::mouseClick(form.MMLED(4), Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(form.Player(4)->FileName(), second);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("BELL4=" + second.toUtf8()));
    TMMWavePlayer::SetWaveFileChooser(previous);
}

TEST_F(MainWindow, ChosenFileThatCannotBeLoadedIsReportedAndNothingIsStored) {
    const QString good = Bell("good.wav");
    const QString bad = Sandbox->Dir.file("bad.wav");
    QFile f(bad);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("this is not a wave file at all");
    f.close();
    TfMainform& form = Open("[SOUNDFILES]\nBELL4=" + good.toUtf8() + "\n");
    TWaveFileChooser previous = TMMWavePlayer::SetWaveFileChooser([&](QString& name) {
        name = bad;
        return true;
    });
    QTest::mouseClick(form.MMLED(4), Qt::LeftButton, Qt::ShiftModifier);
    TMMWavePlayer::SetWaveFileChooser(previous);
    ASSERT_EQ(Sandbox->Boxes.Boxes.size(), 1u);
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Text, "Invalid wave file...");
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Caption, "Quorvel 16") << "the standard error report";
    EXPECT_FALSE(Sandbox->ReadSettings().contains("bad.wav"));
}

// The LEDs' area on the screen.
QRect BellsOnScreen(const TfMainform& form) {
    QRect bells;
    for (int n = 1; n <= kBellCount; ++n)
        bells |= QRect(form.mapToGlobal(form.MMLED(n)->pos()), form.MMLED(n)->size());
    return bells;
}

TEST_F(MainWindow, RightClickOpensADelayDialogClearOfTheBellsForEachClick) {
    TfMainform& form = Open("[DELAY]\nBELL5=640\n");
    form.move(30, 40);
    QCursor::setPos(form.mapToGlobal(form.MMLED(5)->geometry().center()));
    QTest::mouseClick(form.Label(5), Qt::RightButton);
    QTest::mouseClick(form.MMLED(5), Qt::RightButton, Qt::ShiftModifier);
    QCoreApplication::processEvents();
    const QList<TfDelay*> dialogs = OpenDelayDialogs();
    ASSERT_EQ(dialogs.size(), 2) << "each right click opens a further dialog";
    const QRect bells = BellsOnScreen(form);
    const QRect bell5(form.mapToGlobal(form.MMLED(5)->pos()), form.MMLED(5)->size());
    for (TfDelay* d : dialogs) {
        EXPECT_EQ(d->BellNum(), 5);
        EXPECT_EQ(d->Label1()->text(), "BELL 5");
        EXPECT_EQ(d->seDelay()->Value(), 640);
        EXPECT_FALSE(d->frameGeometry().intersects(bells)) << "the bells stay in sight";
        EXPECT_GT(d->y(), bells.bottom()) << "below the bells, where there is room";
        EXPECT_TRUE(d->screen()->availableGeometry().contains(d->frameGeometry()));
        EXPECT_LT(std::abs(d->frameGeometry().center().x() - bell5.center().x()), d->width())
            << "near the bell clicked";
        EXPECT_TRUE(d->windowFlags() & Qt::Tool);
        EXPECT_TRUE(d->windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ(d->parentWidget(), &form) << "owned by the main window";
    }
    EXPECT_NE(dialogs[0]->pos(), dialogs[1]->pos()) << "the second does not hide the first";
    EXPECT_FALSE(form.Player(5)->IsOpen()) << "a right click never plays";
    EXPECT_TRUE(form.SetDelay());
    EXPECT_TRUE(form.isEnabled()) << "the main window stays usable";

    // Each "Set" stores its own value and closes its own dialog.
    dialogs[0]->seDelay()->SetValue(700);
    QPointer<TfDelay> first = dialogs[0];
    QTest::mouseClick(dialogs[0]->bSet(), Qt::LeftButton);
    EXPECT_EQ(form.Timer(5)->Interval(), 700u);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("BELL5=700"));
    QTest::mouseClick(dialogs[1]->bSet(), Qt::LeftButton);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("BELL5=640"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull()) << "freed on close";
    EXPECT_TRUE(OpenDelayDialogs().isEmpty());
}

TEST_F(MainWindow, MiddleButtonOnlyClearsTheFlags) {
    const QString file = Bell("b.wav");
    TfMainform& form = Open("[SOUNDFILES]\nBELL1=" + file.toUtf8() + "\n");
    QTest::mousePress(form.MMLED(1), Qt::RightButton, Qt::ShiftModifier);
    QTest::mouseRelease(form.MMLED(1), Qt::RightButton, Qt::ShiftModifier);
    for (TfDelay* d : OpenDelayDialogs()) d->close();
    ASSERT_TRUE(form.SetDelay());
    ASSERT_TRUE(form.SetFile());
    QTest::mouseClick(form.MMLED(1), Qt::MiddleButton);
    EXPECT_FALSE(form.SetDelay());
    EXPECT_FALSE(form.SetFile());
    EXPECT_FALSE(form.Player(1)->IsOpen());
    EXPECT_TRUE(OpenDelayDialogs().isEmpty());
}

TEST_F(MainWindow, BellWithoutAnOutputSaysWhyOnTheStatusLineAndStaysDark) {
    const QString file = Bell("b.wav");
    TfMainform& form = Open("[SOUNDFILES]\nBELL3=" + file.toUtf8() + "\n[DELAY]\nBELL3=50\n");
    WaveOutSettings nowhere;
    nowhere.output = "quorvel-no-such-alsa-device";
    waveOutConfigure(nowhere);

    QTest::mouseClick(form.MMLED(3), Qt::LeftButton);  // a click plays at once
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
    EXPECT_TRUE(form.lOutput()->text().startsWith("no sound: cannot open ALSA quorvel-no-such-alsa-device: "))
        << form.lOutput()->text().toStdString();
    EXPECT_FALSE(form.Player(3)->IsOpen());
    EXPECT_FALSE(form.MMLED(3)->Enabled());

    form.Play(3);  // a stroke: the delay's timer plays it
    ASSERT_TRUE(PumpUntil([&] { return !form.Timer(3)->Enabled(); }, 5));
    PumpFor(20);
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
    EXPECT_FALSE(form.Player(3)->IsOpen());
    EXPECT_FALSE(form.MMLED(3)->Enabled());
}

// ---- The popup menu and the logo ----------------------------------------------------

TEST_F(MainWindow, PopupMenuOpensFromTheLogoWithItsItemsInOrder) {
    TfMainform& form = Open();
    QStringList items;
    for (QAction* a : form.PopupMenu1()->actions()) items << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(items, QStringList({"Setup Selected COM Port", "Receiver Delays...", "Sound Output...",
                                  "Ringing Options...", "Choose Ring...", "Muffles", "-", "Quorvel Website",
                                  "-", "Close"}));

    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10),
                            form.Image1()->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(form.Image1(), &click);
    EXPECT_TRUE(form.PopupMenu1()->isVisible());
    form.PopupMenu1()->hide();

    form.cbPort()->setEditText(QString());
    form.PopupMenu1()->popup(QPoint(0, 0));
    EXPECT_FALSE(form.SetCOMPORT1()->isEnabled()) << "no port to set up";
    form.PopupMenu1()->hide();
    form.cbPort()->setEditText("/dev/ttyS0");
    form.PopupMenu1()->popup(QPoint(0, 0));
    EXPECT_TRUE(form.SetCOMPORT1()->isEnabled());
    form.PopupMenu1()->hide();
}

TEST_F(MainWindow, LogoIsOurPicture) {
    TfMainform& form = Open();
    EXPECT_FALSE(form.Image1()->Picture().isNull());
    const QImage shown = Shown();
    // Something drawn in the logo's square that is not the window's background.
    const QRgb background = shown.pixel(4, 4);
    int differing = 0;
    for (int y = 8; y < 146; y += 4)
        for (int x = 8; x < 146; x += 4) differing += shown.pixel(x, y) != background;
    EXPECT_GT(differing, 100);
}

// ---- Start-up ------------------------------------------------------------------------

TEST_F(MainWindow, WithoutSerialPortsItWarnsAndMarksTheCaption) {
    Sandbox.reset();
    Sandbox = std::make_unique<ConsoleSandbox>(QStringList());
    Sandbox->WriteSettings("[COMPORT]\nFComPort1.DeviceName=/dev/ttyUSB7\n");
    TfMainform& form = Open();
    ASSERT_EQ(Sandbox->Boxes.Boxes.size(), 1u);
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Type, mtWarning);
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Text, "QUORVEL Receiver Not Detected");
    EXPECT_EQ(form.windowTitle(), "Quorvel 16 v1.07   [RECEIVER NOT DETECTED]");
    EXPECT_EQ(form.cbPort()->count(), 0);
    EXPECT_EQ(form.cbPort()->currentText(), "");
    EXPECT_EQ(form.FComPort1()->DeviceName(), "")
        << "stored port settings are not loaded, and no port is guessed";
    form.PopupMenu1()->popup(QPoint(0, 0));
    EXPECT_FALSE(form.SetCOMPORT1()->isEnabled());
    form.PopupMenu1()->hide();
}

TEST_F(MainWindow, StoredPortThatIsGoneStillShowsInTheSelector) {
    TfMainform& form = Open("[COMPORT]\nFComPort1.DeviceName=/dev/ttyUSB7\n");
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
    EXPECT_EQ(form.windowTitle(), "Quorvel 16 v1.07");
    EXPECT_EQ(form.cbPort()->count(), 1);
    EXPECT_EQ(form.cbPort()->currentText(), "/dev/ttyUSB7");
    EXPECT_EQ(form.FComPort1()->DeviceName(), "/dev/ttyUSB7");
    EXPECT_EQ(form.bListen()->text(), "START LISTENING");
    EXPECT_FALSE(form.FComPort1()->GetActive()) << "the port stays closed until the ringer starts listening";
}

// ---- Closing -------------------------------------------------------------------------

TEST_F(MainWindow, CloseWhileABellSoundsWaitsWithoutAMessageAndClosesAfter) {
    const QString file = Bell("b.wav", 250);
    TfMainform& form = Open("[SOUNDFILES]\nBELL8=" + file.toUtf8() + "\n");
    form.setGeometry(50, 120, 737, 233);
    form.Player(8)->Play();
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty()) << "refused without a message";
    EXPECT_FALSE(Sandbox->ReadSettings().contains("[Position]"));

    ASSERT_TRUE(PumpUntil([&] { return !form.isVisible(); })) << "the window stayed after the bell";
    EXPECT_FALSE(form.Player(8)->IsOpen());
    const QByteArray settings = Sandbox->ReadSettings();
    EXPECT_TRUE(settings.contains("Left=50\nTop=120\nWidth=737\nHeight=233")) << settings.toStdString();
    EXPECT_EQ(form.Inifile(), nullptr) << "released on close";
}

TEST_F(MainWindow, CloseFromTheMenuStopsTheBellsAndCloses) {
    const QString file = Bell("b.wav", 3000);
    TfMainform& form = Open("[SOUNDFILES]\nBELL1=" + file.toUtf8() + "\nBELL16=" + file.toUtf8() + "\n");
    form.Player(1)->Play();
    form.Player(16)->Play();
    form.Close1()->trigger();
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Player(1)->IsOpen());
    EXPECT_FALSE(form.Player(16)->IsOpen());
    EXPECT_FALSE(form.MMLED(1)->Enabled());
    EXPECT_TRUE(Sandbox->ReadSettings().contains("[Position]"));
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
}

TEST_F(MainWindow, StoredPositionIsRestoredWhenShown) {
    TfMainform& form = Open("[Position]\nLeft=40\nTop=60\nWidth=750\nHeight=300\n");
    EXPECT_EQ(form.geometry(), QRect(40, 60, 750, 300));
    EXPECT_EQ(form.MMLED(1)->width(), 68);  // (750 - 142) / 8 - 8 = 68
}

TEST_F(MainWindow, PositionIsKeptOverStartsAndCloses) {
    Sandbox->WriteSettings("[Position]\nLeft=23\nTop=77\nWidth=760\nHeight=250\n");
    for (int start = 1; start <= 3; ++start) {
        TfMainform& form = Open();
        EXPECT_EQ(form.geometry(), QRect(23, 77, 760, 250)) << "start " << start;
        EXPECT_TRUE(form.close());
        Form.reset();
        EXPECT_TRUE(Sandbox->ReadSettings().contains("Left=23\nTop=77\nWidth=760\nHeight=250"))
            << "start " << start << ":\n"
            << Sandbox->ReadSettings().toStdString();
    }
}

struct OffScreen {
    const char* Name;
    QByteArray Position;
};

void PrintTo(const OffScreen& o, std::ostream* os) {
    *os << o.Name;
}

class StoredOffScreen : public MainWindow, public ::testing::WithParamInterface<OffScreen> {};

TEST_P(StoredOffScreen, ComesBackWhollyOntoTheScreen) {
    TfMainform& form = Open("[Position]\n" + GetParam().Position);
    const QRect available = form.screen()->availableGeometry();
    EXPECT_TRUE(available.contains(form.frameGeometry())) << form.frameGeometry() << " on " << available;
    EXPECT_EQ(form.size(), QSize(737, 233)) << "the size is kept where it fits";
}

INSTANTIATE_TEST_SUITE_P(
    Places, StoredOffScreen,
    ::testing::Values(OffScreen{"FarDownLeft", "Left=-5000\nTop=99999\nWidth=737\nHeight=233\n"},
                      OffScreen{"AboveRight", "Left=5000\nTop=-300\nWidth=737\nHeight=233\n"},
                      OffScreen{"HalfOffTheRight", "Left=700\nTop=100\nWidth=737\nHeight=233\n"},
                      OffScreen{"Corrupt", "Left=2147483647\nTop=-2147483648\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

// Typing straight after the right click sets the delay; no digit strikes a bell.
TEST_F(MainWindow, ADelayDialogTakesTheKeyboardWithItsValueSelected) {
    TfMainform& form = Open("[DELAY]\nBELL4=640\n");
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QTest::mouseClick(form.MMLED(4), Qt::RightButton);
    const QList<TfDelay*> dialogs = OpenDelayDialogs();
    ASSERT_EQ(dialogs.size(), 1);
    TfDelay* dialog = dialogs[0];
    // (A tool window counts as active while its owner is: wait for the keyboard.)
    ASSERT_TRUE(PumpUntil(
        [&] { return QApplication::focusWidget() && QApplication::focusWidget()->window() == dialog; }, 10));
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    EXPECT_TRUE(focus == dialog->seDelay() || dialog->seDelay()->isAncestorOf(focus))
        << focus->objectName().toStdString() << " in " << focus->window()->objectName().toStdString();
    auto* edit = dialog->seDelay()->findChild<QLineEdit*>();
    EXPECT_EQ(edit->selectedText(), "640") << "the number, without its unit";
    QTest::keyClicks(focus, "350");
    EXPECT_EQ(dialog->seDelay()->Value(), 350);
    for (int n = 1; n <= kBellCount; ++n)
        EXPECT_FALSE(form.Timer(n)->Enabled() || form.Player(n)->IsOpen()) << "bell " << n << " was struck";
    QTest::keyClick(focus, Qt::Key_Return);
    EXPECT_EQ(form.Timer(4)->Interval(), 350u);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("BELL4=350"));
}

struct PlaceCase {
    const char* Name;
    QRect Screen;
    QRect Window;  // frame included; the bells lie in it as on the window
    QPoint Expected;
};

class DelayDialogPlace : public ::testing::TestWithParam<PlaceCase> {};

// Below the bells, else above the window, else beside it, else by the cursor.
TEST_P(DelayDialogPlace, NearTheBellAndClearOfTheBells) {
    const QRect screen = GetParam().Screen;
    const QSize dialog(200, 150);
    const QRect window = GetParam().Window;
    const QRect bells(window.left() + 152, window.top() + 8, 563, 135);
    const QRect bell(bells.left() + 4 * 71, bells.top(), 65, 65);  // bell 5
    const QPoint at = TfDelay::Place(bells, bell, window, screen, dialog, bell.center());
    EXPECT_EQ(at, GetParam().Expected);
    EXPECT_TRUE(screen.contains(QRect(at, dialog)));
    if (std::string_view(GetParam().Name) != "Cursor") {
        EXPECT_FALSE(QRect(at, dialog).intersects(bells));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Screen, DelayDialogPlace,
    ::testing::Values(
        // centred under bell 5 (its centre at x 498), 6 below the bells
        PlaceCase{"Below", QRect(0, 0, 1000, 700), QRect(30, 40, 737, 233), QPoint(398, 189)},
        // no room below: above the window
        PlaceCase{"Above", QRect(0, 0, 1000, 700), QRect(30, 460, 737, 233), QPoint(398, 304)},
        // a low screen: to the window's right, level with the bell
        PlaceCase{"Right", QRect(0, 0, 1000, 300), QRect(30, 40, 737, 233), QPoint(773, 5)},
        // and with the window at the right edge: to its left
        PlaceCase{"Left", QRect(0, 0, 1000, 300), QRect(250, 40, 737, 233), QPoint(44, 5)},
        // no room anywhere: beside the cursor, on the screen
        PlaceCase{"Cursor", QRect(0, 0, 1000, 300), QRect(100, 40, 737, 233), QPoint(588, 100)}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- Tooltips and keys ------------------------------------------------------------

TEST_F(MainWindow, BellsAndLogoSayWhatTheMouseDoes) {
    TfMainform& form = Open();
    for (int n = 1; n <= kBellCount; ++n) {
        EXPECT_EQ(
            form.MMLED(n)->toolTip(),
            "Click: ring, Shift+click: choose its sound, right click: its delay, Ctrl+click: its volume and "
            "muffle");
        EXPECT_EQ(form.Label(n)->toolTip(), form.MMLED(n)->toolTip());
    }
    const QString logo = form.Image1()->toolTip();
    EXPECT_TRUE(logo.contains("Right click") && logo.contains("menu")) << logo.toStdString();
    EXPECT_TRUE(logo.contains("Shift+F10") && logo.contains("Menu key")) << logo.toStdString();
}

class MenuKeys : public MainWindow, public ::testing::WithParamInterface<QKeyCombination> {};

// Shift+F10 and the Menu key open the logo's menu beside the logo, wherever
// the keyboard is on the window.
TEST_P(MenuKeys, OpenTheLogosMenuBesideTheLogo) {
    TfMainform& form = Open();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    for (QWidget* focus : {static_cast<QWidget*>(&form), static_cast<QWidget*>(form.cbPort())}) {
        focus->setFocus();
        QTest::keyClick(QApplication::focusWidget(), GetParam().key(), GetParam().keyboardModifiers());
        ASSERT_TRUE(PumpUntil([&] { return form.PopupMenu1()->isVisible(); }, 5))
            << focus->objectName().toStdString();
        const QPoint logoCorner = form.Image1()->mapToGlobal(QPoint(form.Image1()->width(), 0));
        EXPECT_LE((form.PopupMenu1()->pos() - logoCorner).manhattanLength(), 2);
        form.PopupMenu1()->close();
    }
    EXPECT_FALSE(form.Timer(1)->Enabled()) << "no key strikes a bell";
}

INSTANTIATE_TEST_SUITE_P(Keys, MenuKeys,
                         ::testing::Values(QKeyCombination(Qt::ShiftModifier, Qt::Key_F10),
                                           QKeyCombination(Qt::NoModifier, Qt::Key_Menu)),
                         [](const auto& info) {
                             return info.param.key() == Qt::Key_Menu ? "Menu" : "ShiftF10";
                         });

// Ctrl+Q is the window's close button: refused while a bell sounds.
TEST_F(MainWindow, CtrlQClosesAsTheCloseButtonDoes) {
    const QString file = Bell("b.wav", 20000);
    TfMainform& form = Open("[SOUNDFILES]\nBELL2=" + file.toUtf8() + "\n");
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.Player(2)->Play();
    QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(form.isVisible()) << "refused while bell 2 sounds";
    EXPECT_TRUE(form.Player(2)->IsOpen()) << "and the bell sounds on";
    form.Player(2)->Stop();
    QTest::keyClick(&form, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(Sandbox->ReadSettings().contains("[Position]")) << "closed as the close button closes";
}

// ---- "Quorvel Website" --------------------------------------------------------------

class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void Open(const QUrl& url) { Urls << url; }

public:
    QList<QUrl> Urls;
};

struct WebsiteCase {
    const char* Name;
    const char* Site;    // the build's web site, "" for none
    bool Readme;         // README.html is where the program looks
    bool Browser;        // something opens what it is given
    const char* Opened;  // "site", "readme" or "" (nothing)
    const char* Box;     // what the warning says, "" for no box
};

class Website : public MainWindow, public ::testing::WithParamInterface<WebsiteCase> {
protected:
    void TearDown() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        SetProductWebsite(QString());
        SetDocumentationFolder(QString());
        MainWindow::TearDown();
    }
    UrlCatcher Catcher;
};

TEST_P(Website, OpensTheSiteElseTheReadmeAndSaysWhenNothingOpens) {
    const WebsiteCase c = GetParam();
    const QString docs = Sandbox->Dir.file(QStringLiteral("share/doc/quorvel16"));
    ASSERT_TRUE(QDir().mkpath(docs));
    const QString readme = docs + QStringLiteral("/README.html");
    if (c.Readme) {
        QFile f(readme);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("<html><body>Quorvel 16</body></html>");
    }
    SetDocumentationFolder(docs);
    SetProductWebsite(QString::fromLatin1(c.Site));
    if (c.Browser) {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &Catcher, "Open");
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &Catcher, "Open");
    }
    TfMainform& form = Open();
    form.QuorvelWebsite1()->trigger();

    const std::string opened = c.Opened;
    if (opened.empty()) {
        EXPECT_TRUE(Catcher.Urls.isEmpty());
    } else {
        ASSERT_EQ(Catcher.Urls.size(), 1);
        EXPECT_EQ(Catcher.Urls[0],
                  opened == "site" ? QUrl(QString::fromLatin1(c.Site)) : QUrl::fromLocalFile(readme));
    }
    if (*c.Box == 0) {
        EXPECT_TRUE(Sandbox->Boxes.Boxes.empty()) << BoxTexts().front().toStdString();
    } else {
        ASSERT_EQ(Sandbox->Boxes.Boxes.size(), 1u);
        EXPECT_EQ(Sandbox->Boxes.Boxes[0].Type, mtWarning);
        EXPECT_TRUE(Sandbox->Boxes.Boxes[0].Text.contains(QString::fromLatin1(c.Box)))
            << Sandbox->Boxes.Boxes[0].Text.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Choices, Website,
    ::testing::Values(
        WebsiteCase{"NoSiteOpensTheReadme", "", true, true, "readme", ""},
        WebsiteCase{"ASiteOpensTheSite", "https://bells.example.net/q16", true, true, "site", ""},
        WebsiteCase{"NoSiteNoReadmeSaysWhereItLooked", "", false, true, "", "(README.html) is not in"},
        WebsiteCase{"NoBrowserSaysSo", "", true, false, "", "No web browser could be started to show"},
        WebsiteCase{"NoBrowserForTheSiteSaysSo", "https://bells.example.net/q16", false, false, "",
                    "https://bells.example.net/q16"}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace

#include "mainform_test.moc"
