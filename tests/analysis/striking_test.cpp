// The rhythm fitted to a touch and the figures taken from it: touches made
// with known faults, each figure held to what was put in (means within
// 1 ms, standard deviations within 10 %), the steady bells included.

#include "analysis/Striking.h"
#include "tests/analysis/SyntheticTouch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

#ifndef SEEDS
#define SEEDS 4
#endif

// Every bell and stroke against what was put in.
void ExpectRecovered(const TTouch& Touch, const TStrikingAnalysis& A, const std::string& Name) {
    for (int bell = 1; bell <= 16; ++bell) {
        for (int s = 0; s < 2; ++s) {
            const TInjected& in = Touch.Injected[bell][s];
            if (!in.N) continue;
            const TStrikingFigure& f = s == 0 ? A.Bell[bell].Hand : A.Bell[bell].Back;
            const char* stroke = s == 0 ? "hand" : "back";
            EXPECT_EQ(f.Blows, in.N) << Name << ": bell " << bell << " " << stroke;
            EXPECT_NEAR(f.Mean, in.Mean(), 1.0) << Name << ": bell " << bell << " " << stroke;
            EXPECT_NEAR(f.Sd, in.Sd(), 0.1 * in.Sd()) << Name << ": bell " << bell << " " << stroke;
        }
    }
}

TStrikingAnalysis Analyse(const TTouch& Touch, const TStrikingOptions& Options = {}) {
    TStrikingAnalysis a;
    QString error;
    EXPECT_TRUE(AnalyseStriking(Touch.Blows, Options, a, &error)) << error.toStdString();
    return a;
}

struct FaultRow {
    const char* Name;
    TTouchSpec Spec;
};

std::vector<FaultRow> Faults() {
    std::vector<FaultRow> rows;
    {
        TTouchSpec s;
        s.BackLateMs[5] = 25;
        rows.push_back({"a bell 25 ms late at backstroke only, plain hunt", s});
    }
    {
        TTouchSpec s;
        s.PlainHunt = false;
        s.BackLateMs[8] = 25;
        rows.push_back({"the tenor 25 ms late at backstroke only, rounds", s});
    }
    {
        TTouchSpec s;
        s.SdMs[3] = 30;
        rows.push_back({"a bell with 30 ms random error", s});
    }
    {
        TTouchSpec s;
        s.PlainHunt = false;
        s.SdMs[2] = 30;
        rows.push_back({"a bell with 30 ms random error, rounds", s});
    }
    {
        TTouchSpec s;
        // Steady, then 10 % faster over 20 rows, then steady again.
        s.IntervalMs = [](int r) { return r < 40 ? 220.0 : r < 60 ? 220.0 - 22.0 * (r - 40) / 20 : 198.0; };
        rows.push_back({"a band speeding up by 10 % over 20 rows", s});
    }
    {
        TTouchSpec s;
        s.IntervalMs = [](int r) { return r < 40 ? 200.0 : r < 60 ? 200.0 + 20.0 * (r - 40) / 20 : 220.0; };
        s.BackLateMs[4] = 25;
        s.PlainHunt = false;
        rows.push_back({"slowing by 10 % in rounds, a bell late at backstroke", s});
    }
    for (double gap : {0.5, 1.5}) {
        TTouchSpec s;
        s.GapBlows = gap;
        s.HandLateMs[1] = -20;  // the treble clipping its handstroke leads
        rows.push_back(
            {gap < 1 ? "a handstroke gap of half a blow" : "a handstroke gap of one and a half blows", s});
    }
    {
        TTouchSpec s;
        s.Stage = 6;
        s.WildBell = 2;
        s.WildEvery = 40;
        s.WildMs = 90;
        rows.push_back({"minor with a few wild blows", s});
    }
    {
        TTouchSpec s;
        s.BackQuickerMs = 8;
        s.BackLateMs[2] = 25;
        rows.push_back({"backstrokes quicker than handstrokes, a bell late at backstroke", s});
    }
    {
        TTouchSpec s;
        s.Stage = 12;
        s.Rows = 96;
        s.BackLateMs[12] = 25;
        s.HandLateMs[7] = -15;
        rows.push_back({"maximus, two faults", s});
    }
    return rows;
}

