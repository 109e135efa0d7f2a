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
    FA = std::isfinite(StartMs) ? StartMs : 0;
    FIh = FIb = FSettings.PealIntervalMs();
    FGm = FSettings.GapBlows * FIh;
    FStepRow = -1;
    FStepTempo = FIh;
    FLatest = -1;
    FFirstHumanRow = -1;
    FMemory = FTuning.MemoryRows;
    FMemoryRow = -1;
    FShapeFree = 1;
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

int TBandFollower::Find(std::int64_t Row, int Place) const {
    for (int i = 0; i < kCapacity; ++i)
        if (FPoints[i].Row == Row && FPoints[i].Place == Place) return i;
    return -1;
}

void TBandFollower::MoveReference(std::int64_t Row) {
    FA = Predict(Row, 0);
    FRef = Row;
}

void TBandFollower::Heard(const TBlow& Blow) {
    if (Blow.Row < 0 || Blow.Row > kMaxRow || Blow.Place < 0 || Blow.Place >= FSettings.Stage ||
        !std::isfinite(Blow.TimeMs))
        return;
    if (FLatest >= 0 && Blow.Row < FLatest - FTuning.WindowRows) return;  // too old to matter
    // A row far ahead of every blow so far (or of row 0) is a wrong count,
    // not a blow: it would push every true one out of the window.
    if (Blow.Row > std::max<std::int64_t>(FLatest, 0) + FTuning.WindowRows) return;
    if (Blow.Human && FFirstHumanRow < 0) {
        // Humans pulling off set the phase, unless the computer already rings.
        if (FLatest < 0) FA += Blow.TimeMs - Predict(Blow.Row, Blow.Place);
        FFirstHumanRow = Blow.Row;
    }
    int slot = Find(Blow.Row, Blow.Place);
    if (slot < 0) {
        slot = FNext;
        FNext = (FNext + 1) % kCapacity;
    }
    FPoints[slot] = {Blow.Row, Blow.Place, Blow.TimeMs, Blow.TimeMs - Predict(Blow.Row, Blow.Place),
                     Blow.Human};
    FLatest = std::max(FLatest, Blow.Row);
    Fit();
}

