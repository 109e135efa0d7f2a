#pragma once

// Touches made to order: a band ringing plain hunt (or rounds) to a known
// rhythm (interval, drift, handstroke gap), with known faults per bell and
// stroke. What each blow was given is kept, so a test compares the analysis
// with the errors really put in, not with their nominal sizes.

#include "analysis/Lowndes.h"

#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

struct TTouchSpec {
    int Stage = 8;
    int Rows = 160;
    bool PlainHunt = true;
    double GapBlows = 1.0;
    // The blow interval of each row; empty: 210 ms throughout.
    std::function<double(int Row)> IntervalMs;
    double StartMs = 1000;
    // Backstroke rows this much quicker a blow than handstroke rows.
    double BackQuickerMs = 0;
    // Every bell's own scatter, and faults per bell (index 1-16).
    double BandSdMs = 6;
    std::array<double, 17> HandLateMs{}, BackLateMs{}, SdMs{};
    // A few wild blows: every Nth blow of this bell is this far out.
    int WildBell = 0, WildEvery = 0;
    double WildMs = 0;
    unsigned Seed = 1;
};

struct TInjected {
    double Sum = 0, Squares = 0;
    int N = 0;
    void Add(double E) {
        Sum += E;
        Squares += E * E;
        ++N;
    }
    double Mean() const { return N ? Sum / N : 0; }
    double Sd() const { return N > 1 ? std::sqrt(std::max(0.0, (Squares - Sum * Mean()) / (N - 1))) : 0; }
};

struct TTouch {
    std::vector<TLowndesBlow> Blows;
    std::vector<std::vector<int>> Rows;
    // What was put in, per bell: [bell][0] handstroke, [bell][1] backstroke.
    std::array<std::array<TInjected, 2>, 17> Injected{};
};

inline std::vector<std::vector<int>> PlainHuntRows(int Stage, int Rows, bool Hunt) {
    std::vector<std::vector<int>> out;
    std::vector<int> row(Stage);
    for (int i = 0; i < Stage; ++i) row[i] = i + 1;
    for (int r = 0; r < Rows; ++r) {
        out.push_back(row);
        if (!Hunt) continue;
        // Cross and places at the ends in turn.
        for (int p = r % 2 ? 1 : 0; p + 1 < Stage; p += 2) std::swap(row[p], row[p + 1]);
    }
    return out;
}

inline TTouch MakeTouch(const TTouchSpec& Spec) {
    TTouch touch;
    touch.Rows = PlainHuntRows(Spec.Stage, Spec.Rows, Spec.PlainHunt);
    std::mt19937 random(Spec.Seed);
    std::normal_distribution<double> unit(0, 1);
    double start = Spec.StartMs;
    std::array<int, 17> count{};
    for (int r = 0; r < Spec.Rows; ++r) {
        const bool hand = r % 2 == 0;
        const double interval =
            (Spec.IntervalMs ? Spec.IntervalMs(r) : 210) - (hand ? 0 : Spec.BackQuickerMs);
        for (int p = 0; p < Spec.Stage; ++p) {
            const int bell = touch.Rows[r][p];
            double error = (hand ? Spec.HandLateMs[bell] : Spec.BackLateMs[bell]) +
                           unit(random) * (Spec.SdMs[bell] > 0 ? Spec.SdMs[bell] : Spec.BandSdMs);
            if (bell == Spec.WildBell && Spec.WildEvery && ++count[bell] % Spec.WildEvery == 0)
                error += Spec.WildMs;
            const double t = start + p * interval + error;
            touch.Blows.push_back({hand, bell, std::llround(t), 0});
            touch.Injected[bell][hand ? 0 : 1].Add(static_cast<double>(std::llround(t)) -
                                                   (start + p * interval));
        }
        // The next row starts a blow on, plus the open gap before a handstroke.
        start += Spec.Stage * interval + (hand ? 0 : Spec.GapBlows * interval);
    }
    return touch;
}
