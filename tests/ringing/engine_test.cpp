// The ringing engine's decisions: what it asks of the mixer for each
// stroke, judged on the strikes it sends (times exact to the nanosecond,
// since every time is the stroke's own) and on the reports the window gets.

#include "ringing/RingingEngine.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QFile>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kT0 = 1'000'000 * kMs;  // any time: the engine reads no clock
constexpr int kSoundMs = 400;

std::shared_ptr<TBellSound> MakeSound(int Ms = kSoundMs) {
    auto sound = std::make_shared<TBellSound>();
    sound->rate = 48000;
    sound->frames.assign(static_cast<std::size_t>(48 * Ms) * 2, 0.25f);
    return sound;
}

// What the mixer was asked, in the order asked.
class RecordingSink {
public:
    bool Take(const WaveOutStrike& Strike) {
        std::lock_guard lock(FLock);
        FStrikes.push_back(Strike);
        return FAccept;
    }
    std::vector<WaveOutStrike> Strikes() {
        std::lock_guard lock(FLock);
        return FStrikes;
    }
    void Refuse() {
        std::lock_guard lock(FLock);
        FAccept = false;
    }

private:
    std::mutex FLock;
    std::vector<WaveOutStrike> FStrikes;
    bool FAccept = true;
};

class Engine : public ::testing::Test {
protected:
    Engine() : FEngine([this](const WaveOutStrike& S) { return Sink.Take(S); }) {}

    void SetUp() override {
        Settings.DelaysActive = true;
        for (int n = 1; n <= kRingingBells; ++n) Settings.DelayMs[n] = 300;
        Settings.Sounds[3] = MakeSound();
        Settings.Sounds[5] = MakeSound();
        FEngine.Publish(Settings);
        FEngine.Start();
    }

