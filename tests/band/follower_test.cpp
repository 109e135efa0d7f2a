// The computer's bells keeping time with humans: rung in a closed loop, as
// at a tower, where each blow the computer strikes is heard back and the
// humans' blows arrive when they arrive.

#include "band/BandFollower.h"
#include "band/BaselineFollower.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr double kNever = std::numeric_limits<double>::quiet_NaN();

bool Hand(std::int64_t Row) {
    return Row % 2 == 0;
}

// Rings Rows rows of rounds. Human(j, times) gives the time of human blow j
// (NaN: it never sounds); the rest are the follower's, each struck when it
// answers at or before the moment it is asked. Every blow is reported back
// when it sounds. Returns the time of every blow.
std::vector<double> Ring(TRhythmFollower& F, int Stage, int Rows, const std::vector<int>& HumanPlaces,
                         double Start, const std::function<double(int, const std::vector<double>&)>& Human,
                         std::vector<double>* Speeds = nullptr) {
    const int blows = Rows * Stage;
    std::vector<double> t(blows, kNever);
    std::vector<int> pending;  // humans not yet heard, latest first
    const auto heard = [&](int j, bool human) {
        F.Heard({j % Stage + 1, j / Stage, j % Stage, Hand(j / Stage), t[j], human});
    };
    F.Begin(Start);
    double now = Start - 1000;
    for (int j = 0; j < blows; ++j) {
        const int r = j / Stage, p = j % Stage;
        if (std::find(HumanPlaces.begin(), HumanPlaces.end(), p) != HumanPlaces.end()) {
            t[j] = Human(j, t);
            if (!std::isnan(t[j])) {
                pending.push_back(j);
                std::sort(pending.begin(), pending.end(), [&](int a, int b) { return t[a] > t[b]; });
            }
            continue;
        }
        for (int guard = 0; guard < 1000; ++guard) {
            const double cand = std::max(F.When(r, p, now), now);
            const double next = pending.empty() ? std::numeric_limits<double>::infinity() : t[pending.back()];
            if (next < cand) {
                now = std::max(now, next);
                heard(pending.back(), true);
                pending.pop_back();
            } else if (cand > now) {
                now = cand;
            } else {
                break;
            }
        }
        t[j] = now;
        heard(j, false);
        if (Speeds && p == Stage - 1) Speeds->push_back(0.5 * (F.HandIntervalMs() + F.BackIntervalMs()));
    }
    return t;
}

// Rounds at a steady interval with the open handstroke gap.
double Steady(double Start, double Interval, int Stage, int j, double Gap = 1) {
    const int r = j / Stage;
    return Start + Interval * (j + Gap * (r / 2));
}

std::unique_ptr<TRhythmFollower> Make(bool Ours, const TBandSettings& S) {
    if (Ours) return std::make_unique<TBandFollower>(S);
    return std::make_unique<TBaselineFollower>(S);
}

}  // namespace

TEST(BandFollower, EveryBellOnTheComputerRingsSteadilyAtTheSetSpeedWithTheGap) {
    struct Case {
        int Stage;
        double Gap, BlowMs;  // the peal speed's blow, 2 h 58 min for 5040 changes
    };
    for (const Case c : {Case{6, 1, 326.0}, Case{8, 1, 249.3}, Case{12, 1, 169.5}, Case{6, 0.5, 339.0}})
        for (const bool ours : {true, false}) {
            SCOPED_TRACE(testing::Message()
                         << "stage " << c.Stage << " gap " << c.Gap << (ours ? " ours" : " baseline"));
            TBandSettings s;
            s.Stage = c.Stage;
            s.GapBlows = c.Gap;
            const auto f = Make(ours, s);
            const double blow = s.PealIntervalMs();
            EXPECT_NEAR(blow, c.BlowMs, 0.05);
            const std::vector<double> t = Ring(*f, c.Stage, 60, {}, 5000, nullptr);
            for (int j = 0; j < static_cast<int>(t.size()); ++j)
                ASSERT_NEAR(t[j], Steady(5000, blow, c.Stage, j, c.Gap), 1e-6) << "blow " << j;
            // from the last backstroke blow to the next handstroke: one blow and the gap
            EXPECT_NEAR(t[2 * c.Stage] - t[2 * c.Stage - 1], (1 + c.Gap) * blow, 1e-6);
            EXPECT_NEAR(f->GapBlows(), c.Gap, 1e-9);
        }
}

