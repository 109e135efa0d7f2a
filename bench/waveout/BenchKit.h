#pragma once

// Small helpers shared by the wave output benchmarks.

#include "platform/waveout/waveout.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

struct DoneCounter {
    std::atomic<unsigned> done{0};
    static void proc(HWAVEOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
        if (msg == MM_WOM_DONE) reinterpret_cast<DoneCounter*>(instance)->done.fetch_add(1);
    }
    bool waitFor(unsigned n, int seconds = 10) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (done.load() < n) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
};

inline WAVEFORMATEX benchFormat(WORD channels, DWORD rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<WORD>(channels * 2);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double pos = p / 100.0 * (v.size() - 1);
    const auto i = static_cast<std::size_t>(pos);
    const double frac = pos - i;
    return i + 1 < v.size() ? v[i] * (1 - frac) + v[i + 1] * frac : v[i];
}

inline double nowUs() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
