// The sound output as the window shows it: the demo ring on a first start,
// an output that cannot open or is switched while the window runs (judged
// by what a capture heard), failures said once instead of at every stroke,
// bells without a sound, and a close that waits for the last bell.

#include "app/DemoRing.h"
#include "app/MainForm.h"
#include "app/SoundOutputForm.h"
#include "app/Widgets.h"
#include "controls/MMLED.h"
#include "platform/gui/Timer.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>

namespace {

constexpr std::int64_t kFramesPerMs = 48;

// ---- Where the demo ring is found ------------------------------------------------------

struct RingPlace {
    const char* Name;
    std::vector<const char*> Rings;  // folders holding bell01.wav, below the root
    const char* Program;             // the program's folder, below the root
    const char* Found;               // expected, below the root; "" none
};
void PrintTo(const RingPlace& P, std::ostream* Os) {
    *Os << P.Name;
}

class DemoRingPlace : public ::testing::TestWithParam<RingPlace> {};

TEST_P(DemoRingPlace, IsFoundBesideTheProgram) {
    const RingPlace p = GetParam();
    TempDir root;
    QDir().mkpath(root.file(QString::fromLatin1(p.Program)));
    for (const char* ring : p.Rings) {
        const QString folder = root.file(QString::fromLatin1(ring));
        QDir().mkpath(folder);
        MakeCodedBell(DemoRingFile(folder, 1), 0, 10);
    }
    const QString found = DemoRingFolder(root.file(QString::fromLatin1(p.Program)));
    EXPECT_EQ(found, *p.Found ? QDir::cleanPath(root.file(QString::fromLatin1(p.Found))) : QString());
}

INSTANTIATE_TEST_SUITE_P(
    DemoRing, DemoRingPlace,
    ::testing::Values(
        RingPlace{"Installed", {"usr/share/quorvel16/bells"}, "usr/bin", "usr/share/quorvel16/bells"},
        RingPlace{"BuildTree", {"build/resources/bells"}, "build/app", "build/resources/bells"},
        RingPlace{"InstalledFirst",
                  {"x/share/quorvel16/bells", "x/resources/bells"},
                  "x/bin",
                  "x/share/quorvel16/bells"},
        RingPlace{"None", {}, "usr/bin", ""},
        RingPlace{"ElsewhereOnly", {"opt/share/quorvel16/bells"}, "usr/bin", ""}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(DemoRing, FilesAreNamedByTheirBell) {
    EXPECT_EQ(DemoRingFile("/r", 1), "/r/bell01.wav");
    EXPECT_EQ(DemoRingFile("/r", 16), "/r/bell16.wav");
}

// ---- The window over a capture -----------------------------------------------------------

class OutputTest : public ConsoleTest, protected CaptureFixture {
protected:
    void TearDown() override {
        ConsoleTest::TearDown();
        TfMainform::SetDemoRingFolder(FOldDemo);
        TfSoundOutput::SetHintLister(FOldHints);
    }

    // A demo ring of coded bells: bell n plays code (n - 1) % 6 for Ms.
    void DemoRing(int Ms = 200) {
        const QString folder = CaptureFixture::Dir.file(QStringLiteral("demo"));
        QDir().mkpath(folder);
        for (int n = 1; n <= kBellCount; ++n)
            MakeCodedBell(DemoRingFile(folder, n), (n - 1) % kCodeCount, Ms);
        FOldDemo = TfMainform::SetDemoRingFolder(folder);
    }

    void Click(int Bell) { QTest::mouseClick(Form->MMLED(Bell), Qt::LeftButton); }
    void WaitQuiet() {
        ASSERT_TRUE(PumpUntil([&] { return Form->AllStopped(); }, 20)) << "a bell never ended";
    }
    QString Status() const { return Form->lOutput()->text(); }

    void Hints(std::vector<WaveOutHint> List) {
        FOldHints = TfSoundOutput::SetHintLister([List] { return List; });
    }

    // "Sound Output...", the entry of Output, OK: as a person does.
    void Choose(const QString& Output) {
        Form->SoundOutput1()->trigger();
        QPointer<TfSoundOutput> dialog = Form->findChild<TfSoundOutput*>();
        ASSERT_TRUE(dialog);
        QListWidget* list = dialog->lbOutputs();
        int row = -1;
        for (int i = 0; i < list->count(); ++i)
            if (list->item(i)->data(Qt::UserRole).toString() == Output) row = i;
        ASSERT_GE(row, 0) << Output.toStdString() << " is not listed";
        list->setCurrentRow(row);
        QTest::mouseClick(dialog->bOK(), Qt::LeftButton);
        ASSERT_TRUE(PumpUntil([&] { return dialog.isNull(); }, 5)) << "the dialog stayed";
    }

    QString FOldDemo;
    TfSoundOutput::THintLister FOldHints;
};

// ---- 1. The demo ring on a first start -------------------------------------------------

struct FirstStart {
    const char* Name;
    const char* Settings;  // nullptr: no settings file at all
};
void PrintTo(const FirstStart& F, std::ostream* Os) {
    *Os << F.Name;
}

class DemoRingOnFirstStart : public OutputTest, public ::testing::WithParamInterface<FirstStart> {};

TEST_P(DemoRingOnFirstStart, AClickSoundsTheDemoBellAndNothingIsStored) {
    DemoRing(150);
    StartCapture();
    const char* settings = GetParam().Settings;
    Open(settings ? QByteArray(settings) : QByteArray());
    const QByteArray before = Sandbox->ReadSettings();
    EXPECT_TRUE(Form->PlayingDemoRing());
    EXPECT_TRUE(Status().contains("demo ring")) << Status().toStdString();
    for (int n = 1; n <= kBellCount; ++n) EXPECT_TRUE(Form->HasSound(n)) << "bell " << n;

    Click(3);  // code 2
    WaitQuiet();
    Click(8);  // code 1
    WaitQuiet();
    const Capture heard = FinishCapture();
    const std::vector<Onset> onsets = Onsets(heard);
    ASSERT_EQ(onsets.size(), 2u);
    EXPECT_EQ(onsets[0].Code, 2);
    EXPECT_EQ(onsets[1].Code, 1);
    EXPECT_EQ(FramesSounding(heard, 2), 150 * kFramesPerMs) << "bell 3 not heard whole";
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
    // Played, not remembered.
    EXPECT_EQ(Sandbox->ReadSettings(), before);
}

INSTANTIATE_TEST_SUITE_P(OutputTest, DemoRingOnFirstStart,
                         ::testing::Values(FirstStart{"NoSettingsFile", nullptr},
                                           FirstStart{
                                               "SettingsWithoutSounds",
                                               "[DELAY]\nBELL3=100\n[COMPORT]\nFComPort1.BaudRate=br9600\n"},
                                           FirstStart{"EmptySoundNames", "[SOUNDFILES]\nBELL1=\nBELL2=  \n"}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(OutputTest, OneBellNamedKeepsTheOthersSilentAndShowsThem) {
    DemoRing(150);
    StartCapture();
    const QString own = MakeCodedBell(Sandbox->Dir.file(QStringLiteral("own.wav")), 4, 150);
    Open("[SOUNDFILES]\nBELL2=" + own.toUtf8() + "\n");
    EXPECT_FALSE(Form->PlayingDemoRing());
    EXPECT_FALSE(Status().contains("demo")) << Status().toStdString();

    Click(1);
    Click(3);
    Click(2);
    WaitQuiet();
    const Capture heard = FinishCapture();
    const std::vector<Onset> onsets = Onsets(heard);
    ASSERT_EQ(onsets.size(), 1u) << "only the bell named sounds";
    EXPECT_EQ(onsets[0].Code, 4);

    // A bell without a sound shows it: its number is faint, not black.
    auto inkOf = [&](int Bell) {
        const QImage image = Form->screen()->grabWindow(Form->winId()).toImage();
        const QRect r = Form->Label(Bell)->geometry();
        int dark = 0, faint = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                const int grey = qGray(image.pixel(x, y));
                dark += grey < 60;
                faint += grey > 160 && grey < 200;
            }
        return std::pair{dark, faint};
    };
    const auto [darkSilent, faintSilent] = inkOf(1);
    const auto [darkSounding, faintSounding] = inkOf(2);
    EXPECT_EQ(darkSilent, 0) << "bell 1 has no sound, yet its number is drawn as any other";
    EXPECT_GT(faintSilent, 20) << "bell 1's number is not drawn";
    EXPECT_GT(darkSounding, 20) << "bell 2's number is not drawn as usual";
    EXPECT_FALSE(Form->HasSound(1));
    EXPECT_TRUE(Form->HasSound(2));
    // The LEDs keep their colour.
    const QImage image = Form->screen()->grabWindow(Form->winId()).toImage();
    EXPECT_EQ(image.pixel(Form->MMLED(1)->geometry().topLeft() + QPoint(2, 2)), qRgb(128, 128, 128));
}

// ---- 2. and 3. An output that cannot open, and switching ---------------------------------

struct Failing {
    const char* Name;
    std::string (*Output)(const QString& Dir);
};
void PrintTo(const Failing& F, std::ostream* Os) {
    *Os << F.Name;
}
const Failing kFailing[] = {
    {"UnwritableCapture",
     [](const QString& Dir) { return "capture:" + (Dir + "/no/such/folder/x.wav").toStdString(); }},
    {"MissingAlsaDevice", [](const QString&) { return std::string("quorvel_no_such_pcm"); }},
};

class FailedOutput : public OutputTest, public ::testing::WithParamInterface<Failing> {
protected:
    // Bells 1 to 3 with codes 0 to 2.
    QByteArray ThreeBells(int Ms = 120) {
        QByteArray settings = "[SOUNDFILES]\n";
        for (int bell = 1; bell <= 3; ++bell)
            settings += "BELL" + QByteArray::number(bell) + "=" +
                        MakeCodedBell(Sandbox->Dir.file(QStringLiteral("bell%1.wav").arg(bell)), bell - 1, Ms)
                            .toUtf8() +
                        "\n";
        return settings;
    }
    std::string Dead() const { return GetParam().Output(CaptureFixture::Dir.path()); }
};

TEST_P(FailedOutput, AtStartItIsShownOnceAndChoosingAnotherMakesEveryBellSound) {
    WaveOutSettings s;
    s.output = Dead();
    waveOutConfigure(s);
    Open(ThreeBells());
    EXPECT_TRUE(Status().startsWith("no sound: cannot open ")) << Status().toStdString();

    // Strokes and clicks without an output: no box, the line says why.
    Form->cbDelaysActive()->setChecked(false);
    for (int i = 0; i < 13; ++i) Form->Play(1 + i % 3);
    Click(2);
    PumpFor(50);
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts().size()
                                    << " boxes, the first: " << BoxTexts()[0].toStdString();
    EXPECT_TRUE(Status().startsWith("no sound: cannot open ")) << Status().toStdString();
    for (int n = 1; n <= 3; ++n) EXPECT_FALSE(Form->MMLED(n)->Enabled());

    // "No sound (null)" runs, and says so.
    Hints({{"default", "Default ALSA Output"}});
    Choose(QStringLiteral("null"));
    if (HasFatalFailure()) return;
    EXPECT_EQ(Status(), "no sound (null output)");
    Click(1);
    EXPECT_TRUE(Form->Player(1)->IsOpen()) << "bell 1 did not play on null";
    WaitQuiet();

    // A capture: every bell sounds, and the line is clear.
    Path = CaptureFixture::Dir.file(QStringLiteral("after.wav")).toStdString();
    const QString capture = QString::fromStdString("capture:" + Path);
    Hints({{"default", "Default ALSA Output"}, {capture.toStdString(), "a capture"}});
    Choose(capture);
    if (HasFatalFailure()) return;
    EXPECT_EQ(Status(), "");
    for (int n = 1; n <= 3; ++n) {
        Click(n);
        WaitQuiet();
    }
    const Capture heard = FinishCapture();
    const std::vector<Onset> onsets = Onsets(heard);
    ASSERT_EQ(onsets.size(), 3u);
    for (int code = 0; code < 3; ++code) {
        EXPECT_EQ(onsets[code].Code, code);
        EXPECT_EQ(FramesSounding(heard, code), 120 * kFramesPerMs) << "bell " << code + 1;
    }
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
}

TEST_P(FailedOutput, CaptureThenADeadOutputThenCaptureAgain) {
    StartCapture();
    const std::string first = Path;
    Open(ThreeBells());
    EXPECT_EQ(Status(), "");
    Click(1);
    WaitQuiet();

    const QString dead = QString::fromStdString(Dead());
    const std::string second = CaptureFixture::Dir.file(QStringLiteral("second.wav")).toStdString();
    const QString capture = QString::fromStdString("capture:" + second);
    Hints({{dead.toStdString(), "gone"}, {capture.toStdString(), "a capture"}});
    Choose(dead);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(Status().startsWith("no sound: cannot open ")) << Status().toStdString();
    Click(2);
    Form->Play(3);
    PumpFor(50);
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();

    Choose(capture);
    if (HasFatalFailure()) return;
    EXPECT_EQ(Status(), "");
    Click(3);
    WaitQuiet();
    waveOutShutdown();

    Capture heard;
    ASSERT_TRUE(readCapture(first, heard));
    ASSERT_EQ(Onsets(heard).size(), 1u);
    EXPECT_EQ(Onsets(heard)[0].Code, 0);
    ASSERT_TRUE(readCapture(second, heard));
    ASSERT_EQ(Onsets(heard).size(), 1u) << "bell 3 on the second capture, and nothing else";
    EXPECT_EQ(Onsets(heard)[0].Code, 2);
    EXPECT_EQ(FramesSounding(heard, 2), 120 * kFramesPerMs);
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
}

INSTANTIATE_TEST_SUITE_P(OutputTest, FailedOutput, ::testing::ValuesIn(kFailing),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(OutputTest, AFileThatFailsToPlayIsReportedOncePerFile) {
    const QString file = Bell("b.wav");
    Open("[SOUNDFILES]\nBELL4=" + file.toUtf8() + "\n");
    // Replaced by something that is no wave file.
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("not a wave file at all, no RIFF here, nothing to play");
    f.close();
    Form->cbDelaysActive()->setChecked(false);
    for (int i = 0; i < 5; ++i) {
        Click(4);
        Form->Play(4);
    }
    // Said once the strokes' handlers are over, never inside them.
    ASSERT_TRUE(PumpUntil([&] { return !BoxTexts().empty(); }, 5)) << "the failure was not said";
    ASSERT_EQ(BoxTexts().size(), 1u);
    EXPECT_TRUE(BoxTexts()[0].contains("bell 4: " + file)) << BoxTexts()[0].toStdString();

    // Playable again, then broken again: news, said again.
    MakeCodedBell(file, 0, 50);
    Click(4);
    EXPECT_TRUE(Form->Player(4)->IsOpen());
    WaitQuiet();
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("broken once more");
    f.close();
    Click(4);
    Click(4);
    ASSERT_TRUE(PumpUntil([&] { return BoxTexts().size() >= 2; }, 5)) << "the new failure was not said";
    WaitQuiet();
    EXPECT_EQ(BoxTexts().size(), 2u);
}

// ---- 4. Closing while bells sound ------------------------------------------------------

TEST_F(OutputTest, CloseWhileABellSoundsClosesWhenItHasEndedAndCutsNothingOff) {
    StartCapture();
    const QString file = MakeCodedBell(Sandbox->Dir.file(QStringLiteral("long.wav")), 3, 600);
    Open("[SOUNDFILES]\nBELL6=" + file.toUtf8() + "\n");
    Click(6);
    ASSERT_TRUE(Form->Player(6)->IsOpen());

    EXPECT_FALSE(Form->close()) << "the window went while bell 6 sounded";
    EXPECT_TRUE(Form->isVisible());
    EXPECT_TRUE(Form->ClosingWhenSilent());
    EXPECT_EQ(Status(), "closing when the bells have finished");
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_FALSE(Sandbox->ReadSettings().contains("[Position]"));

    // Struck again meanwhile: it still sounds, and the wait goes on.
    PumpFor(100);
    Form->cbDelaysActive()->setChecked(false);
    Form->Play(6);
    EXPECT_TRUE(Form->Player(6)->IsOpen());
    ASSERT_TRUE(PumpUntil([&] { return !Form->isVisible(); }, 20)) << "the window never closed";
    EXPECT_FALSE(Form->Player(6)->IsOpen());
    EXPECT_TRUE(Sandbox->ReadSettings().contains("[Position]")) << "the close stored no position";

    const Capture heard = FinishCapture();
    const std::vector<Onset> onsets = Onsets(heard);
    ASSERT_EQ(onsets.size(), 2u);
    // The restrike cut the first short; the last is whole.
    const std::int64_t length = 600 * kFramesPerMs;
    EXPECT_TRUE(Sounds(heard, 3, onsets[1].Frame + length - 2, onsets[1].Frame + length - 1))
        << "the last sound was cut off";
    EXPECT_FALSE(Sounds(heard, 3, onsets[1].Frame + length + 1, onsets[1].Frame + length + 2));
}

TEST_F(OutputTest, ACloseWaitsForAStrokeWhoseDelayRunsWhenTheLastBellEnds) {
    StartCapture();
    const QString shortBell = MakeCodedBell(Sandbox->Dir.file(QStringLiteral("short.wav")), 0, 100);
    const QString late = MakeCodedBell(Sandbox->Dir.file(QStringLiteral("late.wav")), 4, 150);
    Open("[SOUNDFILES]\nBELL6=" + shortBell.toUtf8() + "\nBELL7=" + late.toUtf8() + "\nBELL8=" +
         Sandbox->Dir.file(QStringLiteral("gone.wav")).toUtf8() + "\n[DELAY]\nBELL7=400\nBELL8=600\n");
    Click(6);
    EXPECT_FALSE(Form->close());
    // Struck while bell 6 sounds; heard after it has ended.
    Form->Play(7);
    // A stroke of a bell without a sound, its delay longest.
    Form->Play(8);
    ASSERT_TRUE(PumpUntil([&] { return !Form->isVisible(); }, 20)) << "the window never closed";
    EXPECT_FALSE(Form->Timer(8)->Enabled()) << "closed before the last delay ran out";
    const Capture heard = FinishCapture();
    const std::vector<Onset> onsets = Onsets(heard);
    ASSERT_EQ(onsets.size(), 2u);
    EXPECT_EQ(onsets[1].Code, 4);
    EXPECT_EQ(FramesSounding(heard, 4), 150 * kFramesPerMs) << "bell 7 not heard whole";
}

TEST_F(OutputTest, ACloseWaitingForTheBellsStopsTheSequence) {
    const QString file = Bell("b.wav", 2000);
    QByteArray settings = "[SOUNDFILES]\n";
    for (int n = 1; n <= kBellCount; ++n)
        settings += "BELL" + QByteArray::number(n) + "=" + file.toUtf8() + "\n";
    Open(settings);
    Form->bSequenceClick(Form->bSequence());
    Form->Timer20()->SetInterval(20);
    Form->Timer20()->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return !Form->AllStopped(); }, 5));
    EXPECT_FALSE(Form->close());
    EXPECT_FALSE(Form->Timer20()->Enabled());
    EXPECT_EQ(Form->bSequence()->text(), "Sequence");
    ASSERT_TRUE(PumpUntil([&] { return !Form->isVisible(); }, 20)) << "the window never closed";
}

}  // namespace
