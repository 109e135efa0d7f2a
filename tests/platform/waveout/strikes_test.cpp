#include "platform/base/Clock.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveOutTestKit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

using Kind = WaveOutStrikeReport::Kind;

bool isFinal(Kind k) {
    return k != WaveOutStrikeReport::Started;
}

const char* kindName(Kind k) {
    switch (k) {
        case WaveOutStrikeReport::Started:
            return "Started";
        case WaveOutStrikeReport::Ended:
            return "Ended";
        case WaveOutStrikeReport::Silenced:
            return "Silenced";
        case WaveOutStrikeReport::Replaced:
            return "Replaced";
    }
    return "?";
}

// Every report the listener is told, with the thread that told it.
struct StrikeLog {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<WaveOutStrikeReport> reports;
    std::vector<std::thread::id> threads;

    void add(const WaveOutStrikeReport& r) {
        std::lock_guard l(lock);
        reports.push_back(r);
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
    }
    std::size_t finalsLocked() const {
        std::size_t n = 0;
        for (const auto& r : reports) n += isFinal(r.kind);
        return n;
    }
    bool waitFinals(std::size_t n, int seconds = 30) {
        std::unique_lock l(lock);
        return changed.wait_for(l, std::chrono::seconds(seconds), [&] { return finalsLocked() >= n; });
    }
    bool waitStarted(std::uint64_t blow, int seconds = 30) {
        std::unique_lock l(lock);
        return changed.wait_for(l, std::chrono::seconds(seconds), [&] {
            for (const auto& r : reports)
                if (r.blow == blow && r.kind == WaveOutStrikeReport::Started) return true;
            return false;
        });
    }
    std::vector<WaveOutStrikeReport> all() {
        std::lock_guard l(lock);
        return reports;
    }
};

WaveOutSound level(float value, std::size_t frames, unsigned rate = 48000) {
    WaveOutSound s;
    s.rate = rate;
    s.frames.assign(frames * 2, value);
    return s;
}

class Strikes : public ::testing::Test, protected CaptureFixture {
protected:
    void SetUp() override {
        previous = waveOutSetStrikeListener([this](const WaveOutStrikeReport& r) { log.add(r); });
        StartCapture();
    }
    void TearDown() override { waveOutSetStrikeListener(previous); }

    // The output frame of a time, as the mixer places it.
    static std::int64_t frameOf(const WaveOutStatus& st, std::int64_t ns) {
        return std::llround(double(ns - st.originNs) * st.rate / 1e9) + st.latencyFrames;
    }
    static bool strike(int slot, const WaveOutSound* sound, std::int64_t startNs, std::uint64_t blow,
                       bool keep = false, std::int64_t silenceNs = 0) {
        WaveOutStrike s;
        s.slot = slot;
        s.sound = sound;
        s.startNs = startNs;
        s.blow = blow;
        s.keepPending = keep;
        s.silenceNs = silenceNs;
        return waveOutStrike(s);
    }

    // Waits until the mixer has rendered the first `frames` frames.
    static bool waitRendered(std::int64_t frames) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::int64_t(waveOutGetStatus().framesRendered) < frames) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    StrikeLog log;
    WaveOutStrikeListener previous;
};

const WaveOutSound kA = level(0.25f, 480);       // 8192 in the capture
const WaveOutSound kB = level(0.125f, 480);      // 4096
const WaveOutSound kLong = level(0.25f, 48000);  // a second
const WaveOutSound kWrongRate = level(0.25f, 480, 44100);

}  // namespace

