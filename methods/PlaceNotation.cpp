#include "methods/PlaceNotation.h"

#include <algorithm>

namespace {

QString Quoted(QChar c) {
    return QStringLiteral("\"%1\"").arg(c);
}

bool IsCrossSymbol(QChar c) {
    return c == u'x' || c == u'X' || c == u'-';
}

// The places of one change as written, from First (0-based) to the end of
// its run of place symbols; implied places added, every rule checked.
TChange ReadPlaces(const QString& text, int first, int end, int stage) {
    std::uint16_t places = 0;
    int last = 0;
    for (int i = first; i < end; ++i) {
        const int place = BellFromSymbol(text[i]);
        const int position = i + 1;
        if (place > stage)
            throw EPlaceNotation(QStringLiteral("place %1 is beyond stage %2 at position %3")
                                     .arg(text[i])
                                     .arg(stage)
                                     .arg(position),
                                 position);
        if (place == last)
            throw EPlaceNotation(
                QStringLiteral("place %1 is repeated at position %2").arg(text[i]).arg(position), position);
        if (place < last)
            throw EPlaceNotation(QStringLiteral("place %1 comes after place %2 at position %3")
                                     .arg(text[i])
                                     .arg(BellSymbol(last))
                                     .arg(position),
                                 position);
        // The bells between two places made must pair up.
        if (last != 0 && (place - last - 1) % 2 != 0)
            throw EPlaceNotation(
                QStringLiteral("places %1 and %2 leave a bell between them unpaired at position %3")
                    .arg(BellSymbol(last))
                    .arg(text[i])
                    .arg(position),
                position);
        places |= static_cast<std::uint16_t>(1u << (place - 1));
        last = place;
    }
    // Implied places at the ends: lead when the bells below the first place
    // are odd in number, the top place when those above the last are.
    int lowest = 0;
    while (!(places & (1u << lowest))) ++lowest;
    if (lowest % 2 != 0) places |= 1u;
    if ((stage - last) % 2 != 0) places |= static_cast<std::uint16_t>(1u << (stage - 1));
    return TChange(stage, places);
}

// The changes of one half, from First to End (0-based), as written.
std::vector<TChange> ReadHalf(const QString& text, int first, int end, int stage) {
    std::vector<TChange> changes;
    bool needChange = false;  // after a dot, a change must follow
    int dotPosition = 0;
    int i = first;
    while (i < end) {
        const QChar c = text[i];
        if (c.isSpace()) {
            ++i;
        } else if (c == u'.') {
            if (changes.empty() || needChange)
                throw EPlaceNotation(QStringLiteral("empty change at position %1").arg(i + 1), i + 1);
            needChange = true;
            dotPosition = i + 1;
            ++i;
        } else if (IsCrossSymbol(c)) {
            if (stage % 2 != 0)
                throw EPlaceNotation(
                    QStringLiteral("a cross (%1) cannot be rung on odd stage %2 at position %3")
                        .arg(Quoted(c))
                        .arg(stage)
                        .arg(i + 1),
                    i + 1);
            changes.push_back(TChange::Cross(stage));
            needChange = false;
            ++i;
        } else if (BellFromSymbol(c) != 0) {
            int j = i;
            while (j < end && BellFromSymbol(text[j]) != 0) ++j;
            changes.push_back(ReadPlaces(text, i, j, stage));
            needChange = false;
            i = j;
        } else {
            throw EPlaceNotation(
                QStringLiteral("unexpected character %1 at position %2").arg(Quoted(c)).arg(i + 1), i + 1);
        }
    }
    if (needChange)
        throw EPlaceNotation(QStringLiteral("empty change at position %1").arg(dotPosition), dotPosition);
    if (changes.empty()) {
        // An empty half: name the comma that opened it, or the first character.
        const int position = first == 0 ? 1 : std::min(first, static_cast<int>(text.size()));
        throw EPlaceNotation(QStringLiteral("empty change at position %1").arg(position), position);
    }
    return changes;
}

// A palindrome about its last change: the changes, then the same backwards
// without that last one.
void Mirror(std::vector<TChange>& changes) {
    for (int i = static_cast<int>(changes.size()) - 2; i >= 0; --i) changes.push_back(changes[i]);
}

}  // namespace

std::vector<TChange> ParsePlaceNotation(const QString& text, int stage) {
    if (stage < kMinStage || stage > kMaxStage)
        throw EPlaceNotation(
            QStringLiteral("stage %1 is outside %2 to %3").arg(stage).arg(kMinStage).arg(kMaxStage), 0);
    if (text.trimmed().isEmpty()) throw EPlaceNotation(QStringLiteral("empty notation at position 1"), 1);

    const qsizetype comma = text.indexOf(u',');
    if (comma >= 0 && text.indexOf(u',', comma + 1) >= 0) {
        const int position = static_cast<int>(text.indexOf(u',', comma + 1)) + 1;
        throw EPlaceNotation(QStringLiteral("a second comma at position %1").arg(position), position);
    }
    struct Half {
        int first, end;
    };
    std::vector<Half> halves;
    if (comma < 0)
        halves.push_back({0, static_cast<int>(text.size())});
    else
        halves = {{0, static_cast<int>(comma)}, {static_cast<int>(comma) + 1, static_cast<int>(text.size())}};

    std::vector<TChange> changes;
    for (Half half : halves) {
        while (half.first < half.end && text[half.first].isSpace()) ++half.first;
        // With a comma each half is a palindrome unless marked otherwise.
        bool palindrome = comma >= 0;
        if (half.first < half.end && (text[half.first] == u'&' || text[half.first] == u'+')) {
            palindrome = text[half.first] == u'&';
            ++half.first;
        }
        std::vector<TChange> part = ReadHalf(text, half.first, half.end, stage);
        if (palindrome) Mirror(part);
        changes.insert(changes.end(), part.begin(), part.end());
    }
    return changes;
}

TChange ParseChange(const QString& text, int stage) {
    const std::vector<TChange> changes = ParsePlaceNotation(text, stage);
    if (changes.size() != 1) throw EPlaceNotation(QStringLiteral("\"%1\" is not one change").arg(text), 1);
    return changes.front();
}

QString FormatPlaceNotation(const std::vector<TChange>& changes) {
    QString text;
    bool lastWasPlaces = false;
    for (const TChange& change : changes) {
        if (change.IsCross()) {
            text += u'x';
            lastWasPlaces = false;
        } else {
            if (lastWasPlaces) text += u'.';
            text += change.ToString();
            lastWasPlaces = true;
        }
    }
    return text;
}
