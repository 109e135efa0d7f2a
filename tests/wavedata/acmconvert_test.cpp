#include "wavedata/MMACMConverter.h"
#include "wavedata/MMACMSupport.h"
#include "wavedata/MMPCMConverter.h"

#include <gtest/gtest.h>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

namespace {

WAVEFORMATEX Format(WORD tag, WORD bits, WORD channels, DWORD rate, WORD blockAlign = 0) {
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = blockAlign ? blockAlign : static_cast<WORD>(bits / 8 * channels);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

WAVEFORMATEX Pcm(WORD bits, WORD channels, DWORD rate) {
    return Format(WAVE_FORMAT_PCM, bits, channels, rate);
}

// G.711 decoding written out from the ITU definition.
std::int16_t ALawReference(BYTE a) {
    a ^= 0x55;
    const int segment = (a >> 4) & 7;
    int magnitude = (a & 0x0F) << 4;
    magnitude += segment == 0 ? 8 : 0x108;
    if (segment > 1) magnitude <<= segment - 1;
    return static_cast<std::int16_t>((a & 0x80) ? magnitude : -magnitude);
}

std::int16_t MuLawReference(BYTE u) {
    u = static_cast<BYTE>(~u);
    int magnitude = (((u & 0x0F) << 3) + 0x84) << ((u >> 4) & 7);
    magnitude -= 0x84;
    return static_cast<std::int16_t>((u & 0x80) ? -magnitude : magnitude);
}

std::vector<std::int16_t> AsInt16(const std::vector<BYTE>& bytes) {
    std::vector<std::int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

template <typename T>
std::vector<BYTE> AsBytes(const std::vector<T>& values) {
    std::vector<BYTE> out(values.size() * sizeof(T));
    std::memcpy(out.data(), values.data(), out.size());
    return out;
}

// A chain head that delivers bytes from memory the way a file source does:
// at most Chunk bytes per pull, MoreBuffers false with the last of them.
class MemorySource : public TMMDSPComponent {
public:
    MemorySource(const WAVEFORMATEX& format, std::vector<BYTE> data) : Data(std::move(data)) {
        SetOutputValid(true);
        SetPWaveFormat(&format);
    }
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        ++Pulls;
        const size_t n = std::min<size_t>({lpwh->dwBufferLength, Chunk, Data.size() - Position});
        std::memcpy(lpwh->lpData, Data.data() + Position, n);
        Position += n;
        lpwh->dwBytesRecorded = static_cast<DWORD>(n);
        if (WrapAtPull && Pulls == WrapAtPull) lpwh->LoopRec.dwLooping = 1;
        if (PauseAtPull && Pulls == PauseAtPull && PauseTarget) PauseTarget->Paused();
        MoreBuffers = Position < Data.size();
    }
    std::vector<BYTE> Data;
    size_t Position = 0;
    size_t Chunk = SIZE_MAX;
    int Pulls = 0;
    int WrapAtPull = 0;
    int PauseAtPull = 0;
    TMMDSPComponent* PauseTarget = nullptr;  // the device pauses while this pull runs
};

// A chain end that pulls buffers like an output device, and records what is
// handed to it downstream.
class Sink : public TMMDSPComponent {
public:
    Sink() { SetInputValid(true); }
    void BufferReady(TMMWaveHdr* lpwh) override {
        Received.insert(Received.end(), lpwh->lpData, lpwh->lpData + lpwh->dwBytesRecorded);
    }
    // Pulls buffers of Size bytes until the chain has no more; a bound on the
    // number of pulls turns a chain that never ends into a failure.
    std::vector<BYTE> PullAll(DWORD Size, int MaxPulls = 100000) {
        std::vector<BYTE> out;
        std::vector<char> buffer(Size);
        for (int i = 0; i < MaxPulls; ++i) {
            bool more = false;
            const DWORD got = PullOne(buffer, more);
            out.insert(out.end(), buffer.begin(), buffer.begin() + got);
            if (!more) return out;
        }
        ADD_FAILURE() << "the chain never ended";
        return out;
    }
    DWORD PullOne(std::vector<char>& buffer, bool& more, TMMLoopRec loop = {}) {
        TMMWaveHdr h{};
        h.lpData = buffer.data();
        h.dwBufferLength = static_cast<DWORD>(buffer.size());
        h.LoopRec = loop;
        more = false;
        GetInput()->BufferLoad(&h, more);
        EXPECT_LE(h.dwBytesRecorded, h.dwBufferLength);
        LastLoop = h.LoopRec;
        return h.dwBytesRecorded;
    }
    std::vector<BYTE> Received;
    TMMLoopRec LastLoop{};
};

// source -> converter -> sink, opened and started as a device would.
template <typename Converter>
struct Chain {
    Chain(const WAVEFORMATEX& format, std::vector<BYTE> data) : Source(format, std::move(data)) {
        Conv.SetInput(&Source);
        Conv.SetOutput(&Out);
    }
    void Start() {
        for (TMMDSPComponent* c : {static_cast<TMMDSPComponent*>(&Source),
                                   static_cast<TMMDSPComponent*>(&Conv), static_cast<TMMDSPComponent*>(&Out)})
            c->Opened();
        for (TMMDSPComponent* c : {static_cast<TMMDSPComponent*>(&Source),
                                   static_cast<TMMDSPComponent*>(&Conv), static_cast<TMMDSPComponent*>(&Out)})
            c->Started();
    }
    ~Chain() {
        Conv.Stopped();
        Conv.Closed();
    }
    MemorySource Source;
    Converter Conv;
    Sink Out;
};

std::vector<BYTE> AllBytes() {
    std::vector<BYTE> v(256 * 3);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<BYTE>(i);
    return v;
}

// Zero crossings from below over [from, to) give the frequency.
double Frequency(const std::vector<std::int16_t>& s, size_t from, size_t to, int channels, DWORD rate) {
    int crossings = 0;
    size_t first = 0, last = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (s[(i - 1) * channels] < 0 && s[i * channels] >= 0) {
            if (crossings == 0) first = i;
            last = i;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * static_cast<double>(rate) / static_cast<double>(last - first)
                         : 0.0;
}

double Rms(const std::vector<std::int16_t>& s, size_t from, size_t to, int channels) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += static_cast<double>(s[i * channels]) * s[i * channels];
    return std::sqrt(sum / static_cast<double>(to - from));
}

std::vector<std::int16_t> Sine(DWORD rate, double hz, double amplitude, size_t frames) {
    std::vector<std::int16_t> s(frames);
    for (size_t i = 0; i < frames; ++i)
        s[i] = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / rate)));
    return s;
}

}  // namespace

