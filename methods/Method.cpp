#include "methods/Method.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstdint>

namespace {

// The calls of each family, as rung: one row per call and run of stages.
struct TCallRow {
    TCallFamily Family;
    int MinStage, MaxStage;
    char Symbol;
    const char* Name;
    int Replaces;
    const char* Notation;
};

constexpr TCallRow kCalls[] = {
    {TCallFamily::LeadEnd, 4, 4, 'B', "bob", 1, "14"},
    {TCallFamily::LeadEnd, 4, 4, 'S', "single", 1, "1234"},
    // On five the single 1234 would make every place; 123 is rung.
    {TCallFamily::LeadEnd, 5, 5, 'B', "bob", 1, "145"},
    {TCallFamily::LeadEnd, 5, 5, 'S', "single", 1, "123"},
    {TCallFamily::LeadEnd, 6, 16, 'B', "bob", 1, "14"},
    {TCallFamily::LeadEnd, 6, 16, 'S', "single", 1, "1234"},
    {TCallFamily::SixthsLeadEnd, 6, 6, 'B', "bob", 1, "14"},
    {TCallFamily::SixthsLeadEnd, 6, 6, 'S', "single", 1, "1456"},
    {TCallFamily::Grandsire, 5, 16, 'B', "bob", 2, "3.1"},
    {TCallFamily::Grandsire, 5, 16, 'S', "single", 2, "3.123"},
    {TCallFamily::Stedman, 5, 5, 'B', "bob", 1, "3"},
    {TCallFamily::Stedman, 5, 5, 'S', "single", 1, "345"},
    {TCallFamily::Stedman, 7, 7, 'B', "bob", 1, "5"},
    {TCallFamily::Stedman, 7, 7, 'S', "single", 1, "567"},
    {TCallFamily::Stedman, 9, 9, 'B', "bob", 1, "7"},
    {TCallFamily::Stedman, 9, 9, 'S', "single", 1, "789"},
    {TCallFamily::Stedman, 11, 11, 'B', "bob", 1, "9"},
    {TCallFamily::Stedman, 11, 11, 'S', "single", 1, "90E"},
    {TCallFamily::Stedman, 13, 13, 'B', "bob", 1, "E"},
    {TCallFamily::Stedman, 13, 13, 'S', "single", 1, "ETA"},
    {TCallFamily::Stedman, 15, 15, 'B', "bob", 1, "A"},
    {TCallFamily::Stedman, 15, 15, 'S', "single", 1, "ABC"},
};

// Changes past which a touch stops: an extent's worth, bounded so that the
// rows fit in memory on the largest stages.
std::int64_t ChangeLimit(int stage) {
    constexpr std::int64_t kMemoryBound = 1'000'000;
    std::int64_t extent = 1;
    for (int i = 2; i <= stage && extent <= kMemoryBound; ++i) extent *= i;
    return std::min(extent, kMemoryBound);
}

QString PointWord(const TMethod& method) {
    return method.Family() == TCallFamily::Stedman ? QStringLiteral("six") : QStringLiteral("lead");
}

}  // namespace

std::vector<TCallDef> CallsOf(TCallFamily family, int stage) {
    std::vector<TCallDef> calls;
    for (const TCallRow& row : kCalls)
        if (row.Family == family && stage >= row.MinStage && stage <= row.MaxStage)
            calls.push_back({QChar::fromLatin1(row.Symbol), QString::fromLatin1(row.Name), row.Replaces,
                             QString::fromLatin1(row.Notation)});
    return calls;
}

QString CallFamilyName(TCallFamily family) {
    switch (family) {
        case TCallFamily::None:
            return QStringLiteral("none");
        case TCallFamily::LeadEnd:
            return QStringLiteral("lead-end");
        case TCallFamily::Grandsire:
            return QStringLiteral("grandsire");
        case TCallFamily::Stedman:
            return QStringLiteral("stedman");
        case TCallFamily::SixthsLeadEnd:
            return QStringLiteral("sixths-lead-end");
    }
    return {};
}

TMethod::TMethod(QString title, int stage, QString notation, TCallFamily family)
    : FTitle(std::move(title)),
      FStage(stage),
      FNotation(std::move(notation)),
      FFamily(family),
      FLead(ParsePlaceNotation(FNotation, stage)) {}

TRow TMethod::LeadHead() const {
    TRow row = TRow::Rounds(FStage);
    for (const TChange& change : FLead) row = row.Apply(change);
    return row;
}

std::vector<int> TMethod::CallPoints() const {
    std::vector<int> points;
    if (FFamily == TCallFamily::Stedman) {
        // A six end makes only the top place.
        const auto top = static_cast<std::uint16_t>(1u << (FStage - 1));
        for (int i = 0; i < static_cast<int>(FLead.size()); ++i)
            if (FLead[i].Places() == top) points.push_back(i);
    }
    if (points.empty()) points.push_back(static_cast<int>(FLead.size()) - 1);
    return points;
}