TEST(BandFollower, FollowsTheHumansSpeedingUpOrSlowingDownWithinThreeRows) {
    // Humans on the two leading bells change speed by 10 % over six rows
    // and keep the new speed; the computer rings the other four.
    constexpr int kStage = 6, kFrom = 20, kEnd = kFrom + 6, kRows = 50;
    for (const double change : {1 / 1.1, 1.1}) {
        SCOPED_TRACE(change < 1 ? "speed-up" : "slow-down");
        TBandSettings s;
        const double i0 = s.PealIntervalMs(), i1 = i0 * change;
        std::vector<double> start(kRows), interval(kRows);
        for (int r = 0; r < kRows; ++r) {
            interval[r] = i0 + (i1 - i0) * std::clamp((r - kFrom + 1) / 6.0, 0.0, 1.0);
            start[r] = r == 0 ? 1000 : start[r - 1] + kStage * interval[r - 1] + (Hand(r) ? interval[r] : 0);
        }
        const auto ideal = [&](int j) { return start[j / kStage] + (j % kStage) * interval[j / kStage]; };
        const auto off = [&](const std::vector<double>& t, int FromRow) {
            double worst = 0;
            for (int j = FromRow * kStage; j < kRows * kStage; ++j)
                worst = std::max(worst, std::fabs(t[j] - ideal(j)));
            return worst;
        };
        TBandFollower ours(s);
        std::vector<double> speeds;
        const std::vector<double> t = Ring(
            ours, kStage, kRows, {0, 1}, 1000, [&](int j, const std::vector<double>&) { return ideal(j); },
            &speeds);
        EXPECT_LT(off(t, kEnd + 3), 12);
        EXPECT_LT(off(t, kEnd + 8), 3);
        EXPECT_NEAR(speeds[kEnd + 3], i1, 0.005 * i1);

        // The baseline never strikes sooner than an interval after the blow
        // before, so it cannot catch up with a band that speeds up.
        if (change < 1) {
            TBaselineFollower baseline(s);
            const std::vector<double> b = Ring(baseline, kStage, kRows, {0, 1}, 1000,
                                               [&](int j, const std::vector<double>&) { return ideal(j); });
            EXPECT_GT(off(b, kEnd + 3), 30);
        }
    }
}

TEST(BandFollower, WaitsForALateHumanAtMostHalfABlowAndCarriesOn) {
    // Humans on bells 1 and 3 keep a steady rhythm; once, the one on 3 is
    // late. The computer's 4 comes after it.
    constexpr int kStage = 6, kRows = 24, kLateRow = 10;
    TBandSettings s;
    const double blow = s.PealIntervalMs();
    // Half a blow as the follower has it then (a late blow leans its line
    // a little), so half a millisecond to spare.
    struct Case {
        double LateMs;  // NaN: the blow never sounds
        double MinWait, MaxWait;
    };
    for (const Case c :
         {Case{15, 0, 5}, Case{100, 20, 0.5 * blow}, Case{150, 40, 0.5 * blow},
          Case{400, 0.5 * blow - 1, 0.5 * blow + 0.5}, Case{kNever, 0.5 * blow - 1, 0.5 * blow + 0.5}}) {
        SCOPED_TRACE(testing::Message() << "late " << c.LateMs);
        TBandFollower f(s);
        const std::vector<double> t =
            Ring(f, kStage, kRows, {0, 2}, 1000, [&](int j, const std::vector<double>&) {
                return j == kLateRow * kStage + 2 ? Steady(1000, blow, kStage, j) + c.LateMs
                                                  : Steady(1000, blow, kStage, j);
            });
        const int next = kLateRow * kStage + 3;
        // 15 ms is scatter, not lateness: only the line's own small move.
        const double wait = t[next] - Steady(1000, blow, kStage, next);
        EXPECT_GE(wait, c.MinWait);
        EXPECT_LE(wait, c.MaxWait);
        // The computer's next blow is back near the rhythm, and soon on it.
        for (int j = next + 1; j < kRows * kStage; ++j) {
            if (j % kStage == 0 || j % kStage == 2) continue;
            ASSERT_NEAR(t[j], Steady(1000, blow, kStage, j), j < (kLateRow + 6) * kStage ? 10 : 3)
                << "blow " << j;
        }
    }
}

