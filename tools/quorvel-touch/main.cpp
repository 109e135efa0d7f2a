// quorvel-touch: the striking of recorded touches (Lowndes files, ours or
// other writers'), measured against a rhythm fitted to each touch.
//
//   quorvel-touch [--csv] [--views] [--computer BELLS] [--leave-out ROWS]
//                 [--stage N] [--one-interval] FILE...
//
// Prints each touch's figure (the band's RMS error in ms) and a table per
// bell and stroke; --views adds "bell in position" and "bell after bell";
// --csv prints one line per bell and stroke instead. The exit status is 0
// when every file was measured, 1 when a file could not be read or held
// nothing to measure (the file and line named), 2 for a wrong command line.

#include "analysis/Lowndes.h"
#include "analysis/Striking.h"

#include <QString>
#include <QStringList>
#include <cmath>
#include <cstdio>
#include <optional>

namespace {

constexpr const char* kUsage =
    "usage: quorvel-touch [--csv] [--views] [--computer BELLS] [--leave-out ROWS] [--stage N] "
    "[--one-interval]\n"
    "                     FILE...\n"
    "  --csv             one line per bell and stroke: bell,stroke,blows,mean_ms,sd_ms,rms_ms\n"
    "  --views           also the errors by place in the row and by the bell followed\n"
    "  --computer BELLS  bells rung by the computer, kept out of the band's figure (e.g. 1,2 or 1-4)\n"
    "  --leave-out ROWS  rows not counted, from 1 (e.g. 1-2,57)\n"
    "  --stage N         bells in a row (default: the file's NumBellsRinging, else the bells struck)\n"
    "  --one-interval    one blow interval for handstroke and backstroke rows alike\n";

void Print(FILE* To, const QString& Text) {
    std::fputs(Text.toLocal8Bit().constData(), To);
    std::fputc('\n', To);
}

struct TArgs {
    bool Csv = false;
    bool Views = false;
    TStrikingOptions Options;
    QStringList Files;
};

// "1,3-5,E": numbers or Lowndes bell characters, and ranges of numbers.
bool ParseList(const QString& Text, int Most, bool Bells, std::set<int>& Out) {
    for (const QString& part : Text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList ends = part.trimmed().split(QLatin1Char('-'));
        if (ends.size() > 2) return false;
        int range[2];
        for (int e = 0; e < ends.size(); ++e) {
            bool ok = false;
            range[e] = ends[e].toInt(&ok);
            if (!ok && Bells && ends[e].size() == 1) range[e] = LowndesBellNumber(ends[e][0].toLatin1());
            if (range[e] < 1 || range[e] > Most) return false;
        }
        if (ends.size() == 1) range[1] = range[0];
        if (range[1] < range[0]) return false;
        for (int v = range[0]; v <= range[1]; ++v) Out.insert(v);
    }
    return !Out.empty();
}

std::optional<TArgs> Parse(int Argc, char** Argv, QString& Error) {
    TArgs args;
    bool filesOnly = false;
    for (int i = 1; i < Argc; ++i) {
        const QString a = QString::fromLocal8Bit(Argv[i]);
        if (filesOnly || !a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
            args.Files << a;
            continue;
        }
        // "--name value" and "--name=value" alike.
        QString name = a, value;
        const bool hasValue = a.contains(QLatin1Char('='));
        if (hasValue) {
            name = a.section(QLatin1Char('='), 0, 0);
            value = a.section(QLatin1Char('='), 1);
        }
        const bool wantsValue = name == QLatin1String("--computer") || name == QLatin1String("--leave-out") ||
                                name == QLatin1String("--stage");
        if (wantsValue && !hasValue) {
            if (i + 1 >= Argc) {
                Error = QStringLiteral("%1 needs a value").arg(name);
                return std::nullopt;
            }
            value = QString::fromLocal8Bit(Argv[++i]);
        } else if (!wantsValue && hasValue) {
            Error = QStringLiteral("%1 takes no value").arg(name);
            return std::nullopt;
        }
        if (name == QLatin1String("--")) {
            filesOnly = true;
        } else if (name == QLatin1String("--csv")) {
            args.Csv = true;
        } else if (name == QLatin1String("--views")) {
            args.Views = true;
        } else if (name == QLatin1String("--one-interval")) {
            args.Options.StrokeIntervals = false;
        } else if (name == QLatin1String("--computer")) {
            if (!ParseList(value, kLowndesMaxBells, true, args.Options.ComputerBells)) {
                Error = QStringLiteral("--computer: not a list of bells: '%1'").arg(value);
                return std::nullopt;
            }
        } else if (name == QLatin1String("--leave-out")) {
            std::set<int> rows;
            if (!ParseList(value, 1000000, false, rows)) {
                Error = QStringLiteral("--leave-out: not a list of rows: '%1'").arg(value);
                return std::nullopt;
            }
            for (int r : rows) args.Options.LeaveOutRows.insert(r - 1);
        } else if (name == QLatin1String("--stage")) {
            bool ok = false;
            args.Options.Stage = value.toInt(&ok);
            if (!ok || args.Options.Stage < 2 || args.Options.Stage > kLowndesMaxBells) {
                Error = QStringLiteral("--stage: not a number of bells from 2 to 16: '%1'").arg(value);
                return std::nullopt;
            }
        } else if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else {
            Error = QStringLiteral("unknown option %1").arg(a);
            return std::nullopt;
        }
    }
    if (args.Files.isEmpty()) {
        Error = QStringLiteral("no file named");
        return std::nullopt;
    }
    return args;
}

// To a tenth of a millisecond, without a "-0.0".
double Tenth(double V) {
    return std::round(V * 10) / 10 + 0.0;
}

QString Signed(double V) {
    V = Tenth(V);
    return QStringLiteral("%1%2").arg(V > 0 ? "+" : "").arg(V, 0, 'f', 1);
}

QString BellName(int Bell) {
    return QString(QLatin1Char(LowndesBellChar(Bell)));
}

void PrintTouch(const QString& Path, const TStrikingAnalysis& A) {
    const auto& band = A.Band;
    int rows = static_cast<int>(A.Rows.size());
    Print(stdout, QStringLiteral("%1: %2 bells, %3 rows (%4 measured), %5 blows")
                      .arg(Path)
                      .arg(A.Stage)
                      .arg(rows)
                      .arg(A.RowsCounted)
                      .arg(A.Blows.size()));
    QString computer;
    for (int b : A.ComputerBells) computer += (computer.isEmpty() ? "" : " ") + BellName(b);
    Print(stdout,
          QStringLiteral("Striking: RMS error %1 ms (handstroke %2, backstroke %3); mean %4 ms, SD %5 ms%6")
              .arg(band.Both.Rms, 0, 'f', 1)
              .arg(band.Hand.Rms, 0, 'f', 1)
              .arg(band.Back.Rms, 0, 'f', 1)
              .arg(Signed(band.Both.Mean))
              .arg(band.Both.Sd, 0, 'f', 1)
              .arg(computer.isEmpty() ? QString()
                                      : QStringLiteral("; computer bells %1 left out").arg(computer)));
    const double pull = (2 * A.Stage + A.MeanGapBlows) * A.MeanIntervalMs / 1000;
    Print(stdout, QStringLiteral("Speed: %1 ms a blow, a whole pull %2 s; handstroke gap %3 blows; "
                                 "largest change in the time of ten rows %4 s")
                      .arg(Tenth(A.MeanIntervalMs), 0, 'f', 1)
                      .arg(pull, 0, 'f', 2)
                      .arg(A.MeanGapBlows, 0, 'f', 2)
                      .arg(A.SpeedChangePer10RowsMs / 1000, 0, 'f', 2));
    Print(stdout,
          QStringLiteral("(An RMS error in the 30s is very good ringing; speed changes under 1 s in ten "
                         "rows are fairly harmless. Late is +.)"));
    Print(stdout, QString());
    Print(stdout, QStringLiteral("Bell  Stroke  Blows    Mean     SD    RMS"));
    for (int b : A.BellsStruck) {
        for (int s = 0; s < 2; ++s) {
            const TStrikingFigure& f = s == 0 ? A.Bell[b].Hand : A.Bell[b].Back;
            if (!f.Blows) continue;
            Print(stdout, QStringLiteral("%1  %2  %3  %4  %5  %6%7")
                              .arg(BellName(b), 4)
                              .arg(s == 0 ? "H" : "B", 6)
                              .arg(f.Blows, 5)
                              .arg(Signed(f.Mean), 6)
                              .arg(f.Sd, 5, 'f', 1)
                              .arg(f.Rms, 5, 'f', 1)
                              .arg(A.ComputerBells.count(b) ? QStringLiteral("  computer") : QString()));
        }
    }
}

// A view: the mean error of each bell (rows) by place or by the bell
// followed (columns); fewer than five blows in brackets.
void PrintView(const QString& Title, const TStrikingAnalysis& A, bool ByPlace) {
    Print(stdout, QString());
    Print(stdout, Title);
    std::vector<int> columns;
    if (ByPlace)
        for (int p = 1; p <= A.Stage; ++p) columns.push_back(p);
    else
        columns.assign(A.BellsStruck.begin(), A.BellsStruck.end());
    QString head = QStringLiteral("Bell  ");
    for (int c : columns) head += QStringLiteral("%1").arg(ByPlace ? QString::number(c) : BellName(c), 8);
    Print(stdout, head);
    for (int b : A.BellsStruck) {
        QString line = QStringLiteral("%1  ").arg(BellName(b), 4);
        for (int c : columns) {
            const TStrikingFigure& f = (ByPlace ? A.ByPlace[b][c] : A.ByFollowed[b][c]).Both;
            QString cell = f.Blows ? Signed(f.Mean) : QStringLiteral(".");
            if (f.Blows && f.Few(A.FewBlows)) cell = QLatin1Char('(') + cell + QLatin1Char(')');
            line += QStringLiteral("%1").arg(cell, 8);
        }
        Print(stdout, line);
    }
}

}  // namespace

