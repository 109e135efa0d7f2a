#include "band/BandFollower.h"

#include <algorithm>
#include <cmath>

TBandFollower::TBandFollower(const TBandSettings& Settings, const TBandTuning& Tuning)
    : FSettings(Settings), FTuning(Tuning) {
    FSettings.Stage = std::clamp(FSettings.Stage, 2, 16);
    FSettings.GapBlows = std::clamp(FSettings.GapBlows, 0.0, 3.0);
    FTuning.ShortMemoryRows = std::max(FTuning.ShortMemoryRows, 0.25);
    FTuning.MemoryRows = std::max(FTuning.MemoryRows, FTuning.ShortMemoryRows);
    FTuning.WindowRows = std::clamp(FTuning.WindowRows, 1, kCapacity / FSettings.Stage - 1);
    Begin(0);
}

void TBandFollower::Begin(double StartMs) {
    FRef = 0;
    FA = StartMs;
    FIh = FIb = FSettings.PealIntervalMs();
    FGm = FSettings.GapBlows * FIh;
    FStepRow = -1;
    FStepTempo = FIh;
    FLatest = -1;
    FFirstHumanRow = -1;
    FPoints.fill({});
    FNext = 0;
}

bool TBandFollower::IsHand(std::int64_t Row) const {
    return ((Row % 2) == 0) == FSettings.FirstRowHandstroke;
}

// Counts from row 0 place 0: handstroke intervals, backstroke intervals and
// the gaps opened before every handstroke row after the first.
TBandFollower::TCoord TBandFollower::Coord(std::int64_t Row, int Place) const {
    const std::int64_t n = FSettings.Stage;
    const std::int64_t handBefore = FSettings.FirstRowHandstroke ? (Row + 1) / 2 : Row / 2;
    const std::int64_t backBefore = Row - handBefore;
    const std::int64_t handUpTo = handBefore + (IsHand(Row) ? 1 : 0);
    const std::int64_t gaps = handUpTo - (FSettings.FirstRowHandstroke ? 1 : 0);
    TCoord c;
    c.Hand = static_cast<double>(n * handBefore + (IsHand(Row) ? Place : 0));
    c.Back = static_cast<double>(n * backBefore + (IsHand(Row) ? 0 : Place));
    c.Gaps = static_cast<double>(std::max<std::int64_t>(gaps, 0));
    return c;
}

double TBandFollower::Predict(std::int64_t Row, int Place) const {
    const TCoord c = Coord(Row, Place), r = Coord(FRef, 0);
    return FA + FIh * (c.Hand - r.Hand) + FIb * (c.Back - r.Back) + FGm * (c.Gaps - r.Gaps);
}

const TBandFollower::TPoint* TBandFollower::Find(std::int64_t Row, int Place) const {
    for (const TPoint& p : FPoints)
        if (p.Row == Row && p.Place == Place) return &p;
    return nullptr;
}

void TBandFollower::MoveReference(std::int64_t Row) {
    FA = Predict(Row, 0);
    FRef = Row;
}

void TBandFollower::Heard(const TBlow& Blow) {
    if (Blow.Row < 0 || Blow.Place < 0 || Blow.Place >= FSettings.Stage || !std::isfinite(Blow.TimeMs))
        return;
    if (FLatest >= 0 && Blow.Row < FLatest - FTuning.WindowRows) return;  // too old to matter
    if (Blow.Human && FFirstHumanRow < 0) {
        // Humans pulling off set the phase, unless the computer already rings.
        if (FLatest < 0) FA += Blow.TimeMs - Predict(Blow.Row, Blow.Place);
        FFirstHumanRow = Blow.Row;
    }
    TPoint* slot = const_cast<TPoint*>(Find(Blow.Row, Blow.Place));
    if (!slot) {
        slot = &FPoints[FNext];
        FNext = (FNext + 1) % kCapacity;
    }
    *slot = {Blow.Row, Blow.Place, Blow.TimeMs, Blow.TimeMs - Predict(Blow.Row, Blow.Place), Blow.Human};
    FLatest = std::max(FLatest, Blow.Row);
    Fit();
}

// The humans' mean lateness over the last two rows against what noise
// alone would give: a band that moves together shortens the memory.
double TBandFollower::Memory() const {
    const double scatter = FTuning.NoiseBlows * 0.5 * (FIh + FIb);
    double sum = 0;
    int count = 0;
    // Each blow counts up to twice the scatter: one very late human is not
    // the band moving.
    for (const TPoint& p : FPoints)
        if (p.Human && p.Row >= FLatest - 1) {
            sum += std::clamp(p.LateMs, -2 * scatter, 2 * scatter);
            ++count;
        }
    // The first rows are too few to tell a change from noise.
    if (!count || FLatest - FFirstHumanRow < 2) return FTuning.MemoryRows;
    const double z = sum / count / (scatter / std::sqrt(double(count))) / FTuning.ChangeZ;
    return std::clamp(FTuning.MemoryRows / (1 + z * z), FTuning.ShortMemoryRows, FTuning.MemoryRows);
}

double TBandFollower::Weight(const TPoint& P, std::int64_t Latest, double Memory) const {
    if (P.Row < 0 || P.Row < Latest - FTuning.WindowRows) return 0;
    const double age = static_cast<double>(Latest - P.Row);
    const double tempo = 0.5 * (FIh + FIb);
    const double off = (P.TimeMs - Predict(P.Row, P.Place)) / (FTuning.OutlierShare * tempo);
    // While the humans move together the computer's own blows, still on the
    // old line, hold it back less.
    const double own = FTuning.OwnWeight * Memory / FTuning.MemoryRows;
    return (P.Human ? 1.0 : own) * std::exp(-age / Memory) / (1 + off * off);
}

