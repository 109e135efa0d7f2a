#pragma once

// What every latency benchmark needs: a steady clock, percentiles and the
// 16-bit PCM format its test sounds are written in.

#include "platform/base/wintypes.h"

#include <algorithm>
#include <chrono>
#include <vector>

// Linear interpolation between the two nearest ranks; p in 0..100.
inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double pos = p / 100.0 * static_cast<double>(v.size() - 1);
    const auto i = static_cast<std::size_t>(pos);
    const double frac = pos - static_cast<double>(i);
    return i + 1 < v.size() ? v[i] * (1 - frac) + v[i + 1] * frac : v[i];
}

inline double NowUs() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline WAVEFORMATEX BenchFormat(WORD channels, DWORD rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<WORD>(channels * 2);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}
