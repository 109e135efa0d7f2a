#pragma once

// Reads a Lowndes file as a striking analysis tool does, knowing only the
// form: lines of "s b 0xTTTT" (exactly ten characters), '#' lines are
// comments, and a time smaller than the one before has wrapped, so 0x10000
// is added from there on.

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

struct LowndesBlow {
    char Stroke;  // 'H' or 'B'
    char Bell;    // '1'-'9', '0', 'E', 'T', 'A'-'D'
    std::int64_t Ms;
};

// The blows of Text; each line that is neither a blow nor a comment goes to Problems.
inline std::vector<LowndesBlow> ReadLowndes(const QByteArray& Text, QStringList* Problems) {
    std::vector<LowndesBlow> blows;
    std::int64_t add = 0, previous = -1;
    static const QRegularExpression kLine(QStringLiteral("^([HB]) ([0-9ETABCD]) 0x([0-9A-Fa-f]{4})$"));
    for (const QByteArray& raw : Text.split('\n')) {
        if (raw.isEmpty() || raw.startsWith('#')) continue;
        const QRegularExpressionMatch m = kLine.match(QString::fromLatin1(raw));
        if (raw.size() != 10 || !m.hasMatch()) {
            if (Problems) *Problems << QStringLiteral("not a blow: '%1'").arg(QString::fromLatin1(raw));
            continue;
        }
        std::int64_t t = m.captured(3).toLongLong(nullptr, 16) + add;
        if (t < previous) {
            add += 0x10000;
            t += 0x10000;
        }
        previous = t;
        blows.push_back({raw[0], raw[2], t});
    }
    return blows;
}
