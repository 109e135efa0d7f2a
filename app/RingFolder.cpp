#include "app/RingFolder.h"

#include <QCollator>
#include <QDir>
#include <algorithm>

namespace {

constexpr int kBells = 16;

QString Stem(const QString& Name) {
    return Name.left(Name.size() - 4).trimmed().toLower();
}

// The number a stem ends in, or -1 when it ends in none.
int TrailingNumber(const QString& Stem) {
    int at = static_cast<int>(Stem.size());
    while (at > 0 && Stem[at - 1].isDigit()) --at;
    if (at == Stem.size() || Stem.size() - at > 6) return -1;
    return Stem.mid(at).toInt();
}

}  // namespace

int TRingMatch::Count() const {
    return static_cast<int>(
        std::count_if(Files.begin() + 1, Files.end(), [](const QString& f) { return !f.isEmpty(); }));
}

TRingMatch MatchRing(QStringList Names) {
    TRingMatch match;
    // Name order with numbers as numbers: "bell2" before "bell10".
    QCollator order;
    order.setNumericMode(true);
    order.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(Names.begin(), Names.end(), order);
    QStringList tenors;
    const auto take = [&match](int Bell, const QString& Name) {
        if (Bell >= 1 && Bell <= kBells && match.Files[Bell].isEmpty())
            match.Files[Bell] = Name;
        else
            match.Unused << Name;
    };
    int highest = 0;
    for (const QString& name : Names) {
        if (!name.endsWith(QStringLiteral(".wav"), Qt::CaseInsensitive) || name.size() <= 4) continue;
        const QString stem = Stem(name);
        const int number = TrailingNumber(stem);
        if (number >= 0) {
            take(number, name);
            if (number <= kBells) highest = std::max(highest, number);
        } else if (stem.endsWith(QStringLiteral("treble"))) {
            take(1, name);
            highest = std::max(highest, 1);
        } else if (stem.endsWith(QStringLiteral("tenor"))) {
            tenors << name;
        } else {
            match.Unused << name;
        }
    }
    for (const QString& name : tenors) take(highest + 1, name);
    return match;
}

TRingMatch MatchRingFolder(const QString& Folder) {
    return MatchRing(QDir(Folder).entryList(QDir::Files | QDir::Readable));
}

QString RingMatchText(const TRingMatch& Match) {
    QStringList lines;
    for (int n = 1; n <= kBells; ++n)
        lines << (Match.Files[n].isEmpty() ? QStringLiteral("bell %1 keeps its sound").arg(n)
                                           : QStringLiteral("bell %1 <- %2").arg(n).arg(Match.Files[n]));
    if (!Match.Unused.isEmpty())
        lines << QStringLiteral("not used: %1").arg(Match.Unused.join(QStringLiteral(", ")));
    return lines.join(QLatin1Char('\n'));
}