TEST(Striking, RecoversWhatWasPutInAndBlamesNoSteadyBell) {
    for (unsigned seed = 1; seed <= SEEDS; ++seed) {
        for (FaultRow row : Faults()) {
            row.Spec.Seed = seed;
            const TTouch touch = MakeTouch(row.Spec);
            const TStrikingAnalysis a = Analyse(touch);
            const std::string name = std::string(row.Name) + ", seed " + std::to_string(seed);
            EXPECT_EQ(a.Stage, row.Spec.Stage) << name;
            EXPECT_EQ(a.RowsCounted, row.Spec.Rows) << name;
            ExpectRecovered(touch, a, name);
        }
    }
}

TEST(Striking, TheGapAndTheSpeedAreThoseRung) {
    for (double gap : {0.5, 1.0, 1.5}) {
        TTouchSpec s;
        s.GapBlows = gap;
        const TStrikingAnalysis a = Analyse(MakeTouch(s));
        EXPECT_NEAR(a.MeanGapBlows, gap, 0.03) << gap;
        EXPECT_NEAR(a.MeanIntervalMs, 210, 0.5) << gap;
        for (const TStrikingRow& r : a.Rows) {
            if (r.Handstroke && &r != &a.Rows.front()) {
                EXPECT_NEAR(r.GapBlows, gap, 0.1);
            }
            EXPECT_NEAR(r.IntervalMs, 210, 1.0);
        }
        EXPECT_LT(a.SpeedChangePer10RowsMs, 60) << gap;
    }
    TTouchSpec s;
    s.IntervalMs = [](int r) { return r < 40 ? 220.0 : r < 60 ? 220.0 - 22.0 * (r - 40) / 20 : 198.0; };
    const TStrikingAnalysis a = Analyse(MakeTouch(s));
    EXPECT_NEAR(a.Rows[20].IntervalMs, 220, 1.0);
    EXPECT_NEAR(a.Rows[50].IntervalMs, 209, 1.5);
    EXPECT_NEAR(a.Rows[100].IntervalMs, 198, 1.0);
    // Ten rows of eight with five gaps speed up by 11 ms a blow over 45 blows and more.
    EXPECT_GT(a.SpeedChangePer10RowsMs, 400);
}

// With one interval for both strokes, a band whose backstrokes are quicker
// would have its bells blamed by place; each stroke's own keeps them clear.
TEST(Striking, EachStrokeKeepsItsOwnInterval) {
    TTouchSpec s;
    s.BackQuickerMs = 8;
    const TTouch touch = MakeTouch(s);
    const TStrikingAnalysis own = Analyse(touch);
    EXPECT_NEAR(own.Rows[40].IntervalMs, 210, 0.5);
    EXPECT_NEAR(own.Rows[41].IntervalMs, 202, 0.5);
    EXPECT_LT(own.Band.Both.Rms, 6.5);
    TStrikingOptions one;
    one.StrokeIntervals = false;
    const TStrikingAnalysis shared = Analyse(touch, one);
    EXPECT_GT(shared.Band.Both.Rms, 10);
}

// A model with no handstroke gap would find every handstroke lead a blow
// late; the gap fitted keeps the leads where they were rung.
TEST(Striking, HandstrokeLeadsAreNotLateForTheGap) {
    TTouchSpec s;
    s.GapBlows = 1.0;
    const TTouch touch = MakeTouch(s);
    const TStrikingAnalysis a = Analyse(touch);
    TStrikingSums leads;
    for (const TStrikingBlow& b : a.Blows)
        if (b.Counted && b.Handstroke && b.Place == 1) leads.Add(b.ErrorMs);
    EXPECT_GT(leads.Figure().Blows, 50);
    EXPECT_LT(std::abs(leads.Figure().Mean), 2.0);
}

