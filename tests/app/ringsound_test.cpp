// A ring's sound in the window: volumes, backstroke delays and muffles
// stored and loaded, the bell's sound dialog, the muffles for every bell
// from the logo's menu, and a whole ring chosen from a folder, heard in
// the capture.

#include "app/BellOptionsForm.h"
#include "app/MainForm.h"
#include "app/RingFolder.h"
#include "app/Widgets.h"
#include "controls/MMLED.h"
#include "platform/base/Clock.h"
#include "platform/gui/Timer.h"
#include "playback/MMWavePlayer.h"
#include "ringing/RingingEngine.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/SoxFixtures.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <cmath>
#include <numbers>

namespace {

QString Setting(const QByteArray& Text, const QString& Section, const QString& Key) {
    // Good enough for the files the window writes: "[SECTION]" then "KEY=value" lines.
    QString section;
    for (const QByteArray& raw : Text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            section = line.mid(1, line.size() - 2);
        else if (section.compare(Section, Qt::CaseInsensitive) == 0 &&
                 line.section(QLatin1Char('='), 0, 0).compare(Key, Qt::CaseInsensitive) == 0)
            return line.section(QLatin1Char('='), 1);
    }
    return QStringLiteral("<none>");
}

class RingSoundWindow : public ConsoleTest {};

TEST_F(RingSoundWindow, StoredValuesLoadClamped) {
    TfMainform& form = Open(
        "[VOLUME]\nBELL1=-100\nBELL2=50\nBELL3=-12\nBELL4=rubbish\nMaster=99\n"
        "[BACKDELAYS]\nBELL1=99999\nBELL2=-5\nBELL3=250\nBELL4=\n"
        "[MUFFLES]\nBELL1=7\nBELL2=1\nBELL3=-3\nBELL4=2\n");
    const struct {
        int Bell, Volume, Back, Muffle;
    } expected[] = {{1, -24, 50000, 2}, {2, 6, -1, 1}, {3, -12, 250, 0}, {4, 0, -1, 2}, {5, 0, -1, 0}};
    for (const auto& e : expected) {
        SCOPED_TRACE("bell " + std::to_string(e.Bell));
        EXPECT_EQ(form.VolumeDb(e.Bell), e.Volume);
        EXPECT_EQ(form.BackDelayMs(e.Bell), e.Back);
        EXPECT_EQ(form.Muffle(e.Bell), e.Muffle);
    }
    EXPECT_EQ(form.MasterDb(), 6);
}

TEST_F(RingSoundWindow, CtrlClickOpensTheBellsSoundAndSetStoresIt) {
    TfMainform& form = Open("[DELAY]\nBELL5=180\n");
    QTest::mouseClick(form.MMLED(5), Qt::LeftButton, Qt::ControlModifier);
    auto* dialog = form.findChild<TfBellOptions*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->BellNum(), 5);
    EXPECT_TRUE(dialog->cbSameDelay()->isChecked());
    EXPECT_EQ(dialog->seBackDelay()->Value(), 180) << "as the handstroke's";
    EXPECT_FALSE(form.Player(5)->IsOpen()) << "a Ctrl+click rings nothing";
    dialog->cbSameDelay()->setChecked(false);
    dialog->seBackDelay()->SetValue(420);
    dialog->seVolume()->SetValue(-9);
    dialog->cbMuffle()->setCurrentIndex(1);
    dialog->seMaster()->SetValue(-3);
    QTest::mouseClick(dialog->bSet(), Qt::LeftButton);
    EXPECT_EQ(form.BackDelayMs(5), 420);
    EXPECT_EQ(form.VolumeDb(5), -9);
    EXPECT_EQ(form.Muffle(5), 1);
    EXPECT_EQ(form.MasterDb(), -3);
    const QByteArray text = Sandbox->ReadSettings();
    EXPECT_EQ(Setting(text, "BACKDELAYS", "BELL5"), "420");
    EXPECT_EQ(Setting(text, "VOLUME", "BELL5"), "-9");
    EXPECT_EQ(Setting(text, "VOLUME", "Master"), "-3");
    EXPECT_EQ(Setting(text, "MUFFLES", "BELL5"), "1");
    EXPECT_EQ(Setting(text, "DELAY", "BELL5"), "180") << "the handstroke's delay is its own";
    // Back to the handstroke's delay: stored empty, loaded as the same.
    form.SaveBellSound(5, -1, -9, 1);
    EXPECT_EQ(Setting(Sandbox->ReadSettings(), "BACKDELAYS", "BELL5"), "");
    form.LoadRingSound();
    EXPECT_EQ(form.BackDelayMs(5), -1);
}

