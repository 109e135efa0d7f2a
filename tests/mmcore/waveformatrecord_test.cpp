#include "mmcore/WaveFormatRecord.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

WAVEFORMATEX Pcm(WORD bits, WORD channels, DWORD rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = WORD(channels * bits / 8);
    f.nAvgBytesPerSec = f.nBlockAlign * rate;
    return f;
}

TEST(WaveFormatRecord, SizeIgnoresCbSizeOfPcmOnly) {
    EXPECT_EQ(wioSizeOfWaveFormat(nullptr), 0u);
    WAVEFORMATEX pcm = Pcm(16, 2, 44100);
    pcm.cbSize = 22;  // garbage that a PCM record must not trust
    EXPECT_EQ(wioSizeOfWaveFormat(&pcm), 18u);
    WAVEFORMATEX adpcm = pcm;
    adpcm.wFormatTag = 2;
    adpcm.cbSize = 32;
    EXPECT_EQ(wioSizeOfWaveFormat(&adpcm), 50u);
}

TEST(WaveFormatRecord, CopyCarriesExtraBytesAndClearsPcmCbSize) {
    EXPECT_EQ(wioCopyWaveFormat(nullptr), nullptr);

    WAVEFORMATEX pcm = Pcm(8, 1, 11025);
    pcm.cbSize = 7;
    WAVEFORMATEX* copy = wioCopyWaveFormat(&pcm);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->cbSize, 0);
    EXPECT_EQ(copy->nSamplesPerSec, 11025u);
    EXPECT_EQ(copy->wBitsPerSample, 8);
    wioFreeWaveFormat(copy);
    EXPECT_EQ(copy, nullptr);

    std::vector<unsigned char> block(18 + 4);
    WAVEFORMATEX ext = Pcm(4, 1, 8000);
    ext.wFormatTag = 0x11;
    ext.cbSize = 4;
    std::memcpy(block.data(), &ext, 18);
    const std::array<unsigned char, 4> extra{0xde, 0xad, 0xbe, 0xef};
    std::memcpy(block.data() + 18, extra.data(), 4);
    copy = wioCopyWaveFormat(reinterpret_cast<WAVEFORMATEX*>(block.data()));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, block.data(), block.size()), 0);
    wioFreeWaveFormat(copy);
}

TEST(WaveFormatRecord, SilenceByteFollowsBitsOnly) {
    struct Case {
        WORD tag, bits;
        unsigned char expected;
    };
    for (Case c : {Case{1, 8, 128}, Case{1, 16, 0}, Case{2, 4, 0}, Case{0x55, 8, 128}}) {
        WAVEFORMATEX f = Pcm(c.bits, 1, 8000);
        f.wFormatTag = c.tag;
        std::array<unsigned char, 9> data;
        data.fill(0x55);
        pcmFillSilence(&f, data.data(), 8);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(data[i], c.expected);
        EXPECT_EQ(data[8], 0x55);  // nothing beyond the count
    }
}

}  // namespace
