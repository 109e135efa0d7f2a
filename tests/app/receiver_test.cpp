// What a tower's receiver can do to the real window: go away while the
// window listens and come back, or send garbage among the strokes. A
// pseudo-terminal stands in for the receiver; the window's own players play
// to the capture output, and every stroke is judged by what was heard.

#include "app/MainForm.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/gui/Application.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <cerrno>
#include <sstream>

namespace {

// A start lands within one period (128 frames, 2.7 ms) of its place.
constexpr double kSlackMs = 5.0;
constexpr int kSoundMs = 100;

class Receiver : public ConsoleTest, protected CaptureFixture {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        StartCapture();
    }

    // The receiver at Device, and coded bells: the code of Bells[i] is i.
    QByteArray Settings(const QString& Device, const std::vector<int>& Bells) {
        QByteArray s = "[COMPORT]\nFComPort1.DeviceName=" + Device.toUtf8() + "\n[SOUNDFILES]\n";
        for (std::size_t code = 0; code < Bells.size(); ++code) {
            const QString file = MakeCodedBell(Sandbox->Dir.file(QStringLiteral("bell%1.wav").arg(Bells[code])),
                                               int(code), kSoundMs);
            s += "BELL" + QByteArray::number(Bells[code]) + "=" + file.toUtf8() + "\n";
        }
        return s;
    }

    // Code is to be heard next, struck from now; Handled() marks when the
    // window had taken the stroke at the latest.
    void Expect(int Code) { Expected.push_back({Code, waveOutNowNs(), 0}); }
    void Handled() { Expected.back().HandledNs = waveOutNowNs(); }

    // Sends Bytes and waits until the bell they strike has sounded and ended.
    void Strike(PseudoTerminal& Pty, const char* Bytes, int Code) {
        Expect(Code);
        ASSERT_TRUE(Pty.Send(std::string(Bytes)));
        WaitHeard();
    }
    void WaitHeard() {
        ASSERT_TRUE(PumpUntil([&] { return !Form->AllStopped(); }, 10)) << "no bell sounded";
        Handled();
        ASSERT_TRUE(PumpUntil([&] { return Form->AllStopped(); }, 10)) << "the bell never ended";
    }

    // Closes the window and the output, then judges what was heard: every
    // expected code once, in order, each heard the output's latency after
    // its stroke was made and no later than that after it was taken (a
    // stroke is heard from its byte's arrival however late it is taken; one
    // taken later than the latency is heard at once).
    void CheckHeard() {
        const WaveOutStatus status = waveOutGetStatus();
        Form.reset();
        const Capture mix = FinishCapture();
        const std::vector<Onset> onsets = Onsets(mix);
        auto msAfter = [&](const Onset& o, std::int64_t ns) {
            const double due = double(ns - status.originNs) * status.rate / 1e9 + double(status.latencyFrames);
            return (double(o.Frame) - due) * 1000.0 / status.rate;
        };
        std::ostringstream heard;
        for (const Onset& o : onsets) heard << " code " << o.Code << " at frame " << o.Frame << ";";
        ASSERT_EQ(onsets.size(), Expected.size()) << "heard:" << heard.str();
        for (std::size_t i = 0; i < onsets.size(); ++i) {
            const Expectation& e = Expected[i];
            EXPECT_EQ(onsets[i].Code, e.Code) << "onset " << i << "; heard:" << heard.str();
            EXPECT_GE(msAfter(onsets[i], e.StruckNs), -kSlackMs) << "onset " << i << " came before its stroke";
            EXPECT_LE(msAfter(onsets[i], e.HandledNs), kSlackMs)
                << "onset " << i << " came " << msAfter(onsets[i], e.HandledNs)
                << " ms after its stroke was taken";
        }
    }

    // The texts of the boxes shown so far, for a failure's message.
    std::string Shown() const {
        std::string all;
        for (const QString& text : BoxTexts()) all += " [" + text.toStdString() + "]";
        return all;
    }

    struct Expectation {
        int Code;
        std::int64_t StruckNs;
        std::int64_t HandledNs;
    };
    std::vector<Expectation> Expected;
};

// ---- The receiver goes away -------------------------------------------------------------

TEST_F(Receiver, LostWhileListeningIsReportedOnceAndListensAgainOnceItIsBack) {
    // The device by the name the window knows, a link that a replugged
    // adapter brings back at the same place.
    const QString device = CaptureFixture::Dir.file(QStringLiteral("ttyReceiver"));
    auto first = std::make_unique<PseudoTerminal>();
    ASSERT_TRUE(QFile::link(QString::fromStdString(first->SlavePath()), device));
    TfMainform& form = Open(Settings(device, {1, 2, 3}));
    form.cbDelaysActive()->setChecked(false);
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());
    ASSERT_EQ(DescriptorsOn(first->SlavePath()), 1);
    Strike(*first, "1", 0);
    if (HasFatalFailure()) return;

    first->CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !form.FComPort1()->GetActive(); }, 10)) << "the port stayed open";
    PumpFor(500);  // a second report would have come by now
    ASSERT_EQ(BoxTexts().size(), 1u) << Shown();
    const MessageBoxRecorder::Box& lost = Sandbox->Boxes.Boxes[0];
    EXPECT_EQ(lost.Type, mtError);
    EXPECT_EQ(lost.Caption, Application.Title());
    EXPECT_EQ(lost.Text, ErrorReportText(SysErrorMessage(EIO)));
    EXPECT_TRUE(lost.MainThread);
    EXPECT_FALSE(form.FComPort1()->HasEventThread());
    // Let go of, so that the replugged adapter can come back by its old name.
    EXPECT_EQ(DescriptorsOn(first->SlavePath()), 0);
    // Nothing listens any more, and the button says so.
    EXPECT_EQ(form.bListen()->text(), "START LISTENING");
    EXPECT_TRUE(form.bSequence()->isEnabled());

    // The window goes on: a click plays its bell.
    Expect(1);
    QTest::mouseClick(form.MMLED(2), Qt::LeftButton);
    WaitHeard();
    if (HasFatalFailure()) return;

    // Pressed before the receiver is back: the open fails as any other does.
    ASSERT_TRUE(QFile::remove(device));
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_FALSE(form.FComPort1()->GetActive());
    ASSERT_EQ(BoxTexts().size(), 2u) << Shown();
    EXPECT_EQ(BoxTexts()[1], "Cannot Start Communications with Receiver\rCheck COM Port Settings");
    EXPECT_EQ(form.bListen()->text(), "START LISTENING");

    // Back at the same name: listening starts again and its strokes sound.
    PseudoTerminal second;
    ASSERT_TRUE(QFile::link(QString::fromStdString(second.SlavePath()), device));
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());
    EXPECT_EQ(form.bListen()->text(), "STOP LISTENING");
    EXPECT_FALSE(form.bSequence()->isEnabled());
    Strike(second, "3", 2);
    if (HasFatalFailure()) return;

    EXPECT_TRUE(form.close()) << "the window would not close";
    EXPECT_EQ(BoxTexts().size(), 2u) << Shown();
    CheckHeard();
}

}  // namespace
