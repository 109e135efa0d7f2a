// Every WAV format a tower may hold, made by sox, played through a bell's
// whole chain to the capture output and compared with sox's own decoding.

#include "playback/MMWavePlayer.h"
#include "tests/support/EventPump.h"
#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveOutTestKit.h"
#include "wavedata/MMWave.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kOutRate = 48000;

struct Case {
    const char* name;
    unsigned rate;
    int channels;
    QStringList encoding;  // sox output options
    bool noise;            // noise where compared exactly, a tone where resampled
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.name;
}

// A bell as the console sets it up, with its stops counted.
struct Bell {
    TMMWavePlayer Player;
    int Starts = 0;
    int Stops = 0;
    Bell() {
        Player.SetBufferSize(2048);
        Player.SetNumBuffers(10);
        Player.SetDeviceID(0);
        Player.OnStart = [this](QObject*) { ++Starts; };
        Player.OnStop = [this](QObject*) { ++Stops; };
    }
};

// The capture output with the player's sox-made files and where each start landed.
class PlayerCapture : protected CaptureFixture {
protected:
    Capture Finish() {
        std::vector<WaveOutStartRecord> log;
        Capture c = FinishCapture(&log);
        FirstFrames.clear();
        for (const auto& r : log) FirstFrames.push_back(r.firstFrame);
        return c;
    }
    QString Make(const QString& name, unsigned rate, int channels, const QStringList& encoding, bool noise) {
        const QString path = Dir.file(name);
        QStringList args{"-n", "-r", QString::number(rate), "-c", QString::number(channels)};
        args += encoding;
        args += QStringList{path, "synth", "0.3"};
        // Different sounds on the two channels, so a swap or a mix shows.
        if (noise)
            args += channels == 2 ? QStringList{"whitenoise", "pinknoise"} : QStringList{"whitenoise"};
        else
            args += channels == 2 ? QStringList{"sine", "440", "sine", "660"} : QStringList{"sine", "440"};
        args += QStringList{"vol", "0.5"};
        sox::Run(args);
        return path;
    }
    static void WriteFile(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    static QByteArray ReadFile(const QString& path) {
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return f.readAll();
    }

    std::vector<std::int64_t> FirstFrames;
};

// Offset of a chunk's body in a RIFF file made by sox.
qsizetype ChunkBody(const QByteArray& all, const char* id) {
    qsizetype pos = 12;
    while (pos + 8 <= all.size()) {
        std::uint32_t size;
        std::memcpy(&size, all.constData() + pos + 4, 4);
        if (all.mid(pos, 4) == id) return pos + 8;
        pos += 8 + size + (size & 1);
    }
    return -1;
}

// sox's decoding of the file as the capture holds it: 16-bit stereo at the
// output rate, no dither.
std::vector<std::int16_t> SoxAsCaptured(const QString& file) {
    const QByteArray raw = sox::Run({"-D", file, "-r", QString::number(kOutRate), "-c", "2", "-b", "16", "-e",
                                     "signed", "-L", "-t", "raw", "-"});
    std::vector<std::int16_t> out(static_cast<size_t>(raw.size()) / 2);
    if (!out.empty()) std::memcpy(out.data(), raw.constData(), out.size() * 2);
    return out;
}

class PlayerFormats : public ::testing::TestWithParam<Case>, protected PlayerCapture {
protected:
    void SetUp() override {
        if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
        StartCapture(128, kOutRate);
    }
};

// Without resampling every sample must come through as sox decodes it: a
// rounding step of the narrowing (24/32-bit, float) may differ by one LSB.
// With resampling, a 440/660 Hz tone well inside every band is compared
// after aligning the two resamplers' delays (within +-2 ms): the RMS of the
// difference, edges (20 ms) left out, must stay below 1/20 of the signal's
// RMS (-26 dB). Two sound resamplers agree far better than that on an
// in-band tone, while a pitch error of even 1 %, a lost or repeated block,
// a swapped channel or a level error of 10 % each exceed it.
TEST_P(PlayerFormats, PlaysAsSoxDecodes) {
    const Case& c = GetParam();
    const QString file = Make(QString(c.name) + ".wav", c.rate, c.channels, c.encoding, c.noise);
    const std::vector<std::int16_t> want = SoxAsCaptured(file);
    ASSERT_FALSE(want.empty());
    // sox decodes the padding of the last ADPCM block too; the fact chunk
    // tells how many frames are real. The bell may play the padding or not.
    const std::size_t wantFrames = want.size() / 2;
    std::size_t realFrames = wantFrames;
    const QByteArray bytes = ReadFile(file);
    if (const qsizetype fact = ChunkBody(bytes, "fact"); fact > 0 && fact + 4 <= bytes.size()) {
        std::uint32_t frames;
        std::memcpy(&frames, bytes.constData() + fact, 4);
        realFrames = std::min<std::size_t>(wantFrames, std::size_t(double(frames) * kOutRate / c.rate + 0.5));
    }

    Bell b;
    b.Player.LoadFromFile(file);
    b.Player.Play();
    ASSERT_TRUE(PumpUntil([&] { return b.Stops == 1; }, 60)) << "never stopped";
    EXPECT_EQ(b.Starts, 1);
    const Capture cap = Finish();
    ASSERT_EQ(FirstFrames.size(), 1u);
    ASSERT_EQ(cap.channels, 2u);
    ASSERT_EQ(cap.rate, kOutRate);
    const std::int64_t at = FirstFrames[0];
    ASSERT_GE(at, 0);

    if (c.rate == kOutRate) {
        ASSERT_GE(cap.frames(), std::size_t(at) + wantFrames) << "capture too short";
        int worst = 0;
        std::size_t worstAt = 0;
        for (std::size_t i = 0; i < wantFrames; ++i)
            for (unsigned ch = 0; ch < 2; ++ch) {
                const int d = std::abs(cap.at(at + i, ch) - want[i * 2 + ch]);
                if (d > worst) worst = d, worstAt = i;
            }
        EXPECT_LE(worst, 1) << "frame " << worstAt << " differs by " << worst;
        // Nothing of the sound after its end.
        for (std::size_t i = at + wantFrames; i < std::min(cap.frames(), at + wantFrames + 2000); ++i)
            ASSERT_EQ(cap.at(i, 0), 0) << "sound after the end at " << i - at;
        return;
    }

    const std::size_t edge = kOutRate / 50;
    ASSERT_GT(realFrames, 4 * edge);
    const int maxLag = int(kOutRate / 500);
    double best = 1e300, signal = 0;
    int bestLag = 0;
    for (std::size_t i = edge; i + edge < realFrames; ++i)
        for (unsigned ch = 0; ch < 2; ++ch) signal += double(want[i * 2 + ch]) * want[i * 2 + ch];
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double diff = 0;
        for (std::size_t i = edge; i + edge < realFrames; ++i) {
            const std::int64_t f = at + std::int64_t(i) + lag;
            for (unsigned ch = 0; ch < 2; ++ch) {
                const double got = f >= 0 && std::size_t(f) < cap.frames() ? cap.at(f, ch) : 0;
                const double d = got - want[i * 2 + ch];
                diff += d * d;
            }
        }
        if (diff < best) best = diff, bestLag = lag;
    }
    const double ratio = std::sqrt(best / signal);
    EXPECT_LT(ratio, 0.05) << "difference/signal RMS " << ratio << " at lag " << bestLag;
    RecordProperty("rms_ratio", std::to_string(ratio));
    // The sound lasts from the file's real end to the end of its padding,
    // give or take the lag window and a resampler's tail.
    std::size_t last = 0;
    for (std::size_t i = std::size_t(at); i < cap.frames(); ++i)
        if (cap.at(i, 0) || cap.at(i, 1)) last = i;
    const double heard = double(last + 1 - at), slack = maxLag + kOutRate / 100.0;
    std::printf(
        "[ metric ] %s: difference/signal RMS %.5f (%.1f dB) at lag %d; %.0f frames heard, %zu..%zu due\n",
        c.name, ratio, 20 * std::log10(ratio), bestLag, heard, realFrames, wantFrames);
    EXPECT_GE(heard, double(realFrames) - slack);
    EXPECT_LE(heard, double(wantFrames) + slack);
}