TEST_F(RingSoundWindow, TheLogosMenuMufflesEveryBell) {
    TfMainform& form = Open();
    QAction* half = form.Muffles1()->findChild<QAction*>(QStringLiteral("AllMuffles1"));
    ASSERT_NE(half, nullptr);
    EXPECT_TRUE(form.PopupMenu1()->actions().contains(form.Muffles1()->menuAction()));
    half->trigger();
    for (int n = 1; n <= kBellCount; ++n) EXPECT_EQ(form.Muffle(n), 1) << n;
    EXPECT_EQ(Setting(Sandbox->ReadSettings(), "MUFFLES", "BELL16"), "1");
    form.Muffles1()->findChild<QAction*>(QStringLiteral("AllMuffles0"))->trigger();
    for (int n = 1; n <= kBellCount; ++n) EXPECT_EQ(form.Muffle(n), 0) << n;
}

TEST_F(RingSoundWindow, ALongerBackstrokeDelayLightsItsBellWhenItSounds) {
    TfMainform& form = Open("[SOUNDFILES]\nBELL3=" + Bell("three.wav", 200).toUtf8() +
                            "\n[DELAY]\nBELL3=100\n[BACKDELAYS]\nBELL3=600\n");
    form.Play(3);  // the handstroke
    QTRY_VERIFY_WITH_TIMEOUT(form.RingingEngine()->Idle() && !form.MMLED(3)->Enabled(), 30000);
    form.Play(3);  // the backstroke: its sound starts 600 ms on
    QTRY_VERIFY_WITH_TIMEOUT(!form.Timer(3)->Enabled(), 30000);
    EXPECT_FALSE(form.MMLED(3)->Enabled()) << "lit at the handstroke's delay, before its sound";
    QTRY_VERIFY_WITH_TIMEOUT(form.MMLED(3)->Enabled(), 30000);
}

// The window hands the engine what it loaded: a quieter bell and a fully
// muffled one, heard so in the capture.
class RingSoundHeard : public ConsoleTest, protected CaptureFixture {};

TEST_F(RingSoundHeard, StoredVolumeAndMuffleReachTheBells) {
    StartCapture();
    const QString one = Bell("one.wav", 300), two = Bell("two.wav", 1000);
    TfMainform& form = Open("[SOUNDFILES]\nBELL1=" + one.toUtf8() + "\nBELL2=" + two.toUtf8() +
                            "\n[OPTIONS]\nDelaysActive=0\n[VOLUME]\nBELL1=-12\n[MUFFLES]\nBELL2=2\n");
    const std::int64_t t0 = MonotonicNs() + 100'000'000;
    form.RingingEngine()->Stroke(1, t0, TStrokeSource::Key);
    form.RingingEngine()->Stroke(2, t0 + 500'000'000, TStrokeSource::Key);
    QTRY_VERIFY_WITH_TIMEOUT(form.RingingEngine()->Idle(), 30000);
    std::vector<WaveOutStartRecord> log;
    const Capture mix = FinishCapture(&log);
    std::map<int, std::int64_t> start;
    for (const WaveOutStartRecord& r : log)
        if (r.voice >= kStrikeVoiceBase)
            start[static_cast<int>(r.voice - kStrikeVoiceBase) + 1] = r.firstFrame;
    ASSERT_EQ(start.size(), 2u);
    // Bell 1: its level 12 dB down, all through.
    EXPECT_NEAR(mix.at(static_cast<std::size_t>(start[1] + 100), 0), kCodeUnit * std::pow(10.0, -12.0 / 20),
                1.0);
    // Bell 2: a steady level muffled dies away with the envelope's time constant.
    const double at = 0.5;
    EXPECT_NEAR(mix.at(static_cast<std::size_t>(start[2] + std::llround(at * 48000)), 0) / double(kCodeUnit),
                std::exp(-at / 0.4), 0.02);
}

