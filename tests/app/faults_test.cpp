// What a tower throws at the console while it rings: the sound output
// failing mid-peal, and a bell's sound file replaced or removed under the
// running program. Strokes come over a pseudo-terminal, the window's own
// players play to the capture output, and what was heard is judged from
// the capture.

#include "app/MainForm.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace {

struct Sound {
    int Code;
    int Milliseconds;
};

std::int64_t FramesOf(int Milliseconds) {
    return std::int64_t(Milliseconds) * 48;  // the capture runs at 48 kHz
}

class Faults : public ConsoleTest, protected CaptureFixture {
protected:
    void SetUp() override { StartCapture(); }

    QString BellFile(int Bell) const { return Sandbox->Dir.file(QStringLiteral("bell%1.wav").arg(Bell)); }

    // The window listening on the pseudo-terminal with "Delays Active" off,
    // each bell's sound coded.
    void OpenRing(const std::map<int, Sound>& Bells) {
        QByteArray settings = "[COMPORT]\nFComPort1.DeviceName=" + QByteArray(Pty.SlavePath().c_str()) + "\n";
        settings += "[SOUNDFILES]\n";
        for (const auto& [bell, sound] : Bells)
            settings += "BELL" + QByteArray::number(bell) + "=" +
                        MakeCodedBell(BellFile(bell), sound.Code, sound.Milliseconds).toUtf8() + "\n";
        Open(settings);
        ASSERT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
        Form->cbDelaysActive()->setChecked(false);
        QTest::mouseClick(Form->bListen(), Qt::LeftButton);
        ASSERT_TRUE(Form->FComPort1()->GetActive()) << "listening did not start";
    }

    // Sends strokes; Lit then collects the LEDs lit from here on.
    void Strike(const char* Bytes) {
        Lit.clear();
        ASSERT_TRUE(Pty.Send(Bytes));
    }

    // Handles messages until Until holds, noting the LEDs lit meanwhile and
    // whether each LED was lit exactly while its player was open.
    bool PumpNoting(const std::function<bool()>& Until) {
        return PumpUntil(
            [&] {
                for (int n = 1; n <= kBellCount; ++n) {
                    if (Form->MMLED(n)->Enabled()) Lit.insert(n);
                    if (Form->MMLED(n)->Enabled() != Form->Player(n)->IsOpen()) LedsFollowPlayers = false;
                }
                return Until();
            },
            10);
    }

    // Until the bells Heard have sounded, every bell is quiet again and
    // Reports error boxes have been shown in all.
    bool PumpUntilQuiet(const std::set<int>& Heard, std::size_t Reports) {
        return PumpNoting([&] {
            return std::includes(Lit.begin(), Lit.end(), Heard.begin(), Heard.end()) && Form->AllStopped() &&
                   BoxTexts().size() >= Reports;
        });
    }

    std::string Boxes() const {
        std::string all;
        for (const QString& t : BoxTexts()) all += "[" + t.toStdString() + "] ";
        return all;
    }

    PseudoTerminal Pty;
    std::set<int> Lit;
    bool LedsFollowPlayers = true;
};

// ---- The output fails mid-peal ------------------------------------------------------

TEST_F(Faults, OutputLostMidPealEndsTheBellsWithOneReportAndTheNextStrokeSoundsOnceItIsBack) {
    OpenRing({{1, {0, 2000}}, {2, {1, 2000}}, {3, {2, 2000}}});
    if (HasFatalFailure()) return;
    Strike("123");
    ASSERT_TRUE(PumpNoting([&] { return Lit == std::set<int>{1, 2, 3}; })) << "the bells never sounded";

    {
        // The capture's disk fills up a few blocks further on.
        FileSizeLimit full(QFileInfo(QString::fromStdString(Path)).size() + 16384);
        // The report is shown once the handler that learnt of the loss has
        // returned, which may be after the bells are quiet.
        ASSERT_TRUE(PumpNoting([&] { return Form->AllStopped() && !BoxTexts().empty(); }))
            << "the bells never stopped, or the loss was never reported: " << Boxes();
        const WaveOutStatus lost = waveOutGetStatus();
        EXPECT_TRUE(lost.failed) << "the output was never lost";
        for (int n = 1; n <= kBellCount; ++n) EXPECT_FALSE(Form->MMLED(n)->Enabled()) << "LED " << n;
        ASSERT_EQ(BoxTexts().size(), 1u) << "one report for the whole loss: " << Boxes();
        EXPECT_EQ(Sandbox->Boxes.Boxes[0].Caption, "Quorvel 16") << "the standard error report";
        EXPECT_EQ(BoxTexts()[0],
                  "WaveOutWrite:\n\rNo wave output is available (no sound output could be "
                  "opened, or it was lost).");
        // And the status line says it for as long as it lasts.
        EXPECT_TRUE(Form->lOutput()->text().startsWith("no sound: the output was lost: capture "))
            << Form->lOutput()->text().toStdString();
        full.Lift();  // room on the disk again
    }

    Strike("2");
    ASSERT_TRUE(PumpUntilQuiet({2}, 1)) << "the next stroke was not heard; reports: " << Boxes();
    EXPECT_EQ(Lit, (std::set<int>{2}));
    EXPECT_EQ(BoxTexts().size(), 1u) << Boxes();
    EXPECT_FALSE(waveOutGetStatus().failed);
    EXPECT_EQ(Form->lOutput()->text(), "") << "the output plays again";
    EXPECT_TRUE(LedsFollowPlayers);
    Form.reset();

    // The output started afresh, its file anew: it holds that stroke, whole.
    const Capture mix = FinishCapture();
    const std::vector<Onset> onsets = Onsets(mix);
    ASSERT_EQ(onsets.size(), 1u);
    EXPECT_EQ(onsets[0].Code, 1);
    EXPECT_EQ(FramesSounding(mix, 1), FramesOf(2000));
}

