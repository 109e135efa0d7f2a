#pragma once

// Shared by the wave output device benchmarks: a memory source at the head
// of the chain, the application object, percentiles and clocks.

#include "mmcore/MMDSPComponent.h"
#include "playback/MMWaveOut.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

// Delivers Data from the start on every Start.
class TMemorySource : public TMMDSPComponent {
public:
    TMemorySource(const WAVEFORMATEX& Format, std::vector<char> Bytes) : Data(std::move(Bytes)) {
        SetOutputValid(true);
        SetPWaveFormat(&Format);
    }
    void Started() override {
        TMMDSPComponent::Started();
        Pos = 0;
    }
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        const std::size_t n = std::min<std::size_t>(Data.size() - Pos, lpwh->dwBufferLength);
        if (n) std::memcpy(lpwh->lpData, Data.data() + Pos, n);
        Pos += n;
        lpwh->dwBytesRecorded = static_cast<DWORD>(n);
        MoreBuffers = Pos < Data.size();
    }
    std::vector<char> Data;
    std::size_t Pos = 0;
};

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

inline std::vector<char> Tone(std::size_t bytes, char value = 7) {
    return std::vector<char>(bytes, value);
}

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

// Handles the main thread's messages for a while, as the message loop would.
inline void RunMessagesFor(double microseconds) {
    const double until = NowUs() + microseconds;
    while (NowUs() < until) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

inline bool RunMessagesUntil(const std::function<bool()>& condition, double seconds = 10) {
    const double until = NowUs() + seconds * 1e6;
    while (!condition()) {
        if (NowUs() > until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}
