// The computer's bells beside simulated humans: how close they keep to the
// band's rhythm, for our follower and for the baseline, side by side.
//
// Humans ring two or three bells of six around an ideal rhythm (gaussian
// noise, and 30 % of the bell before's error carried into their own blow,
// so they hear the computer too); the computer rings the rest. Runs: a
// steady touch, a speed-up and a slow-down of 10 % over six rows, one human
// 150 ms late once. The computer's error is taken against the band's rhythm
// fitted afterwards over all blows (rows around each one: interval, drift
// of the interval and handstroke gap, least squares; where the speed
// changes, the stretches before, during and after on their own). Then the
// gap ours has learnt, every bell on the computer, and what a blow costs.
// --gap sets the band's own handstroke gap (both followers start from 1).
//
//   bench_band [--seed N] [--touches N] [--noise MS] [--gap BLOWS]

#include "band/BandFollower.h"
#include "band/BaselineFollower.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kStage = 6;
constexpr int kRows = 72;
constexpr int kChangeFrom = 30;  // the change runs over rows 30-35
constexpr int kChangeRows = 6;
constexpr int kLateRow = 40;
constexpr double kLateMs = 150;
constexpr int kRefHalf = 6;  // rows either side in the afterwards fit

using Row = std::vector<int>;

std::vector<Row> Rounds() {
    return {Row{1, 2, 3, 4, 5, 6}};
}

std::vector<Row> PlainHunt() {
    std::vector<Row> rows;
    Row r{1, 2, 3, 4, 5, 6};
    for (int i = 0; i < 2 * kStage; ++i) {
        rows.push_back(r);
        for (int p = (i % 2 == 0) ? 0 : 1; p + 1 < kStage; p += 2) std::swap(r[p], r[p + 1]);
    }
    return rows;
}

enum class Kind { Steady, SpeedUp, SlowDown, Late };

struct Config {
    const char* Order;
    std::vector<Row> Rows;
    std::vector<int> Humans;
};

struct Outcome {
    std::vector<double> Errors;       // computer blows against the fitted rhythm
    std::vector<double> HumanErrors;  // the humans' own, for scale
    int Recovery = 0;                 // rows after the change until back under 10 ms
    double SpeedErrorPct = 0;         // the follower's speed against the band's at the end
    double GapBlows = 0;              // the follower's gap at the end
};

bool Hand(int r) {
    return r % 2 == 0;
}

// Solves the 4x4 normal equations; false if singular.
bool Solve4(double (&A)[4][4], double (&B)[4], double (&X)[4]) {
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(A[r][c]) > std::fabs(A[pivot][c])) pivot = r;
        if (std::fabs(A[pivot][c]) < 1e-12) return false;
        std::swap(A[c], A[pivot]);
        std::swap(B[c], B[pivot]);
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            const double f = A[r][c] / A[c][c];
            for (int j = c; j < 4; ++j) A[r][j] -= f * A[c][j];
            B[r] -= f * B[c];
        }
    }
    for (int i = 0; i < 4; ++i) X[i] = B[i] / A[i][i];
    return true;
}

// The band's rhythm at row r, fitted afterwards over all blows of the rows
// around it: time = a + b x + c x^2 + g gaps, x in blows from (r, 0).
void Reference(const std::vector<double>& T, int r, bool Change, double (&X)[4]) {
    double A[4][4] = {}, B[4] = {};
    int lo = std::max(0, r - kRefHalf), hi = std::min(kRows - 1, r + kRefHalf);
    if (Change) {
        // The band's rhythm bends where the change starts and ends: fit each
        // stretch on its own.
        const int end = kChangeFrom + kChangeRows;
        if (r < kChangeFrom)
            hi = std::min(hi, kChangeFrom - 1);
        else if (r < end)
            lo = std::max(lo, kChangeFrom), hi = std::min(hi, end - 1);
        else
            lo = std::max(lo, end);
    }
    for (int q = lo; q <= hi; ++q)
        for (int p = 0; p < kStage; ++p) {
            const double x = (q - r) * kStage + p;
            const double g = q / 2 - r / 2;  // handstroke gaps crossed; row 0 is a handstroke
            const double phi[4] = {1, x, x * x, g};
            for (int i = 0; i < 4; ++i) {
                for (int j = 0; j < 4; ++j) A[i][j] += phi[i] * phi[j];
                B[i] += phi[i] * T[q * kStage + p];
            }
        }
    Solve4(A, B, X);
}