// ---- Support routines ----------------------------------------------------------------

TEST(AcmMustConvert, ComparesTagBitsChannelsAndRateOnly) {
    const WAVEFORMATEX base = Pcm(16, 2, 44100);
    EXPECT_FALSE(acmMustConvert(nullptr, &base));
    EXPECT_FALSE(acmMustConvert(&base, nullptr));

    WAVEFORMATEX other = base;
    other.nBlockAlign = 7;
    other.cbSize = 22;
    other.nAvgBytesPerSec = 1;
    EXPECT_FALSE(acmMustConvert(&base, &other));

    struct Case {
        const char* what;
        void (*change)(WAVEFORMATEX&);
    };
    const Case cases[] = {
        {"tag", [](WAVEFORMATEX& f) { f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT; }},
        {"bits", [](WAVEFORMATEX& f) { f.wBitsPerSample = 8; }},
        {"channels", [](WAVEFORMATEX& f) { f.nChannels = 1; }},
        {"rate", [](WAVEFORMATEX& f) { f.nSamplesPerSec = 22050; }},
    };
    for (const Case& c : cases) {
        WAVEFORMATEX changed = base;
        c.change(changed);
        EXPECT_TRUE(acmMustConvert(&base, &changed)) << c.what;
    }
}

TEST(AcmSuggestPCMFormat, PcmComesBackUnchangedOthersGetTheirPcmForm) {
    WAVEFORMATEX pcm = Pcm(24, 2, 96000);
    pcm.nAvgBytesPerSec = 12345;  // even an odd field is kept
    const WAVEFORMATEX same = acmSuggestPCMFormat(&pcm);
    EXPECT_EQ(std::memcmp(&same, &pcm, acmPCMFormatSize), 0);

    const WAVEFORMATEX alaw = Format(WAVE_FORMAT_ALAW, 8, 1, 8000);
    const WAVEFORMATEX s = acmSuggestPCMFormat(&alaw);
    EXPECT_EQ(s.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(s.wBitsPerSample, 16);
    EXPECT_EQ(s.nChannels, 1);
    EXPECT_EQ(s.nSamplesPerSec, 8000u);

    const WAVEFORMATEX gsm = Format(WAVE_FORMAT_GSM610, 0, 1, 8000, 65);
    EXPECT_EQ(acmSuggestPCMFormat(&gsm).wFormatTag, 0);
}

TEST(AcmQueryConvert, DirectIntermediateAndImpossible) {
    const WAVEFORMATEX alaw = Format(WAVE_FORMAT_ALAW, 8, 1, 8000);
    const WAVEFORMATEX pcm16 = Pcm(16, 1, 8000);
    const WAVEFORMATEX stereo44 = Pcm(16, 2, 44100);
    const WAVEFORMATEX mp3 = Format(WAVE_FORMAT_MPEGLAYER3, 0, 2, 44100, 1);
    EXPECT_TRUE(acmQueryConvert(&pcm16, &pcm16, true));
    EXPECT_TRUE(acmQueryConvert(&alaw, &pcm16, true));
    EXPECT_TRUE(acmQueryConvert(&alaw, &stereo44, true));  // through 16-bit mono 8 kHz
    EXPECT_FALSE(acmQueryConvert(&mp3, &stereo44, true));
    EXPECT_FALSE(acmQueryConvert(nullptr, &stereo44, true));
}

TEST(AcmBeginConvert, InputBlockIsWholeSourceBlocks) {
    // IMA ADPCM, mono, 1000-byte blocks of 1993 samples.
    std::vector<BYTE> record(sizeof(WAVEFORMATEX) + 2);
    WAVEFORMATEX ima = Format(WAVE_FORMAT_IMA_ADPCM, 4, 1, 22050, 1000);
    ima.cbSize = 2;
    std::memcpy(record.data(), &ima, sizeof ima);
    const WORD samplesPerBlock = 1993;
    std::memcpy(record.data() + sizeof ima, &samplesPerBlock, 2);
    const auto* src = reinterpret_cast<const WAVEFORMATEX*>(record.data());
    const WAVEFORMATEX dst = Pcm(16, 1, 22050);

    PACMConvert job = acmBeginConvert(src, &dst, nullptr, 8192, true);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->dwSrcBufferSize, 8000);
    EXPECT_EQ(job->Streams.size(), 1u);
    EXPECT_TRUE(job->bFreeSrcBuffer);
    acmDoneConvert(job);
    EXPECT_EQ(job, nullptr);
}

