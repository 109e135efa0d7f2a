#pragma once

// The inner loop of a struck sound's mix: one voice's stereo frames added
// into the block. At unity gain it is the plain sum, so a bell at 0 dB
// costs what it always did.

#include <cstddef>

inline void mixStrikeFrames(float* dst, const float* src, std::size_t frames, float gain) {
    const std::size_t n = 2 * frames;
    if (gain == 1.0f) {
        for (std::size_t i = 0; i < n; ++i) dst[i] += src[i];
    } else {
        for (std::size_t i = 0; i < n; ++i) dst[i] += src[i] * gain;
    }
}
