#pragma once

// The sinks the mixer writes its blocks to: ALSA, a clock-paced null output
// and a capture to a WAV file. `write` runs on the mixer thread; only the
// ALSA output may wait there (for room in the device buffer, bounded).

#include <cstdint>
#include <memory>
#include <string>

class Output {
public:
    enum class Result { Ok, Recovered, Lost };

    virtual ~Output() = default;
    // Opens the sink for 16-bit stereo at `rate`; false with `error` set.
    virtual bool open(unsigned rate, unsigned periodFrames, std::string& error) = 0;
    // Frames the mixer may render ahead of the clock (device buffering).
    virtual unsigned leadFrames() const { return 0; }
    // Whether the sink waits by itself (the device clock) besides the mixer's pacing.
    virtual bool devicePaced() const { return false; }
    virtual Result write(const std::int16_t* frames, unsigned count, std::string& error) = 0;
    // Frames written but not yet played, or -1 when the sink cannot tell.
    virtual long bufferedFrames() { return -1; }
    // Completes the sink (capture: final sizes and the start log).
    virtual void close() {}
    virtual std::string productName() const = 0;
    // Start records to keep beside the output, written at close.
    virtual void noteStart(std::uint64_t voice, std::int64_t requestNs, double requestFrame,
                           std::int64_t firstFrame) {}
};

std::unique_ptr<Output> makeAlsaOutput(const std::string& pcmName);
std::unique_ptr<Output> makeNullOutput();
std::unique_ptr<Output> makeCaptureOutput(const std::string& path);
