#include "platform/waveout/Resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

struct Rates {
    unsigned in;
    unsigned out;
};

void PrintTo(const Rates& r, std::ostream* os) {
    *os << r.in << "_to_" << r.out;
}

std::vector<float> stereoTone(unsigned rate, double hz, std::size_t frames, double amplitude = 0.5) {
    std::vector<float> v(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double x = amplitude * std::sin(2 * M_PI * hz * i / rate);
        v[2 * i] = static_cast<float>(x);
        v[2 * i + 1] = static_cast<float>(-x);
    }
    return v;
}

// Feeds `in` in random pieces, asking for random amounts, then lets the tail
// out, as the mixer does.
std::vector<float> run(Resampler& r, const std::vector<float>& in, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> piece(1, 600), room(1, 300);
    std::vector<float> out;
    std::vector<float> block(600 * 2);
    std::size_t at = 0;
    const std::size_t frames = in.size() / 2;
    for (int guard = 0; guard < 1000000; ++guard) {
        const bool flushing = at == frames;
        const std::size_t give = flushing ? 0 : std::min(piece(rng), frames - at);
        const Resampler::Result res = r.process(in.data() + 2 * at, give, block.data(), room(rng), flushing);
        EXPECT_TRUE(res.ok);
        EXPECT_LE(res.used, give);
        at += res.used;
        out.insert(out.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(2 * res.made));
        if (flushing && res.made == 0) return out;
    }
    ADD_FAILURE() << "the resampler never finished";
    return out;
}

// Level of the difference from the ideal tone at the output rate, in dB
// below the tone, away from the edges where the input starts and stops.
double errorDb(const std::vector<float>& out, unsigned rate, double hz, std::size_t edge) {
    double err = 0, sig = 0;
    const std::size_t frames = out.size() / 2;
    for (std::size_t j = edge; j + edge < frames; ++j) {
        const double want = 0.5 * std::sin(2 * M_PI * hz * j / rate);
        err += std::pow(out[2 * j] - want, 2) + std::pow(out[2 * j + 1] + want, 2);
        sig += 2 * want * want;
    }
    return 10 * std::log10(err / sig);
}

class ResamplerRates : public ::testing::TestWithParam<Rates> {};

// Output frame j is the input at time j / ratio: no delay, no gain, the
// frame count the done reports count on, whatever the pieces.
TEST_P(ResamplerRates, LinesUpWithTheInputAndKeepsTheTone) {
    const Rates rates = GetParam();
    auto r = Resampler::make(rates.in, rates.out);
    ASSERT_NE(r, nullptr);
    const std::size_t frames = rates.in / 4;  // 250 ms
    const double hz = 1000;
    const std::vector<float> out = run(*r, stereoTone(rates.in, hz, frames), 7);
    const auto expected =
        static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * rates.out / rates.in));
    EXPECT_NEAR(static_cast<double>(out.size() / 2), static_cast<double>(expected), 1.0);
    EXPECT_LT(errorDb(out, rates.out, hz, rates.out / 100), -60.0);
}

// Splitting the input differently changes nothing.
TEST_P(ResamplerRates, PiecesDoNotMatter) {
    const Rates rates = GetParam();
    const std::vector<float> in = stereoTone(rates.in, 440, rates.in / 10);
    auto a = Resampler::make(rates.in, rates.out);
    auto b = Resampler::make(rates.in, rates.out);
    const std::vector<float> first = run(*a, in, 1);
    const std::vector<float> second = run(*b, in, 2);
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 0; i < first.size(); ++i) ASSERT_NEAR(first[i], second[i], 1e-6f) << "at " << i;
}

// A reset converter plays the next sound exactly as a new one would.
TEST_P(ResamplerRates, ResetForgetsTheLastSound) {
    const Rates rates = GetParam();
    const std::vector<float> loud = stereoTone(rates.in, 3000, rates.in / 20, 0.9);
    const std::vector<float> quiet = stereoTone(rates.in, 440, rates.in / 20, 0.1);
    auto used = Resampler::make(rates.in, rates.out);
    std::vector<float> scratch(256 * 2);
    used->process(loud.data(), loud.size() / 2, scratch.data(), 256, false);  // cut off mid-sound
    EXPECT_FALSE(used->clean());
    used->reset();
    EXPECT_TRUE(used->clean());
    auto fresh = Resampler::make(rates.in, rates.out);
    const std::vector<float> a = run(*used, quiet, 3);
    const std::vector<float> b = run(*fresh, quiet, 3);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-6f) << "at " << i;
}

INSTANTIATE_TEST_SUITE_P(UsualAndOdd, ResamplerRates,
                         ::testing::Values(Rates{44100, 48000}, Rates{22050, 48000}, Rates{11025, 48000},
                                           Rates{8000, 48000}, Rates{32000, 48000}, Rates{48000, 44100},
                                           Rates{96000, 48000}, Rates{192000, 44100}, Rates{8000, 44100},
                                           Rates{44056, 48000},  // no small ratio: the general converter
                                           Rates{4000, 192000}));

// Hann-windowed Goertzel power at `hz` over the middle half of the left channel.
double powerAt(const std::vector<float>& stereo, unsigned rate, double hz) {
    const std::size_t frames = stereo.size() / 2, from = frames / 4, n = frames / 2;
    const double w = 2 * std::cos(2 * M_PI * hz / rate);
    double s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double win = 0.5 - 0.5 * std::cos(2 * M_PI * i / n);
        const double s0 = stereo[2 * (from + i)] * win + w * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - w * s1 * s2;
}

// A bell's upper partials must not come back as audible images or aliases:
// what lands at the image's frequency is compared with the tone itself.
TEST(Resampler, ImagesAndAliasesStayFarBelowTheTone) {
    struct Case {
        Rates rates;
        double hz;     // tone
        double image;  // where its image or alias lands at the output rate
    };
    for (const Case c :
         {Case{{44100, 48000}, 15000, 48000 - (44100 - 15000)},
          Case{{44100, 48000}, 19000, 48000 - (44100 - 19000)}, Case{{22050, 48000}, 8000, 22050 - 8000},
          Case{{48000, 44100}, 24500, 44100 - 24500}}) {
        auto r = Resampler::make(c.rates.in, c.rates.out);
        const std::vector<float> out = run(*r, stereoTone(c.rates.in, c.hz, c.rates.in / 2), 5);
        const double tone = powerAt(stereoTone(c.rates.out, c.image, out.size() / 2), c.rates.out, c.image);
        const double db = 10 * std::log10(powerAt(out, c.rates.out, c.image) / tone);
        RecordProperty("image_db", std::to_string(db));
        std::printf("[ metric ] %u -> %u, %.0f Hz: image at %.0f Hz %.1f dB\n", c.rates.in, c.rates.out, c.hz,
                    c.image, db);
        EXPECT_LT(db, -70.0) << c.rates.in << " -> " << c.rates.out << " at " << c.hz << " Hz";
    }
}

}  // namespace