class PlayerRefuses : public ::testing::Test, protected PlayerCapture {
protected:
    void SetUp() override {
        if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
        StartCapture(128, kOutRate);
    }

    // Loads and plays the file; the error message, or empty when it played
    // through to its stop.
    QString LoadAndPlay(Bell& b, const QString& file) {
        try {
            b.Player.LoadFromFile(file);
            b.Player.Play();
        } catch (const Exception& e) {
            EXPECT_FALSE(b.Player.IsOpen());
            return e.Message().isEmpty() ? QStringLiteral("(empty message)") : e.Message();
        }
        if (b.Starts) {
            EXPECT_TRUE(PumpUntil([&] { return b.Stops == b.Starts; }, 60)) << "never stopped";
        }
        return {};
    }
};

// Nothing in the chain decodes GSM. The device asks whether it can play
// the format before it opens the converters, so its refusal is the error
// the bell shows; the converters' own "Unable to convert to destination
// format" never gets its turn.
TEST_F(PlayerRefuses, GsmIsRefusedAtPlayAndNothingIsHeard) {
    const QString file = Dir.file("gsm.wav");
    sox::Run({"-n", "-r", "8000", "-c", "1", "-e", "gsm-full-rate", file, "synth", "0.3", "sine", "440"});
    Bell b;
    b.Player.LoadFromFile(file);
    EXPECT_EQ(b.Player.FileName(), file);
    EXPECT_EQ(LoadAndPlay(b, file), QString("WaveOutOpen:\n\rThe actual device can't play this format"));
    EXPECT_EQ(b.Starts, 0);
    EXPECT_EQ(b.Stops, 0);
    Finish();
    EXPECT_TRUE(FirstFrames.empty()) << "something of the GSM file was heard";
}