    // Waits until the engine has reported Count more reports (after all it
    // was handed before), and returns them.
    std::vector<TRingingReport> Await(std::size_t Count) {
        std::vector<TRingingReport> reports;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        TRingingReport r;
        while (reports.size() < Count && std::chrono::steady_clock::now() < until) {
            if (FEngine.NextReport(r))
                reports.push_back(r);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(reports.size(), Count) << "reports that never came";
        return reports;
    }

    RecordingSink Sink;
    TRingingSettings Settings;
    TRingingEngine FEngine;
};

// A step of a table row: a stroke (the delay rule), a click or sequence
// tick (at once, unless sounding), or a byte from the line, at a time.
struct Step {
    enum TKind { Stroke, Sound, Byte, Silence, Stop };
    TKind Kind;
    int AtMs;
    int Bell = 3;
    unsigned char Value = 0;
};

// A strike the mixer must be asked for; -1 for no time. A bell restarted
// at once is cut a millisecond before its new start.
struct Expected {
    int SilenceMs;
    int StartMs;
    bool KeepPending = false;
};

struct Row {
    const char* Name;
    bool DelaysActive;
    int DelayMs;
    int GuardMs;
    std::vector<Step> Steps;
    std::vector<Expected> Strikes;
    std::size_t Reports;  // how many reports the steps make
};

void PrintTo(const Row& R, std::ostream* Os) {
    *Os << R.Name;
}

class Rules : public Engine, public ::testing::WithParamInterface<Row> {};

TEST_P(Rules, AsksTheMixerAsTheRowSays) {
    const Row& row = GetParam();
    Settings.DelaysActive = row.DelaysActive;
    Settings.DelayMs[3] = row.DelayMs;
    Settings.GuardMs = row.GuardMs;
    FEngine.Publish(Settings);
    for (const Step& s : row.Steps) {
        const std::int64_t t = kT0 + s.AtMs * kMs;
        switch (s.Kind) {
            case Step::Stroke:
                FEngine.Stroke(s.Bell, t, TStrokeSource::Key);
                break;
            case Step::Sound:
                FEngine.Sound(s.Bell, t, TStrokeSource::Click);
                break;
            case Step::Byte:
                FEngine.TakeByte(s.Value, t);
                break;
            case Step::Silence:
                FEngine.SilenceAll(t);
                break;
            case Step::Stop:
                FEngine.StopAll(t);
                break;
        }
    }
    // A last byte, later than every step, says when all were decided.
    FEngine.TakeByte('!', kT0 + 100'000 * kMs);
    const std::vector<TRingingReport> reports = Await(row.Reports + 1);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().Value, '!');
    const std::vector<WaveOutStrike> strikes = Sink.Strikes();
    ASSERT_EQ(strikes.size(), row.Strikes.size());
    for (std::size_t i = 0; i < strikes.size(); ++i) {
        const Expected& e = row.Strikes[i];
        SCOPED_TRACE("strike " + std::to_string(i));
        EXPECT_EQ(strikes[i].slot, 2);
        EXPECT_EQ(strikes[i].silenceNs, e.SilenceMs < 0 ? 0 : kT0 + e.SilenceMs * kMs);
        EXPECT_EQ(strikes[i].startNs, e.StartMs < 0 ? 0 : kT0 + e.StartMs * kMs);
        EXPECT_EQ(strikes[i].sound != nullptr, e.StartMs >= 0);
        EXPECT_EQ(strikes[i].keepPending, e.KeepPending);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rules,
    ::testing::Values(Row{"IdleBellStartsOneDelayLater", true, 300, 0, {{Step::Stroke, 0}}, {{-1, 300}}, 1},
                      Row{"StrokeDuringTheDelayStartsAtOnceInItsPlace",
                          true,
                          300,
                          0,
                          {{Step::Stroke, 0}, {Step::Stroke, 150}},
                          {{-1, 300}, {-1, 150}},
                          2},
                      Row{"StrokeWhileSoundingSilencesItAndStartsOneDelayLater",
                          true,
                          300,
                          0,
                          {{Step::Stroke, 0}, {Step::Stroke, 450}},
                          {{-1, 300}, {450, 750}},
                          2},
                      Row{"StrokeAfterTheSoundEndedOnlyStartsAgain",
                          true,
                          300,
                          0,
                          {{Step::Stroke, 0}, {Step::Stroke, 800}},
                          {{-1, 300}, {-1, 1100}},
                          2},
                      Row{"ClickDuringTheDelayKeepsTheDelayedStart",
                          true,
                          300,
                          0,
                          {{Step::Stroke, 0}, {Step::Sound, 100}},
                          {{-1, 300}, {299, 100, true}},
                          2},
                      Row{"StrokeWhileDelayPendingAndSoundingRestartsAtOnce",
                          true,
                          300,
                          0,
                          {{Step::Stroke, 0}, {Step::Sound, 100}, {Step::Stroke, 200}},
                          {{-1, 300}, {299, 100, true}, {199, 200}},
                          3},
                      Row{"ClickWhileSoundingDoesNothing",
                          false,
                          300,
                          0,
                          {{Step::Sound, 0}, {Step::Sound, 100}, {Step::Sound, 450}},
                          {{-1, 0, true}, {-1, 450, true}},
                          2},
                      Row{"WithoutDelaysEveryStrokeRestartsAtOnce",
                          false,
                          300,
                          0,
                          {{Step::Stroke, 0}, {Step::Stroke, 150}},
                          {{-1, 0}, {149, 150}},
                          2},
                      Row{"ZeroDelaySoundsAtOnce", true, 0, 0, {{Step::Stroke, 0}}, {{-1, 0}}, 1},
                      Row{"GuardDropsABounceFromTheLineOnly",
                          false,
                          300,
                          100,
                          {{Step::Byte, 0, 3, '3'},
                           {Step::Byte, 50, 3, '3'},
                           {Step::Stroke, 60},
                           {Step::Byte, 200, 3, '3'}},
                          {{-1, 0}, {59, 60}, {199, 200}},
                          4},
                      Row{"BytesThatNameNoBellStrikeNothing",
                          false,
                          300,
                          0,
                          {{Step::Byte, 0, 3, 'x'}, {Step::Byte, 10, 3, 0xFD}, {Step::Byte, 20, 3, '3'}},
                          {{-1, 20}},
                          3},
                      Row{"SilenceAllCutsWhatSoundsAndKeepsDelayedStarts",
                          true,
                          0,
                          0,
                          {{Step::Stroke, 0}, {Step::Silence, 100}, {Step::Silence, 200}},
                          {{-1, 0}, {100, -1, true}},
                          1},
                      Row{"StopAllCutsWhatSoundsAndDropsDelayedStarts",
                          true,
                          300,
                          0,
                          {{Step::Stroke, 0}, {Step::Sound, 50}, {Step::Stop, 100}, {Step::Stop, 200}},
                          {{-1, 300}, {299, 50, true}, {100, -1, false}},
                          2}),
    [](const ::testing::TestParamInfo<Row>& Info) { return std::string(Info.param.Name); });

TEST_F(Engine, ReportsSayWhatWasDecidedInOrder) {
    FEngine.TakeByte('3', kT0);
    FEngine.TakeByte('x', kT0 + 10 * kMs);
    FEngine.Stroke(7, kT0 + 20 * kMs, TStrokeSource::Key);  // bell 7 has no sound
    const std::vector<TRingingReport> r = Await(3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].Kind, TRingingReport::Struck);
    EXPECT_EQ(r[0].Bell, 3);
    EXPECT_EQ(r[0].Source, TStrokeSource::Line);
    EXPECT_TRUE(r[0].Delayed);
    EXPECT_EQ(r[0].TimeNs, kT0);
    EXPECT_EQ(r[0].StartNs, kT0 + 300 * kMs);
    EXPECT_EQ(r[0].Blow, Sink.Strikes().at(0).blow);
    EXPECT_EQ(r[1].Kind, TRingingReport::Byte);
    EXPECT_EQ(r[1].Value, 'x');
    EXPECT_EQ(r[2].Kind, TRingingReport::NoSound);
    EXPECT_EQ(r[2].Bell, 7);
    EXPECT_EQ(Sink.Strikes().size(), 1u);
}

TEST_F(Engine, WhileAnAnswerIsAwaitedNoByteStrikes) {
    FEngine.SetAnswersAwaited(true);
    FEngine.TakeByte('3', kT0);
    const std::vector<TRingingReport> r = Await(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Kind, TRingingReport::Byte);
    EXPECT_TRUE(r[0].Answer);
    EXPECT_EQ(r[0].Value, '3');
    FEngine.SetAnswersAwaited(false);
    FEngine.TakeByte('3', kT0 + 500 * kMs);
    Await(1);
    EXPECT_EQ(Sink.Strikes().size(), 1u);
}

TEST_F(Engine, AFileChangedSinceItWasDecodedIsStaleAndStrikesNothing) {
    TempDir dir;
    const QString path = dir.file(QStringLiteral("bell.wav"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("RIFF");
    file.close();
    auto sound = MakeSound();
    ASSERT_TRUE(sound->StampFile(path.toStdString()));
    Settings.Sounds[5] = sound;
    FEngine.Publish(Settings);
    FEngine.Stroke(5, kT0, TStrokeSource::Key);
    EXPECT_EQ(Await(1).at(0).Kind, TRingingReport::Struck);

    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("more");
    file.close();
    FEngine.Stroke(5, kT0 + 900 * kMs, TStrokeSource::Key);
    ASSERT_TRUE(QFile::remove(path));
    FEngine.Stroke(5, kT0 + 1900 * kMs, TStrokeSource::Key);
    const std::vector<TRingingReport> r = Await(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].Kind, TRingingReport::Stale);
    EXPECT_EQ(r[0].Bell, 5);
    EXPECT_EQ(r[0].TimeNs, kT0 + 900 * kMs);
    EXPECT_EQ(r[1].Kind, TRingingReport::Stale);
    EXPECT_EQ(Sink.Strikes().size(), 1u);
}

TEST_F(Engine, AStrikeTheMixerRefusesIsReportedLostAndHoldsNoSound) {
    Sink.Refuse();
    FEngine.Stroke(3, kT0, TStrokeSource::Key);
    const std::vector<TRingingReport> r = Await(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].Kind, TRingingReport::Lost);
    EXPECT_EQ(r[1].Bell, 3);
    EXPECT_EQ(Settings.Sounds[3]->InFlight.load(), 0);
    // Nothing was started: the next stroke is no restart.
    FEngine.Stroke(3, kT0 + 100 * kMs, TStrokeSource::Key);
    Await(2);
    EXPECT_EQ(Sink.Strikes().at(1).silenceNs, 0);
}

TEST_F(Engine, ASoundOfOldSettingsIsFreedOnceTheMixerHasLetItGo) {
    std::weak_ptr<TBellSound> old = Settings.Sounds[3];
    FEngine.Stroke(3, kT0, TStrokeSource::Key);
    Await(1);
    const WaveOutStrike strike = Sink.Strikes().at(0);
    EXPECT_EQ(old.lock()->InFlight.load(), 1);

    // New settings without it: the engine takes them up with its next item.
    Settings.Sounds[3] = MakeSound();
    FEngine.Publish(Settings);
    FEngine.TakeByte('x', kT0 + 10 * kMs);
    Await(1);
    Settings.Sounds[3].reset();
    FEngine.Publish(Settings);
    EXPECT_FALSE(old.expired()) << "freed while the mixer may still play it";

    WaveOutStrikeReport report;
    report.slot = strike.slot;
    report.blow = strike.blow;
    report.sound = strike.sound;
    report.kind = WaveOutStrikeReport::Started;
    FEngine.TakeMixerReport(report);
    report.kind = WaveOutStrikeReport::Ended;
    FEngine.TakeMixerReport(report);
    WaveOutStrikeReport got;
    ASSERT_TRUE(FEngine.NextSoundReport(got));
    EXPECT_EQ(got.kind, WaveOutStrikeReport::Started);
    ASSERT_TRUE(FEngine.NextSoundReport(got));
    EXPECT_EQ(got.kind, WaveOutStrikeReport::Ended);
    FEngine.Publish(Settings);
    EXPECT_TRUE(old.expired());
}

TEST_F(Engine, StrokesFromTheLineAndTheWindowAtOnceAreAllDecided) {
    // Bell 3 from the line, bell 5 from the window, each a thousand times,
    // far enough apart that every one is a plain start.
    Settings.DelaysActive = false;
    FEngine.Publish(Settings);
    constexpr int kEach = 1000;
    std::thread line([&] {
        for (int i = 0; i < kEach; ++i) {
            FEngine.TakeByte('3', kT0 + std::int64_t(i) * 1000 * kMs);
            if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<TRingingReport> reports;
    for (int i = 0; i < kEach; ++i) {
        FEngine.Stroke(5, kT0 + std::int64_t(i) * 1000 * kMs, TStrokeSource::Key);
        TRingingReport r;
        while (FEngine.NextReport(r)) reports.push_back(r);
        if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    line.join();
    const std::vector<TRingingReport> rest = Await(2 * kEach - reports.size());
    reports.insert(reports.end(), rest.begin(), rest.end());
    int struck3 = 0, struck5 = 0;
    for (const TRingingReport& r : reports) {
        EXPECT_EQ(r.Kind, TRingingReport::Struck);
        EXPECT_FALSE(r.Silenced);
        (r.Bell == 3 ? struck3 : struck5) += 1;
    }
    EXPECT_EQ(struck3, kEach);
    EXPECT_EQ(struck5, kEach);
    EXPECT_EQ(FEngine.BytesDropped(), 0u);
}

}  // namespace