TRowsResult RingLead(const TMethod& method) {
    TRowsResult result;
    TRow row = TRow::Rounds(method.Stage());
    result.Rows.push_back(row);
    for (const TChange& change : method.Lead()) {
        row = row.Apply(change);
        result.Rows.push_back(row);
    }
    result.Leads = 1;
    result.CameRound = row.IsRounds();
    return result;
}

TRowsResult RingPlainCourse(const TMethod& method) {
    return RingTouch(method, {});
}

TCalling ParseCalling(const QString& text, const TMethod& method) {
    const std::vector<TCallDef> calls = CallsOf(method.Family(), method.Stage());
    if (calls.empty()) throw Exception(QStringLiteral("no calls are defined for %1").arg(method.Title()));
    TCalling calling;
    int i = 0;
    const int size = static_cast<int>(text.size());
    while (i < size) {
        const QChar c = text[i];
        if (c.isSpace() || c == u',') {
            ++i;
            continue;
        }
        const int symbolPosition = i + 1;
        QChar symbol = c.toUpper();
        if (symbol == u'-') symbol = u'B';
        const auto def =
            std::find_if(calls.begin(), calls.end(), [&](const TCallDef& d) { return d.Symbol == symbol; });
        if (def == calls.end())
            throw Exception(QStringLiteral("unknown call \"%1\" at position %2 (calls are B and S)")
                                .arg(c)
                                .arg(symbolPosition));
        ++i;
        while (i < size && text[i].isSpace()) ++i;
        const int numberStart = i;
        while (i < size && text[i].isDigit()) ++i;
        if (i == numberStart)
            throw Exception(QStringLiteral("call \"%1\" at position %2 has no %3 number")
                                .arg(c)
                                .arg(symbolPosition)
                                .arg(PointWord(method)));
        bool ok = false;
        const int point = text.mid(numberStart, i - numberStart).toInt(&ok);
        if (!ok || point < 1 || point > 100000)
            throw Exception(QStringLiteral("%1 number %2 at position %3 is not one of 1 to 100000")
                                .arg(PointWord(method), text.mid(numberStart, i - numberStart))
                                .arg(numberStart + 1));
        if (calling.count(point))
            throw Exception(QStringLiteral("two calls at %1 %2").arg(PointWord(method)).arg(point));
        calling[point] = symbol;
    }
    if (calling.empty()) throw Exception(QStringLiteral("no calls given"));
    return calling;
}

TRowsResult RingTouch(const TMethod& method, const TCalling& calling) {
    TRowsResult result;
    const int stage = method.Stage();
    const std::int64_t limit = ChangeLimit(stage);
    const std::vector<int> points = method.CallPoints();

    // Each call's changes, parsed once.
    std::map<QChar, std::pair<TCallDef, std::vector<TChange>>> calls;
    for (const TCallDef& def : CallsOf(method.Family(), stage))
        calls[def.Symbol] = {def, ParsePlaceNotation(def.Notation, stage)};
    for (const auto& [point, symbol] : calling)
        if (!calls.count(symbol))
            throw Exception(QStringLiteral("%1 has no call \"%2\"").arg(method.Title()).arg(symbol));

    const int lastCall = calling.empty() ? 0 : calling.rbegin()->first;
    TRow row = TRow::Rounds(stage);
    result.Rows.push_back(row);
    // The lead head after the last call: plain leads come back to it without
    // rounds when the touch does not come round.
    std::optional<TRow> afterLastCall;
    if (lastCall == 0) afterLastCall = row;
    int point = 0;
    while (true) {
        std::vector<TChange> changes = method.Lead();
        for (int end : points) {
            ++point;
            const auto call = calling.find(point);
            if (call == calling.end()) continue;
            const auto& [def, replacement] = calls.at(call->second);
            const int first = end - def.Replaces + 1;
            if (first < 0 || static_cast<int>(replacement.size()) != def.Replaces) continue;
            std::copy(replacement.begin(), replacement.end(), changes.begin() + first);
        }
        ++result.Leads;
        for (const TChange& change : changes) {
            row = row.Apply(change);
            result.Rows.push_back(row);
            if (row.IsRounds()) {
                result.CameRound = true;
                // Call points of this lead after the row that came round
                // were never reached.
                const int index = static_cast<int>(&change - changes.data());
                int reached = point - static_cast<int>(points.size());
                for (int end : points)
                    if (end <= index) ++reached;
                if (reached < lastCall)
                    result.Note =
                        QStringLiteral(
                            "rounds came after %1 changes; the calls after %2 %3 were never reached")
                            .arg(result.Rows.size() - 1)
                            .arg(PointWord(method))
                            .arg(reached);
                return result;
            }
            if (static_cast<std::int64_t>(result.Rows.size()) - 1 >= limit) {
                result.Note = QStringLiteral("stopped after %1 changes without rounds").arg(limit);
                return result;
            }
        }
        if (afterLastCall) {
            if (row == *afterLastCall) {
                result.Note = QStringLiteral(
                                  "does not come round: the plain leads after the last call repeat "
                                  "without rounds (stopped after %1 changes)")
                                  .arg(result.Rows.size() - 1);
                return result;
            }
        } else if (point >= lastCall) {
            afterLastCall = row;
        }
    }
}
