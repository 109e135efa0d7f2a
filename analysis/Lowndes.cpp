#include "analysis/Lowndes.h"

#include <QFile>
#include <set>

namespace {

// Two blows a sensor or a mixer reports the other way round are a few
// milliseconds apart; a time that goes back further than this has wrapped.
constexpr std::int64_t kOutOfOrderMs = 3000;

QByteArray Trimmed(QByteArray Line) {
    if (Line.endsWith('\r')) Line.chop(1);
    return Line.trimmed();
}

bool ParseHex(const QByteArray& Text, std::int64_t& Value) {
    if (Text.size() < 3 || Text.size() > 6 || Text[0] != '0' || (Text[1] != 'x' && Text[1] != 'X'))
        return false;
    Value = 0;
    for (int i = 2; i < Text.size(); ++i) {
        const char c = Text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return false;
        Value = Value * 16 + digit;
    }
    return true;
}

}  // namespace

// ---- The file ---------------------------------------------------------------------

QString TLowndesFile::Value(const QString& Key, const QString& Default) const {
    for (const auto& [key, value] : Header)
        if (key.compare(Key, Qt::CaseInsensitive) == 0) return value;
    return Default;
}

int TLowndesFile::Version() const {
    const QString v = Value(QStringLiteral("Lowndes"));
    if (v.isEmpty()) return 1;
    const QStringList words = v.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    bool ok = false;
    const int n = words.isEmpty() ? 0 : words.last().toInt(&ok);
    return ok ? n : 1;
}

int TLowndesFile::BellsRinging() const {
    bool ok = false;
    const int given = Value(QStringLiteral("NumBellsRinging")).trimmed().toInt(&ok);
    if (ok && given >= 2 && given <= kLowndesMaxBells) return given;
    std::set<int> bells;
    for (const TLowndesBlow& b : Blows) bells.insert(b.Bell);
    return static_cast<int>(bells.size());
}

std::int64_t TLowndesFile::FirstBlowMs() const {
    bool ok = false;
    const qlonglong v = Value(QStringLiteral("FirstBlowMs")).trimmed().toLongLong(&ok);
    return ok ? v : 0;
}

// ---- Bells and lines ----------------------------------------------------------------

char LowndesBellChar(int Bell, char Ten) {
    static constexpr char kBells[] = "1234567890ETABCD";
    if (Bell == 10) return Ten;
    return Bell >= 1 && Bell <= kLowndesMaxBells ? kBells[Bell - 1] : '?';
}

int LowndesBellNumber(char C) {
    switch (C) {
        case '0':
        case 'O':
            return 10;
        case 'E':
            return 11;
        case 'T':
            return 12;
        case 'A':
        case 'B':
        case 'C':
        case 'D':
            return 13 + (C - 'A');
        default:
            return C >= '1' && C <= '9' ? C - '0' : 0;
    }
}

QByteArray LowndesBlowLine(bool Handstroke, int Bell, std::int64_t Ms, char Ten) {
    const auto wrapped = static_cast<unsigned>(Ms & 0xFFFF);
    QByteArray line(Handstroke ? "H " : "B ");
    line += LowndesBellChar(Bell, Ten);
    line += " 0x";
    line += QByteArray::number(wrapped, 16).toUpper().rightJustified(4, '0');
    return line;
}

QByteArray LowndesHeaderLine(const QString& Key, const QString& Value) {
    QByteArray line = "#. " + Key.toUtf8() + ": " + Value.toUtf8();
    // One line, whatever the value holds.
    line.replace('\r', ' ').replace('\n', ' ');
    return line;
}

QByteArray LowndesText(const TLowndesFile& File, char Ten) {
    QByteArray text;
    if (File.Value(QStringLiteral("Lowndes")).isEmpty())
        text += LowndesHeaderLine(QStringLiteral("Lowndes"), QStringLiteral("Version 2")) + '\n';
    for (const auto& [key, value] : File.Header) text += LowndesHeaderLine(key, value) + '\n';
    for (const TLowndesBlow& b : File.Blows) text += LowndesBlowLine(b.Handstroke, b.Bell, b.Ms, Ten) + '\n';
    return text;
}

// ---- Reading --------------------------------------------------------------------------

bool ReadLowndes(const QByteArray& Text, TLowndesFile& File, QString* Error) {
    File = TLowndesFile();
    const QList<QByteArray> lines = Text.split('\n');
    std::int64_t add = 0, previous = 0;
    bool first = true;
    auto fail = [&](int Line, const QString& Why) {
        if (Error) *Error = QStringLiteral("line %1: %2").arg(Line).arg(Why);
        return false;
    };
    for (int i = 0; i < lines.size(); ++i) {
        const int lineNo = i + 1;
        const QByteArray line = Trimmed(lines[i]);
        if (line.isEmpty()) continue;
        if (line.startsWith('#')) {
            if (line.startsWith("#.")) {
                const QByteArray body = line.mid(2).trimmed();
                const int colon = body.indexOf(':');
                if (colon > 0 && !body.left(colon).contains(' ')) {
                    File.Header.emplace_back(QString::fromUtf8(body.left(colon)),
                                             QString::fromUtf8(body.mid(colon + 1).trimmed()));
                    continue;
                }
            }
            File.Comments << QString::fromUtf8(line.mid(1));
            continue;
        }
        const QList<QByteArray> words = line.simplified().split(' ');
        const QString shown = QString::fromLatin1(line.left(40));
        if (words.size() != 3)
            return fail(lineNo, QStringLiteral("not a blow (stroke, bell, time): '%1'").arg(shown));
        const QByteArray& stroke = words[0];
        if (stroke.size() != 1 || (stroke[0] != 'H' && stroke[0] != 'B'))
            return fail(lineNo, QStringLiteral("the stroke is neither H nor B: '%1'").arg(shown));
        const int bell = words[1].size() == 1 ? LowndesBellNumber(words[1][0]) : 0;
        if (!bell) return fail(lineNo, QStringLiteral("no such bell: '%1'").arg(shown));
        std::int64_t raw;
        if (!ParseHex(words[2], raw))
            return fail(lineNo, QStringLiteral("the time is not 0x and four hex digits: '%1'").arg(shown));
        // The time nearest the one before, among those that end in these 16 bits.
        std::int64_t t = raw + add;
        if (!first) {
            while (t < previous - kOutOfOrderMs) {
                t += 0x10000;
                add += 0x10000;
            }
            if (t >= previous + 0x10000 - kOutOfOrderMs) t -= 0x10000;
        }
        first = false;
        previous = std::max(previous, t);
        File.Blows.push_back({stroke[0] == 'H', bell, t, lineNo});
    }
    return true;
}

bool ReadLowndesFile(const QString& Path, TLowndesFile& File, QString* Error) {
    QFile f(Path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (Error) *Error = f.errorString();
        return false;
    }
    const QByteArray text = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        if (Error) *Error = f.errorString();
        return false;
    }
    return ReadLowndes(text, File, Error);
}
