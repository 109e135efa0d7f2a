#include "playback/MMWaveOut.h"
#include "tests/playback/WaveOutKit.h"
#include "tests/support/MessageBoxRecorder.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveOutTestKit.h"

#include "mmcore/MMStrings.h"

#include <QApplication>
#include <QMetaObject>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <algorithm>
#include <csignal>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

namespace {

// What a device reported, in order.
// Events may come from the service thread.
struct EventLog {
    std::vector<std::string> names;
    mutable std::mutex lock;
    void Add(const char* n) {
        std::lock_guard l(lock);
        names.push_back(n);
    }
    void Attach(TMMCustomWaveOut& d) {
        d.OnOpen = [this](QObject*) { Add("open"); };
        d.OnStart = [this](QObject*) { Add("start"); };
        d.OnPause = [this](QObject*) { Add("pause"); };
        d.OnRestart = [this](QObject*) { Add("restart"); };
        d.OnStop = [this](QObject*) { Add("stop"); };
        d.OnClose = [this](QObject*) { Add("close"); };
        d.OnError = [this](QObject*) { Add("error"); };
        d.OnLooping = [this](QObject*) { Add("looping"); };
    }
    int Count(const std::string& n) const {
        std::lock_guard l(lock);
        return static_cast<int>(std::count(names.begin(), names.end(), n));
    }
};

class Playback : public ::testing::Test, protected CaptureFixture {
protected:
    void SetUp() override { StartCapture(); }

    // A device playing Samples (mono, 16 bit, 48 kHz) from a test source.
    struct Bell {
        std::unique_ptr<TTestSource> source;
        std::unique_ptr<TMMWaveOut> device;
        EventLog events;
        std::vector<std::int16_t> samples;
    };
    std::unique_ptr<Bell> MakeBell(std::vector<std::int16_t> samples) {
        auto b = std::make_unique<Bell>();
        b->samples = std::move(samples);
        b->source = std::make_unique<TTestSource>(MonoFormat(), BytesOf(b->samples));
        b->device = std::make_unique<TMMWaveOut>();
        b->device->SetInput(b->source.get());
        b->events.Attach(*b->device);
        return b;
    }

    Capture Finish(std::vector<WaveOutStartRecord>* log = nullptr) { return FinishCapture(log); }

    // The first frames of every start of one voice, oldest first.
    static std::vector<std::int64_t> StartsOf(const std::vector<WaveOutStartRecord>& log, HWAVEOUT h) {
        std::vector<std::int64_t> starts;
        // The log names a voice by its number: the handle's value less 0x10000.
        const std::uint64_t voice = reinterpret_cast<std::uint64_t>(h) - 0x10000;
        for (const auto& r : log)
            if (r.voice == voice) starts.push_back(r.firstFrame);
        return starts;
    }