struct MatchRow {
    const char* Name;
    QStringList Files;
    std::map<int, QString> Bells;
    QStringList Unused;
};

void PrintTo(const MatchRow& R, std::ostream* Os) {
    *Os << R.Name;
}

class RingMatching : public ::testing::TestWithParam<MatchRow> {};

TEST_P(RingMatching, GivesEachFileItsBell) {
    const TRingMatch match = MatchRing(GetParam().Files);
    for (int n = 1; n <= 16; ++n) {
        const auto it = GetParam().Bells.find(n);
        EXPECT_EQ(match.Files[n], it == GetParam().Bells.end() ? QString() : it->second) << "bell " << n;
    }
    EXPECT_EQ(match.Unused, GetParam().Unused);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RingMatching,
    ::testing::Values(MatchRow{"Numbers",
                               {"1.wav", "bell02.wav", "Bell 12.WAV", "notes.txt"},
                               {{1, "1.wav"}, {2, "bell02.wav"}, {12, "Bell 12.WAV"}},
                               {}},
                      MatchRow{"TrebleAndTenorAroundNumbers",
                               {"tenor.wav", "2.wav", "3.wav", "treble.wav"},
                               {{1, "treble.wav"}, {2, "2.wav"}, {3, "3.wav"}, {4, "tenor.wav"}},
                               {}},
                      MatchRow{"OutOfRangeAndOthersUnused",
                               {"0.wav", "17.wav", "peal.wav", "5.wav"},
                               {{5, "5.wav"}},
                               {"0.wav", "17.wav", "peal.wav"}},
                      MatchRow{"TwoForOneBellTheFirstByName",
                               {"bell1.wav", "1.wav", "bell10.wav", "bell2.wav"},
                               {{1, "1.wav"}, {2, "bell2.wav"}, {10, "bell10.wav"}},
                               {"bell1.wav"}},
                      MatchRow{
                          "NoTenorAboveSixteen", {"16.wav", "Tenor.wav"}, {{16, "16.wav"}}, {"Tenor.wav"}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// A ring of sox-made tones chosen from a folder, each bell known by its pitch.
class RingFromFolder : public ConsoleTest, protected CaptureFixture {
protected:
    void TearDown() override {
        TfMainform::SetRingDialogs(nullptr, nullptr);
        ConsoleTest::TearDown();
    }
    QString Tone(const QString& Folder, const QString& Name, int Hz) {
        const QString path = Folder + QLatin1Char('/') + Name;
        sox::Run({"-n", "-r", "48000", "-b", "16", "-c", "1", path, "synth", "0.3", "sine",
                  QString::number(Hz), "vol", "0.4"});
        return path;
    }
    static double Level(const Capture& C, std::int64_t From, double Hz) {
        double re = 0, im = 0;
        const int n = 4800;  // 100 ms: whole cycles of every tone here
        for (int i = 0; i < n; ++i) {
            const double x = C.at(static_cast<std::size_t>(From + i), 0);
            re += x * std::cos(2 * std::numbers::pi * Hz * i / 48000);
            im += x * std::sin(2 * std::numbers::pi * Hz * i / 48000);
        }
        return std::hypot(re, im);
    }
};

TEST_F(RingFromFolder, ItsFilesSoundOnTheirBellsAfterTheOk) {
    if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
    const QString folder = Sandbox->Dir.file("ring");
    QDir().mkpath(folder);
    const std::map<int, int> pitch{{1, 400}, {2, 500}, {3, 600}, {4, 700}};
    Tone(folder, "treble.wav", 400);
    Tone(folder, "bell02.wav", 500);
    Tone(folder, "3.wav", 600);
    Tone(folder, "tenor.wav", 700);
    StartCapture();
    TfMainform& form =
        Open("[SOUNDFILES]\nBELL6=" + Bell("six.wav").toUtf8() + "\n[OPTIONS]\nDelaysActive=0\n");
    QString shown;
    TfMainform::SetRingDialogs([folder] { return folder; },
                               [&shown](const QString& Text) {
                                   shown = Text;
                                   return true;
                               });
    form.ChooseRing1()->trigger();
    EXPECT_TRUE(shown.contains("bell 1 <- treble.wav")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("bell 4 <- tenor.wav")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("bell 6 keeps its sound")) << shown.toStdString();
    EXPECT_EQ(form.Player(4)->FileName(), folder + "/tenor.wav");
    EXPECT_EQ(Setting(Sandbox->ReadSettings(), "SOUNDFILES", "BELL2"), folder + "/bell02.wav");
    EXPECT_TRUE(Setting(Sandbox->ReadSettings(), "SOUNDFILES", "BELL6").endsWith("six.wav"));
    // Tenor to treble, one after another, apart so that each is heard alone.
    const std::int64_t t0 = MonotonicNs() + 100'000'000;
    for (int n = 4; n >= 1; --n)
        form.RingingEngine()->Stroke(n, t0 + (4 - n) * 400'000'000, TStrokeSource::Key);
    QTRY_VERIFY_WITH_TIMEOUT(form.RingingEngine()->Idle(), 30000);
    std::vector<WaveOutStartRecord> log;
    const Capture mix = FinishCapture(&log);
    int heard = 0;
    for (const WaveOutStartRecord& r : log) {
        if (r.voice < kStrikeVoiceBase) continue;
        const int bell = static_cast<int>(r.voice - kStrikeVoiceBase) + 1;
        ASSERT_TRUE(pitch.count(bell)) << "bell " << bell;
        int loudest = 0;
        double best = 0;
        for (const auto& [b, hz] : pitch)
            if (const double l = Level(mix, r.firstFrame, hz); l > best) {
                best = l;
                loudest = b;
            }
        EXPECT_EQ(loudest, bell) << "bell " << bell << " sounds another's pitch";
        ++heard;
    }
    EXPECT_EQ(heard, 4);
}

TEST_F(RingFromFolder, CancelKeepsEveryBellsSound) {
    if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
    const QString folder = Sandbox->Dir.file("ring");
    QDir().mkpath(folder);
    Tone(folder, "1.wav", 400);
    const QString own = Bell("own.wav");
    TfMainform& form = Open("[SOUNDFILES]\nBELL1=" + own.toUtf8() + "\n");
    TfMainform::SetRingDialogs([folder] { return folder; }, [](const QString&) { return false; });
    form.ChooseRing1()->trigger();
    EXPECT_EQ(form.Player(1)->FileName(), own);
    EXPECT_EQ(Setting(Sandbox->ReadSettings(), "SOUNDFILES", "BELL1"), own);
}

TEST_F(RingFromFolder, AFolderWithoutBellsSaysSo) {
    const QString folder = Sandbox->Dir.file("empty");
    QDir().mkpath(folder);
    TfMainform& form = Open();
    bool asked = false;
    TfMainform::SetRingDialogs([folder] { return folder; },
                               [&asked](const QString&) {
                                   asked = true;
                                   return true;
                               });
    form.ChooseRing1()->trigger();
    EXPECT_FALSE(asked);
    ASSERT_FALSE(BoxTexts().empty());
    EXPECT_TRUE(BoxTexts().back().startsWith("No bell's sound in")) << BoxTexts().back().toStdString();
}

}  // namespace
