#pragma once

// Rate conversion of one voice's stereo float frames to the output rate.
//
// Sixteen bells sound at once, all the time, so this is most of the mixer's
// work. Every usual pair of rates (8000, 11025, 16000, 22050, 32000, 44100,
// 48000, 88200, 96000 ... to 44100 or 48000) has a small exact ratio, and a
// polyphase FIR with one precomputed kernel per phase handles those at a
// fraction of the cost of a general converter. Ratios that would need too
// many phases go through libsamplerate.
//
// Made, and freed, on a caller's thread (they allocate); process() and
// reset() are real-time safe. Both kinds line their output up with their
// input: output frame j is the input's value at time j / ratio, so the
// voice's first frame stays where it was placed.

#include <samplerate.h>

#include <cstddef>
#include <memory>

class Resampler {
public:
    struct Result {
        std::size_t used = 0;  // input frames taken
        std::size_t made = 0;  // output frames written
        bool ok = true;
    };

    // nullptr when no converter can be made (out of memory).
    static std::unique_ptr<Resampler> make(unsigned inRate, unsigned outRate);

    virtual ~Resampler() = default;
    // Takes what it can of `in` and writes up to `outFrames`. With
    // `endOfInput` (and every input taken) the tail is let out; once it is
    // all out, made is 0.
    virtual Result process(const float* in, std::size_t inFrames, float* out, std::size_t outFrames,
                           bool endOfInput) = 0;
    // Forgets all input, as if just made.
    virtual void reset() = 0;
    // Whether it holds nothing since it was made or reset (a reset can be skipped).
    virtual bool clean() const = 0;
};

// The general converter keeps libsamplerate states, which are costly to make
// and to clear, in a pool: closed voices hand theirs back for the next open.
// A state comes back cleared.
SRC_STATE* takeResampler();
void giveBackResampler(SRC_STATE* state, bool clean);