TEST(AcmBeginConvert, ChainsStagesThroughAnIntermediateFormat) {
    const WAVEFORMATEX mulaw = Format(WAVE_FORMAT_MULAW, 8, 1, 8000);
    const WAVEFORMATEX dst = Pcm(16, 2, 44100);
    PACMConvert job = acmBeginConvert(&mulaw, &dst, nullptr, 8192, true);
    ASSERT_NE(job, nullptr);
    ASSERT_EQ(job->Streams.size(), 2u);
    // Stage two reads where stage one writes.
    EXPECT_EQ(job->Streams[1]->lpSrcBuffer, job->Streams[0]->lpDstBuffer);
    EXPECT_EQ(job->lpDstBuffer, job->Streams[1]->lpDstBuffer);
    acmDoneConvert(job);
}

TEST(AcmConvertJob, NoJobAndNothingToConvert) {
    PACMConvert none = nullptr;
    EXPECT_EQ(acmDoConvert(none, 100), -1);
    EXPECT_EQ(acmEndConvert(none, 100), -1);
    EXPECT_FALSE(acmFlushConvert(none));
    acmDoneConvert(none);  // harmless
    const WAVEFORMATEX pcm = Pcm(16, 1, 8000);
    EXPECT_EQ(acmBeginConvert(&pcm, &pcm, nullptr, 8192, true), nullptr);
    EXPECT_FALSE(acmInitConvert(nullptr, &pcm, &pcm, true));
}

// ---- Converters in a chain ------------------------------------------------------------

TEST(PCMConverter, G711DecodesExactlyToTheDefinition) {
    struct Case {
        WORD tag;
        std::int16_t (*reference)(BYTE);
    };
    for (const Case& c : {Case{WAVE_FORMAT_ALAW, ALawReference}, Case{WAVE_FORMAT_MULAW, MuLawReference}}) {
        SCOPED_TRACE(c.tag);
        Chain<TMMPCMConverter> chain(Format(c.tag, 8, 1, 8000), AllBytes());
        ASSERT_TRUE(chain.Conv.MustConvert());
        ASSERT_TRUE(chain.Conv.CanConvert());
        const WAVEFORMATEX* own = chain.Conv.GetPWaveFormat();
        ASSERT_NE(own, nullptr);
        const WAVEFORMATEX pcm16 = Pcm(16, 1, 8000);
        EXPECT_FALSE(acmMustConvert(own, &pcm16));
        EXPECT_EQ(chain.Out.GetPWaveFormat()->wBitsPerSample, 16);  // passed downstream

        chain.Start();
        ASSERT_NE(chain.Conv.ConvertJob(), nullptr);
        const auto out = AsInt16(chain.Out.PullAll(2048));
        ASSERT_EQ(out.size(), chain.Source.Data.size());
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i], c.reference(chain.Source.Data[i])) << "code " << int(chain.Source.Data[i]);
    }
}

