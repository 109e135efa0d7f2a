#include "wavedata/MMADPCM.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"

namespace {

TADPCMWaveFormat StandardAdpcm(int channels, int blockAlign) {
    TADPCMWaveFormat f{};
    f.wfx.wFormatTag = WAVE_FORMAT_ADPCM;
    f.wfx.nChannels = static_cast<WORD>(channels);
    f.wfx.nSamplesPerSec = 22050;
    f.wfx.wBitsPerSample = 4;
    f.wfx.nBlockAlign = static_cast<WORD>(blockAlign);
    f.wfx.cbSize = 32;
    f.wSamplesPerBlock = static_cast<WORD>((blockAlign - 7 * channels) * 2 / channels + 2);
    f.wNumCoef = 7;
    for (int i = 0; i < 7; ++i) f.aCoef[i] = {gaiCoef1[i], gaiCoef2[i]};
    return f;
}

WAVEFORMATEX Pcm(int bits, int channels, DWORD rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = static_cast<WORD>(bits);
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// ---- Microsoft ADPCM -------------------------------------------------------------

class MsAdpcmAgainstSox : public ::testing::TestWithParam<int> {};

// Decoding in whole-block loads gives exactly what sox gives: the algorithm
// and its tables leave one result. 8-bit output is the 16-bit result mapped
// by its rule.
TEST_P(MsAdpcmAgainstSox, DecodesExactly) {
    ASSERT_TRUE(sox::Available());
    const int channels = GetParam();
    TempDir dir;
    const QString file = dir.file("ms.wav");
    sox::Run({"-n", "-r", "22050", "-c", QString::number(channels), "-t", "wav", "-e", "ms-adpcm", file,
              "synth", "0.7", "sine", "100-6000", "sine", "440", "gain", "-1"});
    const sox::WavFile wav = sox::ReadWav(file);
    std::vector<BYTE> fmtBytes(std::max<size_t>(64, wav.fmt.size()), 0);
    std::memcpy(fmtBytes.data(), wav.fmt.constData(), wav.fmt.size());
    const auto* src = reinterpret_cast<const WAVEFORMATEX*>(fmtBytes.data());
    ASSERT_TRUE(adpcmIsValidFormat(src));

    TADPCMWaveFormat pcm16{}, pcm8{};
    ASSERT_TRUE(adpcmBuildFormatHeader(src, &pcm16, 16, -1, -1));
    ASSERT_TRUE(adpcmBuildFormatHeader(src, &pcm8, 8, 0, 0));
    EXPECT_EQ(pcm16.wfx.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(pcm16.wfx.nChannels, channels);
    EXPECT_EQ(pcm8.wfx.nBlockAlign, channels);

    const int load = 4096 / src->nBlockAlign * src->nBlockAlign;
    std::vector<std::int16_t> ours;
    std::vector<BYTE> eight;
    for (qsizetype pos = 0; pos < wav.data.size(); pos += load) {
        const int n = static_cast<int>(std::min<qsizetype>(load, wav.data.size() - pos));
        std::vector<BYTE> in(wav.data.begin() + pos,
                             wav.data.begin() + pos + n);  // exact size: ASan sees overreads
        std::vector<BYTE> out(adpcmDecodedSize(src, &pcm16.wfx, n));
        const int got =
            adpcmDecode4Bit(src, &pcm16.wfx, in.data(), n, out.data(), static_cast<int>(out.size()));
        ASSERT_GT(got, 0);
        const size_t at = ours.size();
        ours.resize(at + got / 2);
        std::memcpy(ours.data() + at, out.data(), got);
        std::vector<BYTE> out8(adpcmDecodedSize(src, &pcm8.wfx, n));
        const int got8 =
            adpcmDecode4Bit(src, &pcm8.wfx, in.data(), n, out8.data(), static_cast<int>(out8.size()));
        ASSERT_EQ(got8, got / 2);
        eight.insert(eight.end(), out8.begin(), out8.begin() + got8);
    }
    const std::vector<std::int16_t> ref = sox::DecodeTo16(file);
    ASSERT_GT(ref.size(), 10000u);
    ASSERT_GE(ours.size(), ref.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < ref.size(); ++i) mismatches += ours[i] != ref[i];
    EXPECT_EQ(mismatches, 0u);
    for (size_t i = 0; i < ours.size(); ++i) ASSERT_EQ(eight[i], static_cast<BYTE>(ours[i] / 256 + 128)) << i;
}

INSTANTIATE_TEST_SUITE_P(Channels, MsAdpcmAgainstSox, ::testing::Values(1, 2));

TEST(MsAdpcmFormat, ImpossibleOrForeignHeadersAreRefused) {
    const TADPCMWaveFormat mono = StandardAdpcm(1, 512), four = StandardAdpcm(4, 1024);
    EXPECT_TRUE(adpcmIsValidFormat(&mono.wfx));
    EXPECT_TRUE(adpcmIsValidFormat(&four.wfx));
    EXPECT_FALSE(adpcmIsValidFormat(nullptr));

    struct Case {
        const char* name;
        TADPCMWaveFormat f;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, auto change) {
        TADPCMWaveFormat f = StandardAdpcm(2, 512);
        change(f);
        cases.push_back({name, f});
    };
    add("five channels", [](auto& f) { f.wfx.nChannels = 5; });
    add("no channels", [](auto& f) { f.wfx.nChannels = 0; });
    add("six coefficient pairs", [](auto& f) { f.wNumCoef = 6; });
    add("changed coefficient", [](auto& f) { f.aCoef[3].iCoef2 = 63; });
    add("8 bits per sample", [](auto& f) { f.wfx.wBitsPerSample = 8; });
    add("block of 0 bytes", [](auto& f) { f.wfx.nBlockAlign = 0; });
    add("block smaller than its headers", [](auto& f) { f.wfx.nBlockAlign = 13; });
    add("65535 samples in a 512-byte block", [](auto& f) { f.wSamplesPerBlock = 65535; });
    add("one sample per block", [](auto& f) { f.wSamplesPerBlock = 1; });
    add("extra bytes too short for the table", [](auto& f) { f.wfx.cbSize = 4; });
    add("not tag 2", [](auto& f) { f.wfx.wFormatTag = WAVE_FORMAT_IMA_ADPCM; });
    for (const auto& c : cases) {
        EXPECT_FALSE(adpcmIsValidFormat(&c.f.wfx)) << c.name;
        TADPCMWaveFormat out{};
        EXPECT_FALSE(adpcmBuildFormatHeader(&c.f.wfx, &out, 16, -1, -1)) << c.name;
        BYTE data[64] = {}, dst[256];
        EXPECT_EQ(adpcmDecode4Bit(&c.f.wfx, &out.wfx, data, sizeof data, dst, sizeof dst), 0) << c.name;
    }
}

TEST(MsAdpcmFormat, HeaderBuiltFromPcm) {
    struct Case {
        DWORD rate;
        int channels;
        int blockAlign, samplesPerBlock;
        DWORD avg;
    };
    // Block size grows with the rate (16-bit arithmetic); the rest follows.
    for (const Case& c : {Case{22050, 1, 512, 1012, 11179}, Case{8000, 1, 256, 500, 4096},
                          Case{44100, 2, 2048, 2036, 44359}}) {
        const WAVEFORMATEX pcm = Pcm(16, c.channels, c.rate);
        TADPCMWaveFormat a{};
        ASSERT_TRUE(adpcmBuildFormatHeader(&pcm, &a, 16, -1, -1));
        EXPECT_TRUE(adpcmIsValidFormat(&a.wfx));
        EXPECT_EQ(a.wfx.nBlockAlign, c.blockAlign) << c.rate;
        EXPECT_EQ(a.wSamplesPerBlock, c.samplesPerBlock) << c.rate;
        const long f = static_cast<long>(c.rate) * c.channels / 2;
        EXPECT_EQ(a.wfx.nAvgBytesPerSec, static_cast<DWORD>(f + 7 * c.channels * (f / c.blockAlign + 1)));
        EXPECT_EQ(a.wfx.cbSize, 32);
    }
    // Asked rate and channels win over the source's.
    const WAVEFORMATEX pcm = Pcm(16, 1, 8000);
    TADPCMWaveFormat a{};
    ASSERT_TRUE(adpcmBuildFormatHeader(&pcm, &a, 16, 22050, 2));
    EXPECT_EQ(a.wfx.nChannels, 2);
    EXPECT_EQ(a.wfx.nBlockAlign, 1024);
    // More than four channels cannot be described.
    EXPECT_FALSE(adpcmBuildFormatHeader(&pcm, &a, 16, -1, 5));
}

std::vector<BYTE> SilentBlock(const TADPCMWaveFormat& f) {
    std::vector<BYTE> b(f.wfx.nBlockAlign, 0);
    for (int c = 0; c < f.wfx.nChannels; ++c) b[f.wfx.nChannels + 2 * c] = 16;  // delta
    return b;
}

TEST(MsAdpcmDecode, BadPredictorDecodesTheWholeLoadToNothing) {
    const TADPCMWaveFormat f = StandardAdpcm(1, 256);
    const WAVEFORMATEX pcm = Pcm(16, 1, 22050);
    std::vector<BYTE> data = SilentBlock(f);
    const std::vector<BYTE> second = data;
    data.insert(data.end(), second.begin(), second.end());
    std::vector<BYTE> out(adpcmDecodedSize(&f.wfx, &pcm, data.size()));
    EXPECT_EQ(adpcmDecode4Bit(&f.wfx, &pcm, data.data(), static_cast<int>(data.size()), out.data(),
                              static_cast<int>(out.size())),
              2 * 2 * f.wSamplesPerBlock);
    data[256] = 7;
    EXPECT_EQ(adpcmDecode4Bit(&f.wfx, &pcm, data.data(), static_cast<int>(data.size()), out.data(),
                              static_cast<int>(out.size())),
              0);
}

// Never more than the room given, whatever the input; a short last block
// gives what it holds.
TEST(MsAdpcmDecode, BoundedByCapacityAndInput) {
    const TADPCMWaveFormat f = StandardAdpcm(2, 512);
    const WAVEFORMATEX pcm = Pcm(16, 2, 22050);
    std::vector<BYTE> data;
    for (int i = 0; i < 3; ++i) {
        auto b = SilentBlock(f);
        for (size_t k = 14; k < b.size(); ++k) b[k] = static_cast<BYTE>(k * 37);
        data.insert(data.end(), b.begin(), b.end());
    }
    data.resize(512 * 2 + 14 + 10);  // third block: headers and 10 code bytes
    const int full = static_cast<int>(adpcmDecodedSize(&f.wfx, &pcm, data.size()));
    std::vector<BYTE> out(full + 64, 0xAB);
    const int got =
        adpcmDecode4Bit(&f.wfx, &pcm, data.data(), static_cast<int>(data.size()), out.data(), full);
    EXPECT_EQ(got, (2 * f.wSamplesPerBlock + 2 + 10) * 4);
    for (int cap : {0, 3, 4 * 2 - 1, 1000, 4 * f.wSamplesPerBlock + 5}) {
        std::fill(out.begin(), out.end(), 0xAB);
        const int n =
            adpcmDecode4Bit(&f.wfx, &pcm, data.data(), static_cast<int>(data.size()), out.data(), cap);
        EXPECT_LE(n, cap);
        EXPECT_EQ(n % 4, 0);
        for (size_t i = cap; i < out.size(); ++i) ASSERT_EQ(out[i], 0xAB) << "cap " << cap << " at " << i;
    }
}

// ---- IMA family nibble streams ----------------------------------------------------

std::vector<std::int16_t> Samples(const std::vector<BYTE>& b, int n) {
    std::vector<std::int16_t> v(n / 2);
    std::memcpy(v.data(), b.data(), v.size() * 2);
    return v;
}

TEST(ImaStreams, StepRules) {
    // Rows of the difference table as the format publishes them.
    EXPECT_EQ(adpcmIMADiffTable[0], (std::array<std::int16_t, 8>{0, 2, 4, 6, 8, 10, 12, 13}));
    EXPECT_EQ(adpcmIMADiffTable[1], (std::array<std::int16_t, 8>{1, 3, 5, 7, 9, 11, 13, 15}));
    EXPECT_EQ(adpcmIMADiffTable[11], (std::array<std::int16_t, 8>{2, 7, 13, 18, 23, 29, 34, 39}));
    EXPECT_EQ(adpcmIMADiffTable[44], (std::array<std::int16_t, 8>{61, 185, 309, 432, 556, 680, 803, 927}));
    EXPECT_EQ(adpcmIMADiffTable[88],
              (std::array<std::int16_t, 8>{4096, 12288, 20479, 28671, -28673, -20481, -12290, -4098}));
    for (int i = 0; i < 89; ++i)
        for (int c = 0; c < 8; ++c) {
            // Signed 16-bit entries: the top rows wrap round.
            const double near = (2 * c + 1) * kImaStepTable[i] / 8.0;
            EXPECT_LE(std::abs(std::remainder(adpcmIMADiffTable[i][c] - near, 65536.0)), 1.0)
                << i << "," << c;
        }

    std::int16_t index = 0, value = 0;
    EXPECT_EQ(adpcmIMAStep(0, index, value), 0);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(adpcmIMAStep(7, index, value), 13);
    EXPECT_EQ(index, 8);

    // IMA wraps round in 16 bits, DVI saturates.
    index = 88;
    value = 32000;
    EXPECT_EQ(adpcmIMAStep(3, index, value), static_cast<std::int16_t>(32000 + 28671 - 65536));
    index = 88;
    value = 32000;
    EXPECT_EQ(adpcmDVIStep(3, index, value), 32767);
    index = 88;
    value = -32000;
    EXPECT_EQ(adpcmDVIStep(15, index, value), -32768);
    EXPECT_EQ(index, 88);
}

TEST(ImaStreams, NibbleAndByteOrder) {
    const BYTE one[] = {0x1F};
    BYTE out[64];
    TIMA_PARAMS p{};
    ASSERT_EQ(WMIMATOPCM(one, out, 1, p), 4);
    // High nibble first: code 1 (+2), then code 15 (-13 from row 0).
    EXPECT_EQ(Samples({out, out + 4}, 4), (std::vector<std::int16_t>{2, -11}));
    EXPECT_EQ(p.lSTEP_NO, 8);
    EXPECT_EQ(p.lPCM_VALUE, -11);

    p = {};
    ASSERT_EQ(WSIMATOPCM(one, out, 1, p), 4);
    // Low nibble is the left sample.
    EXPECT_EQ(Samples({out, out + 4}, 4), (std::vector<std::int16_t>{-13, 2}));
    EXPECT_EQ(p.lSTEP_NO, 8);
    EXPECT_EQ(p.rSTEP_NO, 0);

    // DVI stereo takes bytes in swapped pairs, high nibble left.
    const BYTE four[] = {0x12, 0x34, 0x56, 0x78};
    p = {};
    ASSERT_EQ(WSDVITOPCM(four, out, 4, p), 16);
    std::int16_t li = 0, lv = 0, ri = 0, rv = 0;
    std::vector<std::int16_t> expect;
    for (BYTE b : {four[1], four[0], four[3], four[2]}) {
        expect.push_back(adpcmDVIStep(b >> 4, li, lv));
        expect.push_back(adpcmDVIStep(b & 15, ri, rv));
    }
    EXPECT_EQ(Samples({out, out + 16}, 16), expect);
    EXPECT_EQ(WMDVITOPCM(four, out, 0, p), 0);
}

// A reference encoder written from the format's definition: for each sample
// the code whose decoded value comes nearest, tracking the decoder's state.
struct Encoder {
    bool dvi;
    std::int16_t index = 0, value = 0;

    int Difference(int code) const {
        const int magnitude = code & 7;
        int d = dvi ? std::min((2 * magnitude + 1) * kImaStepTable[index] / 8, 32767)
                    : adpcmIMADiffTable[index][magnitude];
        return code & 8 ? -d : d;
    }
    int Next(int code) const {
        const int v = value + Difference(code);
        return dvi ? std::clamp(v, -32768, 32767) : static_cast<std::int16_t>(v);
    }
    int Encode(int target) {
        int best = 0;
        for (int c = 1; c < 16; ++c)
            if (std::abs(Next(c) - target) < std::abs(Next(best) - target)) best = c;
        value = static_cast<std::int16_t>(Next(best));
        const int step = kImaIndexTable[best];  // DVI: the first eight, the same again
        index = static_cast<std::int16_t>(std::clamp(index + step, 0, 88));
        return best;
    }
};

struct StreamCase {
    const char* name;
    int (*decode)(const BYTE*, BYTE*, int, TIMA_PARAMS&);
    bool dvi;
    int channels;
};

class ImaStreamRoundTrip : public ::testing::TestWithParam<StreamCase> {};

// Encoded by the reference encoder in the documented layout, decoded in two
// calls: the decoder reproduces the encoder's values exactly, and those
// follow the signal (a 4-bit coder tracking a 440 Hz tone at 8 kHz stays
// within a few percent of full scale once adapted).
TEST_P(ImaStreamRoundTrip, DecodesWhatWasEncoded) {
    const StreamCase& c = GetParam();
    constexpr int frames = 8000;
    std::vector<int> signal(frames * c.channels);
    for (int i = 0; i < frames; ++i)
        for (int ch = 0; ch < c.channels; ++ch)
            signal[i * c.channels + ch] =
                static_cast<int>(std::lrint(12000 * std::sin(2 * M_PI * (440.0 + 200 * ch) * i / 8000)));

    Encoder enc[2] = {{c.dvi}, {c.dvi}};
    std::vector<int> codes(signal.size()), expected(signal.size());
    for (size_t i = 0; i < signal.size(); ++i) {
        Encoder& e = enc[i % c.channels];
        codes[i] = e.Encode(signal[i]);
        expected[i] = e.value;
    }
    std::vector<BYTE> bytes(signal.size() / 2);
    for (size_t b = 0; b < bytes.size(); ++b) {
        const int first = codes[2 * b], second = codes[2 * b + 1];
        if (c.channels == 1) {
            bytes[b] = static_cast<BYTE>(first << 4 | second);  // high first
        } else if (!c.dvi) {
            bytes[b] = static_cast<BYTE>(second << 4 | first);  // low is left
        } else {
            bytes[b ^ 1] = static_cast<BYTE>(first << 4 | second);  // swapped pairs
        }
    }

    std::vector<BYTE> out(bytes.size() * 4);
    TIMA_PARAMS p{};
    const int half = static_cast<int>(bytes.size() / 2);
    ASSERT_EQ(c.decode(bytes.data(), out.data(), half, p), 4 * half);
    const int rest = static_cast<int>(bytes.size()) - half;
    ASSERT_EQ(c.decode(bytes.data() + half, out.data() + 4 * half, rest, p), 4 * rest);
    const auto decoded = Samples(out, static_cast<int>(out.size()));
    ASSERT_EQ(decoded.size(), expected.size());
    double worst = 0;
    for (size_t i = 0; i < decoded.size(); ++i) {
        ASSERT_EQ(decoded[i], expected[i]) << i;
        if (i > 400) worst = std::max(worst, std::abs(static_cast<double>(decoded[i] - signal[i])));
    }
    EXPECT_LT(worst, 0.05 * 32768);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ImaStreamRoundTrip,
                         ::testing::Values(StreamCase{"ImaMono", WMIMATOPCM, false, 1},
                                           StreamCase{"ImaStereo", WSIMATOPCM, false, 2},
                                           StreamCase{"DviMono", WMDVITOPCM, true, 1},
                                           StreamCase{"DviStereo", WSDVITOPCM, true, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
