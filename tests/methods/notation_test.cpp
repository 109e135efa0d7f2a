// Rows, changes and place notation in every written form, and the errors
// a ringer sees for notation that cannot be rung.

#include "methods/PlaceNotation.h"
#include "methods/Row.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

TEST(Rows, SymbolsAreTheReceiversCharacters) {
    const QString symbols = QStringLiteral("1234567890ETABCD");
    for (int bell = 1; bell <= 16; ++bell) {
        EXPECT_EQ(BellSymbol(bell), symbols[bell - 1]);
        EXPECT_EQ(BellFromSymbol(symbols[bell - 1]), bell);
        EXPECT_EQ(BellFromSymbol(symbols[bell - 1].toLower()), bell);
    }
    EXPECT_EQ(BellFromSymbol(u'x'), 0);
    EXPECT_EQ(BellFromSymbol(u'F'), 0);
    EXPECT_EQ(TRow::Rounds(16).ToString(), QStringLiteral("1234567890ETABCD"));
    EXPECT_EQ(StageName(6), QStringLiteral("Minor"));
    EXPECT_EQ(StageFromName(QStringLiteral("maximus")), 12);
}

TEST(Rows, OnlyWholeRowsAreRows) {
    EXPECT_TRUE(TRow::FromString(QStringLiteral("135264")).IsValid());
    EXPECT_EQ(TRow::FromString(QStringLiteral("135264")).PlaceOf(6), 5);
    for (const char* bad : {"12", "1233", "1237", "12345678901234567", "12x4"})
        EXPECT_FALSE(TRow::FromString(QString::fromLatin1(bad)).IsValid()) << bad;
}

TEST(Rows, AChangeSwapsEveryPairBetweenItsPlaces) {
    struct Case {
        const char* row;
        const char* change;
        const char* next;
    } const cases[] = {
        {"123456", "x", "214365"},   {"123456", "12", "124365"},
        {"123456", "14", "132465"},  {"123456", "1234", "123465"},
        {"12345", "3", "21354"},     {"12345", "1", "13254"},
        {"1234567", "5", "2143576"}, {"1234567890ET", "x", "2143658709TE"},
    };
    for (const Case& c : cases) {
        const TRow row = TRow::FromString(QString::fromLatin1(c.row));
        const TChange change = ParseChange(QString::fromLatin1(c.change), row.Stage());
        EXPECT_EQ(row.Apply(change).ToString(), QString::fromLatin1(c.next)) << c.row << " " << c.change;
    }
}

TEST(PlaceNotation, EveryFormExpandsToTheChangesRung) {
    struct Case {
        const char* notation;
        int stage;
        const char* changes;
    } cases[] = {
        {"x16x16x16,12", 6, "x16x16x16x16x16x12"},    // a palindrome about its last change, then 12
        {"&x16x16x16,+12", 6, "x16x16x16x16x16x12"},  // the older marks say the same
        {"3,1.5.1.5.1", 5, "3.1.5.1.5.1.5.1.5.1"},    // Grandsire Doubles
        {"5.1.5.1.5,125", 5, "5.1.5.1.5.1.5.1.5.125"},
        {"x16x16x16", 6, "x16x16x16"},  // no comma: as written
        {"&x16x", 6, "x16x16x"},
        {"X16-16.x", 6, "x16x16x"},  // every cross symbol, a dot beside one
        {"4", 6, "14"},              // implied lead
        {"3", 6, "36"},              // implied top place
        {"2", 5, "125"},             // both ends
        {"1", 7, "1"},
        {"12", 7, "127"},
        {"1234", 7, "12347"},
        {"e.1", 11, "E.1"},
        {"x1T", 12, "x1T"},
        {"x1D", 16, "x1D"},
        {" 34 x 34. 16 ", 6, "34x34.16"},  // spaces as ringers write them
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatPlaceNotation(ParsePlaceNotation(QString::fromLatin1(c.notation), c.stage)),
                  QString::fromLatin1(c.changes))
            << c.notation;
}

TEST(PlaceNotation, BadNotationNamesThePositionAndTheFault) {
    struct Case {
        const char* notation;
        int stage;
        int position;
        const char* message;
    } cases[] = {
        {"x16x17", 6, 6, "place 7 is beyond stage 6 at position 6"},
        {"x1E", 10, 3, "place E is beyond stage 10 at position 3"},
        {"1432", 6, 3, "place 3 comes after place 4 at position 3"},
        {"1124", 6, 2, "place 1 is repeated at position 2"},
        {"5.1.x", 5, 5, "a cross (\"x\") cannot be rung on odd stage 5 at position 5"},
        {"12..34", 6, 4, "empty change at position 4"},
        {".12", 6, 1, "empty change at position 1"},
        {"12.", 6, 3, "empty change at position 3"},
        {"x16,", 6, 4, "empty change at position 4"},
        {",12", 6, 1, "empty change at position 1"},
        {"", 6, 1, "empty notation at position 1"},
        {"13", 6, 2, "places 1 and 3 leave a bell between them unpaired at position 2"},
        {"x16q", 6, 4, "unexpected character \"q\" at position 4"},
        {"x16,x16,12", 6, 8, "a second comma at position 8"},
    };
    for (const Case& c : cases) {
        try {
            ParsePlaceNotation(QString::fromLatin1(c.notation), c.stage);
            ADD_FAILURE() << c.notation << " was accepted";
        } catch (const EPlaceNotation& e) {
            EXPECT_EQ(e.Message(), QString::fromLatin1(c.message)) << c.notation;
            EXPECT_EQ(e.Position(), c.position) << c.notation;
        }
    }
}

}  // namespace

namespace {

// Any text either rings as changes whose bells only swap in adjacent
// pairs, or is refused with a position inside the text.
TEST(PlaceNotation, AnyTextRingsOrIsRefusedWithItsPosition) {
    const QString alphabet = QStringLiteral("1234567890ETABCDxX-.,&+ q");
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    int rung = 0;
    for (int round = 0; round < 20000; ++round) {
        const int stage = kMinStage + static_cast<int>(next() % (kMaxStage - kMinStage + 1));
        QString text;
        const int length = static_cast<int>(next() % 16);
        for (int i = 0; i < length; ++i) text += alphabet[static_cast<int>(next() % alphabet.size())];
        try {
            const std::vector<TChange> changes = ParsePlaceNotation(text, stage);
            ++rung;
            for (const TChange& change : changes) {
                const TRow after = TRow::Rounds(stage).Apply(change);
                for (int place = 1; place <= stage; ++place) {
                    const int bell = after.Bell(place);
                    if (change.MakesPlace(place)) {
                        EXPECT_EQ(bell, place) << text.toStdString();
                    } else {
                        // Swapped with a neighbour that makes no place either.
                        EXPECT_EQ(std::abs(bell - place), 1) << text.toStdString();
                        EXPECT_FALSE(change.MakesPlace(bell)) << text.toStdString();
                    }
                }
            }
        } catch (const EPlaceNotation& e) {
            EXPECT_GE(e.Position(), 1) << text.toStdString();
            EXPECT_LE(e.Position(), std::max<int>(1, static_cast<int>(text.size()))) << text.toStdString();
            EXPECT_TRUE(e.Message().endsWith(QStringLiteral("at position %1").arg(e.Position())))
                << e.Message().toStdString();
        }
    }
    EXPECT_GT(rung, 100);  // the text is not all refused
}

}  // namespace
