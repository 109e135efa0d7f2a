#pragma once

// How the computer keeps time with the humans. Every blow is a point in
// three counts since the first row: handstroke intervals, backstroke
// intervals and handstroke gaps. A weighted least-squares fit over the last
// rows gives, first from the humans alone, the shape (handstroke against
// backstroke, the gap), and then from every blow, the computer's own
// included so that two humans cannot drag it, the speed and the phase.
// Recent rows weigh more; a blow far off the line (a late human) weighs
// little. While the humans keep to the line the memory is long and the
// computer steady; when they move together it shortens at once, so a change
// of speed is followed within a few rows, and lengthens again slowly. The
// speed moves by a bounded share per row. The blow after a late human waits
// for a share of the lateness, never more than half a blow, and the rhythm
// then carries on.
//
// No allocation after construction; no clock is read.

#include "band/RhythmFollower.h"

#include <array>

struct TBandTuning {
    // Weight falls by e every so many rows: the long memory while the humans
    // keep to the line, the short one when they leave it together.
    double MemoryRows = 8;
    double ShortMemoryRows = 1.0;
    double MemoryGrowth = 0.15;   // rows of memory regained per row once they keep to it again
    double NoiseBlows = 0.06;     // a human's own scatter, for telling a change from noise
    double ChangeZ = 2.0;         // standard errors of the humans' mean lateness that make a change
    int WindowRows = 12;          // older rows are left out
    double OwnWeight = 0.4;       // a computer blow against a human one, at the long memory
    double OutlierShare = 0.2;    // residual, in blows, at which weight halves
    double TempoHold = 1;         // pull to the speed at the row's start, in rows of blows
    double ShapeHold = 1;         // pull to even strokes, in rows of blows
    double GapHold = 2;           // pull to the last gap, in rows of blows
    double MaxStepPerRow = 0.04;  // share the speed may change in one row
    double LateShare = 0.5;       // share of a human's lateness waited for,
    double LateFromBlows = 0.1;   // beyond this much (scatter is not lateness)
    double MaxWaitBlows = 0.5;    // the wait never exceeds this
    int PullOffRows = 3;          // rows free of the step limit when following a pull-off
};

class TBandFollower final : public TRhythmFollower {
public:
    explicit TBandFollower(const TBandSettings& Settings = {}, const TBandTuning& Tuning = {});

    void Begin(double StartMs) override;
    void Heard(const TBlow& Blow) override;
    double When(std::int64_t Row, int Place, double NowMs) const override;
    double HandIntervalMs() const override { return FIh; }
    double BackIntervalMs() const override { return FIb; }
    double GapBlows() const override { return FGm / (0.5 * (FIh + FIb)); }
    const char* Name() const override { return "ours"; }

    // Where the fitted line puts (Row, Place), with no waiting.
    double Predict(std::int64_t Row, int Place) const;

private:
    static constexpr int kCapacity = 256;
    static constexpr int kParams = 4;
    static constexpr std::int64_t kMaxRow = 1'000'000'000;  // far beyond any touch

    struct TPoint {
        std::int64_t Row = -1;
        int Place = -1;
        double TimeMs = 0;
        double LateMs = 0;  // against the line when it was heard
        bool Human = false;
    };
    struct TCoord {
        double Hand = 0, Back = 0, Gaps = 0;
    };

    bool IsHand(std::int64_t Row) const;
    TCoord Coord(std::int64_t Row, int Place) const;
    int Find(std::int64_t Row, int Place) const;  // index in FPoints, or -1
    void Fit();
    bool Solve(const double (&A)[kParams][kParams], const double (&B)[kParams], double (&X)[kParams]) const;
    double Weight(const TPoint& P, std::int64_t Latest, double Memory) const;
    double Memory();
    void MoveReference(std::int64_t Row);

    TBandSettings FSettings;
    TBandTuning FTuning;
    // The line: time of (FRef, 0), the intervals and the gap in ms.
    std::int64_t FRef = 0;
    double FA = 0, FIh = 0, FIb = 0, FGm = 0;
    // The step limit holds the speed to within a share of its value when
    // the row began.
    std::int64_t FStepRow = -1;
    double FStepTempo = 0;
    double FMemory = 0;
    std::int64_t FMemoryRow = -1;
    double FShapeFree = 1;  // 1 while the shape may be learnt, less while the speed moves
    std::int64_t FLatest = -1;
    std::int64_t FFirstHumanRow = -1;
    std::array<TPoint, kCapacity> FPoints{};
    int FNext = 0;
};