// Each case strikes on a fresh output at times relative to T (well ahead),
// then judges the reports of each slot in order and the captured samples.
TEST_F(Strikes, TimelinesLandOnTheirFrames) {
    struct Step {
        int slot;
        const WaveOutSound* sound;
        double startMs;
        bool keep;
        double silenceMs;  // NAN: none
    };
    struct Expect {
        Kind kind;
        std::uint64_t blow;  // the step's number, from 1
        double ms;           // NAN: the frame is not judged
        int plus;            // frames after that time
    };
    struct Sample {
        double ms;
        int plus;
        std::int16_t value;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<Expect> expect;
        std::vector<Sample> samples;
    };
    const double none = NAN;
    const Case cases[] = {
        {"a start in the future lands on its frame",
         {{0, &kA, 0, false, none}},
         {{WaveOutStrikeReport::Started, 1, 0, 0}, {WaveOutStrikeReport::Ended, 1, 0, 480}},
         {{0, -1, 0}, {0, 0, 8192}, {0, 479, 8192}, {0, 480, 0}}},
        {"a silence cuts on its frame",
         {{0, &kLong, 0, false, none}, {0, nullptr, 0, true, 10}},
         {{WaveOutStrikeReport::Replaced, 2, none, 0},
          {WaveOutStrikeReport::Started, 1, 0, 0},
          {WaveOutStrikeReport::Silenced, 1, 10, 0}},
         {{0, -1, 0}, {0, 0, 8192}, {10, -1, 8192}, {10, 0, 0}, {20, 0, 0}}},
        {"without keepPending a start not yet begun is dropped",
         {{0, &kA, 50, false, none}, {0, &kB, 0, false, none}},
         {{WaveOutStrikeReport::Replaced, 1, 50, 0},
          {WaveOutStrikeReport::Started, 2, 0, 0},
          {WaveOutStrikeReport::Ended, 2, 0, 480}},
         {{0, 0, 4096}, {0, 479, 4096}, {50, 0, 0}, {50, 200, 0}}},
        {"keepPending keeps both in time order",
         {{0, &kA, 50, false, none}, {0, &kB, 0, true, none}},
         {{WaveOutStrikeReport::Started, 2, 0, 0},
          {WaveOutStrikeReport::Ended, 2, 0, 480},
          {WaveOutStrikeReport::Started, 1, 50, 0},
          {WaveOutStrikeReport::Ended, 1, 50, 480}},
         {{0, 0, 4096}, {50, -1, 0}, {50, 0, 8192}, {50, 479, 8192}, {50, 480, 0}}},
        {"a start cuts the sounding one with no gap and no overlap",
         {{0, &kLong, 0, false, none}, {0, &kB, 10, true, none}},
         {{WaveOutStrikeReport::Started, 1, 0, 0},
          {WaveOutStrikeReport::Silenced, 1, 10, 0},
          {WaveOutStrikeReport::Started, 2, 10, 0},
          {WaveOutStrikeReport::Ended, 2, 10, 480}},
         {{10, -1, 8192}, {10, 0, 4096}, {10, 479, 4096}, {10, 480, 0}}},
        {"a sound at another rate is refused",
         {{0, &kWrongRate, 0, false, none}},
         {{WaveOutStrikeReport::Replaced, 1, 0, 0}},
         {{0, 0, 0}, {0, 300, 0}}},
        {"slots are independent and sum",
         {{0, &kA, 0, false, none}, {1, &kB, 0, false, none}},
         {{WaveOutStrikeReport::Started, 1, 0, 0},
          {WaveOutStrikeReport::Ended, 1, 0, 480},
          {WaveOutStrikeReport::Started, 2, 0, 0},
          {WaveOutStrikeReport::Ended, 2, 0, 480}},
         {{0, -1, 0}, {0, 0, 12288}, {0, 479, 12288}, {0, 480, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartCapture();
        {
            std::lock_guard l(log.lock);
            log.reports.clear();
            log.threads.clear();
        }
        const WaveOutStatus st = waveOutGetStatus();
        // Far enough ahead that a busy machine still strikes before it.
        const std::int64_t t = MonotonicNs() + 300'000'000;
        std::uint64_t blow = 0;
        for (const Step& s : c.steps) {
            ++blow;
            const std::int64_t silence = std::isnan(s.silenceMs) ? 0 : t + std::int64_t(s.silenceMs * 1e6);
            ASSERT_TRUE(strike(s.slot, s.sound, s.sound ? t + std::int64_t(s.startMs * 1e6) : 0, blow, s.keep,
                               silence));
        }
        ASSERT_TRUE(log.waitFinals(c.steps.size()));
        std::int64_t last = 0;
        for (const Sample& s : c.samples)
            last = std::max(last, frameOf(st, t + std::int64_t(s.ms * 1e6)) + s.plus);
        ASSERT_TRUE(waitRendered(last + 1));
        const WaveOutStatus after = waveOutGetStatus();
        const Capture cap = FinishCapture();
        const std::vector<WaveOutStrikeReport> got = log.all();
        // Exactly one final report per strike.
        std::map<std::uint64_t, int> finals;
        for (const auto& r : got) finals[r.blow] += isFinal(r.kind);
        for (std::uint64_t b = 1; b <= blow; ++b) EXPECT_EQ(finals[b], 1) << "blow " << b;
        // Per slot, in order.
        for (int slot = 0; slot < 2; ++slot) {
            std::vector<const WaveOutStrikeReport*> mine;
            for (const auto& r : got)
                if (r.slot == slot) mine.push_back(&r);
            std::vector<const Expect*> want;
            for (const Expect& e : c.expect)
                if (c.steps[e.blow - 1].slot == slot) want.push_back(&e);
            ASSERT_EQ(mine.size(), want.size()) << "slot " << slot;
            for (std::size_t i = 0; i < want.size(); ++i) {
                SCOPED_TRACE(testing::Message() << "report " << i << " of slot " << slot);
                EXPECT_EQ(kindName(mine[i]->kind), std::string(kindName(want[i]->kind)));
                EXPECT_EQ(mine[i]->blow, want[i]->blow);
                EXPECT_EQ(mine[i]->sound, c.steps[want[i]->blow - 1].sound);
                EXPECT_FALSE(mine[i]->late);
                EXPECT_NEAR(double(mine[i]->heardNs - after.originNs) * st.rate / 1e9, double(mine[i]->frame),
                            0.01);
                if (!std::isnan(want[i]->ms)) {
                    EXPECT_EQ(mine[i]->frame,
                              frameOf(st, t + std::int64_t(want[i]->ms * 1e6)) + want[i]->plus);
                }
            }
        }
        ASSERT_EQ(after.originNs, st.originNs) << "the output's clock moved (a stall of the machine)";
        for (const Sample& s : c.samples) {
            const std::int64_t f = frameOf(st, t + std::int64_t(s.ms * 1e6)) + s.plus;
            ASSERT_LT(std::size_t(f), cap.frames());
            EXPECT_EQ(cap.at(std::size_t(f), 0), s.value) << "at " << s.ms << " ms + " << s.plus;
            EXPECT_EQ(cap.at(std::size_t(f), 1), s.value) << "at " << s.ms << " ms + " << s.plus;
        }
        for (std::thread::id id : log.threads) EXPECT_NE(id, std::this_thread::get_id());
    }
}

// A start asked for a time already rendered plays at once, counted and
// reported late; it is in the start log and the capture's list of starts.
TEST_F(Strikes, LateStartPlaysAtOnceAndIsReportedLate) {
    const std::uint64_t lateBefore = waveOutGetStatus().lateStarts;
    const std::int64_t asked = MonotonicNs() - 200'000'000;
    ASSERT_TRUE(strike(3, &kA, asked, 77));
    ASSERT_TRUE(log.waitFinals(1));
    ASSERT_TRUE(waitRendered(log.all().back().frame + 1));
    const WaveOutStatus st = waveOutGetStatus();
    std::vector<WaveOutStartRecord> starts;
    const Capture cap = FinishCapture(&starts);
    const auto got = log.all();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, WaveOutStrikeReport::Started);
    EXPECT_TRUE(got[0].late);
    EXPECT_EQ(got[0].requestNs, asked);
    EXPECT_GT(got[0].frame, frameOf(st, asked));
    EXPECT_EQ(got[1].kind, WaveOutStrikeReport::Ended);
    EXPECT_EQ(got[1].frame, got[0].frame + 480);
    EXPECT_EQ(st.lateStarts, lateBefore + 1);
    const auto f = std::size_t(got[0].frame);
    ASSERT_LT(f + 480, cap.frames());
    EXPECT_EQ(cap.at(f - 1, 0), 0);
    EXPECT_EQ(cap.at(f, 0), 8192);
    EXPECT_EQ(cap.at(f + 480, 0), 0);

    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].voice, kStrikeVoiceBase + 3);
    EXPECT_EQ(starts[0].instance, 77u);
    EXPECT_EQ(starts[0].firstFrame, got[0].frame);
    EXPECT_EQ(starts[0].heardNs, got[0].heardNs);
    std::ifstream file(Path + ".starts");
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_NE(text.str().find(std::to_string(kStrikeVoiceBase + 3) + "," + std::to_string(asked)),
              std::string::npos)
        << text.str();
}

