// The built-in methods against their published lead heads and plain
// course lengths, and touches against rows worked out by hand from the
// calls' definitions and against published round blocks.

#include "methods/Method.h"
#include "methods/MethodLibrary.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QSet>

namespace {

const TMethod& BuiltIn(const char* title) {
    const TMethod* method = FindBuiltInMethod(QString::fromLatin1(title));
    if (!method) throw std::runtime_error(std::string("no built-in ") + title);
    return *method;
}

// The lead heads of a touch's rows: every LeadLength-th row after rounds.
QStringList LeadHeads(const TRowsResult& result, int leadLength) {
    QStringList heads;
    for (std::size_t i = leadLength; i < result.Rows.size(); i += leadLength)
        heads << result.Rows[i].ToString();
    return heads;
}

TEST(BuiltInMethods, LeadHeadsAndPlainCoursesAreThePublishedOnes) {
    struct Case {
        const char* title;
        int leadLength;
        const char* leadHead;
        int courseLength;
    } const cases[] = {
        {"Plain Bob Doubles", 10, "13524", 40},
        {"Plain Bob Minor", 12, "135264", 60},
        {"Plain Bob Triples", 14, "1352746", 84},
        {"Plain Bob Major", 16, "13527486", 112},
        {"Plain Bob Caters", 18, "135274968", 144},
        {"Plain Bob Royal", 20, "1352749608", 180},
        {"Plain Bob Cinques", 22, "13527496E80", 220},
        {"Plain Bob Maximus", 24, "13527496E8T0", 264},
        {"Grandsire Doubles", 10, "12534", 30},
        {"Grandsire Triples", 14, "1253746", 70},
        {"Grandsire Caters", 18, "125374968", 126},
        {"Stedman Doubles", 12, nullptr, 60},
        {"Stedman Triples", 12, nullptr, 84},
        {"Stedman Caters", 12, nullptr, 108},
        {"Kent Treble Bob Minor", 24, "142635", 120},
        {"Oxford Treble Bob Minor", 24, "142635", 120},
        {"Cambridge Surprise Minor", 24, "156342", 120},
        {"Cambridge Surprise Major", 32, "15738264", 224},
        {"Cambridge Surprise Royal", 40, "1573920486", 360},
        {"Yorkshire Surprise Major", 32, "15738264", 224},
        {"Bristol Surprise Major", 32, "14263857", 224},
    };
    for (const Case& c : cases) {
        const TMethod& method = BuiltIn(c.title);
        EXPECT_EQ(static_cast<int>(method.Lead().size()), c.leadLength) << c.title;
        if (c.leadHead) {
            EXPECT_EQ(method.LeadHead().ToString(), QString::fromLatin1(c.leadHead)) << c.title;
        }
        const TRowsResult course = RingPlainCourse(method);
        EXPECT_TRUE(course.CameRound) << c.title;
        EXPECT_EQ(static_cast<int>(course.Rows.size()) - 1, c.courseLength) << c.title;
    }
}

TEST(BuiltInMethods, PlainCoursesAreTrueAndPlainHuntCoversEveryStage) {
    int hunts = 0;
    for (const TMethod& method : BuiltInMethods()) {
        const TRowsResult course = RingPlainCourse(method);
        ASSERT_TRUE(course.CameRound) << method.Title().toStdString();
        QSet<QString> seen;
        for (std::size_t i = 0; i + 1 < course.Rows.size(); ++i) {
            const QString row = course.Rows[i].ToString();
            EXPECT_FALSE(seen.contains(row))
                << method.Title().toStdString() << " repeats " << row.toStdString();
            seen.insert(row);
        }
        if (method.Title().startsWith(QStringLiteral("Plain Hunt"))) {
            ++hunts;
            EXPECT_EQ(static_cast<int>(course.Rows.size()) - 1, 2 * method.Stage())
                << method.Title().toStdString();
        }
    }
    EXPECT_EQ(hunts, 14);  // stages 3 to 16
}

TEST(BuiltInMethods, TheTrebleOfTrebleDodgingMethodsRingsTrebleBob) {
    // Lead, dodge in each pair going up, lie, and the same coming down.
    const std::vector<int> minor{1, 2, 1, 2, 3, 4, 3, 4, 5, 6, 5, 6, 6, 5, 6, 5, 4, 3, 4, 3, 2, 1, 2, 1, 1};
    for (const char* title :
         {"Kent Treble Bob Minor", "Oxford Treble Bob Minor", "Cambridge Surprise Minor"}) {
        const TRowsResult lead = RingLead(BuiltIn(title));
        std::vector<int> path;
        for (const TRow& row : lead.Rows) path.push_back(row.PlaceOf(1));
        EXPECT_EQ(path, minor) << title;
    }
    for (const char* title : {"Cambridge Surprise Major", "Yorkshire Surprise Major",
                              "Bristol Surprise Major", "Cambridge Surprise Royal"}) {
        const TMethod& method = BuiltIn(title);
        const int n = method.Stage();
        std::vector<int> expected;
        for (int pair = 1; pair < n; pair += 2)
            for (int p : {pair, pair + 1, pair, pair + 1}) expected.push_back(p);
        // Coming down mirrors going up: the lead is symmetric about the half lead.
        std::vector<int> path;
        for (const TRow& row : RingLead(method).Rows) path.push_back(row.PlaceOf(1));
        ASSERT_EQ(static_cast<int>(path.size()), 4 * n + 1) << title;
        for (int i = 0; i < 2 * n; ++i) {
            EXPECT_EQ(path[i], expected[i]) << title << " row " << i;
            EXPECT_EQ(path[4 * n - 1 - i], expected[i]) << title << " row " << 4 * n - 1 - i;
        }
        EXPECT_EQ(path[4 * n], 1) << title;
    }
}

TEST(Touches, PlainBobMinorCourseAndCalls) {
    const TMethod& pb = BuiltIn("Plain Bob Minor");
    EXPECT_EQ(LeadHeads(RingPlainCourse(pb), 12),
              QStringList({"135264", "156342", "164523", "142635", "123456"}));

    // The bell in 4ths makes the bob; at a single 3rds and 4ths are made.
    const TRowsResult bob = RingTouch(pb, ParseCalling(QStringLiteral("B 1"), pb));
    EXPECT_EQ(bob.Rows[11].ToString(), QStringLiteral("132546"));
    EXPECT_EQ(bob.Rows[12].ToString(), QStringLiteral("123564"));
    const TRowsResult single = RingTouch(pb, ParseCalling(QStringLiteral("S 1"), pb));
    EXPECT_EQ(single.Rows[12].ToString(), QStringLiteral("132564"));
    // A bob lead head on its own never comes back to rounds by plain leads.
    EXPECT_FALSE(bob.CameRound);
    EXPECT_FALSE(bob.Note.isEmpty());

    // Three bobs: 36 changes and rounds.
    const TRowsResult three = RingTouch(pb, ParseCalling(QStringLiteral("B 1, B 2, B 3"), pb));
    EXPECT_TRUE(three.CameRound);
    EXPECT_EQ(three.Rows.size() - 1, 36u);
    EXPECT_EQ(LeadHeads(three, 12), QStringList({"123564", "123645", "123456"}));

    // Calls later in the touch, worked by hand from the lead ends 153624
    // (bobbed) and 145236 (singled).
    const TRowsResult later = RingTouch(pb, ParseCalling(QStringLiteral("B 2, S 4"), pb));
    const QStringList heads = LeadHeads(later, 12);
    ASSERT_GE(heads.size(), 4);
    EXPECT_EQ(heads.mid(0, 4), QStringList({"135264", "135642", "154326", "145263"}));
}

TEST(Touches, GrandsireAndStedmanCalls) {
    // Grandsire Doubles by hand: the row before the lead end is 51423; a bob
    // rings 3.1 there and a single 3.123 instead of 5.1.
    const TMethod& gd = BuiltIn("Grandsire Doubles");
    EXPECT_EQ(RingTouch(gd, ParseCalling(QStringLiteral("B 1"), gd)).Rows[10].ToString(),
              QStringLiteral("14523"));
    EXPECT_EQ(RingTouch(gd, ParseCalling(QStringLiteral("S 1"), gd)).Rows[10].ToString(),
              QStringLiteral("15423"));
    EXPECT_EQ(RingTouch(gd, ParseCalling(QStringLiteral("B 1"), gd)).Rows[8].ToString(),
              QStringLiteral("51423"));

    const TMethod& gt = BuiltIn("Grandsire Triples");
    EXPECT_EQ(RingTouch(gt, ParseCalling(QStringLiteral("B 1"), gt)).Rows[14].ToString(),
              QStringLiteral("1752634"));
    EXPECT_EQ(RingTouch(gt, ParseCalling(QStringLiteral("S 1"), gt)).Rows[14].ToString(),
              QStringLiteral("1572634"));

    // Stedman Triples from rounds: the first six end comes after three
    // changes; plain it makes 7ths, a bob 5ths, a single 5-6-7.
    const TMethod& st = BuiltIn("Stedman Triples");
    EXPECT_EQ(RingPlainCourse(st).Rows[3].ToString(), QStringLiteral("3241657"));
    EXPECT_EQ(RingTouch(st, ParseCalling(QStringLiteral("B 1"), st)).Rows[3].ToString(),
              QStringLiteral("3241576"));
    EXPECT_EQ(RingTouch(st, ParseCalling(QStringLiteral("S 1"), st)).Rows[3].ToString(),
              QStringLiteral("3241567"));
    // Ten sixes bobbed in a row make a round block of 60 changes.
    const TRowsResult block =
        RingTouch(st, ParseCalling(QStringLiteral("B1 B2 B3 B4 B5 B6 B7 B8 B9 B10"), st));
    EXPECT_TRUE(block.CameRound);
    EXPECT_EQ(block.Rows.size() - 1, 60u);
    EXPECT_TRUE(block.Note.isEmpty());
}

TEST(Touches, TouchesComeRoundOrSayWhyNot) {
    // Bristol: a bob at each of the first three leads brings rounds.
    const TMethod& bristol = BuiltIn("Bristol Surprise Major");
    const TRowsResult bobbed = RingTouch(bristol, ParseCalling(QStringLiteral("-1 -2 -3"), bristol));
    EXPECT_EQ(bobbed.Rows[32].ToString(), QStringLiteral("14235678"));
    EXPECT_TRUE(bobbed.CameRound);
    EXPECT_EQ(bobbed.Rows.size() - 1, 96u);

    // A call after the touch has come round is reported, not silently lost.
    const TMethod& pb = BuiltIn("Plain Bob Minor");
    const TRowsResult early = RingTouch(pb, ParseCalling(QStringLiteral("B 1, B 2, B 3, S 9"), pb));
    EXPECT_TRUE(early.CameRound);
    EXPECT_EQ(early.Rows.size() - 1, 36u);
    EXPECT_TRUE(early.Note.contains(QStringLiteral("never reached"))) << early.Note.toStdString();

    // Every row of a touch is a change from the one before.
    for (std::size_t i = 1; i < early.Rows.size(); ++i) EXPECT_NE(early.Rows[i], early.Rows[i - 1]);
}

TEST(Touches, CallingsAreCheckedBeforeRinging) {
    const TMethod& pb = BuiltIn("Plain Bob Minor");
    struct Case {
        const char* calling;
        const char* message;
    } const cases[] = {
        {"Q 2", "unknown call \"Q\" at position 1 (calls are B and S)"},
        {"B", "call \"B\" at position 1 has no lead number"},
        {"B 2, S 2", "two calls at lead 2"},
        {"B 0", "lead number 0 at position 3 is not one of 1 to 100000"},
        {" , ", "no calls given"},
    };
    for (const Case& c : cases) {
        try {
            ParseCalling(QString::fromLatin1(c.calling), pb);
            ADD_FAILURE() << c.calling << " was accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), QString::fromLatin1(c.message)) << c.calling;
        }
    }
    EXPECT_THROW(ParseCalling(QStringLiteral("B 1"), BuiltIn("Plain Hunt Minor")), Exception);
    EXPECT_EQ(ParseCalling(QStringLiteral("b2,s 4"), pb), (TCalling{{2, u'B'}, {4, u'S'}}));
}

TEST(MethodNames, RingersSpellingsFindTheMethod) {
    EXPECT_EQ(FindBuiltInMethod(QStringLiteral("cambridge s minor")), &BuiltIn("Cambridge Surprise Minor"));
    EXPECT_EQ(FindBuiltInMethod(QStringLiteral("  KENT  T.B. minor")), &BuiltIn("Kent Treble Bob Minor"));
    EXPECT_EQ(FindBuiltInMethod(QStringLiteral("Cambridge")), nullptr);
    EXPECT_EQ(
        SearchBuiltInMethods(QStringLiteral("cambridge")),
        QStringList({"Cambridge Surprise Minor", "Cambridge Surprise Major", "Cambridge Surprise Royal"}));
    EXPECT_EQ(SearchBuiltInMethods(QStringLiteral("gran trip")), QStringList({"Grandsire Triples"}));
}

}  // namespace