// The humans' mean lateness over the last two rows against what noise
// alone would give: a band that moves together shortens the memory.
double TBandFollower::Memory() {
    const double scatter = FTuning.NoiseBlows * 0.5 * (FIh + FIb);
    // By stroke: a wrong gap shows at handstroke alone, a change of speed
    // at both. Each blow counts up to twice the scatter: one very late
    // human is not the band moving.
    double sum[2] = {0, 0};
    int count[2] = {0, 0};
    for (const TPoint& p : FPoints)
        if (p.Human && p.Row >= FLatest - 1) {
            const int stroke = IsHand(p.Row) ? 0 : 1;
            sum[stroke] += std::clamp(p.LateMs, -2 * scatter, 2 * scatter);
            ++count[stroke];
        }
    double target = FTuning.MemoryRows;
    FShapeFree = 1;
    // The first rows are too few to tell a change from noise.
    if (count[0] + count[1] && FLatest - FFirstHumanRow >= 2) {
        const int n = count[0] + count[1];
        const double all = (sum[0] + sum[1]) / n / (scatter / std::sqrt(double(n))) / FTuning.ChangeZ;
        target =
            std::clamp(FTuning.MemoryRows / (1 + all * all), FTuning.ShortMemoryRows, FTuning.MemoryRows);
        // Both strokes off the same way: the speed, not the gap, is moving.
        if (count[0] && count[1]) {
            double z[2];
            for (int i = 0; i < 2; ++i)
                z[i] = sum[i] / count[i] / (scatter / std::sqrt(double(count[i]))) / FTuning.ChangeZ;
            const double both = z[0] * z[1] > 0 ? std::min(std::fabs(z[0]), std::fabs(z[1])) : 0;
            FShapeFree = std::max(1 / (1 + both * both), FTuning.ShortMemoryRows / FTuning.MemoryRows);
        }
    }
    // Short at once, long again only slowly: the rows of a change have to
    // leave the window before the line may lean on old rows again.
    if (FLatest > FMemoryRow) {
        FMemory += FTuning.MemoryGrowth * static_cast<double>(FLatest - FMemoryRow);
        FMemoryRow = FLatest;
    }
    FMemory = std::min(FMemory, target);
    return FMemory;
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

bool TBandFollower::Solve(const double (&A)[kParams][kParams], const double (&B)[kParams],
                          double (&X)[kParams]) const {
    double m[kParams][kParams + 1];
    for (int i = 0; i < kParams; ++i) {
        for (int j = 0; j < kParams; ++j) m[i][j] = A[i][j];
        m[i][kParams] = B[i];
    }
    for (int c = 0; c < kParams; ++c) {
        int pivot = c;
        for (int r = c + 1; r < kParams; ++r)
            if (std::fabs(m[r][c]) > std::fabs(m[pivot][c])) pivot = r;
        if (std::fabs(m[pivot][c]) < 1e-12) return false;
        if (pivot != c)
            for (int j = 0; j <= kParams; ++j) std::swap(m[c][j], m[pivot][j]);
        for (int r = 0; r < kParams; ++r) {
            if (r == c) continue;
            const double f = m[r][c] / m[c][c];
            for (int j = c; j <= kParams; ++j) m[r][j] -= f * m[c][j];
        }
    }
    bool finite = true;
    for (int i = 0; i < kParams; ++i) {
        X[i] = m[i][kParams] / m[i][i];
        finite = finite && std::isfinite(X[i]);
    }
    return finite;
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
    const bool pullOff = FSettings.FromPullOff && latest - FFirstHumanRow < FTuning.PullOffRows;
    const double peal = FSettings.PealIntervalMs();
    // A pull of 1 ms on the speed weighs as much as an error of 1 ms on each
    // blow of so many rows.
    const double rowWeight = n * n;
    const double tempoHold = (pullOff ? 0.05 : memory / FTuning.MemoryRows) * FTuning.TempoHold * rowWeight;
    const auto counts = [&](const TPoint& p) {
        const TCoord c = Coord(p.Row, p.Place);
        return TCoord{c.Hand - ref.Hand, c.Back - ref.Back, c.Gaps - ref.Gaps};
    };
    for (int pass = 0; pass < 2; ++pass) {
        const double tempo0 = 0.5 * (FIh + FIb);
        const double gap0 = FGm / tempo0;

        // The shape (handstroke against backstroke, the gap) from the humans
        // alone: the computer's own blows only repeat the shape it has.
        double A[kParams][kParams] = {}, B[kParams] = {};
        const auto add = [&](const double(&phi)[kParams], double y, double w) {
            for (int i = 0; i < kParams; ++i) {
                for (int j = 0; j < kParams; ++j) A[i][j] += w * phi[i] * phi[j];
                B[i] += w * phi[i] * y;
            }
        };
        double human = 0;
        for (const TPoint& p : FPoints) {
            if (!p.Human) continue;
            const double w = Weight(p, latest, memory);
            if (w <= 0) continue;
            human += w;
            const TCoord c = counts(p);
            add({1, c.Hand, c.Back, c.Gaps}, p.TimeMs, w);
        }
        // With no human in the window the line is the computer's own: keep it.
        if (human <= 1e-6) return;
        // While the band changes speed, the shape stays as it was.
        const double steady = FShapeFree;
        // A faint pull on the speed keeps the equations solvable with the
        // first one or two human blows.
        add({0, 0.5, 0.5, 0}, FStepTempo, 0.01 * rowWeight);
        add({0, -1, 1, 0}, 0, FTuning.ShapeHold / (steady * steady) * rowWeight);
        add({0, -gap0 / 2, -gap0 / 2, 1}, 0, FTuning.GapHold / (steady * steady) * rowWeight);
        double x[kParams];
        if (!Solve(A, B, x)) return;

        const double shapeTempo = 0.5 * (x[1] + x[2]);
        if (!(shapeTempo > 0)) return;
        // Strokes within a quarter of each other, the gap within 0-3 blows.
        const double diff = std::clamp((x[2] - x[1]) / shapeTempo, -0.25, 0.25);
        const double gap = std::clamp(x[3] / shapeTempo, 0.0, 3.0);

        // The speed and the phase from every blow, the computer's own
        // included, so that two humans cannot drag it alone.
        const auto blows = [&](const TPoint& p) {
            const TCoord c = counts(p);
            return (1 - diff / 2) * c.Hand + (1 + diff / 2) * c.Back + gap * c.Gaps;
        };
        // time = a + tempo * blows, least squares, with the pull on the
        // tempo towards the row's start added to its own equation.
        double sw = 0, su = 0, st = 0, suu = tempoHold, sut = tempoHold * FStepTempo;
        for (const TPoint& p : FPoints) {
            const double w = Weight(p, latest, memory);
            if (w <= 0) continue;
            const double u = blows(p);
            sw += w;
            su += w * u;
            st += w * p.TimeMs;
            suu += w * u * u;
            sut += w * u * p.TimeMs;
        }
        const double det = sw * suu - su * su;
        if (!(std::fabs(det) > 1e-9)) return;
        double tempo = (sw * sut - su * st) / det;
        if (!(tempo > 0)) return;
        // Within a third and three times the set speed, and within the step
        // from the row's start.
        tempo = std::clamp(tempo, peal / 3, peal * 3);
        if (!pullOff)
            tempo = std::clamp(tempo, FStepTempo * (1 - FTuning.MaxStepPerRow),
                               FStepTempo * (1 + FTuning.MaxStepPerRow));
        FA = (st - tempo * su) / sw;
        FIh = tempo * (1 - diff / 2);
        FIb = tempo * (1 + diff / 2);
        FGm = tempo * gap;
    }
}

double TBandFollower::When(std::int64_t Row, int Place, double NowMs) const {
    if (Row < 0 || Row > kMaxRow || Place < 0 || Place >= FSettings.Stage) return std::nan("");
    const double due = Predict(Row, Place);
    std::int64_t prevRow = 0;
    int prevPlace = 0;
    if (!BlowBefore(Row, Place, FSettings.Stage, prevRow, prevPlace)) return due;
    const double blow = IsHand(Row) ? FIh : FIb;
    const double most = FTuning.MaxWaitBlows * blow;
    if (const int found = Find(prevRow, prevPlace); found >= 0) {
        const TPoint* prev = &FPoints[found];
        const double late = prev->LateMs - FTuning.LateFromBlows * blow;
        if (!prev->Human || late <= 0) return due;
        // Never more than the most after where this blow stood before the
        // late one was heard (the line itself has leant a little towards it).
        const double expected = prev->TimeMs - prev->LateMs + (due - Predict(prevRow, prevPlace));
        return std::min(due + std::min(FTuning.LateShare * late, most), expected + most);
    }
    // The blow before is not heard yet: hold on to the most we wait.
    return NowMs < due ? due : due + most;
}
