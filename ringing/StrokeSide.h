#pragma once

// Handstroke or backstroke: a bell's blows alternate, hand first. Its first
// blow, and its first after a pause of more than ten seconds (the bell was
// set, or a touch ended), is a handstroke. The ringing engine and the
// striking record both follow this one rule.

#include <cstdint>

class TStrokeSide {
public:
    static constexpr std::int64_t kQuietNs = 10'000'000'000;

    // Whether a blow at TimeNs would be a handstroke, without noting it.
    bool Peek(std::int64_t TimeNs) const { return !FLastNs || TimeNs - FLastNs > kQuietNs || !FLastHand; }
    // Notes a blow at TimeNs; returns whether it is a handstroke.
    bool Next(std::int64_t TimeNs) {
        const bool hand = Peek(TimeNs);
        FLastNs = TimeNs;
        FLastHand = hand;
        return hand;
    }
    // As if the bell had not been struck.
    void Reset() { *this = TStrokeSide{}; }

private:
    std::int64_t FLastNs = 0;  // 0: not struck yet
    bool FLastHand = false;
};