// Sixteen slots struck at once sum exactly; loud ones are held below full
// scale by the limiter instead of wrapping.
TEST_F(Strikes, SixteenSlotsSumAndTheLimiterKeepsThemFromWrapping) {
    const WaveOutSound quiet = level(1.0f / 32, 480);  // 1024 each, 16384 together
    const WaveOutSound loud = level(0.25f, 480);       // 4.0 together
    const WaveOutStatus st = waveOutGetStatus();
    const std::int64_t t = MonotonicNs() + 300'000'000;
    for (int s = 0; s < kStrikeSlots; ++s) ASSERT_TRUE(strike(s, &quiet, t, std::uint64_t(s + 1)));
    for (int s = 0; s < kStrikeSlots; ++s)
        ASSERT_TRUE(strike(s, &loud, t + 50'000'000, std::uint64_t(100 + s), true));
    ASSERT_TRUE(log.waitFinals(2 * kStrikeSlots));
    ASSERT_TRUE(waitRendered(frameOf(st, t + 50'000'000) + 481));
    const WaveOutStatus after = waveOutGetStatus();
    const Capture cap = FinishCapture();
    ASSERT_EQ(after.originNs, st.originNs) << "the output's clock moved (a stall of the machine)";
    const std::int64_t q = frameOf(st, t), l = frameOf(st, t + 50'000'000);
    ASSERT_LT(std::size_t(l + 480), cap.frames());
    EXPECT_EQ(cap.at(q - 1, 0), 0);
    for (std::int64_t f = q; f < q + 480; ++f) ASSERT_EQ(cap.at(std::size_t(f), 0), 16384) << f - q;
    EXPECT_EQ(cap.at(l, 0), 32767);
    for (std::int64_t f = l; f < l + 480; ++f) {
        ASSERT_GT(cap.at(std::size_t(f), 0), 0) << f - l;
        ASSERT_GT(cap.at(std::size_t(f), 1), 0) << f - l;
    }
}