int main(int Argc, char** Argv) {
    QString error;
    const std::optional<TArgs> args = Parse(Argc, Argv, error);
    if (!args) {
        Print(stderr, QStringLiteral("quorvel-touch: %1").arg(error));
        std::fputs(kUsage, stderr);
        return 2;
    }
    const bool several = args->Files.size() > 1;
    if (args->Csv)
        Print(stdout, QStringLiteral("%1bell,stroke,blows,mean_ms,sd_ms,rms_ms").arg(several ? "file," : ""));
    int failed = 0;
    bool first = true;
    for (const QString& path : args->Files) {
        TLowndesFile file;
        TStrikingAnalysis analysis;
        if (!ReadLowndesFile(path, file, &error)) {
            Print(stderr, QStringLiteral("quorvel-touch: %1: %2").arg(path, error));
            ++failed;
            continue;
        }
        if (!AnalyseStriking(file, args->Options, analysis, &error)) {
            Print(stderr, QStringLiteral("quorvel-touch: %1: nothing to measure: %2").arg(path, error));
            ++failed;
            continue;
        }
        if (args->Csv) {
            QString quoted = path;
            quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
            for (int b : analysis.BellsStruck)
                for (int s = 0; s < 2; ++s) {
                    const TStrikingFigure& f = s == 0 ? analysis.Bell[b].Hand : analysis.Bell[b].Back;
                    if (!f.Blows) continue;
                    Print(stdout,
                          QStringLiteral("%1%2,%3,%4,%5,%6,%7")
                              .arg(several ? QLatin1Char('"') + quoted + QLatin1String("\",") : QString())
                              .arg(b)
                              .arg(s == 0 ? "H" : "B")
                              .arg(f.Blows)
                              .arg(Tenth(f.Mean), 0, 'f', 1)
                              .arg(Tenth(f.Sd), 0, 'f', 1)
                              .arg(Tenth(f.Rms), 0, 'f', 1));
                }
            continue;
        }
        if (!first) Print(stdout, QString());
        first = false;
        PrintTouch(path, analysis);
        if (args->Views) {
            PrintView(
                QStringLiteral("Bell in position: mean error (ms) by place in the row; (under 5 blows)"),
                analysis, true);
            PrintView(
                QStringLiteral("Bell after bell: mean error (ms) by the bell followed; (under 5 blows)"),
                analysis, false);
        }
    }
    std::fflush(stdout);
    return failed ? 1 : 0;
}