    // Frames [from, from + n) of both channels hold expected[0..n).
    static ::testing::AssertionResult Holds(const Capture& c, std::int64_t from,
                                            const std::vector<std::int16_t>& expected,
                                            std::size_t n = SIZE_MAX) {
        n = std::min(n, expected.size());
        if (from < 0 || static_cast<std::size_t>(from) + n > c.frames())
            return ::testing::AssertionFailure() << "capture too short: " << c.frames() << " frames";
        for (std::size_t i = 0; i < n; ++i)
            for (unsigned ch = 0; ch < 2; ++ch)
                if (c.at(from + i, ch) != expected[i])
                    return ::testing::AssertionFailure() << "frame " << i << " channel " << ch << ": "
                                                         << c.at(from + i, ch) << " != " << expected[i];
        return ::testing::AssertionSuccess();
    }
    static ::testing::AssertionResult Silent(const Capture& c, std::int64_t from, std::size_t n) {
        for (std::size_t i = 0; i < n && static_cast<std::size_t>(from) + i < c.frames(); ++i)
            if (c.at(from + i, 0) || c.at(from + i, 1))
                return ::testing::AssertionFailure() << "sound at frame " << from + i;
        return ::testing::AssertionSuccess();
    }
};

// ---- Whole sounds -----------------------------------------------------------------

struct LengthCase {
    const char* name;
    std::size_t frames;
    int loads;  // pulls from the source, the final empty one included
};

class PlaybackLengths : public Playback, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(PlaybackLengths, PlaysEveryFrameOnceAndStopsByItself) {
    const LengthCase& lc = GetParam();
    auto bell = MakeBell(Pattern(lc.frames, 1));
    TMMWaveOut& d = *bell->device;
    int filled = 0;
    d.OnBufferFilled = [&](QObject*, TMMWaveHdr*) { ++filled; };
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(d.State().Contains(wosPlay));
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
    // Stopped but still open; the handle goes with Close.
    EXPECT_EQ(d.State(), (TMMWaveOutStates{wosOpen}));
    EXPECT_EQ(d.BytesPlayed(), static_cast<std::int64_t>(lc.frames * 2));
    EXPECT_EQ(bell->source->Loads, lc.loads);
    EXPECT_EQ(filled, static_cast<int>((lc.frames * 2 + 2047) / 2048));
    d.Close();
    EXPECT_EQ(bell->events.names, (std::vector<std::string>{"open", "start", "stop", "close"}));
    EXPECT_EQ(d.Handle(), nullptr);
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_TRUE(Silent(c, starts[0] - 64, 64));
    EXPECT_TRUE(Holds(c, starts[0], bell->samples));
    EXPECT_TRUE(Silent(c, starts[0] + lc.frames, 4800));
}

INSTANTIATE_TEST_SUITE_P(, PlaybackLengths,
                         ::testing::Values(LengthCase{"ShorterThanTheRing", 3000, 3},
                                           LengthCase{"ExactlyOneBuffer", 1024, 1},
                                           LengthCase{"LongerThanTheRing", 48000 + 17, 47}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Playback, AnEmptyPullFromASourceThatSaysSoIsTheEndNotAnError) {
    MessageBoxRecorder boxes;
    auto bell = MakeBell(Pattern(12 * 1024, 16));  // twelve whole buffers
    bell->source->LateEnd = true;
    TMMWaveOut& d = *bell->device;
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
    EXPECT_EQ(bell->events.Count("error"), 0);
    EXPECT_TRUE(boxes.Boxes.empty());
    EXPECT_EQ(bell->source->Loads, 13);
    d.Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_TRUE(Holds(c, starts[0], bell->samples));
}

TEST_F(Playback, StopThenStartPlaysFromTheBeginningAgain) {
    for (bool closeBetween : {false, true}) {
        SCOPED_TRACE(closeBetween ? "stop, close, start" : "stop, start");
        auto bell = MakeBell(Pattern(24000, 2));
        TMMWaveOut& d = *bell->device;
        d.Start();
        const HWAVEOUT first = d.Handle();
        ASSERT_TRUE(PumpUntil([&] { return d.GetPosition() > 4000; }));  // bytes
        d.Stop();
        // OnStop came inside Stop.
        EXPECT_EQ(bell->events.Count("stop"), 1);
        EXPECT_GT(d.EndingPosition(), 4000);
        if (closeBetween) d.Close();
        d.Start();
        const HWAVEOUT second = d.Handle();
        ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 2; }));
        d.Close();
        std::vector<WaveOutStartRecord> log;
        const Capture c = Finish(&log);
        const std::vector<std::int64_t> firstStarts = StartsOf(log, first);
        const std::vector<std::int64_t> starts = StartsOf(log, second);
        ASSERT_FALSE(firstStarts.empty());
        ASSERT_FALSE(starts.empty());
        // The first run was cut off where it was stopped; the second is whole.
        EXPECT_TRUE(Holds(c, firstStarts.front(), bell->samples, 1500));
        EXPECT_TRUE(Holds(c, starts.back(), bell->samples));
        EXPECT_TRUE(Silent(c, starts.back() + 24000, 2400));
        SetUp();
    }
}

// The stroke handler may restart a bell whose end-of-data stop is already on
// its way: that stop must not cut the new sound short.
TEST_F(Playback, RestartBeforeAPendingEndOfDataStopKeepsTheNewSound) {
    auto bell = MakeBell(Pattern(1024, 15));  // one buffer
    TMMWaveOut& d = *bell->device;
    bool restarted = false;
    d.OnBufferReady = [&](QObject*, TMMWaveHdr*) {
        if (restarted) return;
        restarted = true;
        // Runs before the stop message that this refill posts when it ends.
        QMetaObject::invokeMethod(
            qApp,
            [&] {
                d.Stop();
                d.Start();
            },
            Qt::QueuedConnection);
    };
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 2; }));
    d.Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_TRUE(Holds(c, starts[1], bell->samples));
}

TEST_F(Playback, StopFromAnEventIsDeferredUntilTheRefillEnds) {
    for (bool alsoClose : {false, true}) {
        SCOPED_TRACE(alsoClose ? "stop and close" : "stop");
        auto bell = MakeBell(Pattern(48000, 3));
        TMMWaveOut& d = *bell->device;
        int ready = 0;
        bool stoppedInside = false;
        d.OnBufferReady = [&](QObject*, TMMWaveHdr*) {
            if (++ready != 2) return;
            d.Stop();
            if (alsoClose) d.Close();
            stoppedInside = bell->events.Count("stop") > 0 || bell->events.Count("close") > 0;
        };
        d.Start();
        ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
        EXPECT_FALSE(stoppedInside);
        EXPECT_FALSE(d.State().Contains(wosPlay));
        if (alsoClose) {
            ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("close") == 1; }));
            EXPECT_EQ(bell->events.names, (std::vector<std::string>{"open", "start", "stop", "close"}));
            EXPECT_EQ(d.Handle(), nullptr);
            EXPECT_EQ(d.State(), (TMMWaveOutStates{wosClose}));
        } else {
            EXPECT_EQ(d.State(), (TMMWaveOutStates{wosOpen}));
            PumpFor(100);
            EXPECT_EQ(bell->events.Count("stop"), 1);
        }
        // A refill stopped in the middle queued nothing more.
        EXPECT_LE(bell->source->Loads, 12);
    }
}

