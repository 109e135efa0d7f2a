// A ring's sound as it comes out of the mixer: each bell's volume, its
// handstroke and backstroke delays, and muffled blows, judged on the
// captured mix.

#include "platform/base/Clock.h"
#include "ringing/Muffle.h"
#include "ringing/RingingEngine.h"
#include "tests/support/WaveOutTestKit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <map>
#include <numbers>
#include <thread>

namespace {

constexpr unsigned kRate = 48000;
constexpr std::int64_t kMs = 1'000'000;

// A sum of sines (Hz, amplitude), Ms long, at the output's rate.
std::shared_ptr<TBellSound> Tones(std::vector<std::pair<double, double>> Parts, int Ms) {
    auto sound = std::make_shared<TBellSound>();
    sound->rate = kRate;
    const std::size_t frames = kRate * static_cast<std::size_t>(Ms) / 1000;
    sound->frames.resize(frames * 2);
    for (std::size_t f = 0; f < frames; ++f) {
        double v = 0;
        // Cosines: the first frame is loud, so an onset shows at once.
        for (const auto& [hz, amplitude] : Parts)
            v += amplitude * std::cos(2 * std::numbers::pi * hz * f / kRate);
        sound->frames[2 * f] = sound->frames[2 * f + 1] = static_cast<float>(v);
    }
    return sound;
}

// The ringing engine striking into the capture output.
class RingSound : public ::testing::Test, protected CaptureFixture {
protected:
    void SetUp() override {
        StartCapture();
        Engine = std::make_unique<TRingingEngine>([](const WaveOutStrike& S) { return waveOutStrike(S); });
        TRingingEngine* engine = Engine.get();
        Previous =
            waveOutSetStrikeListener([engine](const WaveOutStrikeReport& R) { engine->TakeMixerReport(R); });
        Engine->Start();
        Settings.DelaysActive = true;
    }
    void TearDown() override {
        waveOutSetStrikeListener(Previous);
        Engine.reset();
    }