bool TBandFollower::Solve(const double (&A)[4][4], const double (&B)[4], double (&X)[4]) const {
    double m[4][5];
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) m[i][j] = A[i][j];
        m[i][4] = B[i];
    }
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) pivot = r;
        if (std::fabs(m[pivot][c]) < 1e-12) return false;
        if (pivot != c)
            for (int j = 0; j < 5; ++j) std::swap(m[c][j], m[pivot][j]);
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            const double f = m[r][c] / m[c][c];
            for (int j = c; j < 5; ++j) m[r][j] -= f * m[c][j];
        }
    }
    for (int i = 0; i < 4; ++i) X[i] = m[i][4] / m[i][i];
    return std::isfinite(X[0]) && std::isfinite(X[1]) && std::isfinite(X[2]) && std::isfinite(X[3]);
}

void TBandFollower::Fit() {
    const std::int64_t latest = FLatest;
    MoveReference(latest);
    if (FStepRow != latest) {
        FStepRow = latest;
        FStepTempo = 0.5 * (FIh + FIb);
    }
    const double n = FSettings.Stage;
    const TCoord ref = Coord(FRef, 0);
    const double memory = Memory();
    const double diff0 = FIb - FIh, gap0 = FGm / (0.5 * (FIh + FIb));
    for (int pass = 0; pass < 2; ++pass) {
        double A[4][4] = {}, B[4] = {};
        double human = 0;
        for (const TPoint& p : FPoints) {
            const double w = Weight(p, latest, memory);
            if (w <= 0) continue;
            if (p.Human) human += w;
            const TCoord c = Coord(p.Row, p.Place);
            const double phi[4] = {1, c.Hand - ref.Hand, c.Back - ref.Back, c.Gaps - ref.Gaps};
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) A[i][j] += w * phi[i] * phi[j];
                B[i] += w * phi[i] * p.TimeMs;
            }
        }
        // With no human in the window the line is the computer's own: keep it.
        if (human <= 1e-6) return;
        const auto prior = [&](const double (&phi)[4], double y, double w) {
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) A[i][j] += w * phi[i] * phi[j];
                B[i] += w * phi[i] * y;
            }
        };
        const double gap = gap0;
        const bool pullOff = FSettings.FromPullOff && latest - FFirstHumanRow < FTuning.PullOffRows;
        // A pull in ms of speed weighs as much as that error over this many
        // rows' worth of blows at the stage's spread.
        const double rowWeight = n * n;
        prior({0, 0.5, 0.5, 0}, FStepTempo, (pullOff ? 0.05 : memory / FTuning.MemoryRows) * FTuning.TempoHold * rowWeight);
        prior({0, -1, 1, 0}, diff0, FTuning.ShapeHold * rowWeight);
        prior({0, -gap / 2, -gap / 2, 1}, 0, FTuning.ShapeHold * rowWeight);
        // and, faintly, to an even stroke and the set gap
        prior({0, -1, 1, 0}, 0, 0.05 * rowWeight);
        prior({0, -FSettings.GapBlows / 2, -FSettings.GapBlows / 2, 1}, 0, 0.05 * rowWeight);

        double x[4];
        if (!Solve(A, B, x)) return;
        double ih = x[1], ib = x[2], gm = x[3];
        double t = 0.5 * (ih + ib);
        const double peal = FSettings.PealIntervalMs();
        if (!(t > 0)) return;
        // Keep the shape sane: strokes within a quarter of each other, gap
        // within 0-3 blows, speed within a third and three times the set one.
        const double diff = std::clamp((ib - ih) / t, -0.25, 0.25);
        ih = t * (1 - diff / 2);
        ib = t * (1 + diff / 2);
        gm = std::clamp(gm / t, 0.0, 3.0) * t;
        double limited = std::clamp(t, peal / 3, peal * 3);
        if (!pullOff)
            limited = std::clamp(limited, FStepTempo * (1 - FTuning.MaxStepPerRow),
                                 FStepTempo * (1 + FTuning.MaxStepPerRow));
        const double scale = limited / t;
        ih *= scale;
        ib *= scale;
        gm *= scale;
        double a = x[0];
        if (scale != 1.0) {
            // The speed was held back: put the phase through the points again.
            double sw = 0, sr = 0;
            for (const TPoint& p : FPoints) {
                const double w = Weight(p, latest, memory);
                if (w <= 0) continue;
                const TCoord c = Coord(p.Row, p.Place);
                sw += w;
                sr += w * (p.TimeMs - (ih * (c.Hand - ref.Hand) + ib * (c.Back - ref.Back) +
                                       gm * (c.Gaps - ref.Gaps)));
            }
            a = sr / sw;
        }
        FA = a;
        FIh = ih;
        FIb = ib;
        FGm = gm;
    }
}

double TBandFollower::When(std::int64_t Row, int Place, double NowMs) const {
    const double due = Predict(Row, Place);
    std::int64_t prevRow = Row;
    int prevPlace = Place - 1;
    if (prevPlace < 0) {
        prevRow = Row - 1;
        prevPlace = FSettings.Stage - 1;
    }
    if (prevRow < 0) return due;
    const double blow = IsHand(Row) ? FIh : FIb;
    const double most = FTuning.MaxWaitBlows * blow;
    if (const TPoint* prev = Find(prevRow, prevPlace)) {
        const double late = prev->LateMs - FTuning.LateFromBlows * blow;
        if (prev->Human && late > 0) return due + std::min(FTuning.LateShare * late, most);
        return due;
    }
    // The blow before is not heard yet: hold on to the most we wait.
    return NowMs < due ? due : due + most;
}