void Put16(QByteArray& all, qsizetype at, std::uint16_t v) {
    all[at] = char(v & 0xFF);
    all[at + 1] = char(v >> 8);
}

struct BadAdpcm {
    const char* name;
    std::function<void(QByteArray& file, qsizetype fmt, qsizetype data)> spoil;
};

// Broken ADPCM files: each gives a clear error, or plays (silence or what
// decodes) and stops; never a crash, a hang or a runaway allocation.
TEST_F(PlayerRefuses, BrokenAdpcmFilesFailCleanly) {
    const QString source = Dir.file("adpcm.wav");
    sox::Run({"-n", "-r", "48000", "-c", "1", "-e", "ms-adpcm", source, "synth", "0.3", "whitenoise", "vol",
              "0.5"});
    const QByteArray good = ReadFile(source);
    const qsizetype fmt = ChunkBody(good, "fmt ");
    const qsizetype data = ChunkBody(good, "data");
    ASSERT_GT(fmt, 0);
    ASSERT_GT(data, 0);
    // fmt body: tag 0, channels 2, rate 4, bytes/s 8, block 12, bits 14,
    // extra size 16, samples per block 18, coefficient count 20.
    const std::vector<BadAdpcm> cases{
        {"cut_in_a_block", [](QByteArray& f, qsizetype, qsizetype d) { f.truncate(d + 1000); }},
        {"cut_in_the_header", [](QByteArray& f, qsizetype m, qsizetype) { f.truncate(m + 19); }},
        {"five_channels", [](QByteArray& f, qsizetype m, qsizetype) { Put16(f, m + 2, 5); }},
        {"zero_block", [](QByteArray& f, qsizetype m, qsizetype) { Put16(f, m + 12, 0); }},
        {"huge_samples_per_block", [](QByteArray& f, qsizetype m, qsizetype) { Put16(f, m + 18, 0xFFFF); }},
        {"zero_samples_per_block", [](QByteArray& f, qsizetype m, qsizetype) { Put16(f, m + 18, 0); }},
        {"no_coefficients", [](QByteArray& f, qsizetype m, qsizetype) { Put16(f, m + 20, 0); }},
        {"huge_coefficient_count", [](QByteArray& f, qsizetype m, qsizetype) { Put16(f, m + 20, 0xFFFF); }},
        {"block_larger_than_data", [](QByteArray& f, qsizetype m, qsizetype) { Put16(f, m + 12, 0xFFFF); }},
        {"garbage_data",
         [](QByteArray& f, qsizetype, qsizetype d) {
             for (qsizetype i = d; i < f.size(); ++i) f[i] = char(0x80 ^ (i * 131));
         }},
    };
    for (const BadAdpcm& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray bytes = good;
        c.spoil(bytes, fmt, data);
        const QString file = Dir.file(QString(c.name) + ".wav");
        WriteFile(file, bytes);
        Bell b;
        const QString error = LoadAndPlay(b, file);
        std::printf("[ outcome ] %s: %s\n", c.name,
                    error.isEmpty() ? (b.Starts ? "played and stopped" : "nothing played")
                                    : error.toStdString().c_str());
        EXPECT_EQ(b.Stops, b.Starts);
        EXPECT_FALSE(b.Player.IsOpen());
    }

    // A file cut inside a block plays the blocks before the cut as sox does.
    QByteArray cut = good;
    const std::uint16_t block =
        std::uint16_t(std::uint8_t(good[fmt + 12]) | std::uint8_t(good[fmt + 13]) << 8);
    const std::uint16_t perBlock =
        std::uint16_t(std::uint8_t(good[fmt + 18]) | std::uint8_t(good[fmt + 19]) << 8);
    ASSERT_GT(block, 0);
    const int wholeBlocks = 3;
    cut.truncate(data + wholeBlocks * block + block / 2);
    const QString cutFile = Dir.file("cut.wav");
    WriteFile(cutFile, cut);
    Bell b;
    ASSERT_EQ(LoadAndPlay(b, cutFile), QString());
    ASSERT_EQ(b.Starts, 1);
    const std::vector<std::int16_t> want = sox::DecodeTo16(source);
    const Capture cap = Finish();
    ASSERT_FALSE(FirstFrames.empty());
    const std::size_t n = std::size_t(wholeBlocks) * perBlock;
    ASSERT_GE(want.size(), n);
    ASSERT_GE(cap.frames(), FirstFrames.back() + n);
    for (std::size_t i = 0; i < n; ++i)
        ASSERT_EQ(cap.at(FirstFrames.back() + i, 0), want[i]) << "frame " << i;
}