// ---- Looping --------------------------------------------------------------------

TEST_F(Playback, LoopCountTwoPlaysTheDataThreeTimesBackToBack) {
    auto bell = MakeBell(Pattern(5000, 4));  // passes end inside a buffer
    TMMWaveOut& d = *bell->device;
    d.SetLooping(true);
    d.SetLoopCount(2);
    d.SetTimeFormat(tfSample);
    std::int64_t maxPosition = 0;
    d.OnBufferReady = [&](QObject*, TMMWaveHdr*) { maxPosition = std::max(maxPosition, d.GetPosition()); };
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
    EXPECT_EQ(bell->events.Count("looping"), 2);
    // Each pass, the last one included, counts from 0 (a pass is 5000 samples).
    EXPECT_LT(maxPosition, 8000);
    d.Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_EQ(starts.size(), 1u);
    std::vector<std::int16_t> thrice;
    for (int i = 0; i < 3; ++i) thrice.insert(thrice.end(), bell->samples.begin(), bell->samples.end());
    EXPECT_TRUE(Holds(c, starts[0], thrice));
    EXPECT_TRUE(Silent(c, starts[0] + thrice.size(), 4800));
}

TEST_F(Playback, LoopCountZeroLoopsUntilStoppedAndPositionRestartsEachPass) {
    auto bell = MakeBell(Pattern(2400, 5));
    TMMWaveOut& d = *bell->device;
    d.SetLooping(true);
    d.SetLoopCount(0);
    d.SetTimeFormat(tfSample);
    std::int64_t maxPosition = 0;
    d.OnBufferReady = [&](QObject*, TMMWaveHdr*) { maxPosition = std::max(maxPosition, d.GetPosition()); };
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("looping") >= 6; }));
    EXPECT_EQ(bell->events.Count("stop"), 0);
    d.Stop();
    d.Close();
    // Counted from the last loop pass, never the whole run.
    EXPECT_LT(maxPosition, 2 * 2400 + 2048);
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_EQ(starts.size(), 1u);
    std::vector<std::int16_t> passes;
    for (int i = 0; i < 5; ++i) passes.insert(passes.end(), bell->samples.begin(), bell->samples.end());
    EXPECT_TRUE(Holds(c, starts[0], passes));
}

// ---- Pause, restart, reset --------------------------------------------------------

TEST_F(Playback, PauseOnAClosedDeviceOpensItAndStartWaitsForRestart) {
    auto bell = MakeBell(Pattern(4800, 6));
    TMMWaveOut& d = *bell->device;
    d.SetTimeFormat(tfSample);
    d.Pause();
    EXPECT_EQ(bell->events.names, (std::vector<std::string>{"open", "pause"}));
    EXPECT_EQ(d.State(), (TMMWaveOutStates{wosOpen, wosPause}));
    d.Start();
    EXPECT_EQ(d.State(), (TMMWaveOutStates{wosOpen, wosPlay, wosPause}));
    PumpFor(150);
    EXPECT_EQ(d.GetPosition(), 0);
    d.Restart();
    d.Restart();  // not paused: nothing
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
    EXPECT_EQ(bell->events.names, (std::vector<std::string>{"open", "pause", "start", "restart", "stop"}));
    d.Close();
}

TEST_F(Playback, ResetContinuesFromTheSourcesNewPosition) {
    for (bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "while paused" : "while playing");
        auto bell = MakeBell(Pattern(36000, 7));
        TMMWaveOut& d = *bell->device;
        d.SetTimeFormat(tfSample);
        d.Start();
        const HWAVEOUT h = d.Handle();
        ASSERT_TRUE(PumpUntil([&] { return d.GetPosition() > 2000; }));
        if (paused) d.Pause();
        const std::size_t seekTo = 30000;
        bell->source->Pos = seekTo * 2;
        d.Reset();
        EXPECT_EQ(d.State().Contains(wosPause), paused);
        EXPECT_TRUE(d.State().Contains(wosPlay));
        if (paused) {
            EXPECT_EQ(d.GetPosition(), 0);
            PumpFor(100);
            EXPECT_EQ(d.GetPosition(), 0);
            d.Restart();
        }
        ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
        EXPECT_EQ(bell->events.Count("start"), 1);
        d.Close();
        std::vector<WaveOutStartRecord> log;
        const Capture c = Finish(&log);
        const auto starts = StartsOf(log, h);
        ASSERT_FALSE(starts.empty());
        // The tail of the sound is the last sound in the capture.
        std::int64_t last = static_cast<std::int64_t>(c.frames()) - 1;
        while (last > 0 && c.at(last, 0) == 0) --last;
        const std::vector<std::int16_t> tail(bell->samples.begin() + seekTo, bell->samples.end());
        EXPECT_TRUE(Holds(c, last + 1 - static_cast<std::int64_t>(tail.size()), tail));
        SetUp();
    }
}