// Shutting the output down ends every strike still open, each with exactly
// one final report, all told before the shutdown returns.
TEST_F(Strikes, ShutdownReportsEveryOpenStrikeExactlyOnce) {
    const std::int64_t now = MonotonicNs();
    std::uint64_t blow = 0;
    for (int s = 0; s < 4; ++s) {
        ASSERT_TRUE(strike(s, &kLong, now, ++blow));                             // sounding
        ASSERT_TRUE(strike(s, &kA, now + 10'000'000'000, ++blow, true));         // far ahead
        ASSERT_TRUE(strike(s, nullptr, 0, ++blow, true, now + 20'000'000'000));  // a silence later still
    }
    ASSERT_TRUE(log.waitStarted(1));
    ASSERT_TRUE(log.waitStarted(10));
    ASSERT_TRUE(strike(5, &kA, now + 5'000'000'000, ++blow));  // possibly still in the queue
    FinishCapture();
    const auto got = log.all();  // no waiting: the shutdown has told them all
    std::map<std::uint64_t, std::vector<Kind>> byBlow;
    for (const auto& r : got) byBlow[r.blow].push_back(r.kind);
    ASSERT_EQ(byBlow.size(), blow);
    for (std::uint64_t b = 1; b <= blow; ++b) {
        SCOPED_TRACE(testing::Message() << "blow " << b);
        const auto& k = byBlow[b];
        if (b <= 12 && b % 3 == 1) {
            ASSERT_EQ(k.size(), 2u);
            EXPECT_EQ(k[0], WaveOutStrikeReport::Started);
            EXPECT_EQ(k[1], WaveOutStrikeReport::Silenced);
        } else {
            ASSERT_EQ(k.size(), 1u);
            EXPECT_EQ(k[0], WaveOutStrikeReport::Replaced);
        }
    }
    // Nothing runs now: a strike is not taken, and nothing of it is reported.
    EXPECT_FALSE(strike(0, &kA, MonotonicNs(), 999));
    EXPECT_EQ(log.all().size(), got.size());
}

// A lost output (the capture's disk is full) ends every open strike by
// itself, and takes no more.
TEST_F(Strikes, LostOutputEndsEveryOpenStrike) {
    FileSizeLimit limit(64 * 1024);  // the capture fails after about 1/3 s
    StartCapture();
    const std::int64_t now = MonotonicNs();
    ASSERT_TRUE(strike(2, &kLong, now, 1));
    ASSERT_TRUE(strike(2, &kA, now + 20'000'000'000, 2, true));
    ASSERT_TRUE(log.waitFinals(2));
    EXPECT_TRUE(waveOutGetStatus().failed);
    const auto got = log.all();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].kind, WaveOutStrikeReport::Started);
    EXPECT_EQ(got[0].blow, 1u);
    const int silenced = got[1].blow == 1 ? 1 : 2;
    EXPECT_EQ(got[silenced].kind, WaveOutStrikeReport::Silenced);
    EXPECT_EQ(got[silenced].blow, 1u);
    EXPECT_EQ(got[3 - silenced].kind, WaveOutStrikeReport::Replaced);
    EXPECT_EQ(got[3 - silenced].blow, 2u);
    EXPECT_FALSE(strike(2, &kA, MonotonicNs(), 3));
    limit.Lift();
    waveOutShutdown();
    EXPECT_EQ(log.all().size(), 3u);
}

// A striker thread strikes on while the main thread switches outputs: every
// strike taken has exactly one final report, nothing else is reported.
TEST_F(Strikes, StrikingWhileTheOutputSwitches) {
    const WaveOutSound tick = level(0.1f, 64);
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> taken{0};
    std::set<std::uint64_t> takenBlows;
    std::thread striker([&] {
        std::uint64_t blow = 0;
        while (!done.load()) {
            ++blow;
            const std::int64_t at = MonotonicNs() + std::int64_t(blow % 5) * 2'000'000;
            if (strike(int(blow % kStrikeSlots), &tick, at, blow, blow % 3 == 0)) {
                takenBlows.insert(blow);
                taken.fetch_add(1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int i = 0; i < 12; ++i) {
        const std::uint64_t before = taken.load();
        while (taken.load() < before + 20) std::this_thread::yield();
        if (i % 2)
            ASSERT_TRUE(waveOutSetOutput("null"));
        else
            ASSERT_TRUE(waveOutSetOutput("capture:" + Dir.file("switch.wav").toStdString()));
    }
    done.store(true);
    striker.join();
    waveOutShutdown();
    const auto got = log.all();
    std::map<std::uint64_t, int> finals, startsOf;
    for (const auto& r : got) {
        ASSERT_TRUE(takenBlows.count(r.blow)) << "a report of a strike not taken: " << r.blow;
        finals[r.blow] += isFinal(r.kind);
        startsOf[r.blow] += r.kind == WaveOutStrikeReport::Started;
    }
    EXPECT_EQ(finals.size(), takenBlows.size());
    for (std::uint64_t b : takenBlows) {
        EXPECT_EQ(finals[b], 1) << b;
        EXPECT_LE(startsOf[b], 1) << b;
    }
}

// The output starts when a striker asks for it before any voice opened it.
TEST(StrikesOutput, StartOutputStartsItWhenNoneRuns) {
    TempDir dir;
    WaveOutSettings s;
    s.output = "null";
    waveOutConfigure(s);
    EXPECT_FALSE(waveOutGetStatus().running);
    WaveOutStrike strike;
    strike.sound = &kA;
    EXPECT_FALSE(waveOutStrike(strike));  // nothing runs yet
    ASSERT_TRUE(waveOutStartOutput());
    EXPECT_TRUE(waveOutGetStatus().running);
    strike.slot = kStrikeSlots;
    EXPECT_FALSE(waveOutStrike(strike));  // no such slot
    waveOutShutdown();
    waveOutUseSettingsFile();
}