TEST(PCMConverter, WideAndFloatSamplesBecome16Bit) {
    std::vector<std::int16_t> expected;
    for (int v = -32768; v < 32768; v += 97) expected.push_back(static_cast<std::int16_t>(v));
    expected.push_back(32767);

    // 24-bit integer: the 16-bit value in the top bytes.
    std::vector<BYTE> wide;
    for (std::int16_t v : expected) {
        const std::int32_t s = static_cast<std::int32_t>(v) * 256 + 0x55;
        wide.push_back(static_cast<BYTE>(s));
        wide.push_back(static_cast<BYTE>(s >> 8));
        wide.push_back(static_cast<BYTE>(s >> 16));
    }
    // Float: v / 32768 is exact in a float.
    std::vector<float> floats;
    for (std::int16_t v : expected) floats.push_back(static_cast<float>(v) / 32768.0f);

    {
        Chain<TMMPCMConverter> chain(Pcm(24, 1, 44100), wide);
        chain.Conv.SetAutoConvert(false);
        chain.Conv.SetRequired(rpBits);
        chain.Conv.SetBitLength(b16Bit);
        ASSERT_TRUE(chain.Conv.MustConvert());
        chain.Start();
        const auto out = AsInt16(chain.Out.PullAll(1000));
        ASSERT_EQ(out.size(), expected.size());
        for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], expected[i]) << i;
    }
    {
        // The player's settings: the float file's own PCM form is 16-bit.
        Chain<TMMPCMConverter> chain(Format(WAVE_FORMAT_IEEE_FLOAT, 32, 1, 44100), AsBytes(floats));
        ASSERT_EQ(chain.Conv.GetPWaveFormat()->wBitsPerSample, 16);
        chain.Start();
        const auto out = AsInt16(chain.Out.PullAll(1000));
        ASSERT_EQ(out.size(), expected.size());
        // Rounding or truncating the last bit are both fair: one step allowed.
        for (size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], expected[i], 1) << i;
    }
}

TEST(PCMConverter, EightBitToSixteenAndMonoToStereo) {
    std::vector<BYTE> bytes = AllBytes();
    {
        Chain<TMMPCMConverter> chain(Pcm(8, 1, 11025), bytes);
        chain.Conv.SetAutoConvert(false);
        chain.Conv.SetRequired(rpBits);
        chain.Conv.SetBitLength(b16Bit);
        chain.Start();
        const auto out = AsInt16(chain.Out.PullAll(512));
        ASSERT_EQ(out.size(), bytes.size());
        for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], (bytes[i] - 128) * 256) << i;
    }
    {
        std::vector<std::int16_t> mono;
        for (int i = 0; i < 3000; ++i) mono.push_back(static_cast<std::int16_t>(i * 21 - 31000));
        Chain<TMMPCMConverter> chain(Pcm(16, 1, 22050), AsBytes(mono));
        chain.Conv.SetAutoConvert(false);
        chain.Conv.SetRequired(rpChannels);
        chain.Conv.SetMode(mStereo);
        EXPECT_EQ(chain.Conv.GetPWaveFormat()->nChannels, 2);
        chain.Start();
        const auto out = AsInt16(chain.Out.PullAll(2048));
        ASSERT_EQ(out.size(), 2 * mono.size());
        for (size_t i = 0; i < mono.size(); ++i) {
            ASSERT_EQ(out[2 * i], mono[i]) << i;
            ASSERT_EQ(out[2 * i + 1], mono[i]) << i;
        }
    }
}

