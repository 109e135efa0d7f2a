#pragma once

// Reads a Lowndes file as a striking analysis tool does (the analysis
// library's reader: the header, blows, the time's wrap past 0xFFFF), and
// holds our own files to our writer's form: each blow line exactly ten
// characters, "s b 0xTTTT".

#include "analysis/Lowndes.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

struct LowndesBlow {
    char Stroke;  // 'H' or 'B'
    char Bell;    // '1'-'9', '0', 'E', 'T', 'A'-'D'
    std::int64_t Ms;
};

// The blows of Text; what is not as our writer writes goes to Problems.
inline std::vector<LowndesBlow> ReadLowndes(const QByteArray& Text, QStringList* Problems) {
    TLowndesFile file;
    QString error;
    if (!ReadLowndes(Text, file, &error)) {
        if (Problems) *Problems << error;
        return {};
    }
    const QList<QByteArray> lines = Text.split('\n');
    std::vector<LowndesBlow> blows;
    for (const TLowndesBlow& b : file.Blows) {
        const QByteArray& raw = lines[b.Line - 1];
        if (Problems && (raw.size() != 10 || raw.mid(4, 2) != "0x"))
            *Problems << QStringLiteral("line %1 not as we write it: '%2'")
                             .arg(b.Line)
                             .arg(QString::fromLatin1(raw));
        blows.push_back({b.Handstroke ? 'H' : 'B', LowndesBellChar(b.Bell), b.Ms});
    }
    return blows;
}
