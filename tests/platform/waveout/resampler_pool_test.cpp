#include "platform/waveout/Resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Runs `frames` stereo frames of a constant through the state; returns the peak out.
float peakOf(SRC_STATE* s, float value, long frames) {
    std::vector<float> in(static_cast<std::size_t>(frames) * 2, value);
    std::vector<float> out(in.size() * 2);
    SRC_DATA d{};
    d.data_in = in.data();
    d.input_frames = frames;
    d.data_out = out.data();
    d.output_frames = frames * 2;
    d.src_ratio = 48000.0 / 44100.0;
    EXPECT_EQ(src_process(s, &d), 0);
    float peak = 0;
    for (long i = 0; i < d.output_frames_gen * 2; ++i) peak = std::max(peak, std::fabs(out[i]));
    return peak;
}

}  // namespace

TEST(WaveOutResamplerPool, ReusedStateKeepsNothingOfItsLastVoice) {
    SRC_STATE* a = takeResampler();
    ASSERT_NE(a, nullptr);
    EXPECT_GT(peakOf(a, 0.9f, 2000), 0.5f);
    giveBackResampler(a, false);  // handed back mid-sound
    SRC_STATE* b = takeResampler();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b, a);                         // reused, not made anew
    EXPECT_EQ(peakOf(b, 0.0f, 2000), 0.0f);  // silence in, silence out
    giveBackResampler(b, false);
}