Outcome Simulate(TRhythmFollower& F, const Config& C, Kind K, double Gap, double NoiseMs,
                 std::mt19937_64& Rng) {
    const double i0 = TBandSettings{}.PealIntervalMs();
    const double i1 = K == Kind::SpeedUp ? i0 / 1.1 : K == Kind::SlowDown ? i0 * 1.1 : i0;
    std::vector<double> interval(kRows), start(kRows);
    for (int r = 0; r < kRows; ++r) {
        const double k = std::clamp((r - kChangeFrom + 1) / double(kChangeRows), 0.0, 1.0);
        interval[r] = i0 + (i1 - i0) * k;
    }
    start[0] = 1000;
    for (int r = 1; r < kRows; ++r)
        start[r] = start[r - 1] + kStage * interval[r - 1] + (Hand(r) ? Gap * interval[r] : 0);

    const int blows = kRows * kStage;
    std::vector<double> ideal(blows), t(blows);
    std::vector<bool> human(blows);
    for (int j = 0; j < blows; ++j) {
        const int r = j / kStage, p = j % kStage;
        ideal[j] = start[r] + p * interval[r];
        const int bell = C.Rows[r % C.Rows.size()][p];
        human[j] = std::find(C.Humans.begin(), C.Humans.end(), bell) != C.Humans.end();
    }
    std::normal_distribution<double> noise(0, NoiseMs);
    F.Begin(ideal[0]);
    // Humans not yet heard, in the order struck.
    std::vector<int> pending;
    pending.reserve(blows);
    const auto feed = [&](int j) { F.Heard({0, j / kStage, j % kStage, Hand(j / kStage), t[j], true}); };
    double now = ideal[0] - interval[0];
    bool lateDone = false;
    for (int j = 0; j < blows; ++j) {
        const int r = j / kStage, p = j % kStage;
        if (human[j]) {
            const double carried = j > 0 ? 0.3 * (t[j - 1] - ideal[j - 1]) : 0;
            t[j] = ideal[j] + carried + noise(Rng);
            if (K == Kind::Late && r == kLateRow && !lateDone) {
                t[j] += kLateMs;
                lateDone = true;
            }
            pending.push_back(j);
            std::sort(pending.begin(), pending.end(), [&](int a, int b) { return t[a] > t[b]; });
            continue;
        }
        for (int guard = 0;; ++guard) {
            const double cand = std::max(F.When(r, p, now), now);
            const double next = pending.empty() ? std::numeric_limits<double>::infinity() : t[pending.back()];
            if (next < cand) {
                now = std::max(now, next);
                feed(pending.back());
                pending.pop_back();
            } else if (cand > now && guard < 1000) {
                now = cand;
            } else {
                break;
            }
        }
        t[j] = now;
        F.Heard({0, r, p, Hand(r), t[j], false});
    }
    while (!pending.empty()) {
        feed(pending.back());
        pending.pop_back();
    }

    Outcome o;
    std::vector<double> rowRms(kRows, 0);
    for (int r = 2; r < kRows; ++r) {
        double X[4];
        Reference(t, r, K == Kind::SpeedUp || K == Kind::SlowDown, X);
        double sum = 0;
        int count = 0;
        for (int p = 0; p < kStage; ++p) {
            const int j = r * kStage + p;
            const double e = t[j] - (X[0] + X[1] * p + X[2] * p * p);
            (human[j] ? o.HumanErrors : o.Errors).push_back(e);
            if (!human[j]) {
                sum += e * e;
                ++count;
            }
        }
        rowRms[r] = count ? std::sqrt(sum / count) : 0;
    }
    if (K == Kind::SpeedUp || K == Kind::SlowDown) {
        const int end = kChangeFrom + kChangeRows;
        o.Recovery = -1;
        for (int r = end; r + 2 < kRows; ++r)
            if (std::sqrt(
                    (rowRms[r] * rowRms[r] + rowRms[r + 1] * rowRms[r + 1] + rowRms[r + 2] * rowRms[r + 2]) /
                    3) < 10) {
                o.Recovery = r - end;
                break;
            }
    }
    const double speed = 0.5 * (F.HandIntervalMs() + F.BackIntervalMs());
    o.SpeedErrorPct = 100 * (speed - interval.back()) / interval.back();
    o.GapBlows = F.GapBlows();
    return o;
}