// A 1 kHz sine resampled from 22050 to 44100 Hz. The band-limited resampler
// keeps a tone far below both Nyquist limits: its frequency within 0.5 Hz
// (the crossing count over a second of sound) and its level within 1%
// (passband ripple is far smaller), at either quality. The first and last
// 10 ms, where the filter starts and ends, are left out. The length is the
// input's times the ratio, give or take the few frames a resampler rounds at
// either end.
TEST(PCMConverter, RateChangeKeepsFrequencyLevelAndLength) {
    const DWORD inRate = 22050, outRate = 44100;
    const double amplitude = 16000;
    const auto sine = Sine(inRate, 1000, amplitude, inRate * 3 / 2);
    for (TMMConvertQuality quality : {cqLow, cqHigh}) {
        SCOPED_TRACE(quality);
        Chain<TMMPCMConverter> chain(Pcm(16, 1, inRate), AsBytes(sine));
        chain.Conv.SetQuality(quality);
        chain.Conv.SetAutoConvert(false);
        chain.Conv.SetRequired(rpSampleRate);
        chain.Conv.SetSampleRate(static_cast<int>(outRate));
        ASSERT_EQ(chain.Conv.GetPWaveFormat()->nSamplesPerSec, outRate);
        chain.Start();
        const auto out = AsInt16(chain.Out.PullAll(4096));

        EXPECT_NEAR(static_cast<double>(out.size()), 2.0 * sine.size(), 8.0);
        const size_t edge = outRate / 100;
        ASSERT_GT(out.size(), 2 * edge);
        EXPECT_NEAR(Frequency(out, edge, out.size() - edge, 1, outRate), 1000.0, 0.5);
        EXPECT_NEAR(Rms(out, edge, out.size() - edge, 1), amplitude / std::sqrt(2.0),
                    amplitude / std::sqrt(2.0) * 0.01);
    }
}

TEST(ACMConverter, TwoStagesFromMuLawToStereoAt44k) {
    // A mu-law tone at 8 kHz, read by the G.711 stage, then widened and resampled.
    const auto sine = Sine(8000, 440, 12000, 8000);
    std::vector<BYTE> mulaw(sine.size());
    // Encode by searching the code whose decoded value is nearest: slow but plainly right.
    for (size_t i = 0; i < sine.size(); ++i) {
        int best = 0;
        for (int c = 1; c < 256; ++c)
            if (std::abs(MuLawReference(static_cast<BYTE>(c)) - sine[i]) <
                std::abs(MuLawReference(static_cast<BYTE>(best)) - sine[i]))
                best = c;
        mulaw[i] = static_cast<BYTE>(best);
    }
    Chain<TMMACMConverter> chain(Format(WAVE_FORMAT_MULAW, 8, 1, 8000), mulaw);
    const WAVEFORMATEX dst = Pcm(16, 2, 44100);
    chain.Conv.SetPWaveFormat(&dst);
    ASSERT_TRUE(chain.Conv.CanConvert());
    chain.Start();
    ASSERT_EQ(chain.Conv.ConvertJob()->Streams.size(), 2u);
    const auto out = AsInt16(chain.Out.PullAll(3000));
    const size_t frames = out.size() / 2;
    EXPECT_NEAR(static_cast<double>(frames), 44100.0 / 8000 * mulaw.size(), 16.0);
    for (size_t i = 0; i < frames; ++i) ASSERT_EQ(out[2 * i], out[2 * i + 1]) << i;
    EXPECT_NEAR(Frequency(out, 441, frames - 441, 2, 44100), 440.0, 0.5);
}

TEST(PCMConverter, PcmSourcePassesThroughUntouched) {
    std::vector<BYTE> data(5001);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + 3);
    const WAVEFORMATEX format = Pcm(16, 2, 44100);
    Chain<TMMPCMConverter> chain(format, data);
    EXPECT_FALSE(chain.Conv.MustConvert());
    EXPECT_TRUE(chain.Conv.CanConvert());
    EXPECT_FALSE(acmMustConvert(&format, chain.Conv.GetPWaveFormat()));
    chain.Start();
    EXPECT_EQ(chain.Conv.ConvertJob(), nullptr);
    chain.Source.Chunk = 999;
    EXPECT_EQ(chain.Out.PullAll(1024), data);
}

TEST(PCMConverter, DisabledConverterPassesThrough) {
    const WAVEFORMATEX alaw = Format(WAVE_FORMAT_ALAW, 8, 1, 8000);
    Chain<TMMPCMConverter> chain(alaw, AllBytes());
    ASSERT_TRUE(chain.Conv.MustConvert());
    chain.Conv.SetEnabled(false);
    // Downstream now expects the raw data that will come.
    EXPECT_FALSE(chain.Conv.MustConvert());
    EXPECT_EQ(chain.Out.GetPWaveFormat()->wFormatTag, WAVE_FORMAT_ALAW);
    chain.Start();
    EXPECT_EQ(chain.Conv.ConvertJob(), nullptr);
    EXPECT_EQ(chain.Out.PullAll(100), AllBytes());
}

