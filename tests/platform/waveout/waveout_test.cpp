#include "tests/support/TempDir.h"
#include "tests/support/WaveOutTestKit.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>

namespace {

class WaveOutCapture : public ::testing::Test, protected CaptureFixture {
protected:
    void SetUp() override { StartCapture(); }

    HWAVEOUT open(const WAVEFORMATEX& f, Reports& r) {
        HWAVEOUT h = nullptr;
        EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &f, callbackOf(), reinterpret_cast<DWORD_PTR>(&r),
                              CALLBACK_FUNCTION),
                  MMSYSERR_NOERROR);
        return h;
    }
    static void write(HWAVEOUT h, Buffer& b) {
        ASSERT_EQ(waveOutPrepareHeader(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    DWORD position(HWAVEOUT h, UINT type) {
        MMTIME t{};
        t.wType = type;
        EXPECT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
        EXPECT_EQ(t.wType, type);
        return t.u.sample;
    }
};

std::vector<std::int16_t> ramp(std::size_t frames, int channels, int seed) {
    std::vector<std::int16_t> v(frames * channels);
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<std::int16_t>((static_cast<int>(i) * 37 + seed * 1001) % 60000 - 30000);
    return v;
}

}  // namespace

TEST(WaveOutFormats, QueryAcceptsWhatTheMixerPlaysAndRefusesTheRest) {
    WaveOutSettings s;
    s.output = "null";
    waveOutConfigure(s);
    struct Case {
        WAVEFORMATEX f;
        MMRESULT expected;
    };
    WAVEFORMATEX badAlign = pcmFormat(2, 44100, 16);
    badAlign.nBlockAlign = 3;
    const Case cases[] = {
        {pcmFormat(1, 8000, 8), MMSYSERR_NOERROR},
        {pcmFormat(2, 44100, 16), MMSYSERR_NOERROR},
        {pcmFormat(2, 48000, 24), MMSYSERR_NOERROR},
        {pcmFormat(6, 96000, 32), MMSYSERR_NOERROR},
        {pcmFormat(8, 192000, 32, WAVE_FORMAT_IEEE_FLOAT), MMSYSERR_NOERROR},
        {pcmFormat(1, 4000, 16), MMSYSERR_NOERROR},
        {pcmFormat(1, 3999, 16), WAVERR_BADFORMAT},
        {pcmFormat(1, 192001, 16), WAVERR_BADFORMAT},
        {pcmFormat(0, 44100, 16), WAVERR_BADFORMAT},
        {pcmFormat(9, 44100, 16), WAVERR_BADFORMAT},
        {pcmFormat(1, 44100, 12), WAVERR_BADFORMAT},
        {pcmFormat(1, 44100, 16, WAVE_FORMAT_IEEE_FLOAT), WAVERR_BADFORMAT},
        {pcmFormat(1, 44100, 4, WAVE_FORMAT_IMA_ADPCM), WAVERR_BADFORMAT},
        {pcmFormat(1, 8000, 8, WAVE_FORMAT_MULAW), WAVERR_BADFORMAT},
        {badAlign, WAVERR_BADFORMAT},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(waveOutOpen(nullptr, 0, &c.f, 0, 0, WAVE_FORMAT_QUERY), c.expected)
            << "tag " << c.f.wFormatTag << " ch " << c.f.nChannels << " rate " << c.f.nSamplesPerSec
            << " bits " << c.f.wBitsPerSample;
    }
    WAVEFORMATEXTENSIBLE x{};
    x.Format = pcmFormat(2, 48000, 32);
    x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    x.Format.cbSize = 22;
    x.Samples.wValidBitsPerSample = 24;
    x.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_EQ(waveOutOpen(nullptr, 0, &x.Format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    x.SubFormat.Data1 = 0x55;
    EXPECT_EQ(waveOutOpen(nullptr, 0, &x.Format, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    EXPECT_EQ(waveOutOpen(nullptr, 0, nullptr, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_INVALPARAM);
    const WAVEFORMATEX ok = pcmFormat(2, 44100, 16);
    EXPECT_EQ(waveOutOpen(nullptr, 1, &ok, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, 0, &ok, 0, 0, CALLBACK_WINDOW), MMSYSERR_NOTSUPPORTED);
    EXPECT_EQ(waveOutOpen(&h, 0, &ok, 0, 0, 0x100), MMSYSERR_INVALFLAG);
    waveOutUseSettingsFile();
}

TEST(WaveOutNoOutput, CountIsZeroAndOpenFails) {
    WaveOutSettings s;
    s.output = "quorvel_no_such_pcm";
    waveOutConfigure(s);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    EXPECT_FALSE(waveOutGetStatus().error.empty());
    const WAVEFORMATEX f = pcmFormat(2, 44100, 16);
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    WAVEOUTCAPS caps;
    EXPECT_EQ(waveOutGetDevCaps(0, &caps, sizeof caps), MMSYSERR_BADDEVICEID);

    s.output = "capture:/nonexistent-folder/x.wav";
    waveOutConfigure(s);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    waveOutUseSettingsFile();
}

// The output says once how it runs when it starts, or why it cannot.
TEST(WaveOutLog, StartSaysHowTheOutputRunsAndWhetherTheMixerIsRealTime) {
    std::vector<std::string> lines;
    const WaveOutLogger previous = waveOutSetLogger([&](const std::string& line) { lines.push_back(line); });
    WaveOutSettings s;
    s.output = "null";
    s.periodFrames = 64;
    waveOutConfigure(s);
    ASSERT_EQ(waveOutGetNumDevs(), 1u);
    ASSERT_EQ(waveOutGetNumDevs(), 1u);
    ASSERT_EQ(lines.size(), 1u) << "once per start";
    const WaveOutStatus status = waveOutGetStatus();
    EXPECT_EQ(lines[0], waveOutDescribe(status));
    EXPECT_NE(lines[0].find("sound output null: 48000 Hz, 64-frame periods"), std::string::npos) << lines[0];
    // Either granted (by the system, or on a desktop by RealtimeKit), or
    // refused with the system's reason: never silent.
    if (status.realtime) {
        EXPECT_TRUE(status.realtimeNote == "SCHED_FIFO priority 70" ||
                    (status.realtimeNote.rfind("SCHED_FIFO priority ", 0) == 0 &&
                     status.realtimeNote.find(", granted by RealtimeKit") != std::string::npos))
            << status.realtimeNote;
        EXPECT_NE(lines[0].find("mixer at real-time priority (" + status.realtimeNote + ")"),
                  std::string::npos);
    } else {
        EXPECT_EQ(status.realtimeNote.rfind("not granted: ", 0), 0u) << status.realtimeNote;
        EXPECT_NE(lines[0].find("mixer not at real-time priority (not granted: "), std::string::npos);
    }
    // The mixer's memory: locked, or why not (RLIMIT_MEMLOCK), never silent.
    if (status.memoryLocked) {
        EXPECT_NE(status.memoryNote.find(" KB locked"), std::string::npos) << status.memoryNote;
        EXPECT_NE(lines[0].find("; memory locked (" + status.memoryNote + ")"), std::string::npos) << lines[0];
    } else {
        EXPECT_EQ(status.memoryNote.rfind("not all locked: ", 0), 0u) << status.memoryNote;
        EXPECT_NE(lines[0].find("; memory not locked (" + status.memoryNote + ")"), std::string::npos)
            << lines[0];
    }

    s.output = "quorvel_no_such_pcm";
    waveOutConfigure(s);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("sound output quorvel_no_such_pcm cannot start: ", 0), 0u) << lines[1];
    EXPECT_EQ(waveOutGetStatus().outputName, "quorvel_no_such_pcm");
    waveOutSetLogger(previous);
    waveOutUseSettingsFile();
}

TEST(WaveOutSettingsFile, AudioSectionChoosesTheOutput) {
    TempDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    QDir().mkpath(dir.file("QUORVEL"));
    std::ofstream(dir.file("QUORVEL/settings.ini").toStdString())
        << "[AUDIO]\nOutput=capture:" << dir.file("out.wav").toStdString() << "\nPeriodFrames=256\n";
    waveOutUseSettingsFile();
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    const WaveOutStatus st = waveOutGetStatus();
    EXPECT_EQ(st.periodFrames, 256u);
    WAVEOUTCAPS caps{};
    ASSERT_EQ(waveOutGetDevCaps(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_EQ(QString::fromUtf16(caps.szPname), "Capture to WAV file");
    waveOutShutdown();
    Capture c;
    EXPECT_TRUE(readCapture(dir.file("out.wav").toStdString(), c));
    qunsetenv("XDG_CONFIG_HOME");
}

TEST(WaveOutErrorText, EveryResultCodeHasAText) {
    WCHAR text[MAXERRORLENGTH];
    const MMRESULT codes[] = {MMSYSERR_NOERROR,     MMSYSERR_ERROR,        MMSYSERR_BADDEVICEID,
                              MMSYSERR_NOTENABLED,  MMSYSERR_ALLOCATED,    MMSYSERR_INVALHANDLE,
                              MMSYSERR_NODRIVER,    MMSYSERR_NOMEM,        MMSYSERR_NOTSUPPORTED,
                              MMSYSERR_BADERRNUM,   MMSYSERR_INVALFLAG,    MMSYSERR_INVALPARAM,
                              MMSYSERR_HANDLEBUSY,  MMSYSERR_INVALIDALIAS, MMSYSERR_BADDB,
                              MMSYSERR_KEYNOTFOUND, MMSYSERR_READERROR,    MMSYSERR_WRITEERROR,
                              MMSYSERR_DELETEERROR, MMSYSERR_VALNOTFOUND,  MMSYSERR_NODRIVERCB,
                              WAVERR_BADFORMAT,     WAVERR_STILLPLAYING,   WAVERR_UNPREPARED,
                              WAVERR_SYNC};
    QStringList seen;
    for (MMRESULT c : codes) {
        ASSERT_EQ(waveOutGetErrorText(c, text, MAXERRORLENGTH), MMSYSERR_NOERROR) << c;
        const QString t = QString::fromUtf16(text);
        EXPECT_FALSE(t.isEmpty());
        EXPECT_FALSE(seen.contains(t)) << t.toStdString();
        seen << t;
    }
    EXPECT_EQ(waveOutGetErrorText(999, text, MAXERRORLENGTH), MMSYSERR_BADERRNUM);
    EXPECT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, text, 5), MMSYSERR_NOERROR);
    EXPECT_EQ(QString::fromUtf16(text).size(), 4);
    EXPECT_EQ(waveOutGetErrorText(WAVERR_BADFORMAT, nullptr, 5), MMSYSERR_INVALPARAM);
}

TEST_F(WaveOutCapture, SixteenBitAtTheOutputRateIsCapturedExactly) {
    Reports r;
    HWAVEOUT h = open(pcmFormat(2, 48000, 16), r);
    ASSERT_EQ(r.count(MM_WOM_OPEN), 1u);  // reported before waveOutOpen returned
    const auto a = ramp(3000, 2, 1), b = ramp(2000, 2, 2);
    Buffer ba = Buffer::of(a), bb = Buffer::of(b);
    waveOutPause(h);
    write(h, ba);
    write(h, bb);
    waveOutRestart(h);
    ASSERT_TRUE(r.waitDone(2));
    EXPECT_EQ(r.done(), (std::vector<WAVEHDR*>{&ba.hdr, &bb.hdr}));
    EXPECT_TRUE(r.entries[1].doneFlagSet && r.entries[2].doneFlagSet);
    EXPECT_NE(r.entries[1].thread, std::this_thread::get_id());
    EXPECT_EQ(position(h, TIME_SAMPLES), 5000u);
    EXPECT_EQ(position(h, TIME_BYTES), 20000u);
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(r.count(MM_WOM_CLOSE), 1u);
    std::vector<WaveOutStartRecord> log;
    const Capture c = FinishCapture(&log);
    ASSERT_EQ(c.rate, 48000u);
    ASSERT_EQ(c.channels, 2u);
    ASSERT_EQ(log.size(), 1u);
    const auto first = static_cast<std::size_t>(log[0].firstFrame);
    ASSERT_LE(first + 5000, c.frames());
    for (std::size_t i = 0; i < first; ++i) ASSERT_EQ(c.at(i, 0), 0) << i;
    std::vector<std::int16_t> all = a;
    all.insert(all.end(), b.begin(), b.end());
    for (std::size_t i = 0; i < 5000 * 2; ++i) ASSERT_EQ(c.samples[first * 2 + i], all[i]) << "sample " << i;
    for (std::size_t i = (first + 5000) * 2; i < c.samples.size(); ++i) ASSERT_EQ(c.samples[i], 0) << i;
    EXPECT_EQ(c.riffSize, c.dataSize + 36);
    std::ifstream starts(Path + ".starts");
    std::string header, line;
    std::getline(starts, header);
    std::getline(starts, line);
    EXPECT_EQ(header, "voice,request_ns,request_frame,first_frame");
    EXPECT_NE(line.find("," + std::to_string(log[0].firstFrame)), std::string::npos) << line;
}

TEST_F(WaveOutCapture, FirstFrameLandsAtTheRequestPlusTheFixedLatency) {
    Reports r;
    const WaveOutStatus st = waveOutGetStatus();
    std::vector<Buffer> buffers;
    buffers.reserve(20);
    for (int i = 0; i < 20; ++i) {
        HWAVEOUT h = open(pcmFormat(1, 48000, 16), r);
        buffers.push_back(Buffer::of(std::vector<std::int16_t>(64, 8000)));
        waveOutPause(h);
        write(h, buffers.back());
        std::this_thread::sleep_for(std::chrono::microseconds(1000 + 377 * i));
        waveOutRestart(h);
        ASSERT_TRUE(r.waitDone(i + 1));
        ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    }
    std::vector<WaveOutStartRecord> log;
    const Capture c = FinishCapture(&log);
    ASSERT_EQ(log.size(), 20u);
    int exact = 0;
    for (const auto& rec : log) {
        // Placed at the request's own frame plus the latency, not at a block
        // edge (a caller preempted inside waveOutRestart may come late)...
        exact +=
            std::fabs(static_cast<double>(rec.firstFrame) - (rec.requestFrame + st.latencyFrames)) <= 0.51;
        // ...and heard exactly where it was placed.
        const auto f = static_cast<std::size_t>(rec.firstFrame);
        ASSERT_LT(f, c.frames());
        EXPECT_EQ(c.at(f, 0), 8000);
        EXPECT_EQ(c.at(f - 1, 0), 0);
    }
    EXPECT_GE(exact, 18);
}

// Whoever keeps a record of what was heard learns of each start as it is
// mixed: whose voice (its instance), and when its first frame is heard.
TEST_F(WaveOutCapture, StartListenerHearsEachStartWithItsInstanceAndWhenItIsHeard) {
    struct Told {
        std::mutex lock;
        std::vector<WaveOutStartRecord> starts;
        std::vector<std::thread::id> threads;
    } told;
    const WaveOutStartListener previous = waveOutSetStartListener([&](const WaveOutStartRecord& s) {
        std::lock_guard l(told.lock);
        told.starts.push_back(s);
        told.threads.push_back(std::this_thread::get_id());
    });
    Reports r[3];
    std::vector<Buffer> buffers;
    buffers.reserve(6);
    for (int i = 0; i < 6; ++i) {
        HWAVEOUT h = open(pcmFormat(1, 48000, 16), r[i % 3]);
        buffers.push_back(Buffer::of(std::vector<std::int16_t>(96, 8000)));
        write(h, buffers.back());
        ASSERT_TRUE(r[i % 3].waitDone(std::size_t(i / 3) + 1));
        ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
        std::this_thread::sleep_for(std::chrono::microseconds(700 + 531 * i));
    }
    const WaveOutStatus st = waveOutGetStatus();
    std::vector<WaveOutStartRecord> log;
    const Capture c = FinishCapture(&log);
    waveOutSetStartListener(previous);
    ASSERT_EQ(told.starts.size(), 6u);
    ASSERT_EQ(log.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        const WaveOutStartRecord& s = told.starts[i];
        EXPECT_EQ(s.instance, reinterpret_cast<std::uint64_t>(&r[i % 3])) << i;
        EXPECT_EQ(s.firstFrame, log[i].firstFrame) << i;
        EXPECT_NE(told.threads[i], std::this_thread::get_id());
        // Heard where the sound has it, on the output's clock.
        const auto f = static_cast<std::size_t>(s.firstFrame);
        ASSERT_LT(f, c.frames());
        EXPECT_EQ(c.at(f, 0), 8000);
        EXPECT_EQ(c.at(f - 1, 0), 0);
        EXPECT_NEAR(double(s.heardNs - st.originNs) * 48000 / 1e9, double(f), 0.01) << i;
    }
}

TEST_F(WaveOutCapture, ResetReturnsEveryHeaderInOrderBeforeItReturns) {
    for (bool paused : {false, true}) {
        Reports r;
        HWAVEOUT h = open(pcmFormat(2, 48000, 16), r);
        std::vector<Buffer> bufs;
        for (int i = 0; i < 10; ++i) bufs.push_back(Buffer::of(ramp(2400, 2, i)));  // 50 ms each
        for (auto& b : bufs) write(h, b);
        ASSERT_TRUE(r.waitDone(2, h));
        if (paused) {
            waveOutPause(h);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(waveOutClose(h), WAVERR_STILLPLAYING);
        ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
        std::vector<WAVEHDR*> expected;
        for (auto& b : bufs) expected.push_back(&b.hdr);
        EXPECT_EQ(r.done(h), expected) << "paused " << paused;
        for (auto& b : bufs) EXPECT_EQ(b.hdr.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
        EXPECT_EQ(position(h, TIME_SAMPLES), 0u);
        // Still usable after the reset; pause state kept.
        Buffer again = Buffer::of(ramp(480, 2, 3));
        write(h, again);
        if (paused) waveOutRestart(h);
        ASSERT_TRUE(r.waitDone(11, h));
        EXPECT_EQ(position(h, TIME_SAMPLES), 480u);
        EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    }
}

TEST_F(WaveOutCapture, PauseHoldsTheClockAndRestartReleasesIt) {
    Reports r;
    HWAVEOUT h = open(pcmFormat(1, 48000, 16), r);
    Buffer b = Buffer::of(std::vector<std::int16_t>(48000, 1234));  // one second
    write(h, b);
    ASSERT_TRUE(WaitUntil([&] { return position(h, TIME_SAMPLES) > 4800; }));
    waveOutPause(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const DWORD held = position(h, TIME_SAMPLES);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(position(h, TIME_SAMPLES), held);
    EXPECT_LT(held, 48000u);
    EXPECT_EQ(position(h, TIME_BYTES), held * 2);
    MMTIME t{};
    t.wType = TIME_MS;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.u.ms, held / 48);
    t.wType = TIME_SMPTE;
    ASSERT_EQ(waveOutGetPosition(h, &t, sizeof t), MMSYSERR_NOERROR);
    EXPECT_EQ(t.wType, TIME_BYTES);
    EXPECT_EQ(r.count(MM_WOM_DONE), 0u);
    waveOutRestart(h);
    ASSERT_TRUE(r.waitDone(1));
    EXPECT_EQ(position(h, TIME_SAMPLES), 48000u);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    const Capture c = FinishCapture();
    // The whole second was played, with a gap where it was paused.
    std::size_t loud = 0;
    for (std::size_t i = 0; i < c.frames(); ++i) loud += c.at(i, 0) == 1234;
    EXPECT_EQ(loud, 48000u);
}

TEST_F(WaveOutCapture, SixteenVoicesSum) {
    Reports r;
    std::vector<HWAVEOUT> hs;
    std::vector<Buffer> bufs;
    bufs.reserve(16);
    for (int i = 0; i < 16; ++i) {
        hs.push_back(open(pcmFormat(1, 48000, 16), r));
        bufs.push_back(Buffer::of(std::vector<std::int16_t>(9600, static_cast<std::int16_t>(100 * (i + 1)))));
        waveOutPause(hs.back());
        write(hs.back(), bufs.back());
    }
    for (HWAVEOUT h : hs) waveOutRestart(h);
    ASSERT_TRUE(r.waitDone(16));
    for (HWAVEOUT h : hs) EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    std::vector<WaveOutStartRecord> log;
    const Capture c = FinishCapture(&log);
    ASSERT_EQ(log.size(), 16u);
    std::int64_t from = 0, to = INT64_MAX;
    for (const auto& rec : log) {
        from = std::max(from, rec.firstFrame);
        to = std::min(to, rec.firstFrame + 9600);
    }
    ASSERT_LT(from, to);
    for (auto i = from; i < to; ++i) {
        ASSERT_EQ(c.at(i, 0), 13600) << i;  // 100 * (1 + ... + 16)
        ASSERT_EQ(c.at(i, 1), 13600) << i;
    }
}

TEST_F(WaveOutCapture, LimiterKeepsALoudSumFromWrapping) {
    Reports r;
    std::vector<HWAVEOUT> hs;
    std::vector<Buffer> bufs;
    bufs.reserve(16);
    for (int i = 0; i < 16; ++i) {
        hs.push_back(open(pcmFormat(1, 48000, 16), r));
        std::vector<std::int16_t> s(4800);
        for (std::size_t k = 0; k < s.size(); ++k)
            s[k] = static_cast<std::int16_t>(20000 * std::sin(2 * M_PI * 440 * k / 48000.0));
        bufs.push_back(Buffer::of(s));
        waveOutPause(hs.back());
        write(hs.back(), bufs.back());
    }
    for (HWAVEOUT h : hs) waveOutRestart(h);
    ASSERT_TRUE(r.waitDone(16));
    for (HWAVEOUT h : hs) waveOutClose(h);
    const Capture c = FinishCapture();
    // A wrapped sum would jump between the rails; a limited one moves smoothly.
    int peak = 0, maxStep = 0;
    for (std::size_t i = 1; i < c.frames(); ++i) {
        peak = std::max(peak, std::abs(int(c.at(i, 0))));
        maxStep = std::max(maxStep, std::abs(int(c.at(i, 0)) - int(c.at(i - 1, 0))));
    }
    EXPECT_GT(peak, 30000);
    EXPECT_LT(maxStep, 20000);
}

TEST_F(WaveOutCapture, OtherRatesAndFormatsAreResampledAndConverted) {
    struct Case {
        WAVEFORMATEX f;
        double amplitude;
    };
    const Case cases[] = {{pcmFormat(1, 44100, 16), 0.5},
                          {pcmFormat(2, 22050, 8), 0.5},
                          {pcmFormat(1, 96000, 24), 0.5},
                          {pcmFormat(1, 48000, 32, WAVE_FORMAT_IEEE_FLOAT), 0.5},
                          {pcmFormat(1, 48000, 32), 0.5}};
    Reports r;
    std::vector<Buffer> bufs;
    bufs.reserve(5);
    for (const Case& c : cases) {
        const unsigned frames = c.f.nSamplesPerSec / 5;  // 200 ms of 1 kHz
        std::vector<char> bytes(frames * c.f.nBlockAlign);
        for (unsigned i = 0; i < frames; ++i) {
            const double x = c.amplitude * std::sin(2 * M_PI * 1000.0 * i / c.f.nSamplesPerSec);
            for (unsigned ch = 0; ch < c.f.nChannels; ++ch) {
                char* p = bytes.data() + i * c.f.nBlockAlign + ch * c.f.wBitsPerSample / 8;
                if (c.f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
                    const float v = static_cast<float>(x);
                    std::memcpy(p, &v, 4);
                } else if (c.f.wBitsPerSample == 8) {
                    *p = static_cast<char>(static_cast<unsigned char>(std::lround(128 + x * 127)));
                } else {
                    const auto v = static_cast<std::int32_t>(std::lround(x * 2147483647.0));
                    std::memcpy(p, reinterpret_cast<const char*>(&v) + 4 - c.f.wBitsPerSample / 8,
                                c.f.wBitsPerSample / 8);
                }
            }
        }
        bufs.emplace_back(std::move(bytes));
        HWAVEOUT h = open(c.f, r);
        waveOutPause(h);
        write(h, bufs.back());
        waveOutRestart(h);
        ASSERT_TRUE(r.waitDone(bufs.size()));
        waveOutClose(h);
    }
    std::vector<WaveOutStartRecord> log;
    const Capture cap = FinishCapture(&log);
    ASSERT_EQ(log.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) {
        // Away from the edges, the output is the same 1 kHz sine at 48 kHz
        // within 1 % of full scale (resampling and 8-bit quantisation).
        const auto first = static_cast<std::size_t>(log[k].firstFrame);
        double worst = 0;
        for (std::size_t i = 480; i < 9600 - 480; ++i) {
            const double expected = 0.5 * std::sin(2 * M_PI * 1000.0 * i / 48000.0);
            worst = std::max(worst, std::fabs(cap.at(first + i, 0) / 32768.0 - expected));
            worst = std::max(worst, std::fabs(cap.at(first + i, 1) / 32768.0 - expected));
        }
        EXPECT_LT(worst, 0.01) << "case " << k;
    }
}

TEST_F(WaveOutCapture, CallErrors) {
    Reports r;
    HWAVEOUT h = open(pcmFormat(1, 48000, 16), r);
    Buffer b = Buffer::of(std::vector<std::int16_t>(100, 1));
    EXPECT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(h, &b.hdr, sizeof(WAVEHDR) - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(h, nullptr, sizeof(WAVEHDR)), MMSYSERR_INVALPARAM);
    auto bogus = reinterpret_cast<HWAVEOUT>(std::uintptr_t{0x12345});
    EXPECT_EQ(waveOutWrite(bogus, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutReset(bogus), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(bogus), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutMessage(h, 0x900, 0, 0), MMSYSERR_NOTSUPPORTED);
    waveOutPause(h);
    write(h, b);
    EXPECT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(h, &b.hdr, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    DWORD vol = 0;
    EXPECT_EQ(waveOutSetVolume(h, 0x80008000), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutGetVolume(h, &vol), MMSYSERR_NOERROR);
    EXPECT_EQ(vol, 0x80008000u);
    EXPECT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutUnprepareHeader(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(b.hdr.dwFlags & WHDR_PREPARED, 0u);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
}

TEST_F(WaveOutCapture, NullCallbackStillMarksHeadersDone) {
    HWAVEOUT h = nullptr;
    const WAVEFORMATEX f = pcmFormat(1, 48000, 16);
    ASSERT_EQ(waveOutOpen(&h, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Buffer b = Buffer::of(std::vector<std::int16_t>(480, 5));
    write(h, b);
    ASSERT_TRUE(WaitUntil([&] { return (std::atomic_ref<DWORD>(b.hdr.dwFlags).load() & WHDR_DONE) != 0; }));
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST(WaveOutLostOutput, PlaybackEndsWithAnErrorAndNothingHangs) {
    TempDir dir;
    const std::string path = dir.file("lost.wav").toStdString();
    WaveOutSettings s;
    s.output = "capture:" + path;
    waveOutConfigure(s);
    ASSERT_EQ(waveOutGetNumDevs(), 1u);
    // The file may not grow past 64 KB: the capture's writes fail after about 1/3 s.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    Reports r;
    HWAVEOUT h = nullptr;
    const WAVEFORMATEX f = pcmFormat(1, 48000, 16);
    ASSERT_EQ(waveOutOpen(&h, 0, &f, callbackOf(), reinterpret_cast<DWORD_PTR>(&r), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    std::vector<Buffer> bufs;
    for (int i = 0; i < 10; ++i)
        bufs.push_back(Buffer::of(std::vector<std::int16_t>(48000, 100)));  // ten seconds
    for (auto& b : bufs) {
        waveOutPrepareHeader(h, &b.hdr, sizeof(WAVEHDR));
        ASSERT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(WaitUntil([] { return waveOutGetStatus().failed; }, 10000));
    EXPECT_FALSE(waveOutGetStatus().error.empty());
    // Every header comes back, in order, well before it could have played.
    ASSERT_TRUE(r.waitDone(10, h, 5));
    std::vector<WAVEHDR*> expected;
    for (auto& b : bufs) expected.push_back(&b.hdr);
    EXPECT_EQ(r.done(h), expected);
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    Buffer more = Buffer::of(std::vector<std::int16_t>(10, 1));
    waveOutPrepareHeader(h, &more.hdr, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutWrite(h, &more.hdr, sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    HWAVEOUT h2 = nullptr;
    EXPECT_EQ(waveOutOpen(&h2, 0, &f, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    setrlimit(RLIMIT_FSIZE, &old);
    waveOutUseSettingsFile();
}

TEST_F(WaveOutCapture, LostOutputStartsAfreshOnceNoVoicePlaysOnIt) {
    Reports r;
    const WAVEFORMATEX f = pcmFormat(2, 48000, 16);
    HWAVEOUT h = open(f, r);
    std::vector<Buffer> bufs;
    for (int i = 0; i < 5; ++i) bufs.push_back(Buffer::of(std::vector<std::int16_t>(2 * 48000, 100)));
    {
        // The capture's disk fills up a few blocks further on.
        FileSizeLimit full(std::filesystem::file_size(Path) + 16384);
        for (auto& b : bufs) write(h, b);
        ASSERT_TRUE(WaitUntil([] { return waveOutGetStatus().failed; }, 10000));
        ASSERT_TRUE(r.waitDone(bufs.size(), h, 5));
        // A voice that played on it is still open: it stays lost.
        EXPECT_EQ(waveOutGetNumDevs(), 0u);
        ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    }
    // Room again, and no voice left on the lost output: the next call starts afresh.
    ASSERT_EQ(waveOutGetNumDevs(), 1u) << waveOutGetStatus().error;
    EXPECT_FALSE(waveOutGetStatus().failed);
    Reports again;
    HWAVEOUT h2 = open(f, again);
    const auto samples = ramp(4800, 2, 5);
    Buffer b = Buffer::of(samples);
    write(h2, b);
    ASSERT_TRUE(again.waitDone(1, h2));
    ASSERT_EQ(waveOutClose(h2), MMSYSERR_NOERROR);
    const Capture c = FinishCapture();
    EXPECT_NE(std::search(c.samples.begin(), c.samples.end(), samples.begin(), samples.end()),
              c.samples.end())
        << "the new voice is not in the new capture";
}

TEST(WaveOutAlsa, PlaysThroughTheFilePlugin) {
    TempDir dir;
    const std::string raw = dir.file("alsa.raw").toStdString();
    WaveOutSettings s;
    s.output = "file:'" + raw + "',raw";
    s.periodFrames = 256;
    waveOutConfigure(s);
    ASSERT_EQ(waveOutGetNumDevs(), 1u) << waveOutGetStatus().error;
    Reports r;
    HWAVEOUT h = nullptr;
    const WAVEFORMATEX f = pcmFormat(2, 48000, 16);
    ASSERT_EQ(waveOutOpen(&h, 0, &f, callbackOf(), reinterpret_cast<DWORD_PTR>(&r), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    const auto samples = ramp(4800, 2, 7);
    Buffer b = Buffer::of(samples);
    waveOutPrepareHeader(h, &b.hdr, sizeof(WAVEHDR));
    ASSERT_EQ(waveOutWrite(h, &b.hdr, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_TRUE(r.waitDone(1));
    ASSERT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    waveOutShutdown();
    std::ifstream in(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> got(bytes.size() / 2);
    std::memcpy(got.data(), bytes.data(), got.size() * 2);
    auto at = std::search(got.begin(), got.end(), samples.begin(), samples.end());
    EXPECT_NE(at, got.end()) << "the voice's samples are not in the file (" << got.size() << " samples)";
    waveOutUseSettingsFile();
}

TEST(WaveOutProgramEnd, CaptureFileIsCompleteWhenTheProgramExits) {
    TempDir dir;
    const std::string path = dir.file("exit.wav").toStdString();
    GTEST_FLAG_SET(death_test_style, "fast");  // the child must see this test's folder
    EXPECT_EXIT(
        {
            WaveOutSettings s;
            s.output = "capture:" + path;
            waveOutConfigure(s);
            HWAVEOUT h = nullptr;
            const WAVEFORMATEX f = pcmFormat(1, 48000, 16);
            waveOutOpen(&h, 0, &f, 0, 0, CALLBACK_NULL);
            Buffer b = Buffer::of(std::vector<std::int16_t>(4800, 777));
            waveOutPrepareHeader(h, &b.hdr, sizeof(WAVEHDR));
            waveOutWrite(h, &b.hdr, sizeof(WAVEHDR));
            WaitUntil([&] { return (std::atomic_ref<DWORD>(b.hdr.dwFlags).load() & WHDR_DONE) != 0; });
            std::exit(0);  // voice still open, output still running
        },
        ::testing::ExitedWithCode(0), "");
    Capture c;
    ASSERT_TRUE(readCapture(path, c));
    EXPECT_EQ(c.riffSize, c.dataSize + 36);
    EXPECT_EQ(std::count(c.samples.begin(), c.samples.end(), 777), 4800 * 2);
}

TEST_F(WaveOutCapture, ConcurrentRestrikesReportEveryHeaderOnceInOrder) {
    auto bell = [this](int seed) {
        Reports r;
        std::vector<WAVEHDR*> written;
        std::deque<Buffer> bufs;
        HWAVEOUT h = open(pcmFormat(1, seed % 2 ? 44100 : 48000, 16), r);
        for (int i = 0; i < 150; ++i) {
            for (int k = 0; k < 3; ++k) {
                bufs.push_back(
                    Buffer::of(std::vector<std::int16_t>(64 + 32 * k, static_cast<std::int16_t>(i))));
                write(h, bufs.back());
                written.push_back(&bufs.back().hdr);
            }
            std::this_thread::sleep_for(std::chrono::microseconds((i * 7919 + seed * 104729) % 4000));
            if (i % 3 == 0) {
                waveOutPause(h);
                waveOutRestart(h);
            }
            if (i % 2 == 0) {
                ASSERT_EQ(waveOutReset(h), MMSYSERR_NOERROR);
                ASSERT_EQ(r.count(MM_WOM_DONE), written.size());  // all reported when reset returns
            }
        }
        ASSERT_TRUE(r.waitDone(written.size()));
        EXPECT_EQ(r.done(), written);
        EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
        for (const auto& b : bufs) EXPECT_EQ(b.hdr.dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(bell, t);
    for (auto& t : threads) t.join();
}

TEST_F(WaveOutCapture, AfterTheProcessWasStoppedTheClockCarriesOnFromNow) {
    const std::int64_t begin = waveOutNowNs();
    ASSERT_TRUE(WaitUntil([] { return waveOutGetStatus().framesRendered > 4800; }));
    // Stop the whole process for 600 ms, as a suspended machine would.
    const pid_t self = getpid();
    const pid_t waker = fork();
    ASSERT_GE(waker, 0);
    if (waker == 0) {
        usleep(600000);
        kill(self, SIGCONT);
        _exit(0);
    }
    kill(self, SIGSTOP);
    waitpid(waker, nullptr, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const WaveOutStatus st = waveOutGetStatus();
    const double wallFrames = static_cast<double>(waveOutNowNs() - begin) * st.rate / 1e9;
    EXPECT_GE(st.lateBlocks, 1u);
    EXPECT_LT(static_cast<double>(st.framesRendered),
              wallFrames - 0.3 * st.rate);  // did not race to catch up
    // Starts are placed exactly again.
    Reports r;
    HWAVEOUT h = open(pcmFormat(1, 48000, 16), r);
    Buffer b = Buffer::of(std::vector<std::int16_t>(64, 500));
    waveOutPause(h);
    write(h, b);
    waveOutRestart(h);
    ASSERT_TRUE(r.waitDone(1));
    waveOutClose(h);
    std::vector<WaveOutStartRecord> log;
    const Capture c = FinishCapture(&log);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NEAR(static_cast<double>(log[0].firstFrame), log[0].requestFrame + st.latencyFrames, 0.51);
    EXPECT_EQ(c.at(static_cast<std::size_t>(log[0].firstFrame), 0), 500);
}