// One corrupt block inside a quiet Microsoft ADPCM file (a predictor
// index past the table): whatever the bell does with it, it never plays
// the undecoded bytes as PCM, which would be loud noise.
TEST_F(PlayerRefuses, CorruptBlockInsideAFileIsNeverPlayedAsNoise) {
    const QString source = Dir.file("quiet.wav");
    sox::Run({"-n", "-r", "48000", "-c", "1", "-e", "ms-adpcm", source, "synth", "2", "whitenoise", "vol",
              "0.05"});
    QByteArray bytes = ReadFile(source);
    const qsizetype fmt = ChunkBody(bytes, "fmt "), data = ChunkBody(bytes, "data");
    ASSERT_GT(fmt, 0);
    ASSERT_GT(data, 0);
    const int block = std::uint8_t(bytes[fmt + 12]) | std::uint8_t(bytes[fmt + 13]) << 8;
    ASSERT_GT(bytes.size(), data + 12 * block);
    bytes[data + 8 * block] = char(7);  // the predictor of block 8
    const QString file = Dir.file("corrupt.wav");
    WriteFile(file, bytes);
    int peak = 0;
    for (std::int16_t v : sox::DecodeTo16(source)) peak = std::max(peak, std::abs(int(v)));

    Bell b;
    b.Player.LoadFromFile(file);
    const QString error = LoadAndPlay(b, file);
    std::printf("[ outcome ] corrupt block: %s\n",
                error.isEmpty() ? "played and stopped" : qPrintable(error));
    const Capture cap = Finish();
    int heard = 0;
    for (std::int16_t v : cap.samples) heard = std::max(heard, std::abs(int(v)));
    EXPECT_LE(heard, peak + 1) << "louder than the file ever is";
}

class PlayerEnds : public ::testing::Test, protected PlayerCapture {
protected:
    void SetUp() override {
        if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
        StartCapture(128, kOutRate);
    }
};

