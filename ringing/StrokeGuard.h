#pragma once

// Sensors bounce: a bell struck again within the guard time of its last
// heard stroke is a bounce, not a blow, and is dropped (and counted). The
// guard runs from the heard stroke, as a receiver's own lock-out does, so a
// chattering sensor cannot keep a bell locked out for longer.

#include <algorithm>
#include <array>
#include <cstdint>

class TStrokeGuard {
public:
    static constexpr int kMaxMs = 500;
    static constexpr int kBells = 16;

    // 0 is off: every stroke is heard.
    int GuardMs() const { return FGuardMs; }
    void SetGuardMs(int Ms) { FGuardMs = std::clamp(Ms, 0, kMaxMs); }

    // Whether a stroke of Bell (1 to 16) that arrived at ArrivalNs
    // (CLOCK_MONOTONIC) is heard; one that is not is counted.
    bool Accept(int Bell, std::int64_t ArrivalNs) {
        if (Bell < 1 || Bell > kBells) return true;
        std::int64_t& last = FLastNs[Bell];
        if (FGuardMs > 0 && last != 0 && ArrivalNs - last < std::int64_t(FGuardMs) * 1'000'000) {
            ++FIgnored;
            return false;
        }
        last = ArrivalNs;
        return true;
    }

    // Strokes dropped since the program started (or the count was reset).
    int Ignored() const { return FIgnored; }
    void ResetIgnored() { FIgnored = 0; }

private:
    int FGuardMs = 0;
    std::array<std::int64_t, kBells + 1> FLastNs{};  // 0: not struck yet
    int FIgnored = 0;
};
