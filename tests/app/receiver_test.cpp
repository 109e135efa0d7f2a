// What a tower's receiver can do to the real window: go away while the
// window listens and come back, or send garbage among the strokes. A
// pseudo-terminal stands in for the receiver; the window's own players play
// to the capture output, and every stroke is judged by what was heard.

#include "app/MainForm.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"
#include "tests/support/ProcessStatus.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

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
            const QString file = MakeCodedBell(
                Sandbox->Dir.file(QStringLiteral("bell%1.wav").arg(Bells[code])), int(code), kSoundMs);
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
            const double due =
                double(ns - status.originNs) * status.rate / 1e9 + double(status.latencyFrames);
            return (double(o.Frame) - due) * 1000.0 / status.rate;
        };
        std::ostringstream heard;
        for (const Onset& o : onsets) heard << " code " << o.Code << " at frame " << o.Frame << ";";
        ASSERT_EQ(onsets.size(), Expected.size()) << "heard:" << heard.str();
        for (std::size_t i = 0; i < onsets.size(); ++i) {
            const Expectation& e = Expected[i];
            EXPECT_EQ(onsets[i].Code, e.Code) << "onset " << i << "; heard:" << heard.str();
            EXPECT_GE(msAfter(onsets[i], e.StruckNs), -kSlackMs)
                << "onset " << i << " came before its stroke";
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
    // It names the port and what brings it back.
    QString system = SysErrorMessage(EIO);
    if (system.endsWith(QLatin1Char('.'))) system.chop(1);
    EXPECT_EQ(lost.Text,
              ErrorReportText(QStringLiteral("The receiver's port %1 stopped working (%2). Plug the "
                                             "receiver back in and press START LISTENING.")
                                  .arg(device, system)));
    EXPECT_TRUE(lost.MainThread);
    EXPECT_FALSE(form.FComPort1()->HasEventThread());
    // Let go of, so that the replugged adapter can come back by its old name.
    EXPECT_EQ(DescriptorsOn(first->SlavePath()), 0);
    // Nothing listens any more, and the button says so.
    EXPECT_EQ(form.bListen()->text(), "START LISTENING");
    EXPECT_TRUE(form.bSequence()->isEnabled());
    EXPECT_TRUE(form.cbPort()->isEnabled());
    EXPECT_EQ(form.lReceiver()->text(), "") << "no receiver answers on a lost port";

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

// An event thread that dies on an exception of any kind leaves a window that
// shows it: the port closed, the button offering to listen again, a report.
TEST_F(Receiver, AnEventThreadThatDiesClosesThePortAndSaysSo) {
    PseudoTerminal pty;
    const QString device = QString::fromStdString(pty.SlavePath());
    TfMainform& form = Open(Settings(device, {1}));
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());
    ASSERT_EQ(form.bListen()->text(), "STOP LISTENING");
    form.FComPort1()->OnRxChar = [](QObject*) { throw std::runtime_error("handler broke"); };
    ASSERT_TRUE(pty.Send(std::string("1")));
    ASSERT_TRUE(PumpUntil([&] { return !form.FComPort1()->GetActive() && !BoxTexts().empty(); }, 10))
        << "the port stayed open or nothing was reported" << Shown();
    PumpFor(200);  // a second report would have come by now
    ASSERT_EQ(BoxTexts().size(), 1u) << Shown();
    EXPECT_EQ(BoxTexts()[0],
              ErrorReportText(QStringLiteral("Listening on %1 stopped: handler broke").arg(device)));
    EXPECT_TRUE(Sandbox->Boxes.Boxes[0].MainThread);
    EXPECT_FALSE(form.FComPort1()->HasEventThread());
    EXPECT_EQ(form.bListen()->text(), "START LISTENING");
    EXPECT_TRUE(form.cbPort()->isEnabled());
}

// ---- The port selector while listening ---------------------------------------------------

TEST_F(Receiver, KeysInThePortSelectorWhileListeningLoseNoStroke) {
    PseudoTerminal pty;
    const QString device = QString::fromStdString(pty.SlavePath());
    TfMainform& form = Open(Settings(device, {1, 2}));
    form.cbDelaysActive()->setChecked(false);
    // The cursor was left in the selector after typing the port.
    form.activateWindow();
    form.cbPort()->lineEdit()->setFocus();
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());
    Strike(pty, "1", 0);
    if (HasFatalFailure()) return;

    // Keys that name no bell, where the keyboard is and straight at the selector.
    for (Qt::Key key : {Qt::Key_Backspace, Qt::Key_X, Qt::Key_Delete, Qt::Key_Down, Qt::Key_Up}) {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : &form, key);
        QTest::keyClick(form.cbPort()->lineEdit(), key);
        QTest::keyClick(form.cbPort(), key);
    }
    EXPECT_TRUE(form.FComPort1()->GetActive());
    EXPECT_EQ(form.FComPort1()->DeviceName(), device);
    EXPECT_EQ(form.cbPort()->currentText(), device);
    EXPECT_EQ(form.bListen()->text(), "STOP LISTENING");
    Strike(pty, "2", 1);
    if (HasFatalFailure()) return;
    Strike(pty, "1", 0);
    if (HasFatalFailure()) return;
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_TRUE(BoxTexts().empty()) << Shown();
    CheckHeard();
}

// ---- Garbage on the line ----------------------------------------------------------------

