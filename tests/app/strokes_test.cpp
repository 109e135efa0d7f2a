// Strokes as a tower makes them: a pseudo-terminal stands in for the
// receiver, the window's own players play to the capture output, and each
// row of the table is judged by what was heard: which bells, how often, in
// what order and when.

#include "app/MainForm.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/gui/Timer.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"
#include "tests/support/LineWitness.h"
#include "tests/support/PseudoTerminal.h"
#include "tests/support/RealTime.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

namespace {

struct Step {
    enum TKind { Send, Click, Delays, Sequence };
    int AtMs;
    TKind Kind;
    QByteArray Bytes = {};  // Send
    int Bell = 0;           // Click
    bool On = false;        // Delays
    int BusyMs = 0;         // Send: the main thread then does something else this long
};

Step SendAt(int ms, QByteArray bytes) {
    return {ms, Step::Send, std::move(bytes)};
}
Step ClickAt(int ms, int bell) {
    return {ms, Step::Click, {}, bell};
}
Step DelaysAt(int ms, bool on) {
    return {ms, Step::Delays, {}, 0, on};
}
Step SequenceAt(int ms) {
    return {ms, Step::Sequence};
}
// A stroke that arrives while the main thread does something else for a while.
Step SendWhileBusyAt(int ms, QByteArray bytes, int busyMs) {
    return {ms, Step::Send, std::move(bytes), 0, false, busyMs};
}

// A bell heard starting AfterMs after step Step was taken.
struct Heard {
    int Bell;
    int Step;
    int AfterMs;
};

// A bell not heard between two moments after a step.
struct Silent {
    int Bell;
    int Step;
    int FromMs, ToMs;
};

struct StrokeRow {
    const char* Name;
    bool DelaysActive;
    std::vector<int> Bells;                   // bells with a sound, each its own code
    std::vector<std::pair<int, int>> Delays;  // bell, ms (others 300)
    int SoundMs;
    std::vector<Step> Steps;
    std::vector<Heard> Expected;
    std::vector<Silent> Silences = {};
    bool Listening = true;    // the sequence runs only while not listening
    int StrokeLatencyMs = 0;  // 0: the output's least
};

void PrintTo(const StrokeRow& r, std::ostream* os) {
    *os << r.Name;
}

constexpr double kToleranceMs = 20.0;
// A line that holds a stroke longer than this changes what the rules make
// of the strokes around it: such a run is not judged.
constexpr double kLineTooSlowMs = 25.0;
// Each sound starts with this many silent frames, so that a restart shows
// even when the stop and the new start meet; onsets are counted from the
// sound's own first frame.
constexpr std::uint32_t kLeadFrames = 48;

class StrokeTable : public ::testing::TestWithParam<StrokeRow>, protected CaptureFixture {
protected:
    void SetUp() override { StartCapture(128, 48000, unsigned(GetParam().StrokeLatencyMs) * 1000); }
    void TearDown() override { Form.reset(); }

    void OpenConsole(const StrokeRow& row) {
        QByteArray settings = "[COMPORT]\nFComPort1.DeviceName=" + QByteArray(Pty.SlavePath().c_str()) + "\n";
        settings += "[SOUNDFILES]\n";
        for (std::size_t code = 0; code < row.Bells.size(); ++code) {
            const int bell = row.Bells[code];
            const QString file = MakeCodedBell(Sandbox->Dir.file(QStringLiteral("bell%1.wav").arg(bell)),
                                               int(code), row.SoundMs, 48000, kLeadFrames);
            settings += "BELL" + QByteArray::number(bell) + "=" + file.toUtf8() + "\n";
            CodeOf[bell] = int(code);
        }
        settings += "[DELAY]\n";
        for (const auto& [bell, ms] : row.Delays)
            settings += "BELL" + QByteArray::number(bell) + "=" + QByteArray::number(ms) + "\n";
        Sandbox->WriteSettings(settings);

        Form = std::make_unique<TfMainform>();
        Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        ASSERT_TRUE(Sandbox->Boxes.Boxes.empty()) << Sandbox->Boxes.Boxes[0].Text.toStdString();
        Form->cbDelaysActive()->setChecked(row.DelaysActive);
        if (!row.Listening) return;
        QTest::mouseClick(Form->bListen(), Qt::LeftButton);
        ASSERT_TRUE(Form->FComPort1()->GetActive()) << "listening did not start";
        ASSERT_EQ(Form->bListen()->text(), "STOP LISTENING");
        ASSERT_FALSE(Form->bSequence()->isEnabled());
    }

