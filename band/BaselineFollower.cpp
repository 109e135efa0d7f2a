#include "band/BaselineFollower.h"

#include <algorithm>
#include <cmath>

TBaselineFollower::TBaselineFollower(const TBandSettings& Settings) : FSettings(Settings) {
    FSettings.Stage = std::clamp(FSettings.Stage, 2, 16);
    Begin(0);
}

void TBaselineFollower::Begin(double StartMs) {
    FStart = std::isfinite(StartMs) ? StartMs : 0;
    FInterval = FSettings.PealIntervalMs();
    FPhased = false;
    FCount = FNext = 0;
    FHeard.fill({});
    FHeardNext = 0;
}

// Blows counted from row 0 place 0, a gap added before every handstroke
// row after the first.
double TBaselineFollower::Slot(std::int64_t Row, int Place) const {
    const std::int64_t hand = FSettings.FirstRowHandstroke ? Row / 2 : (Row + 1) / 2;
    return static_cast<double>(Row * FSettings.Stage + Place) +
           FSettings.GapBlows * static_cast<double>(hand);
}

const TBaselineFollower::TSlot* TBaselineFollower::Find(std::int64_t Row, int Place) const {
    for (const TSlot& s : FHeard)
        if (s.Row == Row && s.Place == Place) return &s;
    return nullptr;
}

void TBaselineFollower::Heard(const TBlow& Blow) {
    if (Blow.Row < 0 || Blow.Row > kMaxRow || Blow.Place < 0 || Blow.Place >= FSettings.Stage ||
        !std::isfinite(Blow.TimeMs))
        return;
    FHeard[FHeardNext] = {Blow.Row, Blow.Place, Blow.TimeMs};
    FHeardNext = (FHeardNext + 1) % kHeardSlots;
    if (!Blow.Human) return;  // the line goes through the humans only
    const double x = Slot(Blow.Row, Blow.Place);
    FPoints[FNext] = {x, Blow.TimeMs};
    FNext = (FNext + 1) % kMaxPoints;
    FCount = std::min(FCount + 1, kMaxPoints);
    if (!FPhased) {
        FStart = Blow.TimeMs - FInterval * x;
        FPhased = true;
    }
    if (FCount >= kMinPoints) Fit();
}

void TBaselineFollower::Fit() {
    double sw = 0, sx = 0, st = 0, sxx = 0, sxt = 0;
    for (int i = 0; i < FCount; ++i) {
        const TPoint& p = FPoints[i];
        const double d = (p.T - (FStart + FInterval * p.X)) / FInterval;
        const double w = std::exp(-d * d);
        sw += w;
        sx += w * p.X;
        st += w * p.T;
        sxx += w * p.X * p.X;
        sxt += w * p.X * p.T;
    }
    const double det = sw * sxx - sx * sx;
    if (sw <= 1e-9 || std::fabs(det) <= 1e-9 * sw * sw) return;
    const double interval = (sw * sxt - sx * st) / det;
    const double start = (st - interval * sx) / sw;
    if (!(interval > 0)) return;
    FInterval = kInertia * FInterval + (1 - kInertia) * interval;
    FStart = kInertia * FStart + (1 - kInertia) * start;
}

double TBaselineFollower::When(std::int64_t Row, int Place, double NowMs) const {
    if (Row < 0 || Row > kMaxRow || Place < 0 || Place >= FSettings.Stage) return std::nan("");
    const double due = FStart + FInterval * Slot(Row, Place);
    std::int64_t prevRow = 0;
    int prevPlace = 0;
    if (!BlowBefore(Row, Place, FSettings.Stage, prevRow, prevPlace)) return due;
    if (const TSlot* prev = Find(prevRow, prevPlace)) {
        const double gap = Slot(Row, Place) - Slot(prevRow, prevPlace);
        return std::max(due, prev->TimeMs + FInterval * gap);
    }
    // The blow before has not been heard: wait for it, up to a row.
    return NowMs < due ? due : due + FInterval * FSettings.Stage;
}
