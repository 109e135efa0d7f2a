#pragma once

// Struck sounds: bells scheduled straight into the mixer by the one thread
// that decides strokes, every start and silence at a time given as data.
//
// Each of kStrikeSlots slots (one per bell) plays one decoded sound at a
// time. A strike names a slot and changes its timeline:
// - silenceNs (non-zero): whatever sounds in the slot stops at the frame
//   heard at silenceNs + L (L, the fixed stroke latency of the output);
// - sound and startNs: the sound starts from its first frame at the frame
//   heard at startNs + L, cutting whatever still sounds in the slot then.
// Unless keepPending is set, the slot's starts not yet begun are dropped
// first (a later stroke moves or cancels a bell's delayed start); with it
// they stay, and the slot keeps its starts and silences in time order (up
// to kStrikePending of them; one more is Replaced at once). A strike with
// no sound only drops starts (and silences, when silenceNs is given).
// Times may lie in the future (a bell's delay) or in the past: a start
// that can no longer be placed on its frame plays at once and is counted
// late, as a late voice start is.
//
// The striker is one thread at a time. waveOutStrike takes no lock, makes
// no allocation and makes no system call; it returns false when no output
// runs or its queue is full (the strike is not taken, and nothing of it is
// reported).
//
// Every strike taken is reported on the callback thread, in the order it
// happens in the slot: Started when its first frame is mixed (with the time
// it is heard), then exactly one of Ended (ran to its end), Silenced (cut by
// a silence or by the slot's next start) or Replaced (dropped before it
// began; it never sounded). A strike with no sound is reported only as
// Replaced. When the output stops or is lost, every strike still open is
// reported as Silenced or Replaced before the callback thread ends.
//
// A strike's gain scales its sound as it is mixed (1 is the sound as it
// is, at no extra cost); the final mix is limited, never wrapped.
//
// A sound must stay alive and unchanged until every strike naming it has
// had its last report.

#include <cstdint>
#include <functional>
#include <vector>

inline constexpr int kStrikeSlots = 16;
inline constexpr int kStrikePending = 8;  // starts and silences a slot holds ahead
// Struck starts are in the start log too, under the voice id kStrikeVoiceBase
// + slot (the top kStrikeSlots values; real voices count up from 1) with
// the blow as instance.
inline constexpr std::uint64_t kStrikeVoiceBase = ~std::uint64_t{0} - (kStrikeSlots - 1);

// A sound decoded whole before it is struck: float stereo at the output's
// rate (a sound at another rate is refused: Replaced at once).
struct WaveOutSound {
    unsigned rate = 0;
    std::vector<float> frames;  // interleaved left, right; full scale 1.0
    std::size_t frameCount() const { return frames.size() / 2; }
};

struct WaveOutStrike {
    int slot = 0;  // 0 .. kStrikeSlots - 1
    std::int64_t silenceNs = 0;
    const WaveOutSound* sound = nullptr;
    std::int64_t startNs = 0;
    std::uint64_t blow = 0;  // the striker's number for it, reported back
    bool keepPending = false;
    float gain = 1.0f;  // linear, applied per sample while it sounds
};

bool waveOutStrike(const WaveOutStrike& strike);

struct WaveOutStrikeReport {
    enum Kind { Started, Ended, Silenced, Replaced };
    Kind kind = Started;
    int slot = 0;
    std::uint64_t blow = 0;
    const WaveOutSound* sound = nullptr;  // the strike's sound (its last report frees it)
    std::int64_t requestNs = 0;           // the startNs asked for
    std::int64_t frame = 0;               // output frame where it started or stopped
    std::int64_t heardNs = 0;             // CLOCK_MONOTONIC at which that frame is heard
    bool late = false;                    // Started later than asked
};

// Told of every report on the callback thread; it should be short and
// must not call the wave output. Returns the previous listener.
using WaveOutStrikeListener = std::function<void(const WaveOutStrikeReport& report)>;
WaveOutStrikeListener waveOutSetStrikeListener(WaveOutStrikeListener listener);

// Starts the output now if none runs (as the first waveOutOpen would);
// false when none can run (waveOutGetStatus says why).
bool waveOutStartOutput();
