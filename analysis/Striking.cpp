#include "analysis/Striking.h"

#include <algorithm>
#include <cmath>

// ---- Figures ----------------------------------------------------------------------------

TStrikingFigure TStrikingSums::Figure() const {
    TStrikingFigure f;
    f.Blows = FN;
    if (!FN) return f;
    f.Mean = FSum / FN;
    f.Rms = std::sqrt(FSquares / FN);
    if (FN > 1) f.Sd = std::sqrt(std::max(0.0, (FSquares - FSum * f.Mean) / (FN - 1)));
    return f;
}

namespace {

struct TStrokeSums {
    TStrikingSums Hand, Back, Both;
    void Add(bool Handstroke, double ErrorMs) {
        (Handstroke ? Hand : Back).Add(ErrorMs);
        Both.Add(ErrorMs);
    }
    TStrokeFigures Figures() const { return {Hand.Figure(), Back.Figure(), Both.Figure()}; }
};

// ---- A banded symmetric system, solved by Cholesky --------------------------------------

class TBandSystem {
public:
    TBandSystem(int N, int Band) : FN(N), FB(Band), FA(static_cast<std::size_t>(N) * (Band + 1)), FR(N) {}

    // Adds Weight * (sum Coef[k] x[Index[k]] - Rhs)^2 to what is minimised.
    void Add(std::initializer_list<int> Index, std::initializer_list<double> Coef, double Rhs,
             double Weight) {
        const int* idx = Index.begin();
        const double* coef = Coef.begin();
        const int k = static_cast<int>(Index.size());
        for (int a = 0; a < k; ++a) {
            if (coef[a] == 0) continue;
            FR[idx[a]] += Weight * coef[a] * Rhs;
            for (int c = 0; c < k; ++c)
                if (idx[c] >= idx[a] && coef[c] != 0) At(idx[a], idx[c]) += Weight * coef[a] * coef[c];
        }
    }

    bool Solve(std::vector<double>& X) {
        // In place: the upper factor U with A = U'U.
        for (int i = 0; i < FN; ++i) {
            const int last = std::min(FN - 1, i + FB);
            for (int j = i; j <= last; ++j) {
                double s = At(i, j);
                for (int k = std::max(0, j - FB); k < i; ++k) s -= At(k, i) * At(k, j);
                if (j == i) {
                    if (!(s > 0)) return false;
                    At(i, i) = std::sqrt(s);
                } else {
                    At(i, j) = s / At(i, i);
                }
            }
        }
        X.assign(FN, 0);
        for (int i = 0; i < FN; ++i) {
            double s = FR[i];
            for (int k = std::max(0, i - FB); k < i; ++k) s -= At(k, i) * X[k];
            X[i] = s / At(i, i);
        }
        for (int i = FN - 1; i >= 0; --i) {
            double s = X[i];
            for (int j = i + 1; j <= std::min(FN - 1, i + FB); ++j) s -= At(i, j) * X[j];
            X[i] = s / At(i, i);
        }
        return true;
    }

private:
    double& At(int I, int J) { return FA[static_cast<std::size_t>(I) * (FB + 1) + (J - I)]; }

    int FN, FB;
    std::vector<double> FA, FR;
};

// How strongly the rhythm holds together. The unknowns are, per row, the
// ideal time of its first place (S), its blow interval (I), the gap after it
// when a handstroke follows (D) and half the difference between handstroke
// and backstroke intervals (E), all in ms. A row must start where the one
// before ends; the interval may bend only slowly from row to row, and the
// gap (in blows) and the strokes' difference drift more slowly still, so
// that no single row's faults can move them.
constexpr double kLinkWeight = 1e4;
constexpr double kIntervalStiffness = 1e4;
constexpr double kGapStiffness = 1e5;
constexpr double kGapAnchor = 1e-3;
constexpr double kHold = 1e-8;
constexpr int kRobustRounds = 10;
constexpr double kTukey = 4.685;
constexpr double kLeastScaleMs = 2;
constexpr double kPauseBlows = 6;

struct TRowSpan {
    std::size_t First = 0;  // its first blow, in time order
    bool Gap = false;       // a handstroke row after a backstroke: the open gap comes before it
    bool Break = false;     // after a pause: the rhythm starts again here
};

double Median(std::vector<double> V) {
    if (V.empty()) return 0;
    const std::size_t n = V.size();
    const auto mid = V.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(V.begin(), mid, V.end());
    if (n % 2) return *mid;
    return (*mid + *std::max_element(V.begin(), mid)) / 2;
}

}  // namespace

