#pragma once

// Shared by the wave output device benchmarks: a memory source at the head
// of the chain, the application object, percentiles and clocks.

#include "bench/BenchStats.h"
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

inline std::vector<char> Tone(std::size_t bytes, char value = 7) {
    return std::vector<char>(bytes, value);
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