// An 8-bit mono file of odd length, as sox and many recorders write it, ends
// in a pad byte. That zero is full scale negative in unsigned 8-bit: played,
// it ends every stroke of the bell with a click.
TEST_F(PlayerEnds, OddLength8BitMonoEndsWithoutAClick) {
    const QString file = Dir.file("odd8.wav");
    sox::Run({"-r", QString::number(kOutRate), "-n", "-r", QString::number(kOutRate), "-c", "1", "-e",
              "unsigned", "-b", "8", file, "synth", "4801s", "sine", "440", "vol", "0.25"});
    const QByteArray bytes = ReadFile(file);
    const qsizetype data = ChunkBody(bytes, "data");
    ASSERT_GT(data, 0);
    std::uint32_t size;
    std::memcpy(&size, bytes.constData() + data - 4, 4);
    ASSERT_EQ(size, 4801u);
    ASSERT_EQ(bytes.size(), data + 4802) << "sox wrote no pad byte";
    ASSERT_EQ(bytes[data + 4801], '\0');
    const std::vector<std::int16_t> want = SoxAsCaptured(file);
    ASSERT_EQ(want.size(), 2u * 4801);
    int peak = 0;
    for (std::int16_t v : want) peak = std::max(peak, std::abs(int(v)));

    Bell b;
    b.Player.LoadFromFile(file);
    b.Player.Play();
    ASSERT_TRUE(PumpUntil([&] { return b.Stops == 1; }, 60)) << "never stopped";
    PumpFor(100);  // some silence after the stop into the capture
    const Capture cap = Finish();
    ASSERT_EQ(FirstFrames.size(), 1u);
    const std::size_t at = std::size_t(FirstFrames[0]), end = at + 4801;
    ASSERT_GE(cap.frames(), end + 1000);
    // The last samples are the file's, then silence: no step to full scale.
    for (std::size_t i = end - 100; i < end; ++i)
        ASSERT_EQ(cap.at(i, 0), want[(i - at) * 2]) << "frame " << i - at;
    for (std::size_t i = end; i < end + 1000; ++i)
        for (unsigned ch = 0; ch < 2; ++ch)
            ASSERT_EQ(cap.at(i, ch), 0) << "frame " << i - at << " after the end";
    for (std::int16_t v : cap.samples) ASSERT_LE(std::abs(int(v)), peak) << "louder than the file";
}

const QStringList S16{"-e", "signed", "-b", "16"};

INSTANTIATE_TEST_SUITE_P(
    Tower, PlayerFormats,
    ::testing::Values(
        Case{"pcm8_mono_48000", 48000, 1, {"-e", "unsigned", "-b", "8"}, true},
        Case{"pcm8_stereo_22050", 22050, 2, {"-e", "unsigned", "-b", "8"}, false},
        Case{"pcm16_mono_48000", 48000, 1, S16, true}, Case{"pcm16_stereo_48000", 48000, 2, S16, true},
        Case{"pcm16_mono_8000", 8000, 1, S16, false}, Case{"pcm16_stereo_44100", 44100, 2, S16, false},
        Case{"pcm24_stereo_48000", 48000, 2, {"-t", "wavpcm", "-e", "signed", "-b", "24"}, true},
        Case{"pcm32_mono_48000", 48000, 1, {"-t", "wavpcm", "-e", "signed", "-b", "32"}, true},
        Case{"float_stereo_48000", 48000, 2, {"-e", "floating-point", "-b", "32"}, true},
        Case{"float_mono_22050", 22050, 1, {"-e", "floating-point", "-b", "32"}, false},
        // sox writes 24- and 32-bit PCM as WAVE_FORMAT_EXTENSIBLE
        Case{"extensible24_stereo_48000", 48000, 2, {"-e", "signed", "-b", "24"}, true},
        Case{"extensible24_mono_44100", 44100, 1, {"-e", "signed", "-b", "24"}, false},
        Case{"extensible32_stereo_48000", 48000, 2, {"-e", "signed", "-b", "32"}, true},
        Case{"alaw_mono_8000", 8000, 1, {"-e", "a-law"}, false},
        Case{"alaw_stereo_48000", 48000, 2, {"-e", "a-law"}, true},
        Case{"mulaw_mono_48000", 48000, 1, {"-e", "mu-law"}, true},
        Case{"mulaw_mono_8000", 8000, 1, {"-e", "mu-law"}, false},
        Case{"ima_mono_48000", 48000, 1, {"-e", "ima-adpcm"}, true},
        Case{"ima_stereo_22050", 22050, 2, {"-e", "ima-adpcm"}, false},
        Case{"msadpcm_mono_48000", 48000, 1, {"-e", "ms-adpcm"}, true},
        Case{"msadpcm_stereo_48000", 48000, 2, {"-e", "ms-adpcm"}, true},
        Case{"msadpcm_mono_8000", 8000, 1, {"-e", "ms-adpcm"}, false},
        Case{"msadpcm_stereo_44100", 44100, 2, {"-e", "ms-adpcm"}, false}),
    [](const ::testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