TEST_F(Receiver, GarbageOnTheLineStrikesNothingAndKeepsNoMemory) {
    PseudoTerminal pty;
    // Six bells named by digits and by letters in both cases; code i is bell Bells[i].
    const std::vector<int> bells = {1, 10, 11, 12, 13, 16};
    const char lower[] = "10etad", upper[] = "10ETAD";
    TfMainform& form = Open(Settings(QString::fromStdString(pty.SlavePath()), bells));
    form.cbDelaysActive()->setChecked(false);
    // Every event the window handles, counted on its way to the window's own handler.
    std::atomic<int> handled{0}, offMain{0};
    const TNotifyEvent window = form.FComPort1()->OnRxChar.Handler();
    form.FComPort1()->OnRxChar = [&, window](QObject* sender) {
        if (!IsMainThread()) ++offMain;
        ++handled;
        window(sender);
    };
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());

    // Garbage is every byte value that names no bell, XON and XOFF too: the
    // port opens without software flow control, so they reach the window as
    // any byte does (one event each).
    std::vector<char> unmapped;
    for (int b = 0; b < 256; ++b)
        if (!TfMainform::BellOfChar(static_cast<unsigned char>(b))) unmapped.push_back(static_cast<char>(b));
    ASSERT_EQ(unmapped.size(), 256u - 22u);
    std::mt19937 random(12);
    std::uniform_int_distribution<std::size_t> pick(0, unmapped.size() - 1);
    auto garbage = [&](int n) {
        QByteArray g;
        for (int i = 0; i < n; ++i) g += unmapped[pick(random)];
        return g;
    };

    // 20000 bytes of garbage, in chunks that each begin with a stroke, so
    // that every stroke is heard on its own: between its write and the
    // window having taken its chunk. A chunk goes once the last is taken,
    // at least 50 ms after it, so no bell is struck again while it sounds.
    constexpr int kChunks = 40, kChunkGarbage = 500;
    int sent = 0;
    auto round = [&] {
        for (int i = 0; i < kChunks; ++i) {
            const int code = i % 6;
            const QByteArray chunk =
                QByteArray(1, ((i / 6) % 2 ? upper : lower)[code]) + garbage(kChunkGarbage);
            Expect(code);
            const std::int64_t at = waveOutNowNs();
            ASSERT_TRUE(pty.Send(chunk.constData(), std::size_t(chunk.size())));
            sent += int(chunk.size());
            ASSERT_TRUE(PumpUntil([&] { return handled == sent; }))
                << handled << " of " << sent << " bytes handled";
            Handled();
            PumpUntil([&] { return waveOutNowNs() - at >= 50'000'000; });
        }
        ASSERT_TRUE(PumpUntil([&] { return form.AllStopped(); }));
    };
    round();
    if (HasFatalFailure()) return;
    // The capture output's ring (5.5 s of sound) takes memory as the output
    // first goes round it: measure once it has.
    const unsigned rate = waveOutGetStatus().rate;
    ASSERT_TRUE(PumpUntil([&] { return waveOutGetStatus().framesRendered >= 6ull * rate; }));
    const long afterFirst = ResidentKiB();
    round();
    if (HasFatalFailure()) return;
    const long afterSecond = ResidentKiB();
    std::printf("VmRSS after the first round %ld KiB, after the second %ld KiB\n", afterFirst, afterSecond);
    ASSERT_GT(afterFirst, 0);
#if !defined(__SANITIZE_ADDRESS__)
    // 256 KiB is less than 20000 of the smallest allocations (32 bytes) or
    // 40 bells' rings of buffers (20 KiB each): a leak per byte or per
    // stroke shows. The output's report queues, taking memory as they first
    // fill, add a few KiB a round.
    EXPECT_LE(afterSecond, afterFirst + 256) << "memory grew by " << afterSecond - afterFirst << " KiB";
#endif

    // All 20000 at once, as fast as the line takes them, a stroke first and
    // one last: written from another thread while this one handles them.
    const QByteArray burst = QByteArray("1") + garbage(20000) + QByteArray("T");
    Expect(0);
    Expect(3);
    const std::int64_t start = waveOutNowNs();
    std::atomic<bool> written{false}, writeFailed{false};
    std::thread writer([&] {
        writeFailed = !pty.Send(burst.constData(), std::size_t(burst.size()), std::chrono::seconds(60));
        written = true;
    });
    sent += int(burst.size());
    const bool drained = PumpUntil([&] { return (handled == sent && written) || writeFailed; }, 60);
    const std::int64_t drainNs = waveOutNowNs() - start;
    writer.join();
    ASSERT_FALSE(writeFailed);
    ASSERT_TRUE(drained) << handled << " of " << sent << " bytes handled";
    Expected[Expected.size() - 2].HandledNs = Expected.back().HandledNs = waveOutNowNs();
    std::printf("%d bytes drained in %.1f ms (%.1f us a byte)\n", int(burst.size()), drainNs / 1e6,
                drainNs / 1e3 / burst.size());
    RecordProperty("drain_ms", std::to_string(drainNs / 1'000'000));
    ASSERT_TRUE(PumpUntil([&] { return form.AllStopped(); }));

    EXPECT_EQ(offMain, 0) << "events off the main thread";
    EXPECT_EQ(handled, sent) << "one event per byte";
    EXPECT_TRUE(BoxTexts().empty()) << Shown();
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_FALSE(form.FComPort1()->GetActive());
    CheckHeard();
}

}  // namespace