TEST(Striking, TheBandsFigureLeavesOutComputerBellsAndLeftOutRows) {
    TTouchSpec s;
    s.PlainHunt = false;
    s.BandSdMs = 8;
    s.SdMs[1] = 0.01;  // the computer rings the treble exactly
    s.SdMs[2] = 0.01;
    const TTouch touch = MakeTouch(s);
    TStrikingOptions options;
    options.ComputerBells = {1, 2};
    options.LeaveOutRows = {10, 11, 12};
    const TStrikingAnalysis a = Analyse(touch, options);
    EXPECT_EQ(a.RowsCounted, s.Rows - 3);
    TInjected band;
    for (int r = 0; r < s.Rows; ++r) {
        if (options.LeaveOutRows.count(r)) continue;
        for (int p = 0; p < s.Stage; ++p) {
            const int bell = touch.Rows[r][p];
            if (bell > 2) band.Add(0);  // counted only
        }
    }
    EXPECT_EQ(a.Band.Both.Blows, band.N);
    EXPECT_EQ(a.Bell[1].Both.Blows, s.Rows - 3);
    EXPECT_LT(a.Bell[1].Both.Rms, 2.0);
    EXPECT_NEAR(a.Band.Both.Rms, 8.0, 1.0);
    for (const TStrikingBlow& b : a.Blows) EXPECT_EQ(b.Counted, !options.LeaveOutRows.count(b.Row)) << b.Row;
}

TEST(Striking, RowsNotTheMethodsAreLeftOut) {
    TTouchSpec s;
    s.Rows = 40;
    TTouch touch = MakeTouch(s);
    // Two bells swap in row 21: a fault in the method, not in the striking.
    std::vector<std::vector<int>> expected = touch.Rows;
    std::swap(expected[21][3], expected[21][4]);
    TStrikingOptions byList;
    byList.ExpectedRows = expected;
    const TStrikingAnalysis a = Analyse(touch, byList);
    EXPECT_EQ(a.RowsCounted, 39);
    EXPECT_FALSE(a.Rows[21].Counted);

    TStrikingOptions byCall;
    std::vector<int> asked;
    byCall.IsMethodRow = [&](int Row, const std::vector<int>& Bells) {
        asked.push_back(Row);
        return Bells == expected[Row];
    };
    const TStrikingAnalysis b = Analyse(touch, byCall);
    EXPECT_EQ(b.RowsCounted, 39);
    EXPECT_FALSE(b.Rows[21].Counted);
    EXPECT_EQ(asked.size(), 40u);
    // The rows after it keep their ideal: the rhythm runs through.
    for (const TStrikingBlow& blow : b.Blows)
        if (blow.Row > 21) {
            EXPECT_LT(std::abs(blow.ErrorMs), 30) << blow.Row;
        }
}

TEST(Striking, ViewsByPlaceAndByBellFollowed) {
    TTouchSpec s;
    s.Rows = 64;
    s.BackLateMs[5] = 25;
    const TTouch touch = MakeTouch(s);
    const TStrikingAnalysis a = Analyse(touch);
    // Plain hunt on 8: every bell in every place; 8 rows of 64 each.
    int places = 0;
    for (int place = 1; place <= 8; ++place) {
        const TStrokeFigures& cell = a.ByPlace[5][place];
        places += cell.Both.Blows;
        EXPECT_EQ(cell.Both.Blows, 8) << place;
        EXPECT_NEAR(cell.Back.Mean, 25, 8) << place;
        EXPECT_NEAR(cell.Hand.Mean, 0, 8) << place;
    }
    EXPECT_EQ(places, 64);
    // By the bell followed: what came just before, across rows too.
    int followed = 0;
    for (int other = 1; other <= 8; ++other) followed += a.ByFollowed[5][other].Both.Blows;
    EXPECT_EQ(followed, 64);
    for (const TStrikingBlow& b : a.Blows) {
        if (b.Place > 1) {
            EXPECT_EQ(b.Followed, touch.Rows[b.Row][b.Place - 2]);
        } else if (b.Row > 0) {
            EXPECT_EQ(b.Followed, touch.Rows[b.Row - 1][7]);
        }
    }
    // Fewer than five blows are flagged.
    EXPECT_TRUE(a.ByFollowed[5][5].Both.Few(a.FewBlows));
    EXPECT_FALSE(a.ByPlace[5][1].Both.Few(a.FewBlows));
}

