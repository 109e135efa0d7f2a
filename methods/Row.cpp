#include "methods/Row.h"

#include <QStringList>

namespace {

constexpr char kSymbols[] = "1234567890ETABCD";

const QStringList& StageNames() {
    static const QStringList names{
        QStringLiteral("Singles"),   QStringLiteral("Minimus"),   QStringLiteral("Doubles"),
        QStringLiteral("Minor"),     QStringLiteral("Triples"),   QStringLiteral("Major"),
        QStringLiteral("Caters"),    QStringLiteral("Royal"),     QStringLiteral("Cinques"),
        QStringLiteral("Maximus"),   QStringLiteral("Sextuples"), QStringLiteral("Fourteen"),
        QStringLiteral("Septuples"), QStringLiteral("Sixteen")};
    return names;
}

}  // namespace

QChar BellSymbol(int bell) {
    return bell >= 1 && bell <= kMaxStage ? QChar::fromLatin1(kSymbols[bell - 1]) : QChar();
}

int BellFromSymbol(QChar symbol) {
    // Every notation character passes here: a table, not a search.
    static const auto table = [] {
        std::array<std::uint8_t, 128> t{};
        for (int i = 0; i < kMaxStage; ++i) {
            t[static_cast<unsigned char>(kSymbols[i])] = static_cast<std::uint8_t>(i + 1);
            t[static_cast<unsigned char>(QChar::toLower(static_cast<char32_t>(kSymbols[i])))] =
                static_cast<std::uint8_t>(i + 1);
        }
        return t;
    }();
    const char16_t c = symbol.unicode();
    return c < table.size() ? table[c] : 0;
}

QString StageName(int stage) {
    return stage >= kMinStage && stage <= kMaxStage ? StageNames()[stage - kMinStage] : QString();
}

int StageFromName(const QString& name) {
    for (int i = 0; i < StageNames().size(); ++i)
        if (StageNames()[i].compare(name.trimmed(), Qt::CaseInsensitive) == 0) return i + kMinStage;
    return 0;
}

QString TChange::ToString() const {
    if (IsCross()) return QStringLiteral("x");
    QString text;
    for (int place = 1; place <= FStage; ++place)
        if (MakesPlace(place)) text += BellSymbol(place);
    return text;
}

TRow TRow::Rounds(int stage) {
    TRow row;
    if (stage < kMinStage || stage > kMaxStage) return row;
    row.FStage = stage;
    for (int i = 0; i < stage; ++i) row.FBells[i] = static_cast<std::uint8_t>(i + 1);
    return row;
}

TRow TRow::FromString(const QString& text) {
    TRow row;
    const int stage = static_cast<int>(text.size());
    if (stage < kMinStage || stage > kMaxStage) return {};
    std::uint32_t seen = 0;
    for (int i = 0; i < stage; ++i) {
        const int bell = BellFromSymbol(text[i]);
        if (bell == 0 || bell > stage || (seen & (1u << bell))) return {};
        seen |= 1u << bell;
        row.FBells[i] = static_cast<std::uint8_t>(bell);
    }
    row.FStage = stage;
    return row;
}

int TRow::PlaceOf(int bell) const {
    for (int i = 0; i < FStage; ++i)
        if (FBells[i] == bell) return i + 1;
    return 0;
}

bool TRow::IsRounds() const {
    for (int i = 0; i < FStage; ++i)
        if (FBells[i] != i + 1) return false;
    return FStage != 0;
}

TRow TRow::Apply(const TChange& change) const {
    TRow next = *this;
    for (int i = 0; i < FStage;) {
        if (change.MakesPlace(i + 1) || i + 1 == FStage) {
            ++i;
        } else {
            std::swap(next.FBells[i], next.FBells[i + 1]);
            i += 2;
        }
    }
    return next;
}

QString TRow::ToString() const {
    QString text;
    text.reserve(FStage);
    for (int i = 0; i < FStage; ++i) text += BellSymbol(FBells[i]);
    return text;
}
