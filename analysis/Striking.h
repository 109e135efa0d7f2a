#pragma once

// Striking analysis of one touch. The ideal time of every blow comes from a
// rhythm fitted to the touch itself: a blow interval that may drift slowly
// from row to row, and an open handstroke gap, also fitted, before each
// handstroke row that follows a backstroke. Each blow's error is its time
// less its ideal time (late is positive). The fit is least squares, with
// wild blows weighed down so that a few of them move nobody else's ideal.
//
// Figures are given per bell and stroke, by place in the row ("bell in
// position") and by the bell struck just before ("bell after bell"), and
// one for the whole band: the RMS error in milliseconds.

#include "analysis/Lowndes.h"

#include <QString>
#include <array>
#include <functional>
#include <set>
#include <vector>

// Mean, standard deviation and RMS of a set of errors, in milliseconds.
struct TStrikingFigure {
    int Blows = 0;
    double Mean = 0;
    double Sd = 0;   // sample standard deviation (n - 1)
    double Rms = 0;  // about zero, the ideal
    // Too few blows to say much: a view greys such a cell.
    bool Few(int FewBlows = 5) const { return Blows < FewBlows; }
};

// Sums from which a figure is made.
class TStrikingSums {
public:
    void Add(double ErrorMs) {
        ++FN;
        FSum += ErrorMs;
        FSquares += ErrorMs * ErrorMs;
    }
    TStrikingFigure Figure() const;

private:
    int FN = 0;
    double FSum = 0;
    double FSquares = 0;
};

// Handstroke, backstroke and both together.
struct TStrokeFigures {
    TStrikingFigure Hand, Back, Both;
};

struct TStrikingOptions {
    // Bells in a row; 0 takes the file's NumBellsRinging, else the number of
    // different bells struck.
    int Stage = 0;
    // Rows (from 0, in touch order) left out of the figures, as when the
    // method went wrong there. The rhythm still runs through them.
    std::set<int> LeaveOutRows;
    // Which rows are the method's: given a row's number and its bells in
    // order, false leaves it out. Empty: every complete row counts.
    std::function<bool(int Row, const std::vector<int>& Bells)> IsMethodRow;
    // Or the rows expected, in order from the touch's first row; a row that
    // differs from the one expected is left out, and so is any row past the
    // list's end. Empty: not used.
    std::vector<std::vector<int>> ExpectedRows;
    // Bells rung by the computer: their errors are shown but kept out of the
    // band's figure. They still keep the rhythm.
    std::set<int> ComputerBells;
    // Handstroke and backstroke rows each with an interval of their own
    // (drifting apart slowly), for a band whose backstrokes are quicker or
    // slower than its handstrokes. Off, and where the bells keep their
    // places (rounds), one interval for both.
    bool StrokeIntervals = true;
    // A cell with fewer blows than this is flagged.
    int FewBlows = 5;
};

struct TStrikingRow {
    bool Handstroke = true;
    std::vector<int> Bells;  // in the order struck
    bool Counted = false;    // complete and not left out: in the figures
    double StartMs = 0;      // the ideal time of its first place
    double IntervalMs = 0;   // the ideal time between two blows in it
    // For a handstroke row after a backstroke: the open gap before it, in
    // blows (1 is a blow's silence more than between two blows in a row).
    double GapBlows = 0;
};

struct TStrikingBlow {
    int Bell = 0;
    bool Handstroke = true;
    int Row = 0;
    int Place = 0;     // from 1
    int Followed = 0;  // the bell struck just before, 0 for none
    double Ms = 0;     // from the touch's first blow
    double IdealMs = 0;
    double ErrorMs = 0;  // late is positive
    bool Counted = false;
    double Weight = 1;  // its say in the rhythm (0 for a wild blow)
};

struct TStrikingAnalysis {
    static constexpr int kBells = kLowndesMaxBells;

    int Stage = 0;
    std::vector<TStrikingRow> Rows;
    std::vector<TStrikingBlow> Blows;
    std::set<int> BellsStruck;
    std::set<int> ComputerBells;
    int FewBlows = 5;

    // Per bell (index 1 to 16).
    std::array<TStrokeFigures, kBells + 1> Bell{};
    // Bell in position: [bell][place], place from 1.
    std::array<std::array<TStrokeFigures, kBells + 1>, kBells + 1> ByPlace{};
    // Bell after bell: [bell][the bell followed].
    std::array<std::array<TStrokeFigures, kBells + 1>, kBells + 1> ByFollowed{};
    // The band, computer bells left out: the touch's figure is Band.Both.Rms.
    TStrokeFigures Band;

    int RowsCounted = 0;
    double MeanIntervalMs = 0;  // over the counted rows
    double MeanGapBlows = 0;    // over the handstroke rows counted
    // The touch's speed: the largest change in the time ten rows take, from
    // one ten rows to the next, in milliseconds (0 when under twenty rows).
    double SpeedChangePer10RowsMs = 0;
};

// Splits the blows into rows (a new row at each change of stroke, when a
// row is full, and when a bell comes again), fits the rhythm and measures.
// False with Error when there is nothing to measure (no complete row).
bool AnalyseStriking(std::vector<TLowndesBlow> Blows, const TStrikingOptions& Options,
                     TStrikingAnalysis& Result, QString* Error);
// The same for a file read, its stage from its header when not given.
bool AnalyseStriking(const TLowndesFile& File, TStrikingOptions Options, TStrikingAnalysis& Result,
                     QString* Error);
