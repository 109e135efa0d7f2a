// Strokes from the keyboard, as a captain tests a ring without the sensor:
// the window's own players play to the capture output, keys go to the
// window the way the platform delivers them, and what was heard is judged:
// which bells, how often and when.

#include "app/MainForm.h"
#include "controls/MMLED.h"
#include "platform/profile/IniFile.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace {

constexpr double kToleranceMs = 20.0;

// A bell of the test ring: its key, its delay and its sound's code.
struct KeyBell {
    int Bell;
    int DelayMs;
};

// A bell heard, due a delay after the key that struck it was handled.
struct Due {
    int Bell;
    std::int64_t KeyNs;
    int AfterMs;
};

class KeyStrokes : public ::testing::Test, protected CaptureFixture {
protected:
    void SetUp() override { StartCapture(128, 48000); }
    void TearDown() override { Form.reset(); }

    // The window over bells of their own sound each, SoundMs long, with
    // "Delays Active" as given; the window active, as a person finds it.
    void Open(const std::vector<KeyBell>& Bells, bool DelaysActive, int SoundMs = 150) {
        QByteArray settings = "[SOUNDFILES]\n";
        QByteArray delays = "[DELAY]\n";
        for (const KeyBell& b : Bells) {
            const int code = int(CodeOf.size());
            ASSERT_LT(code, kCodeCount);
            CodeOf[b.Bell] = code;
            const QString file =
                MakeCodedBell(Sandbox->Dir.file(QStringLiteral("bell%1.wav").arg(b.Bell)), code, SoundMs);
            settings += "BELL" + QByteArray::number(b.Bell) + "=" + file.toUtf8() + "\n";
            delays += "BELL" + QByteArray::number(b.Bell) + "=" + QByteArray::number(b.DelayMs) + "\n";
            LongestMs = std::max(LongestMs, b.DelayMs + SoundMs);
        }
        Sandbox->WriteSettings(settings + delays);
        Form = std::make_unique<TfMainform>();
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
        ASSERT_TRUE(Sandbox->Boxes.Boxes.empty()) << Sandbox->Boxes.Boxes[0].Text.toStdString();
        Form->cbDelaysActive()->setChecked(DelaysActive);
    }

    // Presses and lets go of a key on the active window; when it was handled.
    std::int64_t Key(char C, Qt::KeyboardModifiers Modifiers = Qt::NoModifier) {
        const std::int64_t now = waveOutNowNs();
        QTest::keyClick(Form->windowHandle(), C, Modifiers);
        return now;
    }

    // Every LED lit exactly while its bell sounds; the ones lit noted.
    void CheckLeds() {
        for (int n = 1; n <= kBellCount; ++n) {
            EXPECT_EQ(Form->MMLED(n)->Enabled(), Form->Player(n)->IsOpen()) << "LED " << n;
            if (Form->MMLED(n)->Enabled()) Lit.insert(n);
        }
    }

