#pragma once

// What the computer's bells ask of whoever keeps time for them. It is told
// each blow as it is heard (a human's) or struck (its own), and answers when
// a blow of its own should be struck. Time is data: every time is handed
// in, in milliseconds on any steady clock; nothing here reads a clock.

#include <cstdint>

struct TBlow {
    int Bell = 0;          // 1-based; for the caller's records only
    std::int64_t Row = 0;  // 0 is the first row rung
    int Place = 0;         // 0-based place in the row
    bool Handstroke = true;
    double TimeMs = 0;
    bool Human = true;  // false: one of the computer's own blows
};

struct TBandSettings {
    int Stage = 6;
    // The speed the computer starts from: a peal of so many changes in so
    // many minutes (2 h 58 min for 5040 is about 326 ms a blow on six).
    double PealMinutes = 178;
    int PealChanges = 5040;
    double GapBlows = 1;  // open handstroke gap, in blows
    bool FirstRowHandstroke = true;
    // Take the speed from the humans' first rows instead of holding to the
    // peal speed while they pull off.
    bool FromPullOff = false;

    // One blow's length at the peal speed: every row has Stage blows and
    // every other row an open gap of GapBlows.
    double PealIntervalMs() const { return PealMinutes * 60000.0 / (PealChanges * (Stage + GapBlows / 2)); }
};

// The blow struck just before (Row, Place) on Stage bells: the row's place
// before it, or the last place of the row before. False before the first.
inline bool BlowBefore(std::int64_t Row, int Place, int Stage, std::int64_t& PrevRow, int& PrevPlace) {
    PrevRow = Place > 0 ? Row : Row - 1;
    PrevPlace = Place > 0 ? Place - 1 : Stage - 1;
    return PrevRow >= 0;
}

class TRhythmFollower {
public:
    virtual ~TRhythmFollower() = default;

    // Forgets every blow; row 0 place 0 is due at StartMs.
    virtual void Begin(double StartMs) = 0;
    // A blow heard or struck. Blows may come out of order; ones that make
    // no sense (place outside the row, a time that is not a number) are
    // dropped.
    virtual void Heard(const TBlow& Blow) = 0;
    // When the blow at (Row, Place) should be struck, given all heard up to
    // NowMs. An answer at or before NowMs means at once. It may move as
    // more is heard; ask again until it is struck. NaN for a blow that
    // cannot be (a negative row, a place outside the row).
    virtual double When(std::int64_t Row, int Place, double NowMs) const = 0;

    // The rhythm as it is now: handstroke and backstroke blow intervals and
    // the handstroke gap in blows.
    virtual double HandIntervalMs() const = 0;
    virtual double BackIntervalMs() const = 0;
    virtual double GapBlows() const = 0;
    virtual const char* Name() const = 0;
};