double Rms(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x * x;
    return v.empty() ? 0 : std::sqrt(s / v.size());
}

double MaxAbs(const std::vector<double>& v) {
    double m = 0;
    for (double x : v) m = std::max(m, std::fabs(x));
    return m;
}

struct Figures {
    double Rms = 0, Max = 0, HumanRms = 0, SpeedPct = 0, GapBlows = 0;
    std::vector<int> Recovery;  // per touch; -1: not within the touch
};

Figures Measure(bool Ours, const Config& C, Kind K, double Gap, double Noise, int Touches,
                unsigned long long Seed) {
    std::vector<double> all, humans;
    Figures f;
    TBandSettings settings;
    settings.GapBlows = 1;  // both start from the usual gap; ours fits the band's
    for (int i = 0; i < Touches; ++i) {
        std::mt19937_64 rng(Seed * 1000003ULL + i);
        std::unique_ptr<TRhythmFollower> follower;
        if (Ours)
            follower = std::make_unique<TBandFollower>(settings);
        else
            follower = std::make_unique<TBaselineFollower>(settings);
        const Outcome o = Simulate(*follower, C, K, Gap, Noise, rng);
        all.insert(all.end(), o.Errors.begin(), o.Errors.end());
        humans.insert(humans.end(), o.HumanErrors.begin(), o.HumanErrors.end());
        f.Recovery.push_back(o.Recovery < 0 ? 1000 : o.Recovery);
        f.SpeedPct = std::max(f.SpeedPct, std::fabs(o.SpeedErrorPct));
        f.GapBlows += o.GapBlows / Touches;
    }
    f.Rms = Rms(all);
    f.Max = MaxAbs(all);
    f.HumanRms = Rms(humans);
    return f;
}