TEST_F(Playback, ResetWithTheSourceAtItsEndStops) {
    auto bell = MakeBell(Pattern(48000, 8));
    TMMWaveOut& d = *bell->device;
    d.Start();
    bell->source->Pos = bell->source->Data.size();
    d.Reset();
    EXPECT_EQ(bell->events.Count("stop"), 1);
    EXPECT_FALSE(d.State().Contains(wosPlay));
    d.Close();
}

// ---- Positions ---------------------------------------------------------------------

// The platform's position, shifted, or answered in bytes only.
std::atomic<std::int64_t> gPositionOffset{0};
std::atomic<bool> gBytesOnly{false};
std::atomic<bool> gFailOpen{false};

MMRESULT ShiftedPosition(HWAVEOUT h, MMTIME* t, UINT size) {
    const UINT asked = t->wType;
    MMTIME real{};
    real.wType = TIME_SAMPLES;
    const MMRESULT r = waveOutGetPosition(h, &real, sizeof real);
    if (r) return r;
    const auto samples = static_cast<DWORD>(real.u.sample + gPositionOffset.load());
    (void)size;
    if (gBytesOnly || asked != TIME_SAMPLES) {
        t->wType = TIME_BYTES;
        t->u.cb = samples * 4;  // the tests use stereo for this
    } else {
        t->wType = TIME_SAMPLES;
        t->u.sample = samples;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT RefusingOpen(LPHWAVEOUT phwo, UINT id, const WAVEFORMATEX* f, DWORD_PTR cb, DWORD_PTR inst,
                      DWORD flags) {
    if (gFailOpen && !(flags & WAVE_FORMAT_QUERY)) return MMSYSERR_ALLOCATED;
    return waveOutOpen(phwo, id, f, cb, inst, flags);
}

class TShiftedWaveOut : public TMMCustomWaveOut {
public:
    TShiftedWaveOut() { InitEngine(); }

protected:
    void SetupWaveEngine() override {
        FEngine = PlatformWaveOutEngine();
        FEngine.waveOutGetPosition = ShiftedPosition;
        FEngine.waveOutOpen = RefusingOpen;
    }
};

TEST_F(Playback, PositionsInEveryTimeFormat) {
    struct Case {
        bool bytesOnly;
        TMMTimeFormats format;
        std::int64_t expected;  // for 48000 samples of 16-bit stereo at 48 kHz
    };
    const Case cases[] = {{false, tfSample, 48000}, {false, tfByte, 192000}, {false, tfMillisecond, 1000},
                          {true, tfSample, 48000},  {true, tfByte, 192000},  {true, tfMillisecond, 1000}};
    WAVEFORMATEX stereo = MonoFormat();
    stereo.nChannels = 2;
    stereo.nBlockAlign = 4;
    stereo.nAvgBytesPerSec = 192000;
    TTestSource source(stereo, std::vector<char>(4 * 48000, 1));
    TShiftedWaveOut d;
    d.SetInput(&source);
    EXPECT_EQ(d.GetPosition(), 0);  // closed
    d.Pause();                      // open, clock held at 0
    gPositionOffset = 48000;
    for (const Case& c : cases) {
        gBytesOnly = c.bytesOnly;
        d.SetTimeFormat(c.format);
        EXPECT_EQ(d.GetPosition(), c.expected) << c.bytesOnly << " " << c.format;
    }
    gPositionOffset = 0;
    gBytesOnly = false;
    d.Close();
    EXPECT_EQ(d.GetPosition(), 0);
}

TEST_F(Playback, PositionKeepsGrowingWhenTheDeviceCounterWraps) {
    const std::int64_t offset = 0x100000000LL - 12000;  // wraps a quarter second in
    gPositionOffset = offset;
    TTestSource source(MonoFormat(), BytesOf(Pattern(36000, 9)));
    TShiftedWaveOut d;
    d.SetInput(&source);
    d.SetTimeFormat(tfSample);
    std::vector<std::int64_t> seen;
    d.OnBufferReady = [&](QObject*, TMMWaveHdr*) { seen.push_back(d.GetPosition()); };
    int stops = 0;
    d.OnStop = [&](QObject*) { ++stops; };
    d.Start();
    ASSERT_TRUE(PumpUntil([&] {
        if (d.State().Contains(wosPlay)) seen.push_back(d.GetPosition());
        return stops == 1;
    }));
    gPositionOffset = 0;
    ASSERT_GT(seen.size(), 10u);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GE(seen.front(), offset);
    EXPECT_GT(seen.back(), 0xFFFFFFFFLL);
    EXPECT_LE(seen.back(), offset + 36000);
    d.Close();
}

// ---- Many devices -------------------------------------------------------------------

TEST_F(Playback, SixteenDevicesSoundTogetherAndOneFailingDisturbsNoOther) {
    MessageBoxRecorder boxes;
    constexpr std::size_t kFrames = 24000;
    std::vector<std::unique_ptr<TTestSource>> sources;
    std::vector<std::unique_ptr<TMMCustomWaveOut>> devices;
    std::vector<EventLog> events(16);
    for (int i = 0; i < 16; ++i) {
        sources.push_back(std::make_unique<TTestSource>(
            MonoFormat(),
            BytesOf(std::vector<std::int16_t>(kFrames, static_cast<std::int16_t>(100 * (i + 1))))));
        if (i == 5)
            devices.push_back(std::make_unique<TShiftedWaveOut>());  // its open is refused
        else
            devices.push_back(std::make_unique<TMMWaveOut>());
        devices.back()->SetInput(sources.back().get());
        events[i].Attach(*devices.back());
    }
    sources[9]->FailAtLoad = 14;  // dies in its first refills
    gFailOpen = true;
    std::vector<HWAVEOUT> handles(16);
    for (int i = 0; i < 16; ++i) {
        if (i == 5) {
            try {
                devices[i]->Start();
                ADD_FAILURE() << "the refused open raised nothing";
            } catch (const EMMWaveOutError& e) {
                EXPECT_TRUE(e.Message().startsWith(QStringLiteral("WaveOutOpen:\n\r"))) << e.what();
            }
            EXPECT_EQ(devices[i]->State(), (TMMWaveOutStates{wosClose}));
            continue;
        }
        devices[i]->Start();
        handles[i] = devices[i]->Handle();
    }
    gFailOpen = false;
    for (int i = 0; i < 16; ++i)
        for (int j = i + 1; j < 16; ++j)
            if (handles[i]) {
                EXPECT_NE(handles[i], handles[j]);
            }
    ASSERT_TRUE(PumpUntil([&] {
        for (int i = 0; i < 16; ++i)
            if (i != 5 && events[i].Count("stop") != 1) return false;
        return true;
    }));
    EXPECT_EQ(events[5].Count("stop"), 0);
    EXPECT_GE(events[5].Count("error"), 1);
    // The broken refill closed its device and was reported.
    EXPECT_EQ(events[9].Count("close"), 1);
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_TRUE(boxes.Boxes[0].Text.contains(QStringLiteral("source broke")));
    for (auto& d : devices) d->Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    std::int64_t from = 0, to = INT64_MAX;
    for (int i = 0; i < 16; ++i) {
        if (i == 5 || i == 9) continue;
        const auto starts = StartsOf(log, handles[i]);
        ASSERT_EQ(starts.size(), 1u) << i;
        from = std::max(from, starts[0]);
        to = std::min<std::int64_t>(to, starts[0] + kFrames);
    }
    from += 14000;  // the broken one has long gone by then
    ASSERT_LT(from, to);
    for (auto f = from; f < to; ++f) ASSERT_EQ(c.at(f, 0), 13600 - 600 - 1000) << f;
}

TEST_F(Playback, DestroyedWhilePlayingStopsWithoutEvents) {
    auto bell = MakeBell(Pattern(48000, 10));
    bell->device->Start();
    const HWAVEOUT h = bell->device->Handle();
    PumpFor(50);
    bell->device.reset();
    EXPECT_EQ(bell->events.names, (std::vector<std::string>{"open", "start"}));
    // The platform handle is gone.
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
    PumpFor(50);
}

// ---- Failures ------------------------------------------------------------------------

TEST(PlaybackNoOutput, EveryStartSaysThereIsNoDevice) {
    WaveOutSettings s;
    s.output = "quorvel_no_such_pcm";
    waveOutConfigure(s);
    TTestSource source(MonoFormat(), BytesOf(Pattern(100, 1)));
    TMMWaveOut d;
    d.SetInput(&source);
    EventLog events;
    events.Attach(d);
    EXPECT_EQ(d.GetProductName(), QStringLiteral("No wave audio playing device found"));
    EXPECT_EQ(d.GetDeviceID(), InvalidId);
    EXPECT_EQ(d.GetNumDevs(), 0);
    try {
        d.Start();
        ADD_FAILURE() << "no error";
    } catch (const EMMWaveOutError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("No wave audio playing device found"));
    }
    EXPECT_EQ(events.names, (std::vector<std::string>{"error", "error"}));
    EXPECT_EQ(d.State(), (TMMWaveOutStates{wosClose}));
    waveOutUseSettingsFile();
}

// A device made while no output could open (its number found no device
// then) plays once an output runs, without being told its number again.
TEST_F(Playback, ADeviceMadeWithoutAnOutputPlaysOnceOneRuns) {
    WaveOutSettings none;
    none.output = "quorvel_no_such_pcm";
    waveOutConfigure(none);
    auto bell = MakeBell(Pattern(3000, 1));
    TMMWaveOut& d = *bell->device;
    ASSERT_EQ(d.GetDeviceID(), InvalidId);
    StartCapture();
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(d.GetDeviceID(), 0);
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
    d.Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_TRUE(Holds(c, starts[0], bell->samples));
    // A number that names no device stays refused.
    d.SetDeviceID(7);
    EXPECT_EQ(d.GetDeviceID(), InvalidId);
}

TEST_F(Playback, OpenAndStartErrors) {
    auto bell = MakeBell(Pattern(100, 1));
    TMMWaveOut& d = *bell->device;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QString message;
        std::vector<std::string> events;
    };
    WAVEFORMATEX odd = MonoFormat();
    odd.wFormatTag = 0x55;
    const Case cases[] = {
        {"no data",
         [&] { bell->source->Data.clear(); },
         QStringLiteral("WaveOutStart:\n\rUnable to start device"),
         {"open", "error", "stop", "close", "error"}},
        {"no format",
         [&] { d.SetInput(nullptr); },
         QStringLiteral("WaveOutOpen:\n\rInvalid wave format"),
         {"error", "error"}},
        {"unplayable format",
         [&] { bell->source->SetPWaveFormat(&odd); },
         QStringLiteral("WaveOutOpen:\n\rThe actual device can't play this format"),
         {"error", "error", "error"}},
        {"invalid device", [&] { d.SetDeviceID(7); }, QStringLiteral("Invalid DeviceID"), {"error", "error"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bell->source->Data = BytesOf(bell->samples);
        const WAVEFORMATEX f = MonoFormat();
        bell->source->SetPWaveFormat(&f);
        d.SetDeviceID(0);
        d.SetInput(bell->source.get());
        c.arrange();
        bell->events.names.clear();
        try {
            d.Start();
            ADD_FAILURE() << "no error";
        } catch (const EMMWaveOutError& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_EQ(bell->events.names, c.events);
        EXPECT_EQ(d.State(), (TMMWaveOutStates{wosClose}));
        EXPECT_EQ(d.Handle(), nullptr);
    }
}

TEST_F(Playback, PropertyRules) {
    MessageBoxRecorder boxes;
    auto bell = MakeBell(Pattern(48000, 1));
    TMMWaveOut& d = *bell->device;
    EXPECT_EQ(d.GetNumBuffers(), 10);
    d.SetNumBuffers(1);
    EXPECT_EQ(d.GetNumBuffers(), 10);
    d.SetNumBuffers(1000);
    EXPECT_EQ(d.GetNumBuffers(), 500);
    d.SetNumBuffers(10);
    d.SetBufferSize(10);
    EXPECT_EQ(d.GetBufferSize(), 32u);
    d.SetBufferSize(2048);
    d.SetCallBackMode(cmCallback);
    EXPECT_EQ(d.GetCallBackMode(), cmWindow);
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Caption, QStringLiteral("TMMWaveOut"));
    EXPECT_EQ(boxes.Boxes[0].Text, QStringLiteral("\"CallBacks\" are called at interrupt time !\n\r"
                                                  "This is currently only supported under Windows 95"));
    d.SetDeviceID(-5);
    EXPECT_EQ(d.GetDeviceID(), InvalidId);
    d.SetDeviceID(-1);
    EXPECT_EQ(d.GetDeviceID(), MapperId);
    EXPECT_FALSE(d.GetProductName().isEmpty());
    EXPECT_FALSE(d.GetDevice(0).isEmpty());
    EXPECT_TRUE(d.GetDevice(1).isEmpty());
    d.SetDeviceID(0);
    d.Start();
    const QString open = QStringLiteral("Change to property while device was open");
    const std::function<void()> changes[] = {[&] { d.SetNumBuffers(20); }, [&] { d.SetBufferSize(4096); },
                                             [&] { d.SetDeviceID(0); }, [&] { d.SetCallBackMode(cmThread); },
                                             [&] { d.SetProcessMode(pmPush); }};
    for (const auto& change : changes) {
        try {
            change();
            ADD_FAILURE() << "no error";
        } catch (const EMMWaveOutError& e) {
            EXPECT_EQ(e.Message(), open);
        }
    }
    EXPECT_TRUE(d.State().Contains(wosPlay));
    // Stop on an open device that does not play, Close on a closed one: nothing.
    d.Stop();
    const int stops = bell->events.Count("stop");
    d.Stop();
    d.Close();
    d.Close();
    EXPECT_EQ(bell->events.Count("stop"), stops);
    EXPECT_EQ(bell->events.Count("close"), 1);
}

TEST_F(Playback, ClosingWhilePlayingStopsFirst) {
    auto bell = MakeBell(Pattern(48000, 1));
    bell->device->Start();
    bell->device->Close();
    EXPECT_EQ(bell->events.names, (std::vector<std::string>{"open", "start", "stop", "close"}));
    EXPECT_FALSE(bell->source->IsOpen());
}

TEST(PlaybackLostOutput, AnOutputThatDiesEndsPlaybackWithAnError) {
    TempDir dir;
    const std::string path = dir.file("lost.wav").toStdString();
    WaveOutSettings s;
    s.output = "capture:" + path;
    waveOutConfigure(s);
    ASSERT_EQ(waveOutGetNumDevs(), 1u);
    MessageBoxRecorder boxes;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;  // the capture's writes fail after about a third of a second
    setrlimit(RLIMIT_FSIZE, &small);
    {
        TTestSource source(MonoFormat(), BytesOf(Pattern(48000 * 10, 1)));
        TMMWaveOut d;
        d.SetInput(&source);
        EventLog events;
        events.Attach(d);
        d.Start();
        const bool ended = PumpUntil([&] { return events.Count("close") == 1; }, 15);
        setrlimit(RLIMIT_FSIZE, &old);
        ASSERT_TRUE(ended);
        EXPECT_EQ(events.Count("stop"), 1);
        EXPECT_GE(events.Count("error"), 1);
        EXPECT_EQ(d.State(), (TMMWaveOutStates{wosClose}));
        ASSERT_EQ(boxes.Boxes.size(), 1u);
        EXPECT_TRUE(boxes.Boxes[0].Text.startsWith(QStringLiteral("WaveOutWrite:\n\r")))
            << boxes.Boxes[0].Text.toStdString();
        // The file has room again: a new start starts the output afresh and plays.
        d.Start();
        EXPECT_TRUE(d.State().Contains(wosPlay));
        EXPECT_FALSE(waveOutGetStatus().failed);
        d.Close();
        EXPECT_EQ(boxes.Boxes.size(), 1u);
    }
    setrlimit(RLIMIT_FSIZE, &old);
    waveOutUseSettingsFile();
}

// ---- The service thread and push mode ------------------------------------------------

TEST_F(Playback, ServiceThreadRefillsAndTheMainThreadStops) {
    auto bell = MakeBell(Pattern(30000, 11));
    TMMWaveOut& d = *bell->device;
    d.SetCallBackMode(cmThread);
    std::atomic<int> offMain{0};
    const auto mainId = std::this_thread::get_id();
    d.OnBufferReady = [&](QObject*, TMMWaveHdr*) {
        if (std::this_thread::get_id() != mainId) ++offMain;
    };
    std::thread::id stopThread;
    d.OnStop = [&](QObject*) { stopThread = std::this_thread::get_id(); };
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_TRUE(PumpUntil([&] { return stopThread != std::thread::id(); }));
    EXPECT_EQ(stopThread, mainId);
    EXPECT_GT(offMain.load(), 10);
    d.Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_TRUE(Holds(c, starts[0], bell->samples));
    EXPECT_TRUE(Silent(c, starts[0] + 30000, 2400));
}

TEST_F(Playback, ServiceThreadFailureClosesTheDeviceWhichStartsAgain) {
    MessageBoxRecorder boxes;
    auto bell = MakeBell(Pattern(30000, 12));
    TMMWaveOut& d = *bell->device;
    d.SetCallBackMode(cmThread);
    bell->source->FailAtLoad = 13;
    d.Start();
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("close") == 1 && !boxes.Boxes.empty(); }));
    EXPECT_TRUE(boxes.Boxes[0].Text.contains(QStringLiteral("source broke")));
    EXPECT_EQ(d.State(), (TMMWaveOutStates{wosClose}));
    EXPECT_FALSE(bell->source->IsOpen());
    bell->source->FailAtLoad = 0;
    bell->source->Loads = 0;
    d.Start();
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 2; }));
    d.Close();
    EXPECT_EQ(bell->events.Count("close"), 2);
}

