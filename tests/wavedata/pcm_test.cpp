#include "wavedata/MMMulDiv.h"
#include "wavedata/MMPCMSup.h"
#include "wavedata/MMWaveFormat.h"

#include <gtest/gtest.h>
#include <QLocale>

#include <cstring>
#include <vector>

namespace {

WAVEFORMATEX Pcm(WORD bits, WORD channels, DWORD rate) {
    WAVEFORMATEX f{};
    pcmBuildWaveHeader(&f, bits, channels, rate);
    return f;
}

std::vector<char> Words(std::initializer_list<int> values) {
    std::vector<char> out(values.size() * 2);
    size_t i = 0;
    for (int v : values) {
        const int16_t s = static_cast<int16_t>(v);
        std::memcpy(out.data() + 2 * i++, &s, 2);
    }
    return out;
}

std::vector<int> ToWords(const std::vector<char>& bytes, size_t count) {
    std::vector<int> out(count);
    for (size_t i = 0; i < count; ++i) {
        int16_t s;
        std::memcpy(&s, bytes.data() + 2 * i, 2);
        out[i] = s;
    }
    return out;
}

std::vector<int> ToBytes(const std::vector<char>& bytes, size_t count) {
    std::vector<int> out(count);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(bytes[i]);
    return out;
}

TEST(MulDiv, RoundingTable) {
    struct Case {
        int32_t a, b, c, trunc, nearest;
    };
    const Case cases[] = {
        {7, 1, 2, 3, 4},
        {-7, 1, 2, -3, -4},
        {7, 1, -2, -3, -4},
        {5, 1, 3, 1, 2},
        {4, 1, 3, 1, 1},
        {-5, 1, 3, -1, -2},
        {-4, 1, 3, -1, -1},
        {0, 5, 7, 0, 0},
        {100000, 30000, 7, 428571428, 428571429},
        {-100000, 30000, 7, -428571428, -428571429},
        {44100, 3, 4, 33075, 33075},
        {1, 1, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << "*" << c.b << "/" << c.c);
        EXPECT_EQ(MulDiv32(c.a, c.b, c.c), c.trunc);
        EXPECT_EQ(MulDiv32RN(c.a, c.b, c.c), c.nearest);
    }
    EXPECT_EQ(MulDiv64(10000000000LL, 3, 7), 4285714285LL);
    EXPECT_EQ(MulDiv64(-7, 1, 2), -3);
    EXPECT_EQ(MulDiv64(1LL << 40, 1LL << 30, 1LL << 20), 1LL << 50);
    EXPECT_EQ(Sar(-8, 1), -4);
    EXPECT_EQ(Sar(-1, 31), -1);
    EXPECT_EQ(Sar(256, 33), 128);  // shift taken mod 32
}

TEST(WaveFormat, ConversionsRoundAndAlign) {
    const WAVEFORMATEX cd = Pcm(16, 2, 44100);
    EXPECT_EQ(wioSamplesToBytes(&cd, 1), 4);
    EXPECT_EQ(wioSamplesToBytes(&cd, 0), 0);
    EXPECT_EQ(wioBytesToSamples(&cd, 41), 10);
    EXPECT_EQ(wioBytesToSamples(&cd, 42), 11);  // 10.5 rounds away from zero
    EXPECT_EQ(wioSamplesToTime(&cd, 22050), 500);
    EXPECT_EQ(wioTimeToSamples(&cd, 500), 22050);
    EXPECT_EQ(wioSamplesToTime(&cd, 22), 0);  // 0.499 ms
    EXPECT_EQ(wioSamplesToTime(&cd, 23), 1);  // 0.52 ms
    EXPECT_EQ(wioSamplesToBytes64(&cd, 3000000000LL), 12000000000LL);
    EXPECT_EQ(wioSamplesToTime64(&cd, 44099), 999);  // truncated

    const WAVEFORMATEX mono = Pcm(16, 1, 22050);
    EXPECT_EQ(wioBytesToSamples(&mono, 3), 2);

    // Round trip over a range of sample counts.
    for (const WAVEFORMATEX& f : {cd, mono, Pcm(8, 1, 11025), Pcm(8, 2, 8000)}) {
        for (LONG s = 0; s < 5000; s += 37) {
            ASSERT_EQ(wioBytesToSamples(&f, wioSamplesToBytes(&f, s)), s);
            ASSERT_EQ(wioSamplesToBytes(&f, s) % f.nBlockAlign, 0);
        }
    }
    // A rate that is not a whole multiple: bytes rounded up to whole blocks.
    WAVEFORMATEX odd = Pcm(16, 2, 44100);
    odd.nAvgBytesPerSec = 44100 * 4 + 3;
    EXPECT_EQ(wioSamplesToBytes(&odd, 44100) % 4, 0);
    EXPECT_EQ(wioSamplesToBytes(nullptr, 10), 0);
}

TEST(WaveFormat, NamesAndDescriptions) {
    WAVEFORMATEX f = Pcm(16, 2, 44100);
    EXPECT_EQ(wioGetFormatName(&f), "PCM");
    f.wFormatTag = 0x0011;
    EXPECT_EQ(wioGetFormatName(&f), "IMA ADPCM");
    f.wFormatTag = 0x0209;
    EXPECT_EQ(wioGetFormatName(&f), "Dolby AC2");
    f.wFormatTag = 0x7777;
    EXPECT_EQ(wioGetFormatName(&f), "Unknown");
    EXPECT_EQ(wioGetFormatName(nullptr), "Unknown");

    QLocale::setDefault(QLocale::c());
    f = Pcm(16, 2, 44100);
    EXPECT_EQ(wioGetFormat(&f), "44.100 kHz, 16 Bit, Stereo");
    f = Pcm(8, 1, 8000);
    EXPECT_EQ(wioGetFormat(&f), "8.000 kHz, 8 Bit, Mono");
    f = Pcm(16, 4, 22050);
    EXPECT_EQ(wioGetFormat(&f), "22.050 kHz, 16 Bit, 4 Channels");
    EXPECT_EQ(wioGetFormat(nullptr), "Unknown");

    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    f = Pcm(16, 2, 44100);
    EXPECT_EQ(wioGetFormat(&f), "44,100 kHz; 16 Bit; Stereo");
    QLocale::setDefault(QLocale::c());
}

TEST(Pcm, ValidFormats) {
    EXPECT_FALSE(pcmIsValidFormat(nullptr));
    EXPECT_FALSE(pcmIsValidFormat(&(const WAVEFORMATEX&)Pcm(16, 2, 3999)));
    EXPECT_TRUE(pcmIsValidFormat(&(const WAVEFORMATEX&)Pcm(16, 2, 4000)));
    EXPECT_TRUE(pcmIsValidFormat(&(const WAVEFORMATEX&)Pcm(8, 1, 100000)));
    EXPECT_FALSE(pcmIsValidFormat(&(const WAVEFORMATEX&)Pcm(8, 1, 100001)));
    EXPECT_TRUE(pcmIsValidFormat(&(const WAVEFORMATEX&)Pcm(16, 4, 44100)));
    EXPECT_FALSE(pcmIsValidFormat(&(const WAVEFORMATEX&)Pcm(16, 3, 44100)));
    EXPECT_FALSE(pcmIsValidFormat(&(const WAVEFORMATEX&)Pcm(24, 2, 44100)));
    WAVEFORMATEX adpcm = Pcm(16, 2, 44100);
    adpcm.wFormatTag = 2;
    EXPECT_FALSE(pcmIsValidFormat(&adpcm));
    const WAVEFORMATEX built = Pcm(16, 2, 44100);
    EXPECT_EQ(built.nBlockAlign, 4);
    EXPECT_EQ(built.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(built.cbSize, 0);
}

TEST(Pcm, VolumeClipsAndReports) {
    WAVEFORMATEX f = Pcm(16, 1, 44100);
    std::vector<char> data = Words({20000, -20000, 100, 7});
    const std::vector<char> original = data;
    EXPECT_FALSE(pcmVolume(&f, data.data(), LONG(data.size()), 16384, 16384));
    EXPECT_EQ(data, original);
    EXPECT_TRUE(pcmVolume(&f, data.data(), LONG(data.size()), 32768, 0));
    EXPECT_EQ(ToWords(data, 4), (std::vector<int>{32767, -32768, 200, 14}));

    data = original;
    EXPECT_FALSE(pcmVolume(&f, data.data(), LONG(data.size()), 8192, 8192));
    EXPECT_EQ(ToWords(data, 4), (std::vector<int>{10000, -10000, 50, 3}));

    // Stereo: left and right scaled on their own; a partial frame untouched.
    f = Pcm(16, 2, 44100);
    data = Words({1000, 1000, 3000, 3000, 555});
    EXPECT_FALSE(pcmVolume(&f, data.data(), LONG(data.size()), 8192, 32768));
    EXPECT_EQ(ToWords(data, 5), (std::vector<int>{500, 2000, 1500, 6000, 555}));

    // 8-bit around 128.
    f = Pcm(8, 1, 8000);
    data = {char(200), char(28), char(130)};
    EXPECT_TRUE(pcmVolume(&f, data.data(), 3, 32768, 0));
    EXPECT_EQ(ToBytes(data, 3), (std::vector<int>{255, 0, 132}));

    WAVEFORMATEX adpcm = Pcm(16, 1, 8000);
    adpcm.wFormatTag = 2;
    data = original;
    EXPECT_FALSE(pcmVolume(&adpcm, data.data(), LONG(data.size()), 32768, 32768));
    EXPECT_EQ(data, original);
}

TEST(Pcm, SingleSampleHelpersSetTheClipIndicator) {
    pcmSetClipIndicator(false);
    EXPECT_EQ(pcmSampleClip8(100), 100);
    EXPECT_EQ(pcmSampleClip16(-32768), -32768);
    EXPECT_FALSE(pcmClipIndicator());
    EXPECT_EQ(pcmSampleVolume8(192, 16384 * 3), 255);
    EXPECT_TRUE(pcmClipIndicator());
    EXPECT_EQ(pcmSampleVolume8(192, 8192), 160);
    EXPECT_TRUE(pcmClipIndicator());  // never reset by the helpers
    pcmSetClipIndicator(false);
    EXPECT_EQ(pcmSampleClip8(-200), -128);
    EXPECT_TRUE(pcmClipIndicator());
    pcmSetClipIndicator(false);
    EXPECT_EQ(pcmSampleVolume16(-30000, 32768), -32768);
    EXPECT_TRUE(pcmClipIndicator());
    pcmSetClipIndicator(false);
    EXPECT_EQ(pcmSampleClip16(40000), 32767);
    EXPECT_TRUE(pcmClipIndicator());
}

TEST(Pcm, BitsPerSampleAlign) {
    std::vector<char> src = Words({-32768, -257, -256, -1, 0, 255, 256, 32767});
    std::vector<char> dst(16);
    ASSERT_EQ(pcmBitsPerSampleAlign(8, dst.data(), 16, src.data(), 16), 8);
    // Truncation toward zero: -257/256 = -1, -1/256 = 0.
    EXPECT_EQ(ToBytes(dst, 8), (std::vector<int>{0, 127, 127, 128, 128, 128, 129, 255}));

    std::vector<char> bytes = {char(0), char(128), char(255)};
    ASSERT_EQ(pcmBitsPerSampleAlign(16, dst.data(), 8, bytes.data(), 3), 6);
    EXPECT_EQ(ToWords(dst, 3), (std::vector<int>{-32768, 0, 32512}));

    ASSERT_EQ(pcmBitsPerSampleAlign(16, dst.data(), 16, src.data(), 6), 6);
    EXPECT_EQ(std::memcmp(dst.data(), src.data(), 6), 0);
}

TEST(PcmConvert, SizeRuleAndRefusals) {
    const WAVEFORMATEX m8 = Pcm(8, 1, 22050), s16 = Pcm(16, 2, 44100), s16b = Pcm(16, 2, 48000);
    EXPECT_EQ(PCMCONVERTSIZEOUTPUTDATA(&s16, &m8, 1000), 8000);
    EXPECT_EQ(PCMCONVERTSIZEOUTPUTDATA(&m8, &s16, 8000), 1000);
    EXPECT_EQ(PCMCONVERTSIZEOUTPUTDATA(&s16b, &s16, 4 * 441), 4 * 480);
    EXPECT_EQ(PCMCONVERTSIZEOUTPUTDATA(&s16b, &s16, 4 * 11), 4 * 11);  // 11.97 frames truncated
    EXPECT_EQ(PCMCONVERTSIZEOUTPUTDATA(&s16, &s16, 7), 4);             // partial frame dropped
    const WAVEFORMATEX bad = Pcm(24, 2, 44100), quad = Pcm(16, 4, 44100);
    EXPECT_EQ(PCMCONVERTSIZEOUTPUTDATA(&s16, &bad, 100), -1);
    EXPECT_EQ(PCMCONVERTSIZEOUTPUTDATA(&quad, &s16, 100), -1);

    std::vector<char> src(100, 1), dst(1000, 7);
    EXPECT_EQ(PCMCONVERT(&s16, dst.data(), &bad, src.data(), 100), -1);
    EXPECT_EQ(PCMCONVERT(&s16, dst.data(), &m8, src.data(), 0), 0);
    EXPECT_EQ(PCMCONVERT(&s16, dst.data(), &m8, src.data(), -5), -5);
    EXPECT_EQ(dst, std::vector<char>(1000, 7));
}

TEST(PcmConvert, Upsample8MonoTo16Stereo) {
    const WAVEFORMATEX m8 = Pcm(8, 1, 22050), s16 = Pcm(16, 2, 44100);
    std::vector<char> src(1000);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<char>(i * 7);
    std::vector<char> dst(8000 + 16, 0x5a);
    ASSERT_EQ(PCMCONVERT(&s16, dst.data(), &m8, src.data(), 1000), 8000);
    const std::vector<int> words = ToWords(dst, 4000);
    for (size_t i = 0; i < src.size(); ++i) {
        const int v = (static_cast<uint8_t>(src[i]) - 128) * 256;
        ASSERT_EQ(words[4 * i], v);
        ASSERT_EQ(words[4 * i + 1], v);
        ASSERT_EQ(words[4 * i + 2], v);
        ASSERT_EQ(words[4 * i + 3], v);
    }
    EXPECT_EQ(dst[8000], 0x5a);
}

TEST(PcmConvert, LayoutsAtEqualRates) {
    struct Case {
        WORD srcBits, srcCh;
        std::vector<int> src;  // values of the source encoding
        WORD dstBits, dstCh;
        std::vector<int> expected;
    };
    const std::vector<Case> cases = {
        // 8-bit stereo to mono: mean of the unsigned bytes, rounded down.
        {8, 2, {10, 21, 255, 0}, 8, 1, {15, 127}},
        {8, 2, {10, 21}, 16, 1, {(15 - 128) * 256}},
        {8, 2, {0, 255}, 16, 2, {-32768, 127 * 256}},
        // 16-bit mono to 8-bit: floor(s/256) + 128.
        {16, 1, {-1, -256, -257, 255, 32767, -32768}, 8, 1, {127, 127, 126, 128, 255, 0}},
        {16, 1, {-1}, 8, 2, {127, 127}},
        {16, 1, {-5}, 16, 2, {-5, -5}},
        // 16-bit stereo to mono: floor of the mean.
        {16, 2, {-3, 0, 32767, 32767}, 16, 1, {-2, 32767}},
        {16, 2, {-32768, -32768, 256, 511}, 8, 1, {0, 129}},
        {16, 2, {-256, 256}, 8, 2, {127, 129}},
        {16, 2, {1, -2}, 16, 2, {1, -2}},
        {8, 1, {0, 200}, 8, 2, {0, 0, 200, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.srcBits << "/" << c.srcCh << " -> " << c.dstBits << "/" << c.dstCh);
        const WAVEFORMATEX fs = Pcm(c.srcBits, c.srcCh, 8000), fd = Pcm(c.dstBits, c.dstCh, 8000);
        std::vector<char> src;
        if (c.srcBits == 8)
            for (int v : c.src) src.push_back(static_cast<char>(v));
        else
            for (int v : c.src) {
                const auto w = Words({v});
                src.insert(src.end(), w.begin(), w.end());
            }
        std::vector<char> dst(64);
        const LONG n = PCMCONVERT(&fd, dst.data(), &fs, src.data(), LONG(src.size()));
        const size_t expectedBytes = c.expected.size() * (c.dstBits / 8);
        ASSERT_EQ(n, LONG(expectedBytes));
        EXPECT_EQ(c.dstBits == 8 ? ToBytes(dst, c.expected.size()) : ToWords(dst, c.expected.size()),
                  c.expected);
    }
}

TEST(PcmConvert, RateChanges) {
    // Halving writes every second frame, starting with the second.
    const WAVEFORMATEX hi = Pcm(16, 1, 16000), lo = Pcm(16, 1, 8000);
    std::vector<char> src = Words({1, 2, 3, 4, 5, 6}), dst(64);
    ASSERT_EQ(PCMCONVERT(&lo, dst.data(), &hi, src.data(), 12), 6);
    EXPECT_EQ(ToWords(dst, 3), (std::vector<int>{2, 4, 6}));
    // Doubling writes every frame twice.
    ASSERT_EQ(PCMCONVERT(&hi, dst.data(), &lo, src.data(), 6), 12);
    EXPECT_EQ(ToWords(dst, 6), (std::vector<int>{1, 1, 2, 2, 3, 3}));
    // Three to two.
    const WAVEFORMATEX r3 = Pcm(16, 1, 12000);
    ASSERT_EQ(PCMCONVERT(&lo, dst.data(), &r3, src.data(), 12), 8);
    EXPECT_EQ(ToWords(dst, 4), (std::vector<int>{1, 3, 4, 6}));
}

TEST(PcmConvert, NeverWritesBeyondTheSizeRule) {
    // Ratios near 1 make the accumulator want one frame more than the rule.
    const std::pair<DWORD, DWORD> rates[] = {{44100, 48000}, {48000, 44100}, {22050, 32000}, {11025, 8000}};
    for (auto [from, to] : rates) {
        const WAVEFORMATEX fs = Pcm(16, 2, from), fd = Pcm(16, 2, to);
        for (LONG frames = 1; frames < 200; ++frames) {
            std::vector<char> src(size_t(frames) * 4, 1);
            const LONG size = PCMCONVERTSIZEOUTPUTDATA(&fd, &fs, LONG(src.size()));
            std::vector<char> dst(size_t(size) + 8, 0x33);
            const LONG n = PCMCONVERT(&fd, dst.data(), &fs, src.data(), LONG(src.size()));
            ASSERT_LE(n, size) << from << "->" << to << " frames " << frames;
            ASSERT_GE(n, size - 4);
            ASSERT_EQ(dst[size_t(size)], 0x33);
        }
    }
}

TEST(PcmFind, PeakAndMinMax) {
    WAVEFORMATEX f = Pcm(16, 1, 8000);
    std::vector<char> data = Words({5, -9, 3, 9});
    int16_t l1, l2, r1, r2;
    PCMFINDMINMAX(&f, data.data(), 6, l1, l2, r1, r2);
    EXPECT_EQ(std::vector<int>({l1, l2, r1, r2}), std::vector<int>({5, -9, 5, -9}));
    int16_t pl, pr;
    PCMFINDPEAK(&f, data.data(), 8, pl, pr);
    EXPECT_EQ(pl, -9);  // first to reach magnitude 9
    EXPECT_EQ(pr, -9);

    f = Pcm(8, 1, 8000);
    std::vector<char> bytes = {char(130), char(120)};
    PCMFINDMINMAX(&f, bytes.data(), 2, l1, l2, r1, r2);
    EXPECT_EQ(std::vector<int>({l1, l2, r1, r2}), std::vector<int>({130, 120, 130, 120}));
    PCMFINDPEAK(&f, bytes.data(), 2, pl, pr);
    EXPECT_EQ(pl, 120);
    bytes = {char(128), char(128)};
    PCMFINDPEAK(&f, bytes.data(), 2, pl, pr);
    EXPECT_EQ(pl, 0);
    PCMFINDMINMAX(&f, bytes.data(), 0, l1, l2, r1, r2);
    EXPECT_EQ(std::vector<int>({l1, l2, r1, r2}), std::vector<int>({128, 128, 128, 128}));

    f = Pcm(16, 2, 8000);
    data = Words({-100, 7, 300, -8, 2, 1});
    PCMFINDMINMAX(&f, data.data(), LONG(data.size()) + 1, l1, l2, r1, r2);
    EXPECT_EQ(std::vector<int>({l1, l2, r1, r2}), std::vector<int>({-100, 300, 7, -8}));
    PCMFINDPEAK(&f, data.data(), LONG(data.size()), pl, pr);
    EXPECT_EQ(pl, 300);
    EXPECT_EQ(pr, -8);
    PCMFINDMINMAX(&f, data.data(), 3, l1, l2, r1, r2);
    EXPECT_EQ(std::vector<int>({l1, l2, r1, r2}), std::vector<int>({0, 0, 0, 0}));
}

}  // namespace