std::string Recovery(const Figures& f, Kind K) {
    if (K != Kind::SpeedUp && K != Kind::SlowDown) return "-";
    std::vector<int> r = f.Recovery;
    std::sort(r.begin(), r.end());
    const auto text = [](int n) { return n >= 1000 ? std::string("never") : std::to_string(n); };
    return text(r[r.size() / 2]) + "/" + text(r.back());
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long seed = 16;
    int touches = 10;
    double noise = 17, gap = 1;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seed") && i + 1 < argc)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--touches") && i + 1 < argc)
            touches = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--noise") && i + 1 < argc)
            noise = std::max(0.0, std::atof(argv[++i]));
        else if (!std::strcmp(argv[i], "--gap") && i + 1 < argc)
            gap = std::clamp(std::atof(argv[++i]), 0.0, 3.0);
        else {
            std::fprintf(stderr, "usage: %s [--seed N] [--touches N] [--noise MS] [--gap BLOWS]\n", argv[0]);
            return 2;
        }
    }
    const std::vector<Config> configs = {
        {"rounds", Rounds(), {1, 2}},
        {"rounds", Rounds(), {3, 5}},
        {"plain hunt", PlainHunt(), {1, 2}},
        {"plain hunt", PlainHunt(), {2, 4, 6}},
    };
    const std::pair<Kind, const char*> runs[] = {{Kind::Steady, "steady"},
                                                 {Kind::SpeedUp, "speed-up 10%"},
                                                 {Kind::SlowDown, "slow-down 10%"},
                                                 {Kind::Late, "one late 150 ms"}};

    std::printf(
        "six bells, %d rows a touch, %d touches a line, seed %llu, humans' noise %.0f ms, band's gap %.2f "
        "blows\n",
        kRows, touches, seed, noise, gap);
    std::printf(
        "computer bells' error against the band's rhythm fitted afterwards; recovery: rows after the change\n"
        "until the next three rows are under 10 ms RMS (median/worst touch); speed: |follower - band| at the "
        "end (worst)\n\n");
    std::printf("%-11s %-7s %-16s %6s | %28s | %28s\n", "order", "humans", "run", "humans", "baseline",
                "ours");
    std::printf("%-11s %-7s %-16s %6s | %7s %7s %6s %6s | %7s %7s %6s %6s\n", "", "", "", "RMS", "RMS", "max",
                "rows", "speed", "RMS", "max", "rows", "speed");
    for (const Config& c : configs)
        for (const auto& [kind, name] : runs) {
            const Figures base = Measure(false, c, kind, gap, noise, touches, seed);
            const Figures ours = Measure(true, c, kind, gap, noise, touches, seed);
            std::string who;
            for (int h : c.Humans) who += (who.empty() ? "" : ",") + std::to_string(h);
            std::printf("%-11s %-7s %-16s %6.1f | %7.1f %7.1f %6s %5.1f%% | %7.1f %7.1f %6s %5.1f%%\n",
                        c.Order, who.c_str(), name, ours.HumanRms, base.Rms, base.Max,
                        Recovery(base, kind).c_str(), base.SpeedPct, ours.Rms, ours.Max,
                        Recovery(ours, kind).c_str(), ours.SpeedPct);
        }

    // The band's own gap, as ours fitted it by the end of the steady touches.
    const Figures steady = Measure(true, configs[2], Kind::Steady, gap, noise, touches, seed);
    std::printf(
        "\nours' handstroke gap at the end of a steady touch (plain hunt, humans 1,2): %.2f blows (the "
        "band's %.2f)\n",
        steady.GapBlows, gap);

    // Every bell on the computer: the set speed, exactly.
    for (const bool ours : {false, true}) {
        TBandSettings settings;
        std::unique_ptr<TRhythmFollower> f;
        if (ours)
            f = std::make_unique<TBandFollower>(settings);
        else
            f = std::make_unique<TBaselineFollower>(settings);
        const double blow = settings.PealIntervalMs();
        f->Begin(0);
        double worst = 0, now = 0;
        for (int r = 0; r < kRows; ++r)
            for (int p = 0; p < kStage; ++p) {
                now = std::max(now, f->When(r, p, now));
                f->Heard({p + 1, r, p, Hand(r), now, false});
                worst = std::max(worst, std::fabs(now - blow * (r * kStage + p + r / 2)));
            }
        std::printf("%-8s all six on the computer: %d rows at %.1f ms a blow, largest error %.6f ms\n",
                    f->Name(), kRows, blow, worst);
    }

    // What a blow costs: hearing it and answering for the next, as a
    // real-time thread would (two humans, four computer bells, rounds).
    for (const bool ours : {false, true}) {
        std::mt19937_64 rng(seed);
        std::unique_ptr<TRhythmFollower> f;
        if (ours)
            f = std::make_unique<TBandFollower>();
        else
            f = std::make_unique<TBaselineFollower>();
        std::normal_distribution<double> scatter(0, noise);
        const double blow = TBandSettings{}.PealIntervalMs();
        constexpr int kTimedRows = 2000;
        double spent = 0;
        f->Begin(0);
        for (int r = 0; r < kTimedRows; ++r)
            for (int p = 0; p < kStage; ++p) {
                const double ideal = blow * (r * kStage + p + r / 2);
                const double t = p < 2 ? ideal + scatter(rng) : ideal;
                const auto start = std::chrono::steady_clock::now();
                f->Heard({p + 1, r, p, Hand(r), t, p < 2});
                volatile double when = f->When(r + (p + 1) / kStage, (p + 1) % kStage, t);
                (void)when;
                spent += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                             .count();
            }
        std::printf("%-8s one blow heard and the next answered: %.2f us on average\n", f->Name(),
                    spent / (kTimedRows * kStage));
    }
    return 0;
}