TEST_F(Playback, ServiceThreadResetDropsStaleBuffers) {
    auto bell = MakeBell(Pattern(36000, 13));
    TMMWaveOut& d = *bell->device;
    d.SetCallBackMode(cmThread);
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_TRUE(PumpUntil([&] { return d.GetPosition() > 4000; }));
    d.Pause();
    bell->source->SeekOnReset = 30000 * 2;
    d.Reset();
    d.Restart();
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
    d.Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    ASSERT_FALSE(StartsOf(log, h).empty());
    std::int64_t last = static_cast<std::int64_t>(c.frames()) - 1;
    while (last > 0 && c.at(last, 0) == 0) --last;
    const std::vector<std::int16_t> tail(bell->samples.begin() + 30000, bell->samples.end());
    EXPECT_TRUE(Holds(c, last + 1 - 6000, tail));
}

// A reset on the main thread while the service thread is inside a refill
// waits for that refill: the buffer it was filling from the old position is
// never queued after the reset, and the source is read by one thread at a time.
TEST_F(Playback, ResetDuringARefillOnTheServiceThreadPlaysNothingStale) {
    MessageBoxRecorder boxes;
    auto bell = MakeBell(Pattern(36000, 15));
    TMMWaveOut& d = *bell->device;
    d.SetCallBackMode(cmThread);
    d.Start();
    const HWAVEOUT h = d.Handle();
    ASSERT_TRUE(PumpUntil([&] { return d.GetPosition() > 2000; }));
    bell->source->SlowLoadMs = 40;
    ASSERT_TRUE(PumpUntil([&] { return bell->source->Loading.load() == 1; }));
    bell->source->SeekOnReset = 30000 * 2;
    d.Reset();
    bell->source->SlowLoadMs = 0;
    ASSERT_TRUE(PumpUntil([&] { return bell->events.Count("stop") == 1; }));
    EXPECT_EQ(bell->source->MostLoading.load(), 1);
    EXPECT_TRUE(boxes.Boxes.empty()) << boxes.Boxes[0].Text.toStdString();
    d.Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_FALSE(starts.empty());

    // Heard (silence left out): the sound from its start up to the reset,
    // then its tail from the new position, and nothing else.
    auto sounding = [](auto from, auto to) {
        std::vector<std::int16_t> v;
        std::copy_if(from, to, std::back_inserter(v), [](std::int16_t x) { return x != 0; });
        return v;
    };
    std::vector<std::int16_t> heard;
    for (std::int64_t f = starts[0]; f < static_cast<std::int64_t>(c.frames()); ++f)
        if (c.at(f, 0) != 0) heard.push_back(c.at(f, 0));
    const std::vector<std::int16_t> tail = sounding(bell->samples.begin() + 30000, bell->samples.end());
    const std::vector<std::int16_t> whole = sounding(bell->samples.begin(), bell->samples.end());
    ASSERT_GT(heard.size(), tail.size());
    const std::size_t before = heard.size() - tail.size();
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), heard.begin() + static_cast<std::ptrdiff_t>(before)));
    ASSERT_LE(before, whole.size());
    EXPECT_TRUE(std::equal(heard.begin(), heard.begin() + static_cast<std::ptrdiff_t>(before), whole.begin()))
        << "a buffer read before the reset was played after it";
}