    // Takes each step at its time, pumping the main thread in between, and
    // keeps checking that every LED is lit exactly while its bell sounds.
    void Run(const StrokeRow& row) {
        const std::int64_t begin = waveOutNowNs();
        int lastDue = 0;
        for (const Heard& h : row.Expected) lastDue = std::max(lastDue, row.Steps[h.Step].AtMs + h.AfterMs);
        const int lastStep = row.Steps.empty() ? 0 : row.Steps.back().AtMs;
        const std::int64_t end =
            begin + std::int64_t(std::max(lastDue, lastStep) + row.SoundMs + 300) * 1000000;

        std::size_t next = 0;
        while (waveOutNowNs() < end || !Form->AllStopped()) {
            const std::int64_t now = waveOutNowNs();
            if (next < row.Steps.size() && now >= begin + std::int64_t(row.Steps[next].AtMs) * 1000000) {
                Take(row.Steps[next]);
                ++next;
            }
            for (int n = 1; n <= kBellCount; ++n) {
                ASSERT_EQ(Form->MMLED(n)->Enabled(), Form->Player(n)->IsOpen()) << "LED " << n;
                if (Form->MMLED(n)->Enabled()) Lit.insert(n);
            }
            ASSERT_LT(now, end + std::int64_t(10) * 1000000000) << "bells never stopped";
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        const WaveOutStatus status = waveOutGetStatus();
        Origin = status.originNs;
        Rate = status.rate;
        Latency = status.latencyFrames;
        if (row.Listening) {
            QTest::mouseClick(Form->bListen(), Qt::LeftButton);
            EXPECT_FALSE(Form->FComPort1()->GetActive());
            EXPECT_EQ(Form->bListen()->text(), "START LISTENING");
            EXPECT_TRUE(Form->bSequence()->isEnabled());
        }
        Form.reset();
        Mix = FinishCapture();
    }

    void Take(const Step& step) {
        // Nothing runs between the time noted and a stroke's write.
        std::optional<RealTimeMoment> moment;
        if (step.Kind == Step::Send) moment.emplace();
        StepTimes.push_back(waveOutNowNs());
        StepMarks.push_back(LineWitness::kNone);
        switch (step.Kind) {
            case Step::Send:
                ASSERT_TRUE(Pty.Send(step.Bytes.constData(), std::size_t(step.Bytes.size())));
                StepMarks.back() = Witness.Mark();
                moment.reset();
                std::this_thread::sleep_for(std::chrono::milliseconds(step.BusyMs));
                break;
            case Step::Click:
                QTest::mouseClick(Form->MMLED(step.Bell), Qt::LeftButton);
                break;
            case Step::Delays:
                Form->cbDelaysActive()->setChecked(step.On);
                break;
            case Step::Sequence:
                QTest::mouseClick(Form->bSequence(), Qt::LeftButton);
                break;
        }
    }

    // The output frame at which something asked for at TimeNs is heard.
    double DueFrame(std::int64_t TimeNs) const {
        return double(TimeNs - Origin) * Rate / 1e9 + double(Latency);
    }

    std::string Describe(const std::vector<Onset>& onsets) const {
        std::ostringstream s;
        for (const Onset& o : onsets) {
            int bell = 0;
            for (const auto& [b, code] : CodeOf)
                if (code == o.Code) bell = b;
            s << " bell " << bell << " at "
              << (double(o.Frame - kLeadFrames) - DueFrame(StepTimes.front())) * 1000.0 / Rate << " ms;";
        }
        return s.str();
    }

    std::unique_ptr<ConsoleSandbox> Sandbox = std::make_unique<ConsoleSandbox>(QStringList{"/dev/ttyS0"});
    PseudoTerminal Pty;
    std::unique_ptr<TfMainform> Form;
    Capture Mix;
    std::map<int, int> CodeOf;
    std::set<int> Lit;
    std::vector<std::int64_t> StepTimes;
    // The line's own delay at each stroke, watched beside it.
    LineWitness Witness;
    std::vector<std::size_t> StepMarks;
    double LineDelayMs(int Step) const { return double(Witness.DelayNs(StepMarks[std::size_t(Step)])) / 1e6; }
    std::int64_t Origin = 0;
    unsigned Rate = 0;
    std::int64_t Latency = 0;
};

TEST_P(StrokeTable, IsHeardAsTheTableSays) {
    const StrokeRow row = GetParam();
    OpenConsole(row);
    if (HasFatalFailure()) return;
    Run(row);
    if (HasFatalFailure()) return;

    const std::vector<Onset> onsets = Onsets(Mix);
    double held = 0;
    for (std::size_t i = 0; i < StepMarks.size(); ++i) held = std::max(held, LineDelayMs(int(i)));
    if (held > kLineTooSlowMs)
        GTEST_SKIP() << "the line itself held a stroke " << held << " ms: this machine is too busy to judge";
    ASSERT_EQ(onsets.size(), row.Expected.size()) << "heard:" << Describe(onsets);
    std::vector<Heard> expected = row.Expected;
    std::stable_sort(expected.begin(), expected.end(), [&](const Heard& a, const Heard& b) {
        return StepTimes[a.Step] + a.AfterMs * 1000000LL < StepTimes[b.Step] + b.AfterMs * 1000000LL;
    });
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const Heard& h = expected[i];
        EXPECT_EQ(onsets[i].Code, CodeOf[h.Bell]) << "onset " << i << "; heard:" << Describe(onsets);
        const double due = DueFrame(StepTimes[h.Step] + std::int64_t(h.AfterMs) * 1000000);
        const double errorMs = (double(onsets[i].Frame - kLeadFrames) - due) * 1000.0 / Rate;
        // Forgiven: the line's own delay at the stroke.
        const double judged = errorMs - std::clamp(errorMs, 0.0, LineDelayMs(h.Step));
        EXPECT_LE(std::abs(judged), kToleranceMs)
            << "bell " << h.Bell << " due " << h.AfterMs << " ms after step " << h.Step << " came " << errorMs
            << " ms off; heard:" << Describe(onsets);
    }
    for (const Silent& s : row.Silences) {
        const std::int64_t t = StepTimes[s.Step];
        EXPECT_FALSE(Sounds(Mix, CodeOf[s.Bell], std::int64_t(DueFrame(t + s.FromMs * 1000000LL)),
                            std::int64_t(DueFrame(t + s.ToMs * 1000000LL))))
            << "bell " << s.Bell << " sounded between " << s.FromMs << " and " << s.ToMs << " ms";
    }
    std::set<int> heardBells;
    for (const Heard& h : row.Expected) heardBells.insert(h.Bell);
    EXPECT_EQ(Lit, heardBells) << "LEDs lit";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StrokeTable,
    ::testing::Values(
        StrokeRow{"IdleBellSoundsOneDelayLater", true, {3}, {{3, 300}}, 400, {SendAt(0, "3")}, {{3, 0, 300}}},
        StrokeRow{"StrokeDuringItsDelaySoundsAtOnceAndOnlyOnce",
                  true,
                  {3},
                  {{3, 300}},
                  400,
                  {SendAt(0, "3"), SendAt(150, "3")},
                  {{3, 1, 0}}},
        StrokeRow{"StrokeWhileSoundingSilencesItForTheDelay",
                  true,
                  {3},
                  {{3, 300}},
                  400,
                  {SendAt(0, "3"), SendAt(450, "3")},
                  {{3, 0, 300}, {3, 1, 300}},
                  {{3, 1, 25, 275}}},
        StrokeRow{"StrokeWhileDelayPendingAndSoundingRestartsAtOnce",
                  true,
                  {3},
                  {{3, 300}},
                  400,
                  {SendAt(0, "3"), ClickAt(100, 3), SendAt(200, "3")},
                  {{3, 1, 0}, {3, 2, 0}}},
        StrokeRow{"WithoutDelaysEveryStrokeRestartsAtOnce",
                  false,
                  {3},
                  {{3, 300}},
                  400,
                  {SendAt(0, "3"), SendAt(150, "3")},
                  {{3, 0, 0}, {3, 1, 0}}},
        StrokeRow{"PendingDelayStillSoundsAfterDelaysAreSwitchedOff",
                  true,
                  {3},
                  {{3, 300}},
                  400,
                  {SendAt(0, "3"), DelaysAt(100, false)},
                  {{3, 0, 300}}},
        StrokeRow{"DigitsNameBellsOneToTenAndOtherBytesNothing",
                  false,
                  {1, 9, 10},
                  {},
                  150,
                  {SendAt(0, "1"), SendAt(100, "9"), SendAt(200, "0"),
                   SendAt(300, QByteArray("Zx \r\n\x80\xff\x7f", 8)), SendAt(400, QByteArray("\0", 1))},
                  {{1, 0, 0}, {9, 1, 0}, {10, 2, 0}}},
        StrokeRow{"LettersNameBellsElevenToSixteenInEitherCase",
                  false,
                  {11, 12, 13, 14, 15, 16},
                  {},
                  120,
                  {SendAt(0, "e"), SendAt(60, "T"), SendAt(120, "a"), SendAt(180, "B"), SendAt(240, "c"),
                   SendAt(300, "D")},
                  {{11, 0, 0}, {12, 1, 0}, {13, 2, 0}, {14, 3, 0}, {15, 4, 0}, {16, 5, 0}}},
        StrokeRow{"TwoBellsInOneWriteEachKeepTheirOwnDelay",
                  true,
                  {3, 5},
                  {{3, 300}, {5, 200}},
                  400,
                  {SendAt(0, "35")},
                  {{5, 0, 200}, {3, 0, 300}}},
        StrokeRow{"ZeroDelayMeansNoDelay", true, {4}, {{4, 0}}, 300, {SendAt(0, "4")}, {{4, 0, 0}}},
        StrokeRow{"BellWithoutASoundStaysSilentAndDark",
                  false,
                  {2},
                  {},
                  200,
                  {SendAt(0, "6"), SendAt(50, "2")},
                  {{2, 1, 0}}},
        // A stroke the main thread comes to 35 ms late still lands on its
        // sample, the stroke latency after its byte arrived; so does the
        // delay it arms.
        StrokeRow{"StrokeHandledLateStillLandsOnItsSample",
                  false,
                  {1, 3},
                  {{3, 300}},
                  150,
                  {SendWhileBusyAt(0, "1", 35), DelaysAt(200, true), SendWhileBusyAt(400, "3", 35)},
                  {{1, 0, 0}, {3, 2, 300}},
                  {},
                  true,
                  50},
        // Bells in turn every 750 ms from one interval after the click; a
        // new start begins again with bell 1. Bells 3 to 16 have no sound.
        StrokeRow{"SequenceBeginsWithBellOneAfterEveryStart",
                  true,
                  {1, 2},
                  {},
                  200,
                  {SequenceAt(0), SequenceAt(1700), SequenceAt(1800), SequenceAt(2700)},
                  {{1, 0, 750}, {2, 0, 1500}, {1, 2, 750}},
                  {},
                  false}),
    [](const ::testing::TestParamInfo<StrokeRow>& info) { return std::string(info.param.Name); });

}  // namespace