// ---- The analysis -----------------------------------------------------------------------

bool AnalyseStriking(const TLowndesFile& File, TStrikingOptions Options, TStrikingAnalysis& Result,
                     QString* Error) {
    if (Options.Stage <= 0) Options.Stage = File.BellsRinging();
    return AnalyseStriking(File.Blows, Options, Result, Error);
}

bool AnalyseStriking(std::vector<TLowndesBlow> Blows, const TStrikingOptions& Options,
                     TStrikingAnalysis& Result, QString* Error) {
    Result = TStrikingAnalysis();
    Result.ComputerBells = Options.ComputerBells;
    Result.FewBlows = Options.FewBlows;
    auto fail = [&](const QString& Why) {
        if (Error) *Error = Why;
        return false;
    };
    std::stable_sort(Blows.begin(), Blows.end(),
                     [](const TLowndesBlow& a, const TLowndesBlow& b) { return a.Ms < b.Ms; });
    for (const TLowndesBlow& b : Blows) Result.BellsStruck.insert(b.Bell);
    int stage = Options.Stage > 0 ? Options.Stage : static_cast<int>(Result.BellsStruck.size());
    stage = std::min(stage, kLowndesMaxBells);
    Result.Stage = stage;
    if (Blows.empty()) return fail(QStringLiteral("no blows"));
    if (stage < 2) return fail(QStringLiteral("fewer than two bells ringing"));

    // Rows: a new one at a change of stroke, when full, or when a bell comes again.
    std::vector<TRowSpan> spans;
    std::vector<TStrikingRow>& rows = Result.Rows;
    for (std::size_t i = 0; i < Blows.size(); ++i) {
        const TLowndesBlow& b = Blows[i];
        TStrikingRow* row = rows.empty() ? nullptr : &rows.back();
        if (!row || row->Handstroke != b.Handstroke || static_cast<int>(row->Bells.size()) >= stage ||
            std::find(row->Bells.begin(), row->Bells.end(), b.Bell) != row->Bells.end()) {
            TRowSpan span;
            span.First = i;
            span.Gap = row && b.Handstroke && !row->Handstroke;
            spans.push_back(span);
            rows.emplace_back();
            rows.back().Handstroke = b.Handstroke;
            row = &rows.back();
        }
        row->Bells.push_back(b.Bell);
    }
    const int nRows = static_cast<int>(rows.size());
    for (int r = 0; r < nRows; ++r) {
        TStrikingRow& row = rows[r];
        bool counted = static_cast<int>(row.Bells.size()) == stage && !Options.LeaveOutRows.count(r);
        if (counted && Options.IsMethodRow) counted = Options.IsMethodRow(r, row.Bells);
        if (counted && !Options.ExpectedRows.empty())
            counted =
                r < static_cast<int>(Options.ExpectedRows.size()) && Options.ExpectedRows[r] == row.Bells;
        row.Counted = counted;
        Result.RowsCounted += counted;
    }
    if (!Result.RowsCounted) return fail(QStringLiteral("no complete row of %1 bells to measure").arg(stage));

    // A first guess: one steady interval (the blows' usual spacing within a
    // row), a gap of one blow; the fit finds what the touch did relative to
    // it, which keeps its numbers small.
    const double t0 = static_cast<double>(Blows.front().Ms);
    double interval = 0;
    {
        std::vector<double> steps;
        for (int r = 0; r < nRows; ++r)
            for (std::size_t p = 1; p < rows[r].Bells.size(); ++p)
                steps.push_back(
                    static_cast<double>(Blows[spans[r].First + p].Ms - Blows[spans[r].First + p - 1].Ms));
        interval = Median(steps);
        if (!(interval > 1)) interval = 200;
    }
    // A pause of several blows (a band that stood and started again) is no
    // part of the rhythm: it starts afresh after it.
    for (int r = 1; r < nRows; ++r) {
        const double pause = static_cast<double>(Blows[spans[r].First].Ms - Blows[spans[r].First - 1].Ms);
        if (pause > kPauseBlows * interval) {
            spans[r].Break = true;
            spans[r].Gap = false;
        }
    }
    std::vector<double> base(nRows);  // each row's first guess
    for (int r = 1; r < nRows; ++r)
        base[r] = spans[r].Break ? static_cast<double>(Blows[spans[r].First].Ms) - t0
                                 : base[r - 1] + (stage + (spans[r].Gap ? 1 : 0)) * interval;
    auto baseStart = [&](int r) { return base[r]; };

    std::vector<double> x;
    const int unknowns = 4 * nRows;
    auto S = [](int r) { return 4 * r; };
    auto I = [](int r) { return 4 * r + 1; };
    auto D = [](int r) { return 4 * r + 2; };
    // Half the difference between handstroke and backstroke intervals.
    auto E = [](int r) { return 4 * r + 3; };
    // Bells that keep their places (rounds, call changes) cannot tell a
    // stroke's own interval from a lean of the bells by place at that
    // stroke: there one interval serves both.
    bool fixedPlaces = false;
    {
        std::array<double, kLowndesMaxBells + 1> placeSum{};
        std::array<int, kLowndesMaxBells + 1> placeCount{};
        for (int r = 0; r < nRows; ++r)
            if (rows[r].Counted)
                for (int p = 0; p < stage; ++p) {
                    placeSum[rows[r].Bells[p]] += p;
                    ++placeCount[rows[r].Bells[p]];
                }
        std::vector<double> mean;
        for (int b = 1; b <= kLowndesMaxBells; ++b)
            if (placeCount[b]) mean.push_back(placeSum[b] / placeCount[b]);
        std::size_t pairs = 0, apart = 0;
        for (std::size_t a = 0; a < mean.size(); ++a)
            for (std::size_t k = a + 1; k < mean.size(); ++k) {
                ++pairs;
                apart += std::abs(mean[a] - mean[k]) >= 0.5;
            }
        fixedPlaces = pairs >= 3 && apart * 4 >= pairs * 3;
    }
    const bool strokes = Options.StrokeIntervals && !fixedPlaces;
    auto side = [&](int r) { return strokes ? (rows[r].Handstroke ? 0.5 : -0.5) : 0.0; };
    auto rowInterval = [&](int r) { return interval + x[I(r)] + side(r) * x[E(r)]; };

    std::vector<double> weight(Blows.size(), 0);
    for (int r = 0; r < nRows; ++r)
        if (rows[r].Counted)
            for (int p = 0; p < stage; ++p) weight[spans[r].First + p] = 1;
    // Each bell's own steady lean at each stroke: the rhythm is fitted to the
    // blows less these, so that one bell's habit moves nobody's ideal.
    std::array<std::array<double, 2>, kLowndesMaxBells + 1> lean{};
    auto leanOf = [&](std::size_t i) { return lean[Blows[i].Bell][Blows[i].Handstroke ? 0 : 1]; };
    std::vector<double> residual(Blows.size(), 0);
    double gapBlows = 1;
    for (int round = 0; round < kRobustRounds; ++round) {
        TBandSystem sys(unknowns, 8);
        for (int r = 0; r < nRows; ++r) {
            if (rows[r].Counted) {
                for (int p = 0; p < stage; ++p) {
                    const std::size_t i = spans[r].First + p;
                    if (weight[i] <= 0) continue;
                    const double rhs =
                        static_cast<double>(Blows[i].Ms) - t0 - leanOf(i) - (baseStart(r) + p * interval);
                    sys.Add({S(r), I(r), E(r)}, {1.0, double(p), p * side(r)}, rhs, weight[i]);
                }
            }
            if (r + 1 < nRows && !spans[r + 1].Break)
                sys.Add({S(r), I(r), D(r), E(r), S(r + 1)},
                        {-1.0, -double(stage), spans[r + 1].Gap ? -1.0 : 0.0, -stage * side(r), 1.0}, 0,
                        kLinkWeight);
            if (r >= 1 && r + 1 < nRows)
                sys.Add({I(r - 1), I(r), I(r + 1)}, {1.0, -2.0, 1.0}, 0, kIntervalStiffness);
            // The gap keeps its size in blows as the interval drifts.
            if (r + 1 < nRows)
                sys.Add({D(r), D(r + 1), I(r), I(r + 1)}, {-1.0, 1.0, gapBlows, -gapBlows}, 0, kGapStiffness);
            sys.Add({D(r)}, {1.0}, 0, kGapAnchor);
            if (r + 1 < nRows) sys.Add({E(r), E(r + 1)}, {-1.0, 1.0}, 0, kGapStiffness);
            sys.Add({E(r)}, {1.0}, 0, kGapAnchor);
            // Rows that nothing else holds (left out, between two pauses) stay at the guess.
            sys.Add({S(r)}, {1.0}, 0, kHold);
            sys.Add({I(r)}, {1.0}, 0, kHold);
        }
        if (!sys.Solve(x)) return fail(QStringLiteral("the rhythm could not be fitted"));
        if (round + 1 == kRobustRounds) break;
        {
            double gaps = 0, n = 0;
            for (int r = 1; r < nRows; ++r)
                if (spans[r].Gap && rows[r].Counted) {
                    gaps += (interval + x[D(r - 1)]) / rowInterval(r - 1);
                    ++n;
                }
            if (n > 0) gapBlows = std::clamp(gaps / n, 0.0, 4.0);
        }

        std::vector<double> absolute;
        std::array<std::array<double, 2>, kLowndesMaxBells + 1> sum{}, weights{}, places{};
        std::array<std::array<int, 2>, kLowndesMaxBells + 1> count{};
        for (int r = 0; r < nRows; ++r) {
            if (!rows[r].Counted) continue;
            for (int p = 0; p < stage; ++p) {
                const std::size_t i = spans[r].First + p;
                const double ideal = baseStart(r) + x[S(r)] + p * rowInterval(r);
                residual[i] = static_cast<double>(Blows[i].Ms) - t0 - leanOf(i) - ideal;
                absolute.push_back(std::abs(residual[i]));
                const int b = Blows[i].Bell, s = Blows[i].Handstroke ? 0 : 1;
                sum[b][s] += weight[i] * (residual[i] + lean[b][s]);
                weights[b][s] += weight[i];
                places[b][s] += p;
                ++count[b][s];
            }
        }
        // Weigh down the blows far from the rhythm, by how far the rest are.
        const double scale = std::max(kLeastScaleMs, 1.4826 * Median(absolute));
        const double c = kTukey * scale;
        for (int r = 0; r < nRows; ++r) {
            if (!rows[r].Counted) continue;
            for (int p = 0; p < stage; ++p) {
                const std::size_t i = spans[r].First + p;
                const double u = residual[i] / c;
                weight[i] = std::abs(u) < 1 ? (1 - u * u) * (1 - u * u) : 0;
            }
        }
        // The leans, measured from what most bells do: their median at each
        // stroke, and in rounds (each bell in a place of its own) their robust
        // line by place, belong to the rhythm (its gap and its interval).
        std::array<std::vector<int>, 2> bells;
        std::array<std::array<double, 2>, kLowndesMaxBells + 1> raw{}, place{};
        for (int s = 0; s < 2; ++s)
            for (int b = 1; b <= kLowndesMaxBells; ++b)
                if (weights[b][s] > 0) {
                    bells[s].push_back(b);
                    raw[b][s] = sum[b][s] / weights[b][s];
                    place[b][s] = places[b][s] / count[b][s];
                }
        // With an interval of its own at each stroke, the rhythm may lean
        // by place at each stroke apart; else at both together.
        std::array<std::vector<double>, 2> slopes;
        std::array<std::size_t, 2> pairs{};
        for (int s = 0; s < 2; ++s)
            for (std::size_t a = 0; a < bells[s].size(); ++a)
                for (std::size_t k = a + 1; k < bells[s].size(); ++k) {
                    ++pairs[s];
                    const int i = bells[s][a], j = bells[s][k];
                    const double dp = place[j][s] - place[i][s];
                    if (std::abs(dp) >= 0.5) slopes[s].push_back((raw[j][s] - raw[i][s]) / dp);
                }
        if (!strokes) {
            slopes[0].insert(slopes[0].end(), slopes[1].begin(), slopes[1].end());
            slopes[1] = slopes[0];
            pairs[0] = pairs[1] = pairs[0] + pairs[1];
        }
        std::array<bool, 2> byPlace{};
        std::array<double, 2> slope{}, level{};
        for (int s = 0; s < 2; ++s) {
            byPlace[s] = pairs[s] >= 3 && slopes[s].size() * 4 >= pairs[s] * 3;
            slope[s] = byPlace[s] ? Median(slopes[s]) : 0;
            std::vector<double> levels;
            for (int b : bells[s]) levels.push_back(raw[b][s] - slope[s] * place[b][s]);
            level[s] = Median(levels);
        }
        // Then a least-squares line through the bells that lie near it: as
        // robust, and steadier where the band's own scatter is large.
        std::vector<double> spread;
        for (int s = 0; s < 2; ++s)
            for (int b : bells[s]) spread.push_back(std::abs(raw[b][s] - level[s] - slope[s] * place[b][s]));
        const double near = 3 * std::max(0.5, 1.4826 * Median(spread));
        // Sums per stroke: weight, place, place squared, lean, place times lean.
        std::array<std::array<double, 5>, 2> m{};
        for (int s = 0; s < 2; ++s)
            for (int b : bells[s]) {
                if (std::abs(raw[b][s] - level[s] - slope[s] * place[b][s]) > near) continue;
                const double w = count[b][s], q = place[b][s], v = raw[b][s];
                m[s][0] += w;
                m[s][1] += w * q;
                m[s][2] += w * q * q;
                m[s][3] += w * v;
                m[s][4] += w * q * v;
            }
        if (m[0][0] > 0 && m[1][0] > 0) {
            // The slope's equation with the levels eliminated, per stroke or for both.
            std::array<double, 2> a{}, rhs{};
            for (int s = 0; s < 2; ++s) {
                a[s] = m[s][2] - m[s][1] * m[s][1] / m[s][0];
                rhs[s] = m[s][4] - m[s][1] * m[s][3] / m[s][0];
            }
            if (strokes) {
                for (int s = 0; s < 2; ++s) slope[s] = byPlace[s] && a[s] > 1e-9 ? rhs[s] / a[s] : 0;
            } else {
                const double both = byPlace[0] && a[0] + a[1] > 1e-9 ? (rhs[0] + rhs[1]) / (a[0] + a[1]) : 0;
                slope = {both, both};
            }
            for (int s = 0; s < 2; ++s) level[s] = (m[s][3] - m[s][1] * slope[s]) / m[s][0];
        }
        for (int s = 0; s < 2; ++s)
            for (int b : bells[s]) lean[b][s] = raw[b][s] - level[s] - slope[s] * place[b][s];
    }

    // The rows' rhythm.
    for (int r = 0; r < nRows; ++r) {
        TStrikingRow& row = rows[r];
        row.StartMs = baseStart(r) + x[S(r)];
        row.IntervalMs = rowInterval(r);
        if (spans[r].Gap && r >= 1) {
            const double gapMs = interval + x[D(r - 1)];
            row.GapBlows = rows[r - 1].IntervalMs > 0 ? gapMs / rows[r - 1].IntervalMs : 0;
        }
    }

    // Every blow against its ideal.
    std::array<TStrokeSums, TStrikingAnalysis::kBells + 1> bell;
    std::array<std::array<TStrokeSums, TStrikingAnalysis::kBells + 1>, TStrikingAnalysis::kBells + 1> byPlace,
        byFollowed;
    TStrokeSums band;
    Result.Blows.reserve(Blows.size());
    for (int r = 0; r < nRows; ++r) {
        const TStrikingRow& row = rows[r];
        for (std::size_t p = 0; p < row.Bells.size(); ++p) {
            const std::size_t i = spans[r].First + p;
            TStrikingBlow blow;
            blow.Bell = Blows[i].Bell;
            blow.Handstroke = Blows[i].Handstroke;
            blow.Row = r;
            blow.Place = static_cast<int>(p) + 1;
            blow.Followed = i > 0 ? Blows[i - 1].Bell : 0;
            blow.Ms = static_cast<double>(Blows[i].Ms) - t0;
            blow.IdealMs = row.StartMs + static_cast<double>(p) * row.IntervalMs;
            blow.ErrorMs = blow.Ms - blow.IdealMs;
            blow.Counted = row.Counted;
            blow.Weight = row.Counted ? weight[i] : 0;
            if (blow.Counted) {
                const bool hand = blow.Handstroke;
                bell[blow.Bell].Add(hand, blow.ErrorMs);
                byPlace[blow.Bell][blow.Place].Add(hand, blow.ErrorMs);
                if (blow.Followed) byFollowed[blow.Bell][blow.Followed].Add(hand, blow.ErrorMs);
                if (!Options.ComputerBells.count(blow.Bell)) band.Add(hand, blow.ErrorMs);
            }
            Result.Blows.push_back(blow);
        }
    }
    for (int b = 1; b <= TStrikingAnalysis::kBells; ++b) {
        Result.Bell[b] = bell[b].Figures();
        for (int k = 1; k <= TStrikingAnalysis::kBells; ++k) {
            Result.ByPlace[b][k] = byPlace[b][k].Figures();
            Result.ByFollowed[b][k] = byFollowed[b][k].Figures();
        }
    }
    Result.Band = band.Figures();

    // Speed and gap through the touch.
    double intervals = 0, gaps = 0;
    int gapRows = 0;
    for (const TStrikingRow& row : rows) {
        if (!row.Counted) continue;
        intervals += row.IntervalMs;
        if (row.GapBlows > 0) {
            gaps += row.GapBlows;
            ++gapRows;
        }
    }
    Result.MeanIntervalMs = intervals / Result.RowsCounted;
    Result.MeanGapBlows = gapRows ? gaps / gapRows : 0;
    for (int r = 0; r + 20 < nRows; ++r) {
        bool broken = false;
        for (int k = r + 1; k <= r + 20; ++k) broken = broken || spans[k].Break;
        if (broken) continue;
        const double first = rows[r + 10].StartMs - rows[r].StartMs;
        const double next = rows[r + 20].StartMs - rows[r + 10].StartMs;
        Result.SpeedChangePer10RowsMs = std::max(Result.SpeedChangePer10RowsMs, std::abs(next - first));
    }
    return true;
}