TEST(PCMConverter, FormatsWithoutADriverCannotOpen) {
    const WAVEFORMATEX formats[] = {Format(WAVE_FORMAT_GSM610, 0, 1, 8000, 65),
                                    Format(WAVE_FORMAT_MPEGLAYER3, 0, 2, 44100, 1)};
    for (const WAVEFORMATEX& f : formats) {
        Chain<TMMPCMConverter> chain(f, std::vector<BYTE>(1000, 0x11));
        EXPECT_FALSE(chain.Conv.CanConvert());
        // Downstream sees the input's own format.
        EXPECT_EQ(chain.Conv.GetPWaveFormat()->wFormatTag, f.wFormatTag);
        try {
            chain.Conv.Opened();
            ADD_FAILURE() << "opened tag " << f.wFormatTag;
        } catch (const EMMConverterError& e) {
            EXPECT_EQ(e.Message(), "Unable to convert to destination format");
        }
        EXPECT_FALSE(chain.Conv.IsOpen());
    }
}

TEST(PCMConverter, WithoutACompressionManagerOnlyPcmPlays) {
    struct Restore {
        ~Restore() { acmDLLLoaded = true; }
    } restore;
    acmDLLLoaded = false;
    const WAVEFORMATEX alaw = Format(WAVE_FORMAT_ALAW, 8, 1, 8000);
    EXPECT_EQ(acmSuggestPCMFormat(&alaw).wFormatTag, 0);

    TMMACMConverter conv;
    MemorySource source(alaw, AllBytes());
    conv.SetInput(&source);
    const WAVEFORMATEX pcm = Pcm(16, 1, 8000);
    conv.SetPWaveFormat(&pcm);
    EXPECT_TRUE(conv.MustConvert());
    EXPECT_FALSE(conv.CanConvert());
    EXPECT_THROW(conv.Opened(), EMMConverterError);

    // The player's converter: no PCM form to be had, so no playing either.
    TMMPCMConverter player;
    player.SetInput(&source);
    EXPECT_TRUE(player.MustConvert());
    EXPECT_FALSE(player.CanConvert());
    EXPECT_THROW(player.Opened(), EMMConverterError);

    Chain<TMMPCMConverter> chain(pcm, std::vector<BYTE>(100, 1));
    chain.Start();
    EXPECT_EQ(chain.Out.PullAll(64), std::vector<BYTE>(100, 1));
}

TEST(PCMConverter, OddBufferSizesAndTheEndDeliverEveryByte) {
    // Source pieces and device buffers of odd sizes, cutting samples in two.
    std::vector<BYTE> bytes(40001);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>((i * 13) ^ (i >> 8));
    for (const auto& [chunk, buffer] : {std::pair<size_t, DWORD>{333, 1001}, {8191, 7}, {1, 4097}}) {
        SCOPED_TRACE(testing::Message() << chunk << "/" << buffer);
        Chain<TMMPCMConverter> chain(Pcm(8, 1, 8000), bytes);
        chain.Source.Chunk = chunk;
        chain.Conv.SetAutoConvert(false);
        chain.Conv.SetRequired(rpBits | rpChannels);
        chain.Conv.SetBitLength(b16Bit);
        chain.Conv.SetMode(mStereo);
        chain.Start();
        const auto out = AsInt16(chain.Out.PullAll(buffer));
        ASSERT_EQ(out.size(), 2 * bytes.size());
        for (size_t i = 0; i < bytes.size(); ++i) {
            ASSERT_EQ(out[2 * i], (bytes[i] - 128) * 256) << i;
            ASSERT_EQ(out[2 * i + 1], (bytes[i] - 128) * 256) << i;
        }
    }
}