    // Handles the window's messages for a while, watching the LEDs.
    void Wait(int Milliseconds) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
        PumpUntil([&] {
            CheckLeds();
            return std::chrono::steady_clock::now() > until;
        });
    }

    // Lets the bells ring out, watching the LEDs; then ends the capture and
    // decodes it.
    std::vector<Onset> RingOut() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(LongestMs + 300);
        const bool stopped = PumpUntil([&] {
            CheckLeds();
            return std::chrono::steady_clock::now() > until && Form->AllStopped();
        });
        EXPECT_TRUE(stopped) << "bells never stopped";
        Clock = OutputClock::Now();
        Form.reset();
        Mix = FinishCapture();
        return Onsets(Mix);
    }

    int BellOfCode(int Code) const {
        for (const auto& [bell, code] : CodeOf)
            if (code == Code) return bell;
        return 0;
    }

    std::string Describe(const std::vector<Onset>& Heard) const {
        std::ostringstream s;
        for (const Onset& o : Heard) s << " bell " << BellOfCode(o.Code) << " at frame " << o.Frame << ";";
        return s.str();
    }

    // Exactly these bells heard, in this order, each on time.
    void ExpectHeard(const std::vector<Onset>& Heard, const std::vector<Due>& Expected) {
        ASSERT_EQ(Heard.size(), Expected.size()) << "heard:" << Describe(Heard);
        for (std::size_t i = 0; i < Expected.size(); ++i) {
            const Due& d = Expected[i];
            EXPECT_EQ(BellOfCode(Heard[i].Code), d.Bell) << "onset " << i << "; heard:" << Describe(Heard);
            const double errorMs =
                Clock.Ms(double(Heard[i].Frame) - Clock.FrameOf(d.KeyNs + std::int64_t(d.AfterMs) * 1000000));
            EXPECT_LE(std::abs(errorMs), kToleranceMs) << "bell " << d.Bell << " due " << d.AfterMs
                                                       << " ms after its key came " << errorMs << " ms off";
        }
    }

    std::unique_ptr<ConsoleSandbox> Sandbox = std::make_unique<ConsoleSandbox>();
    std::unique_ptr<TfMainform> Form;
    std::map<int, int> CodeOf;
    std::set<int> Lit;
    int LongestMs = 0;
    OutputClock Clock;
    Capture Mix;
};

TEST_F(KeyStrokes, KeysStrikeAtOnceWithoutDelaysLettersInEitherCase) {
    Open({{1, 300}, {10, 300}, {11, 300}, {12, 300}, {13, 300}, {16, 300}}, false, 120);
    if (HasFatalFailure()) return;
    std::vector<Due> due;
    const std::pair<char, int> keys[] = {{'1', 1}, {'0', 10}, {'e', 11}, {'T', 12}, {'a', 13}, {'D', 16}};
    for (const auto& [key, bell] : keys) {
        // Capitals as a person types them, with Shift.
        const bool capital = key >= 'A' && key <= 'Z';
        due.push_back({bell, Key(key, capital ? Qt::ShiftModifier : Qt::NoModifier), 0});
        Wait(70);
    }
    ExpectHeard(RingOut(), due);
    EXPECT_EQ(Lit, (std::set<int>{1, 10, 11, 12, 13, 16}));
}

TEST_F(KeyStrokes, KeysWaitTheirBellsDelay) {
    Open({{3, 300}, {5, 150}}, true);
    if (HasFatalFailure()) return;
    const std::int64_t three = Key('3');
    Wait(40);
    const std::int64_t five = Key('5');
    ExpectHeard(RingOut(), {{5, five, 150}, {3, three, 300}});
}

// As from the receiver: a second stroke during the delay sounds the bell at
// once, and only then.
TEST_F(KeyStrokes, AKeyDuringItsBellsDelaySoundsItAtOnce) {
    Open({{4, 400}}, true);
    if (HasFatalFailure()) return;
    Key('4');
    Wait(150);
    const std::int64_t second = Key('4');
    ExpectHeard(RingOut(), {{4, second, 0}});
}

// The keyboard repeats a held key (each repeat a release and a press marked
// as repeats, as X sends them): the bell is struck once per press, never by
// a repeat.
TEST_F(KeyStrokes, AHeldKeyIsOneStroke) {
    Open({{3, 300}}, false, 400);
    if (HasFatalFailure()) return;
    QWindow* window = Form->windowHandle();
    const std::int64_t pressed = waveOutNowNs();
    QTest::simulateEvent(window, true, Qt::Key_3, Qt::NoModifier, QStringLiteral("3"), false);
    for (int i = 0; i < 8; ++i) {
        Wait(30);
        QTest::simulateEvent(window, false, Qt::Key_3, Qt::NoModifier, QStringLiteral("3"), true);
        QTest::simulateEvent(window, true, Qt::Key_3, Qt::NoModifier, QStringLiteral("3"), true);
    }
    QTest::simulateEvent(window, false, Qt::Key_3, Qt::NoModifier, QStringLiteral("3"), false);
    Wait(250);
    const std::int64_t again = Key('3');
    ExpectHeard(RingOut(), {{3, pressed, 0}, {3, again, 0}});
}