TEST_F(Playback, PushModePlaysWhatIsWritten) {
    auto bell = MakeBell({});
    TMMWaveOut& d = *bell->device;
    const std::vector<std::int16_t> one(100, 5);
    try {
        d.WriteBuffer(one.data(), 200);
        ADD_FAILURE() << "no error";
    } catch (const EMMWaveOutError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Invalid ProcessMode"));
    }
    d.SetProcessMode(pmPush);
    d.SetNumBuffers(4);
    d.Pause();  // hold the clock while the ring fills
    d.Start();
    const HWAVEOUT h = d.Handle();
    const std::vector<std::int16_t> samples = Pattern(4 * 1000, 14);
    std::vector<char> big(4096);
    try {
        d.WriteBuffer(big.data(), 4096);
        ADD_FAILURE() << "no error";
    } catch (const EMMWaveOutError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Buffersize to small !!"));
    }
    for (int i = 0; i < 4; ++i) d.WriteBuffer(samples.data() + i * 1000, 2000);
    try {
        d.WriteBuffer(samples.data(), 2000);
        ADD_FAILURE() << "no error";
    } catch (const EMMWaveOutError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("No free Buffers available !!"));
    }
    d.Restart();
    ASSERT_TRUE(PumpUntil([&] { return d.GetBufferCounter() == 0; }));
    // Push mode never stops by itself.
    PumpFor(50);
    EXPECT_TRUE(d.State().Contains(wosPlay));
    EXPECT_EQ(d.BytesPlayed(), 8000);
    d.Close();
    std::vector<WaveOutStartRecord> log;
    const Capture c = Finish(&log);
    const auto starts = StartsOf(log, h);
    ASSERT_FALSE(starts.empty());
    EXPECT_TRUE(Holds(c, starts.back(), samples));
    EXPECT_TRUE(Silent(c, starts.back() + 4000, 2400));
}

}  // namespace