TEST(PCMConverter, AHalfSampleAtTheEndIsDroppedOnce) {
    // 16-bit data with one stray byte at the end, the last piece being that
    // byte alone: it is neither played as a sample nor kept for ever.
    std::vector<std::int16_t> mono;
    for (int i = 0; i < 5000; ++i) mono.push_back(static_cast<std::int16_t>(i * 13 - 30000));
    std::vector<BYTE> bytes = AsBytes(mono);
    bytes.push_back(0x7F);
    for (size_t chunk : {size_t{2}, size_t{1}, size_t{8191}}) {
        SCOPED_TRACE(chunk);
        Chain<TMMPCMConverter> chain(Pcm(16, 1, 8000), bytes);
        chain.Source.Chunk = chunk;
        chain.Conv.SetAutoConvert(false);
        chain.Conv.SetRequired(rpChannels);
        chain.Conv.SetMode(mStereo);
        chain.Start();
        const auto out = AsInt16(chain.Out.PullAll(1001, 50000));
        ASSERT_EQ(out.size(), 2 * mono.size());
        for (size_t i = 0; i < mono.size(); ++i) ASSERT_EQ(out[2 * i + 1], mono[i]) << i;
    }
}

TEST(PCMConverter, ResamplerTailArrivesAtTheEnd) {
    // The resampler holds frames back until the end; with small buffers the
    // tail takes several pulls after the source has run dry.
    // A source that gives one sample per pull must not look like a failing
    // conversion while the resampler fills up.
    const auto sine = Sine(8000, 300, 10000, 801);
    for (const auto& [chunk, buffer] : {std::pair<size_t, DWORD>{SIZE_MAX, 64},
                                        {SIZE_MAX, 4096},
                                        {SIZE_MAX, 1u << 20},
                                        {2, 4096},
                                        {3, 1u << 20}}) {
        SCOPED_TRACE(testing::Message() << chunk << "/" << buffer);
        Chain<TMMPCMConverter> chain(Pcm(16, 1, 8000), AsBytes(sine));
        chain.Source.Chunk = chunk;
        chain.Conv.SetAutoConvert(false);
        chain.Conv.SetRequired(rpSampleRate | rpBits);
        chain.Conv.SetBitLength(b16Bit);
        chain.Conv.SetSampleRate(48000);
        chain.Start();
        const auto out = AsInt16(chain.Out.PullAll(buffer));
        EXPECT_NEAR(static_cast<double>(out.size()), 6.0 * sine.size(), 8.0);
    }
}

TEST(ACMConverter, WrappedSourceEndsTheBufferEarly) {
    Chain<TMMPCMConverter> chain(Format(WAVE_FORMAT_ALAW, 8, 1, 8000), std::vector<BYTE>(20000, 0xD5));
    chain.Source.Chunk = 100;
    chain.Source.WrapAtPull = 1;
    chain.Start();
    std::vector<char> buffer(4096);
    bool more = false;
    const DWORD got = chain.Out.PullOne(buffer, more);
    EXPECT_EQ(got, 200u);  // the 100 bytes before the wrap, decoded
    EXPECT_EQ(chain.Out.LastLoop.dwLooping, 1u);
    EXPECT_TRUE(more);
}

TEST(ACMConverter, PauseDuringAPullLosesNothing) {
    std::vector<BYTE> bytes(30000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i * 11);
    Chain<TMMPCMConverter> chain(Pcm(8, 1, 8000), bytes);
    chain.Conv.SetAutoConvert(false);
    chain.Conv.SetRequired(rpBits);
    chain.Conv.SetBitLength(b16Bit);
    chain.Source.PauseAtPull = 2;
    chain.Source.PauseTarget = &chain.Conv;
    chain.Start();

    std::vector<char> buffer(20000);
    bool more = false;
    std::vector<BYTE> played;
    DWORD got = chain.Out.PullOne(buffer, more);  // one block converted, then the pause
    played.insert(played.end(), buffer.begin(), buffer.begin() + got);
    EXPECT_EQ(got, 2u * 8192);
    EXPECT_TRUE(more);

    // The block the source gave while the pause arrived comes next; after
    // it, while still paused, a little silence keeps the ring turning.
    got = chain.Out.PullOne(buffer, more);
    played.insert(played.end(), buffer.begin(), buffer.begin() + got);
    EXPECT_EQ(got, 2u * 8192);
    got = chain.Out.PullOne(buffer, more);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::vector<char>(buffer.begin(), buffer.begin() + 4), std::vector<char>(4, 0));
    EXPECT_TRUE(more);

    chain.Conv.Restarted();
    const auto rest = chain.Out.PullAll(20000);
    played.insert(played.end(), rest.begin(), rest.end());
    const auto out = AsInt16(played);
    ASSERT_EQ(out.size(), bytes.size());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], (bytes[i] - 128) * 256) << i;
}