TEST(Striking, AMissedBlowLeavesOnlyItsRowOut) {
    TTouchSpec s;
    s.Rows = 40;
    TTouch touch = MakeTouch(s);
    touch.Blows.erase(touch.Blows.begin() + 8 * 17 + 3);
    const TStrikingAnalysis a = Analyse(touch);
    EXPECT_EQ(a.Rows.size(), 40u);
    EXPECT_EQ(a.RowsCounted, 39);
    EXPECT_FALSE(a.Rows[17].Counted);
    EXPECT_TRUE(a.Rows[18].Counted);
    EXPECT_LT(a.Band.Both.Rms, 8.0);
}

// A band that stands for a few seconds and starts again: the rhythm starts
// afresh, and nobody is blamed for the pause.
TEST(Striking, APauseStartsTheRhythmAfresh) {
    TTouchSpec s;
    s.BackLateMs[6] = 25;
    TTouch touch = MakeTouch(s);
    for (std::size_t i = 80 * 8; i < touch.Blows.size(); ++i) touch.Blows[i].Ms += 4000;
    const TStrikingAnalysis a = Analyse(touch);
    EXPECT_EQ(a.RowsCounted, s.Rows);
    ExpectRecovered(touch, a, "a pause after row 80");
    EXPECT_EQ(a.Rows[80].GapBlows, 0);
    EXPECT_LT(a.SpeedChangePer10RowsMs, 60);
}

// Rows nothing else holds (incomplete, alone between pauses) leave the
// others measured.
TEST(Striking, RowsAloneBetweenPausesLeaveTheRestMeasured) {
    const std::vector<TLowndesBlow> blows = {
        {true, 1, 0, 1},      {true, 2, 200, 2},     {true, 3, 400, 3},    {false, 1, 600, 4},
        {false, 2, 800, 5},   {false, 3, 1000, 6},   {true, 1, 9000, 7},   {true, 2, 9200, 8},
        {false, 1, 19000, 9}, {false, 3, 19210, 10}, {true, 1, 29000, 11}, {true, 2, 29200, 12},
        {true, 3, 29400, 13},
    };
    TStrikingAnalysis a;
    QString error;
    ASSERT_TRUE(AnalyseStriking(blows, {}, a, &error)) << error.toStdString();
    EXPECT_EQ(a.Rows.size(), 5u);
    EXPECT_EQ(a.RowsCounted, 3);
    EXPECT_LT(a.Band.Both.Rms, 0.5);
}

TEST(Striking, NothingToMeasureIsSaid) {
    TStrikingAnalysis a;
    QString error;
    EXPECT_FALSE(AnalyseStriking(std::vector<TLowndesBlow>{}, {}, a, &error));
    EXPECT_FALSE(error.isEmpty());
    std::vector<TLowndesBlow> three = {{true, 1, 0, 1}, {true, 2, 200, 2}, {true, 3, 400, 3}};
    TStrikingOptions eight;
    eight.Stage = 8;
    EXPECT_FALSE(AnalyseStriking(three, eight, a, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("8 bells"))) << error.toStdString();
}

}  // namespace
