// PCMFINDMINMAX against the plain rule, one sample at a time: per channel the
// lowest and highest value (from 32767 and -32767, or 127 and -127 for 8-bit
// data taken as u - 128), each at its first occurrence, earlier one first.

#include "wavedata/MMPCMSup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

struct Result {
    int FirstL, SecondL, FirstR, SecondR;
    bool operator==(const Result&) const = default;
};

void PrintTo(const Result& r, std::ostream* os) {
    *os << "(" << r.FirstL << ", " << r.SecondL << ", " << r.FirstR << ", " << r.SecondR << ")";
}

WAVEFORMATEX Pcm(WORD bits, WORD channels) {
    WAVEFORMATEX f{};
    pcmBuildWaveHeader(&f, bits, channels, 8000);
    return f;
}

int ValueAt(const std::vector<char>& data, int bits, std::size_t index) {
    if (bits == 8) return static_cast<unsigned char>(data[index]) - 128;
    int16_t v;
    std::memcpy(&v, data.data() + index * 2, 2);
    return v;
}

Result Reference(int bits, int channels, const std::vector<char>& data, std::size_t bytes) {
    const int sample = bits / 8;
    const std::size_t frames = bytes / static_cast<std::size_t>(sample * channels);
    const int silence = bits == 8 ? 128 : 0;
    Result r{silence, silence, silence, silence};
    if (frames == 0) return r;
    const int scanned = channels == 1 ? 1 : 2;
    for (int c = 0; c < scanned; ++c) {
        int low = bits == 8 ? 127 : 32767, high = -low;
        std::size_t lowAt = 0, highAt = 0;
        for (std::size_t i = 0; i < frames; ++i) {
            const int v =
                ValueAt(data, bits, i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c));
            if (v < low) low = v, lowAt = i;
            if (v > high) high = v, highAt = i;
        }
        int first = low, second = high;
        if (highAt < lowAt) std::swap(first, second);
        first += silence, second += silence;
        (c == 0 ? r.FirstL : r.FirstR) = first;
        (c == 0 ? r.SecondL : r.SecondR) = second;
    }
    if (scanned == 1) r.FirstR = r.FirstL, r.SecondR = r.SecondL;
    return r;
}

Result Find(int bits, int channels, const std::vector<char>& data, std::size_t bytes) {
    const WAVEFORMATEX f = Pcm(static_cast<WORD>(bits), static_cast<WORD>(channels));
    int16_t a, b, c, d;
    PCMFINDMINMAX(&f, data.data(), static_cast<LONG>(bytes), a, b, c, d);
    return {a, b, c, d};
}

// Random blocks of every layout, short and long, with extremes placed
// anywhere (also in the last, partial group of values) and, in narrow
// ranges, repeated throughout.
TEST(PcmMinMax, MatchesThePlainScanOnRandomBlocks) {
    std::mt19937 random(20240613);
    for (int bits : {8, 16}) {
        for (int channels : {1, 2, 3, 4}) {
            for (int round = 0; round < 300; ++round) {
                // Short blocks and blocks of several thousand values.
                const std::size_t values = random() % (round % 4 == 0 ? 6000 : 200);
                std::vector<char> data(values * static_cast<std::size_t>(bits / 8));
                // Narrow ranges give repeated extremes, whose first occurrence counts.
                const int spread = round % 3 == 0 ? 3 : (bits == 8 ? 256 : 65536);
                for (std::size_t i = 0; i < values; ++i) {
                    const int v = static_cast<int>(random() % static_cast<unsigned>(spread));
                    if (bits == 8) {
                        data[i] = static_cast<char>(spread == 3 ? 127 + v : v);
                    } else {
                        const auto s = static_cast<int16_t>(spread == 3 ? v - 1 : v - 32768);
                        std::memcpy(data.data() + 2 * i, &s, 2);
                    }
                }
                const std::size_t bytes = data.size() - (round % 5 == 0 && !data.empty() ? 1 : 0);
                ASSERT_EQ(Find(bits, channels, data, bytes), Reference(bits, channels, data, bytes))
                    << bits << "-bit, " << channels << " channels, " << bytes << " bytes";
            }
        }
    }
}

// Values the starting points leave alone: -32768 is below the lowest start
// but never above the highest; a block of full-scale values alone keeps
// the other start, and so does 8-bit 0 (-128) and 255 (+127).
TEST(PcmMinMax, StartingPointsDecideForFullScaleBlocks) {
    const struct {
        int Bits;
        int Channels;
        std::vector<int> Values;  // raw: signed 16-bit, unsigned 8-bit
        Result Expected;
    } cases[] = {
        {16, 1, std::vector<int>(40, -32768), {-32768, -32767, -32768, -32767}},
        {16, 1, std::vector<int>(40, 32767), {32767, 32767, 32767, 32767}},
        {16, 2, {-32768, 32767, -32768, 32767}, {-32768, -32767, 32767, 32767}},
        {8, 1, std::vector<int>(33, 0), {0, 1, 0, 1}},
        {8, 1, std::vector<int>(33, 255), {255, 255, 255, 255}},
        {8, 2, {0, 255, 1, 254}, {0, 1, 255, 254}},
    };
    for (const auto& c : cases) {
        std::vector<char> data;
        for (int v : c.Values) {
            if (c.Bits == 8) {
                data.push_back(static_cast<char>(v));
            } else {
                const auto s = static_cast<int16_t>(v);
                data.insert(data.end(), reinterpret_cast<const char*>(&s),
                            reinterpret_cast<const char*>(&s) + 2);
            }
        }
        EXPECT_EQ(Find(c.Bits, c.Channels, data, data.size()), c.Expected) << c.Bits << "-bit " << c.Channels;
        EXPECT_EQ(Find(c.Bits, c.Channels, data, data.size()),
                  Reference(c.Bits, c.Channels, data, data.size()));
    }
}

}  // namespace