// Typing in the port selector edits the port's name as before and strikes
// nothing; once the keyboard has moved on (Tab), the same key strikes.
TEST_F(KeyStrokes, TypingInThePortSelectorStrikesNothing) {
    Open({{3, 300}, {11, 300}}, false);
    if (HasFatalFailure()) return;
    QComboBox* port = Form->cbPort();
    QTest::mouseClick(port->lineEdit(), Qt::LeftButton);
    ASSERT_TRUE(port->isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == port);
    port->lineEdit()->selectAll();
    for (char c : {'/', 'd', 'e', 'v', '/', 't', 't', 'y', 'E', '3'})
        QTest::keyClick(Form->windowHandle(), c, c == 'E' ? Qt::ShiftModifier : Qt::NoModifier);
    EXPECT_EQ(port->currentText(), "/dev/ttyE3");
    EXPECT_EQ(TIniFile(Sandbox->SettingsFile()).ReadString("COMPORT", "FComPort1.DeviceName", ""),
              "/dev/ttyE3");
    Wait(100);

    QTest::keyClick(Form->windowHandle(), Qt::Key_Tab);
    ASSERT_FALSE(port->isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == port);
    const std::int64_t struck = Key('3');
    EXPECT_EQ(port->currentText(), "/dev/ttyE3") << "the stroke went into the selector too";
    ExpectHeard(RingOut(), {{3, struck, 0}});
    EXPECT_EQ(Lit, std::set<int>{3});
}

// A click on a bell (which plays it) takes the keyboard back from the port
// selector: the keys strike again.
TEST_F(KeyStrokes, AClickOnABellTakesTheKeyboardFromThePortSelector) {
    Open({{3, 300}, {5, 300}}, false);
    if (HasFatalFailure()) return;
    QComboBox* port = Form->cbPort();
    QTest::mouseClick(port->lineEdit(), Qt::LeftButton);
    ASSERT_TRUE(port->isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == port);
    const std::int64_t clicked = waveOutNowNs();
    QTest::mouseClick(Form->MMLED(5), Qt::LeftButton);
    EXPECT_FALSE(port->isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == port);
    Wait(50);
    const std::int64_t struck = Key('3');
    ExpectHeard(RingOut(), {{5, clicked, 0}, {3, struck, 0}});
}

// Keys with Ctrl or Alt are shortcuts, not strokes.
TEST_F(KeyStrokes, ShortcutsStrikeNothing) {
    Open({{3, 300}, {11, 300}}, false);
    if (HasFatalFailure()) return;
    Key('3', Qt::ControlModifier);
    Key('e', Qt::AltModifier);
    Key('3', Qt::ControlModifier | Qt::ShiftModifier);
    Wait(100);
    const std::int64_t struck = Key('e');
    ExpectHeard(RingOut(), {{11, struck, 0}});
    EXPECT_EQ(Lit, std::set<int>{11});
}

// The window as it opens takes strokes from the keyboard at once: the port
// selector does not have the keyboard until it is clicked or tabbed to.
TEST_F(KeyStrokes, AFreshWindowTakesKeysAtOnce) {
    Open({{7, 300}}, true);
    if (HasFatalFailure()) return;
    QWidget* focus = QApplication::focusWidget();
    EXPECT_FALSE(focus && (focus == Form->cbPort() || Form->cbPort()->isAncestorOf(focus)))
        << focus->objectName().toStdString() << " " << focus->metaObject()->className();
    const std::int64_t struck = Key('7');
    ExpectHeard(RingOut(), {{7, struck, 300}});
}

}  // namespace