TEST(BandFollower, TwoHumansDoNotDragTheComputersFourBells) {
    // Two humans with ordinary scatter, who also follow the bell before them
    // a little, beside four of the computer's bells for 100 rows.
    constexpr int kStage = 6, kRows = 100;
    TBandSettings s;
    const double blow = s.PealIntervalMs();
    const auto ring = [&](TRhythmFollower& f, std::vector<double>& speeds) {
        std::mt19937_64 rng(7);
        std::normal_distribution<double> noise(0, 20);
        const std::vector<double> t = Ring(
            f, kStage, kRows, {0, 1}, 1000,
            [&](int j, const std::vector<double>& t) {
                const double carried = j > 0 ? 0.3 * (t[j - 1] - Steady(1000, blow, kStage, j - 1)) : 0;
                return Steady(1000, blow, kStage, j) + carried + noise(rng);
            },
            &speeds);
        double sum = 0;
        int count = 0;
        for (int j = 10 * kStage; j < kRows * kStage; ++j)
            if (j % kStage > 1) {
                const double e = t[j] - Steady(1000, blow, kStage, j);
                sum += e * e;
                ++count;
            }
        return std::sqrt(sum / count);
    };
    TBandFollower ours(s);
    TBaselineFollower baseline(s);
    std::vector<double> speeds, baselineSpeeds;
    const double scatter = ring(ours, speeds), baselineScatter = ring(baseline, baselineSpeeds);
    for (const double v : speeds) ASSERT_NEAR(v, blow, 0.01 * blow);
    // The baseline's line goes through the two humans alone.
    EXPECT_LT(scatter, 0.75 * baselineScatter);
}

TEST(BandFollower, TakesTheSpeedFromTheHumansPullOffWhenAsked) {
    // Humans on 1 and 2 pull off 8 % faster than the set peal speed.
    constexpr int kStage = 6, kRows = 12;
    TBandSettings s;
    const double blow = s.PealIntervalMs() / 1.08;
    for (const bool fromPullOff : {true, false}) {
        SCOPED_TRACE(fromPullOff ? "from the pull-off" : "from the peal speed");
        s.FromPullOff = fromPullOff;
        TBandFollower f(s);
        std::vector<double> speeds;
        Ring(
            f, kStage, kRows, {0, 1}, 1000,
            [&](int j, const std::vector<double>&) { return Steady(1000, blow, kStage, j); }, &speeds);
        if (fromPullOff)
            EXPECT_NEAR(speeds[3], blow, 0.01 * blow);
        else  // held to the set speed, it moves by at most its step a row
            EXPECT_GT(speeds[1], 1.03 * blow);
        EXPECT_NEAR(speeds.back(), blow, 0.01 * blow);
    }
}

TEST(BandFollower, NonsenseBlowsAreDropped) {
    for (const bool ours : {true, false}) {
        SCOPED_TRACE(ours ? "ours" : "baseline");
        TBandSettings s;
        const auto f = Make(ours, s);
        f->Begin(1000);
        const double due = f->When(3, 2, 0);
        f->Heard({1, 3, 6, true, 2000, true});   // no such place on six
        f->Heard({1, -1, 0, true, 2000, true});  // before the first row
        f->Heard({1, 3, 1, true, std::numeric_limits<double>::quiet_NaN(), true});
        f->Heard({1, 3, 1, true, std::numeric_limits<double>::infinity(), true});
        if (ours) f->Heard({1, 400000, 0, true, 2000, true});  // a miscounted row
        EXPECT_DOUBLE_EQ(f->When(3, 2, 0), due);
        EXPECT_TRUE(std::isnan(f->When(3, 6, 0)));
        EXPECT_TRUE(std::isnan(f->When(-2, 0, 0)));
    }
}

TEST(BandFollower, LearnsTheBandsOwnHandstrokeGap) {
    // Humans on 1 and 2 leave a gap of 0.6 blows, not the 1 it starts from.
    // Two humans at the front show the gap once a row pair: it is learnt
    // over some tens of rows, not at once.
    constexpr int kStage = 6, kRows = 60;
    TBandSettings s;
    const double blow = s.PealIntervalMs();
    TBandFollower f(s);
    const std::vector<double> t =
        Ring(f, kStage, kRows, {0, 1}, 1000,
             [&](int j, const std::vector<double>&) { return Steady(1000, blow, kStage, j, 0.6); });
    EXPECT_NEAR(f.GapBlows(), 0.6, 0.03);
    for (int j = (kRows - 10) * kStage; j < kRows * kStage; ++j)
        ASSERT_NEAR(t[j], Steady(1000, blow, kStage, j, 0.6), 3) << "blow " << j;
}