// ---- A bell's sound file changes under the running program ---------------------------

TEST_F(Faults, FileReplacedByACorruptOneIsRefusedWithAReportAndAValidReplacementPlaysWhole) {
    OpenRing({{1, {0, 200}}, {2, {1, 200}}, {3, {2, 200}}});
    if (HasFatalFailure()) return;

    // Bell 2's file is damaged where it lies: its format chunk is gone, its
    // samples and its size stay.
    QFile file(BellFile(2));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    ASSERT_EQ(bytes.mid(12, 4), "fmt ");
    bytes.replace(12, 4, "junk");
    ASSERT_TRUE(file.seek(0));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    Strike("123");
    ASSERT_TRUE(PumpUntilQuiet({1, 3}, 1)) << "reports: " << Boxes();
    EXPECT_EQ(Lit, (std::set<int>{1, 3})) << "bell 2's LED stays out";
    ASSERT_EQ(BoxTexts().size(), 1u) << Boxes();
    EXPECT_EQ(BoxTexts()[0], "Invalid wave file... (bell 2: " + BellFile(2) + ")");

    // Another recording takes its place: it plays as it now is.
    MakeCodedBell(BellFile(2), 3, 300);
    Strike("2");
    ASSERT_TRUE(PumpUntilQuiet({2}, 1)) << "reports: " << Boxes();
    EXPECT_EQ(Lit, (std::set<int>{2}));
    EXPECT_EQ(BoxTexts().size(), 1u) << Boxes();
    EXPECT_TRUE(LedsFollowPlayers);
    Form.reset();

    const Capture mix = FinishCapture();
    std::vector<int> codes;
    for (const Onset& o : Onsets(mix)) codes.push_back(o.Code);
    EXPECT_EQ(codes, (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(FramesSounding(mix, 1), 0) << "the damaged file was played";
    EXPECT_EQ(FramesSounding(mix, 0), FramesOf(200));
    EXPECT_EQ(FramesSounding(mix, 2), FramesOf(200));
    EXPECT_EQ(FramesSounding(mix, 3), FramesOf(300)) << "the new recording was not played as it is";
}

TEST_F(Faults, FileDeletedIsRefusedWithAReportUntilItIsBack) {
    OpenRing({{1, {0, 200}}, {3, {2, 200}}});
    if (HasFatalFailure()) return;
    ASSERT_TRUE(QFile::remove(BellFile(3)));

    Strike("31");
    ASSERT_TRUE(PumpUntilQuiet({1}, 1)) << "reports: " << Boxes();
    EXPECT_EQ(Lit, (std::set<int>{1})) << "bell 3's LED stays out";
    ASSERT_EQ(BoxTexts().size(), 1u) << Boxes();
    EXPECT_EQ(BoxTexts()[0], "Error reading wave file (bell 3: " + BellFile(3) + ")");

    // Put back, as another recording.
    MakeCodedBell(BellFile(3), 4, 100);
    Strike("3");
    ASSERT_TRUE(PumpUntilQuiet({3}, 1)) << "reports: " << Boxes();
    EXPECT_EQ(BoxTexts().size(), 1u) << Boxes();
    EXPECT_TRUE(LedsFollowPlayers);
    Form.reset();

    const Capture mix = FinishCapture();
    std::vector<int> codes;
    for (const Onset& o : Onsets(mix)) codes.push_back(o.Code);
    EXPECT_EQ(codes, (std::vector<int>{0, 4}));
    EXPECT_EQ(FramesSounding(mix, 0), FramesOf(200));
    EXPECT_EQ(FramesSounding(mix, 2), 0);
    EXPECT_EQ(FramesSounding(mix, 4), FramesOf(100));
}

}  // namespace