TEST(ACMConverter, StopDropsConvertedBytesNotTaken) {
    std::vector<BYTE> bytes(30000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i / 100);
    Chain<TMMPCMConverter> chain(Pcm(8, 1, 8000), bytes);
    chain.Conv.SetAutoConvert(false);
    chain.Conv.SetRequired(rpBits);
    chain.Conv.SetBitLength(b16Bit);
    chain.Start();
    std::vector<char> buffer(1000);
    bool more = false;
    ASSERT_EQ(chain.Out.PullOne(buffer, more), 1000u);  // 500 of the first 8192 input bytes
    chain.Conv.Stopped();
    chain.Conv.Started();
    ASSERT_EQ(chain.Out.PullOne(buffer, more), 1000u);
    // The next buffer starts with the next input block, not with byte 500.
    const auto* samples = reinterpret_cast<const std::int16_t*>(buffer.data());
    EXPECT_EQ(samples[0], (bytes[8192] - 128) * 256);
    EXPECT_EQ(samples[0], (static_cast<BYTE>(81) - 128) * 256);
}

TEST(ACMConverter, ResetingStartsAfreshFromTheSource) {
    std::vector<BYTE> bytes(20000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i * 3);
    Chain<TMMPCMConverter> chain(Pcm(8, 1, 8000), bytes);
    chain.Conv.SetAutoConvert(false);
    chain.Conv.SetRequired(rpBits);
    chain.Conv.SetBitLength(b16Bit);
    chain.Start();
    (void)chain.Out.PullAll(30000);  // to the very end
    // The device restarts its data: the source goes back to the start.
    chain.Conv.Reseting();
    chain.Source.Position = 0;
    const auto out = AsInt16(chain.Out.PullAll(1000));
    ASSERT_EQ(out.size(), bytes.size());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], (bytes[i] - 128) * 256) << i;
}

TEST(ACMConverter, RecordedBuffersAreConvertedDownstream) {
    std::vector<BYTE> bytes(20001);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i * 5);
    Chain<TMMPCMConverter> chain(Pcm(8, 1, 8000), {});
    chain.Conv.SetAutoConvert(false);
    chain.Conv.SetRequired(rpBits);
    chain.Conv.SetBitLength(b16Bit);
    chain.Start();
    TMMWaveHdr h{};
    h.lpData = reinterpret_cast<char*>(bytes.data());
    h.dwBufferLength = h.dwBytesRecorded = static_cast<DWORD>(bytes.size());
    chain.Conv.BufferReady(&h);
    const auto out = AsInt16(chain.Out.Received);
    ASSERT_EQ(out.size(), bytes.size());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], (bytes[i] - 128) * 256) << i;
}

TEST(PCMConverter, SettingsAndTheirLimits) {
    TMMPCMConverter conv;
    EXPECT_TRUE(conv.AutoConvert());
    EXPECT_TRUE(conv.Enabled());
    EXPECT_EQ(conv.Quality(), cqLow);
    EXPECT_EQ(conv.SampleRate(), 11025);
    EXPECT_EQ(conv.BitLength(), b8Bit);
    EXPECT_EQ(conv.Mode(), mMono);
    EXPECT_EQ(conv.Required(), rpBits | rpChannels | rpSampleRate);

    conv.SetSampleRate(4000);
    EXPECT_EQ(conv.SampleRate(), 8000);
    conv.SetSampleRate(96000);
    EXPECT_EQ(conv.SampleRate(), 88200);
    conv.SetMode(mMultiChannel);
    EXPECT_EQ(conv.Mode(), mMono);

    // Stored settings read and write the properties by value name.
    EXPECT_EQ(conv.property("BitLength").toString(), "b8Bit");
    EXPECT_EQ(conv.property("Quality").toString(), "cqLow");
    EXPECT_TRUE(conv.setProperty("Mode", "mStereo"));
    EXPECT_EQ(conv.Mode(), mStereo);
    EXPECT_TRUE(conv.setProperty("BitLength", "b16Bit"));
    EXPECT_EQ(conv.BitLength(), b16Bit);
    EXPECT_TRUE(conv.setProperty("Required", "rpBits|rpSampleRate"));
    EXPECT_EQ(conv.Required(), rpBits | rpSampleRate);

    const WAVEFORMATEX wide = Pcm(24, 2, 44100);
    try {
        conv.SetPWaveFormat(&wide);
        ADD_FAILURE() << "took a 24-bit destination";
    } catch (const EMMConverterError& e) {
        EXPECT_EQ(e.Message(), "Invalid WaveFormat");
    }
}
