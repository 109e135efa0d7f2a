#pragma once

// One voice of the mixer: what a waveOutOpen handle plays.
//
// Hand-over between the callers and the mixer thread, without locks:
// - headers: a ring of header pointers; callers publish `writeCount` with
//   release after storing the entry, the mixer publishes `readCount` (headers
//   finished and their done report queued) with release.
// - starts: `startStamp` holds the CLOCK_MONOTONIC time of the latest start
//   request; a changed value is a new start.
// - exclusion: a caller that must take the voice away from the mixer
//   (waveOutReset) sets `hold` and waits while `mixing` is set. Both sides
//   store and load these two flags sequentially consistent (a Dekker
//   hand-shake): either the mixer sees `hold` and leaves the voice alone, or
//   the caller sees `mixing` and waits for the mixer to finish the voice,
//   whose release store of `mixing` then publishes the mixer's changes.

#include "platform/waveout/Format.h"
#include "platform/waveout/Resampler.h"
#include "platform/waveout/waveout.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class Engine;

// A queued header's flags are changed by the callback thread (done) while
// the caller may ask about them (a spin on WAVERR_STILLPLAYING), so every
// access goes through these: release when a header changes hands, acquire
// when it is taken back.
inline DWORD headerFlags(WAVEHDR* h) {
    return std::atomic_ref<DWORD>(h->dwFlags).load(std::memory_order_acquire);
}
inline void setHeaderFlags(WAVEHDR* h, DWORD flags) {
    std::atomic_ref<DWORD>(h->dwFlags).store(flags, std::memory_order_release);
}
inline void markHeaderDone(WAVEHDR* h) {
    setHeaderFlags(h, (headerFlags(h) | WHDR_DONE) & ~WHDR_INQUEUE);
}

inline constexpr std::size_t kVoiceRing = 4096;   // headers queued per voice
inline constexpr std::size_t kStageFrames = 512;  // converted frames awaiting the resampler

struct Voice {
    Voice() = default;
    Voice(const Voice&) = delete;
    Voice& operator=(const Voice&) = delete;

    // Identity (fixed after open)
    std::uint64_t id = 0;
    HWAVEOUT handle = nullptr;
    WAVEOUTPROC callback = nullptr;
    DWORD_PTR instance = 0;
    VoiceFormat format;
    double ratio = 1.0;  // output rate / voice rate

    // Callers' side, guarded by callerLock
    std::mutex callerLock;
    bool paused = false;
    bool dead = false;  // the output it played on has ended
    std::shared_ptr<Engine> engine;

    // Hand-over
    std::unique_ptr<WAVEHDR*[]> ring =
        std::make_unique<WAVEHDR*[]>(kVoiceRing);  // zeroed: touched before the mixer
    std::atomic<std::uint64_t> writeCount{0};
    std::atomic<std::uint64_t> readCount{0};
    std::atomic<std::int64_t> startStamp{0};
    std::atomic<bool> pausedFlag{false};
    std::atomic<std::uint32_t> volume{0xFFFFFFFFu};
    std::atomic<bool> hold{false};
    std::atomic<bool> mixing{false};
    std::atomic<std::uint64_t> position{0};   // voice frames consumed since open or reset
    std::atomic<std::uint64_t> delivered{0};  // done reports delivered (callback thread or reset)

    // Mixer's side (touched by a caller only while holding the voice)
    std::int64_t seenStamp = 0;
    std::int64_t startFrame = 0;
    bool placing = false;   // waiting for startFrame
    bool running = false;   // playing contiguous data
    bool sawPause = false;  // paused since it was placed
    bool logPending = false;
    bool resetPending = false;  // a caller reset the voice; clear the resampler
    // Headers [readCount, pullIndex) have been read but not all their frames
    // have left the resampler yet; each is done once outMade reaches doneAt.
    std::uint64_t pullIndex = 0;
    std::uint64_t frameOffset = 0;  // frames of the header at pullIndex read
    std::uint64_t inFed = 0;        // voice frames read since the voice was (re)started
    std::uint64_t outMade = 0;      // output frames made from them
    std::unique_ptr<std::uint64_t[]> doneAt = std::make_unique<std::uint64_t[]>(kVoiceRing);  // zeroed
    bool flushing = false;                 // draining the resampler's tail at the end of data
    std::unique_ptr<Resampler> resampler;  // none when the voice is at the output rate
    float stage[kStageFrames * 2] = {};
    std::size_t stageFrames = 0;
    std::size_t stagePos = 0;
};
