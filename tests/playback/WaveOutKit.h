#pragma once

// A chain head that delivers known PCM data from memory, and helpers for
// running the main thread's messages while a device plays.

#include "mmcore/MMDSPComponent.h"
#include "playback/MMWaveOut.h"
#include "tests/support/EventPump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

// Plays Data from StartPos; with the device looping it goes back to the
// start at the end of the data while the loop count allows, and flags the
// buffer in which it did.
class TTestSource : public TMMDSPComponent {
public:
    TTestSource(const WAVEFORMATEX& Format, std::vector<char> Bytes, QObject* AOwner = nullptr)
        : TMMDSPComponent(AOwner), Data(std::move(Bytes)) {
        SetOutputValid(true);
        SetPWaveFormat(&Format);
    }

    void Started() override {
        TMMDSPComponent::Started();
        Pos = StartPos;
    }

    // A reset of the device reaches the source on the resetting thread, after
    // every refill has ended: the place to seek.
    void Reseting() override {
        TMMDSPComponent::Reseting();
        if (SeekOnReset != kNoSeek) Pos = SeekOnReset;
    }

    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        const int loading = Loading.fetch_add(1) + 1;
        int most = MostLoading.load();
        while (loading > most && !MostLoading.compare_exchange_weak(most, loading)) {
        }
        if (const int ms = SlowLoadMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        struct TDone {
            std::atomic<int>& Count;
            ~TDone() { Count.fetch_sub(1); }
        } done{Loading};
        ++Loads;
        if (FailAtLoad && Loads >= FailAtLoad) throw Exception(QStringLiteral("source broke"));
        const std::size_t n =
            std::min<std::size_t>(Data.size() - std::min(Pos, Data.size()), lpwh->dwBufferLength);
        if (n) std::memcpy(lpwh->lpData, Data.data() + Pos, n);
        Pos += n;
        lpwh->dwBytesRecorded = static_cast<DWORD>(n);
        if (Pos >= Data.size() && lpwh->LoopRec.dwLoop) {
            bool again = lpwh->LoopRec.dwLoopCnt == 0;
            if (!again) {
                lpwh->LoopRec.dwLoopTmpCnt -= 1;
                again = static_cast<LONG>(lpwh->LoopRec.dwLoopTmpCnt) >= 0;
            }
            if (again) {
                Pos = 0;
                lpwh->LoopRec.dwLooping = 1;
            }
        }
        // A late-ending source finds out only when a pull comes back empty.
        MoreBuffers = LateEnd ? n > 0 : Pos < Data.size();
    }

    std::vector<char> Data;
    std::size_t Pos = 0;
    std::size_t StartPos = 0;
    static constexpr std::size_t kNoSeek = ~std::size_t{0};
    std::size_t SeekOnReset = kNoSeek;
    int Loads = 0;
    int FailAtLoad = 0;               // throw from this pull on; 0 never
    std::atomic<int> Loading{0};      // pulls running now
    std::atomic<int> MostLoading{0};  // the most ever running at once
    std::atomic<int> SlowLoadMs{0};   // each pull takes this long first
    bool LateEnd = false;
};

inline WAVEFORMATEX MonoFormat(DWORD rate = 48000) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = 1;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = 2;
    f.nAvgBytesPerSec = rate * 2;
    return f;
}

// Never zero, so silence and sound are told apart.
inline std::int16_t PatternAt(std::size_t Frame, int Seed) {
    return static_cast<std::int16_t>(100 + (Frame * 37 + Seed * 1001) % 20000);
}

inline std::vector<std::int16_t> Pattern(std::size_t Frames, int Seed) {
    std::vector<std::int16_t> v(Frames);
    for (std::size_t i = 0; i < Frames; ++i) v[i] = PatternAt(i, Seed);
    return v;
}

inline std::vector<char> BytesOf(const std::vector<std::int16_t>& Samples) {
    std::vector<char> b(Samples.size() * 2);
    if (!b.empty()) std::memcpy(b.data(), Samples.data(), b.size());
    return b;
}
