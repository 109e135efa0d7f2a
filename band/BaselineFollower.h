#pragma once

// The yardstick: the simple way of keeping time that ringers already know
// from a freely available ringing bot, as it is publicly described. One
// straight line through the humans' last 4-15 blows, weighted by how far
// each lies from the line before (exp(-d^2), d in blows), half of it blended
// into the line before. The handstroke gap is fixed; a blow waits for the
// one before it to be heard (up to a row) and keeps at least one interval after it.

#include "band/RhythmFollower.h"

#include <array>

class TBaselineFollower final : public TRhythmFollower {
public:
    explicit TBaselineFollower(const TBandSettings& Settings = {});

    void Begin(double StartMs) override;
    void Heard(const TBlow& Blow) override;
    double When(std::int64_t Row, int Place, double NowMs) const override;
    double HandIntervalMs() const override { return FInterval; }
    double BackIntervalMs() const override { return FInterval; }
    double GapBlows() const override { return FSettings.GapBlows; }
    const char* Name() const override { return "baseline"; }

private:
    static constexpr int kMaxPoints = 15;
    static constexpr int kMinPoints = 4;
    static constexpr double kInertia = 0.5;
    static constexpr int kHeardSlots = 64;
    static constexpr std::int64_t kMaxRow = 1'000'000'000;

    struct TPoint {
        double X = 0, T = 0;
    };
    struct TSlot {
        std::int64_t Row = -1;
        int Place = -1;
        double TimeMs = 0;
    };

    double Slot(std::int64_t Row, int Place) const;
    void Fit();
    const TSlot* Find(std::int64_t Row, int Place) const;

    TBandSettings FSettings;
    double FStart = 0;     // time of slot 0
    double FInterval = 0;  // one blow
    bool FPhased = false;  // the line has been put through a heard blow
    std::array<TPoint, kMaxPoints> FPoints{};
    int FCount = 0, FNext = 0;
    std::array<TSlot, kHeardSlots> FHeard{};
    int FHeardNext = 0;
};