    // A stroke handed in a little before its time, as a receiver's byte
    // comes: a later stroke must not reach the mixer before an earlier
    // one's start has begun (it would move that start, as a stroke does).
    void StrokeAt(int Bell, std::int64_t TimeNs) {
        const std::int64_t handIn = TimeNs - 150 * kMs;
        if (const std::int64_t wait = handIn - MonotonicNs(); wait > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        Engine->Stroke(Bell, TimeNs, TStrokeSource::Line);
    }

    // Waits for Count strikes' last reports; the Started reports, by blow.
    std::map<std::uint64_t, WaveOutStrikeReport> Finish(std::size_t Count) {
        std::map<std::uint64_t, WaveOutStrikeReport> started;
        std::size_t finals = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (finals < Count && std::chrono::steady_clock::now() < until) {
            WaveOutStrikeReport r;
            TRingingReport er;
            while (Engine->NextReport(er)) Reports.push_back(er);
            if (!Engine->NextSoundReport(r)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if (r.kind == WaveOutStrikeReport::Started)
                started[r.blow] = r;
            else
                ++finals;
        }
        TRingingReport er;
        while (Engine->NextReport(er)) Reports.push_back(er);
        EXPECT_EQ(finals, Count) << "strikes that never ended";
        Mix = FinishCapture();
        return started;
    }

    // The gain at which Sound best explains the mix from Frame on, over Frames.
    double GainAt(const TBellSound& Sound, std::int64_t Frame, std::size_t Frames) const {
        double cross = 0, self = 0;
        for (std::size_t i = 0;
             i < Frames && Frame + static_cast<std::int64_t>(i) < std::int64_t(Mix.frames()); ++i) {
            const double s = Sound.frames[2 * i] * 32768.0;
            cross += s * Mix.at(static_cast<std::size_t>(Frame) + i, 0);
            self += s * s;
        }
        return self > 0 ? cross / self : 0;
    }

    // The level (RMS) of Hz in the mix over [Frame, Frame + Frames).
    double LevelOf(double Hz, std::int64_t Frame, std::size_t Frames) const {
        double re = 0, im = 0;
        for (std::size_t i = 0; i < Frames; ++i) {
            const double x = Mix.at(static_cast<std::size_t>(Frame) + i, 0);
            re += x * std::cos(2 * std::numbers::pi * Hz * i / kRate);
            im += x * std::sin(2 * std::numbers::pi * Hz * i / kRate);
        }
        return std::sqrt(re * re + im * im) * std::numbers::sqrt2 / Frames;
    }
    double Rms(std::int64_t Frame, std::size_t Frames) const {
        double sum = 0;
        for (std::size_t i = 0; i < Frames; ++i) {
            const double x = Mix.at(static_cast<std::size_t>(Frame) + i, 0);
            sum += x * x;
        }
        return std::sqrt(sum / Frames);
    }

    std::unique_ptr<TRingingEngine> Engine;
    WaveOutStrikeListener Previous;
    TRingingSettings Settings;
    std::vector<TRingingReport> Reports;
    Capture Mix;
};

double Db(double Ratio) {
    return 20 * std::log10(Ratio);
}

TEST_F(RingSound, ABellAtMinus12DbIs12DbQuieterAndTheOthersUnchanged) {
    Settings.Sounds[3] = Tones({{523.0, 0.3}}, 300);
    Settings.Sounds[5] = Tones({{659.0, 0.3}}, 300);
    Settings.Sounds[8] = Tones({{784.0, 0.3}}, 300);
    Settings.VolumeDb[3] = -12;
    Engine->Publish(Settings);
    const std::int64_t t0 = MonotonicNs() + 200 * kMs;
    Engine->Stroke(3, t0, TStrokeSource::Key);
    Engine->Stroke(5, t0 + 400 * kMs, TStrokeSource::Key);
    Engine->Stroke(8, t0 + 800 * kMs, TStrokeSource::Key);
    const auto started = Finish(3);
    ASSERT_EQ(started.size(), 3u);
    ASSERT_EQ(Reports.size(), 3u);
    std::map<int, double> gains;
    for (const TRingingReport& r : Reports) {
        const auto it = started.find(r.Blow);
        ASSERT_NE(it, started.end());
        gains[r.Bell] = GainAt(*Settings.Sounds[r.Bell], it->second.frame, 250 * kRate / 1000);
    }
    EXPECT_NEAR(Db(gains[3]), -12.0, 0.1);
    EXPECT_NEAR(Db(gains[5]), 0.0, 0.01);
    EXPECT_NEAR(Db(gains[8]), 0.0, 0.01);
}

TEST_F(RingSound, TheMasterVolumeMovesEveryBell) {
    Settings.Sounds[2] = Tones({{440.0, 0.3}}, 300);
    Settings.Sounds[9] = Tones({{880.0, 0.3}}, 300);
    Settings.VolumeDb[9] = -6;
    Settings.MasterDb = -10;
    Engine->Publish(Settings);
    const std::int64_t t0 = MonotonicNs() + 200 * kMs;
    Engine->Stroke(2, t0, TStrokeSource::Key);
    Engine->Stroke(9, t0 + 400 * kMs, TStrokeSource::Key);
    const auto started = Finish(2);
    ASSERT_EQ(Reports.size(), 2u);
    for (const TRingingReport& r : Reports)
        EXPECT_NEAR(Db(GainAt(*Settings.Sounds[r.Bell], started.at(r.Blow).frame, 12000)),
                    r.Bell == 2 ? -10.0 : -16.0, 0.1)
            << "bell " << r.Bell;
}

TEST_F(RingSound, SixteenBellsAtPlus6DbTogetherAreLimitedNotWrapped) {
    // Each at half scale, +6 dB: together sixteen times full scale.
    const auto sound = Tones({{220.0, 0.5}}, 400);
    for (int n = 1; n <= kRingingBells; ++n) {
        Settings.Sounds[n] = sound;
        Settings.VolumeDb[n] = kMaxVolumeDb;
    }
    Settings.DelaysActive = false;
    Engine->Publish(Settings);
    const std::int64_t t0 = MonotonicNs() + 200 * kMs;
    for (int n = 1; n <= kRingingBells; ++n) Engine->Stroke(n, t0, TStrokeSource::Key);
    const auto started = Finish(kRingingBells);
    ASSERT_EQ(started.size(), std::size_t(kRingingBells));
    const std::int64_t first = started.begin()->second.frame;
    for (const auto& [blow, r] : started) ASSERT_EQ(r.frame, first) << "all start on one frame";
    const std::size_t frames = 350 * kRate / 1000;
    // A clipped wave sits at full scale for runs of samples; a limited one
    // touches it at most at its peaks.
    std::size_t flat = 0, run = 0, wrongSign = 0, checked = 0;
    double peak = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        const int x = Mix.at(static_cast<std::size_t>(first) + i, 0);
        const double expected = sound->frames[2 * i];
        peak = std::max(peak, std::fabs(double(x)));
        run = x >= 32767 || x <= -32768 ? run + 1 : 0;
        flat += run >= 3;
        if (std::fabs(expected) > 0.05) {
            ++checked;
            wrongSign += (x > 0) != (expected > 0);
        }
    }
    EXPECT_EQ(wrongSign, 0u) << "of " << checked << " samples: the mix wrapped";
    EXPECT_LT(flat, 50u) << "samples held at full scale: clipped, not limited";
    EXPECT_GT(peak, 30000) << "the limiter keeps the mix loud";
}

TEST_F(RingSound, HandAndBackDelaysFallOnTheirOwnBlows) {
    // A level the first frame shows: each blow's onset is where its delay ends.
    const auto sound = Tones({{0.0, 0.25}}, 150);
    Settings.Sounds[4] = sound;
    Settings.DelayMs[4] = 100;
    Settings.BackDelayMs[4] = 260;
    Engine->Publish(Settings);
    const WaveOutStatus st = waveOutGetStatus();
    const auto frameOf = [&st](std::int64_t Ns) {
        return double(Ns - st.originNs) * st.rate / 1e9 + double(st.latencyFrames);
    };
    const std::int64_t t0 = MonotonicNs() + 200 * kMs;
    const std::vector<std::int64_t> strokes{t0, t0 + 600 * kMs, t0 + 1200 * kMs, t0 + 1800 * kMs};
    for (const std::int64_t t : strokes) StrokeAt(4, t);
    Finish(strokes.size());
    std::vector<std::int64_t> onsets;
    for (std::size_t f = 1; f < Mix.frames(); ++f)
        if (Mix.at(f, 0) != 0 && Mix.at(f - 1, 0) == 0) onsets.push_back(static_cast<std::int64_t>(f));
    ASSERT_EQ(onsets.size(), strokes.size());
    for (std::size_t i = 0; i < strokes.size(); ++i) {
        const int delayMs = i % 2 == 0 ? 100 : 260;
        const double expected = frameOf(strokes[i] + delayMs * kMs);
        EXPECT_NEAR(double(onsets[i]), expected, 1.0) << "blow " << i << (i % 2 ? " (back)" : " (hand)");
    }
    ASSERT_EQ(Reports.size(), strokes.size());
    for (std::size_t i = 0; i < Reports.size(); ++i) EXPECT_EQ(Reports[i].Handstroke, i % 2 == 0);
}

TEST_F(RingSound, AStrokeAfterTenQuietSecondsIsAHandstroke) {
    // Decided on stroke times alone: the strikes lie in the past and play at once.
    Settings.Sounds[6] = Tones({{0.0, 0.1}}, 20);
    Engine->Publish(Settings);
    const std::int64_t t0 = MonotonicNs() - 30'000 * kMs;
    for (const std::int64_t t : {t0, t0 + 2'000 * kMs, t0 + 12'500 * kMs, t0 + 14'000 * kMs})
        Engine->Stroke(6, t, TStrokeSource::Line);
    Finish(4);
    ASSERT_EQ(Reports.size(), 4u);
    const bool expected[] = {true, false, true, false};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(Reports[i].Handstroke, expected[i]) << "stroke " << i;
}

struct MuffleRow {
    const char* Name;
    TMuffle Muffle;
    std::vector<bool> Muffled;  // per blow, hand first
};

void PrintTo(const MuffleRow& R, std::ostream* Os) {
    *Os << R.Name;
}

class Muffles : public RingSound, public ::testing::WithParamInterface<MuffleRow> {};

TEST_P(Muffles, MuffledBlowsLoseTheirUpperPartialsAndDieAway) {
    const MuffleRow& row = GetParam();
    const auto open = Tones({{300.0, 0.2}, {3000.0, 0.2}}, 700);
    Settings.Sounds[7] = open;
    Settings.Muffled[7] = MakeMuffled(*open);
    Settings.Muffles[7] = row.Muffle;
    Settings.DelaysActive = false;
    Engine->Publish(Settings);
    const std::int64_t t0 = MonotonicNs() + 200 * kMs;
    for (std::size_t i = 0; i < row.Muffled.size(); ++i)
        StrokeAt(7, t0 + static_cast<std::int64_t>(i) * 800 * kMs);
    const auto started = Finish(row.Muffled.size());
    ASSERT_EQ(Reports.size(), row.Muffled.size());
    const std::size_t window = 100 * kRate / 1000;
    for (std::size_t i = 0; i < Reports.size(); ++i) {
        SCOPED_TRACE("blow " + std::to_string(i));
        const std::int64_t at = started.at(Reports[i].Blow).frame;
        const double upper = Db(LevelOf(3000, at, window) / LevelOf(300, at, window));
        const double decay = Db(Rms(at + 500 * kRate / 1000, window) / Rms(at, window));
        EXPECT_EQ(Reports[i].Muffled, row.Muffled[i]);
        if (row.Muffled[i]) {
            EXPECT_LT(upper, -40.0) << "the upper partial stays";
            EXPECT_LT(decay, -8.0) << "it rings on";
        } else {
            EXPECT_NEAR(upper, 0.0, 0.5);
            EXPECT_NEAR(decay, 0.0, 0.5);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Muffles,
    ::testing::Values(MuffleRow{"Open", TMuffle::Open, {false, false, false, false}},
                      MuffleRow{"HalfMuffledBackstrokes", TMuffle::Half, {false, true, false, true}},
                      MuffleRow{"FullyMuffled", TMuffle::Full, {true, true, true}}),
    [](const auto& Info) { return std::string(Info.param.Name); });

TEST(MuffledSound, IsShortAndKeepsTheFileStamp) {
    auto open = Tones({{200.0, 0.5}}, 4000);
    open->Path = "/somewhere/1.wav";
    open->Size = 1234;
    const auto muffled = MakeMuffled(*open);
    EXPECT_EQ(muffled->rate, open->rate);
    EXPECT_EQ(muffled->Path, open->Path);
    EXPECT_EQ(muffled->Size, open->Size);
    // Cut where the envelope is 60 dB down.
    EXPECT_NEAR(double(muffled->frameCount()) / kRate, std::log(1000.0) * kMuffleDecaySeconds, 0.001);
    EXPECT_EQ(MakeMuffled(TBellSound{})->frameCount(), 0u);
}

}  // namespace
