// Lowndes files read back: ours and other writers' (the tenth bell as "0"
// or "O", "0x" or "0X", CRLF), the version 2 header, the time's wrap past
// 0xFFFF, and a clear error naming the line of anything else.

#include "analysis/Lowndes.h"

#include <gtest/gtest.h>

namespace {

TEST(Lowndes, BellCharactersBothWaysAndTheTenthEitherWay) {
    const char* bells = "1234567890ETABCD";
    for (int bell = 1; bell <= 16; ++bell) {
        EXPECT_EQ(LowndesBellChar(bell), bells[bell - 1]) << bell;
        EXPECT_EQ(LowndesBellNumber(bells[bell - 1]), bell) << bell;
    }
    EXPECT_EQ(LowndesBellNumber('O'), 10);
    EXPECT_EQ(LowndesBellChar(10, 'O'), 'O');
    for (char c : {'o', 'e', 'x', '?', ' ', 'F', 'H'}) EXPECT_EQ(LowndesBellNumber(c), 0) << c;
    EXPECT_EQ(LowndesBellChar(0), '?');
    EXPECT_EQ(LowndesBellChar(17), '?');
}

TEST(Lowndes, HeaderAndBlowsReadFromAnotherWritersFile) {
    // CRLF, the tenth as the letter O, an upper-case X, and a free comment.
    const QByteArray text =
        "#. Lowndes: Version 2\r\n"
        "#. Creator: Another Writer 3.1\r\n"
        "#. Tower: St Ethelburga, Lakeside\r\n"
        "#. RingingName: Practice night\r\n"
        "#. RingingDateTime: 2026-11-03 19:45:00\r\n"
        "#. Tenor: 10\r\n"
        "#. NumBellsRinging: 10\r\n"
        "#. FirstBlowMs: 70210\r\n"
        "#. Method: Grandsire Caters\r\n"
        "#. Stage: 9\r\n"
        "#. Ringers: A Ringer, B Ringer\r\n"
        "# a free comment\r\n"
        "H 9 0X1242\r\n"
        "H O 0X12F0\r\n"
        "B 0 0x13a0\r\n";
    TLowndesFile file;
    QString error;
    ASSERT_TRUE(ReadLowndes(text, file, &error)) << error.toStdString();
    EXPECT_EQ(file.Version(), 2);
    EXPECT_EQ(file.Value(QStringLiteral("creator")), QStringLiteral("Another Writer 3.1"));
    EXPECT_EQ(file.Value(QStringLiteral("Tower")), QStringLiteral("St Ethelburga, Lakeside"));
    EXPECT_EQ(file.Value(QStringLiteral("Ringers")), QStringLiteral("A Ringer, B Ringer"));
    EXPECT_EQ(file.Value(QStringLiteral("Method")), QStringLiteral("Grandsire Caters"));
    EXPECT_EQ(file.BellsRinging(), 10);
    EXPECT_EQ(file.FirstBlowMs(), 70210);
    EXPECT_EQ(file.Header.size(), 11u);
    ASSERT_EQ(file.Comments.size(), 1);
    EXPECT_EQ(file.Comments[0], QStringLiteral(" a free comment"));
    ASSERT_EQ(file.Blows.size(), 3u);
    EXPECT_EQ(file.Blows[0].Bell, 9);
    EXPECT_EQ(file.Blows[1].Bell, 10);
    EXPECT_EQ(file.Blows[2].Bell, 10);
    EXPECT_EQ(file.Blows[0].Ms, 0x1242);
    EXPECT_EQ(file.Blows[2].Ms, 0x13A0);
    EXPECT_TRUE(file.Blows[1].Handstroke);
    EXPECT_FALSE(file.Blows[2].Handstroke);
    EXPECT_EQ(file.Blows[2].Line, 15);
}

TEST(Lowndes, AnOldFileWithoutHeaderIsVersionOne) {
    TLowndesFile file;
    QString error;
    ASSERT_TRUE(ReadLowndes("#. Quorvel 16 v1.07, touch of 2026-12-10 19:30:05\nH 1 0x0000\nH 2 0x00EC\n",
                            file, &error))
        << error.toStdString();
    EXPECT_EQ(file.Version(), 1);
    EXPECT_EQ(file.BellsRinging(), 2);
    EXPECT_EQ(file.Blows.size(), 2u);
    EXPECT_EQ(file.Comments.size(), 1);
}

struct WrapRow {
    const char* Name;
    std::vector<int> Written;
    std::vector<std::int64_t> Read;
};

TEST(Lowndes, TimesWrapPastFFFFAndBlowsOutOfOrderStayPut) {
    const WrapRow rows[] = {
        {"steady", {0x0000, 0x00EC, 0x01D8}, {0x0000, 0x00EC, 0x01D8}},
        {"one wrap", {0xFF00, 0xFFEC, 0x00D8, 0x01C4}, {0xFF00, 0xFFEC, 0x100D8, 0x101C4}},
        {"two wraps", {0xFFF0, 0x0010, 0x8000, 0xFFF0, 0x0010}, {0xFFF0, 0x10010, 0x18000, 0x1FFF0, 0x20010}},
        {"two blows the other way round", {0x1000, 0x1100, 0x10F8, 0x1200}, {0x1000, 0x1100, 0x10F8, 0x1200}},
        {"the other way round across the wrap",
         {0xFFF0, 0x0004, 0xFFFE, 0x0100},
         {0xFFF0, 0x10004, 0xFFFE, 0x10100}},
        {"a pause of 50 s", {0x0100, 0xC450}, {0x0100, 0xC450}},
    };
    for (const WrapRow& row : rows) {
        TLowndesFile written;
        for (std::size_t i = 0; i < row.Written.size(); ++i)
            written.Blows.push_back({i % 2 == 0, 1, row.Written[i], 0});
        TLowndesFile read;
        QString error;
        ASSERT_TRUE(ReadLowndes(LowndesText(written), read, &error))
            << row.Name << ": " << error.toStdString();
        ASSERT_EQ(read.Blows.size(), row.Read.size()) << row.Name;
        for (std::size_t i = 0; i < row.Read.size(); ++i)
            EXPECT_EQ(read.Blows[i].Ms, row.Read[i]) << row.Name << " " << i;
    }
}

TEST(Lowndes, WrittenAndReadBackWhole) {
    TLowndesFile file;
    file.Header = {{QStringLiteral("Creator"), QStringLiteral("Quorvel 16 v1.07")},
                   {QStringLiteral("NumBellsRinging"), QStringLiteral("16")},
                   {QStringLiteral("Tower"), QStringLiteral("two\nlines")}};
    std::int64_t t = 0;
    for (int i = 0; i < 16 * 30; ++i) {
        file.Blows.push_back({(i / 16) % 2 == 0, i % 16 + 1, t, 0});
        t += 173 + (i % 16 == 15 && (i / 16) % 2 ? 173 : 0);
    }
    ASSERT_GT(t, 0x10000);
    for (char ten : {'0', 'O'}) {
        const QByteArray text = LowndesText(file, ten);
        EXPECT_TRUE(text.startsWith("#. Lowndes: Version 2\n#. Creator: Quorvel 16 v1.07\n"))
            << text.left(80).data();
        EXPECT_TRUE(text.contains("\n#. Tower: two lines\n"));
        EXPECT_TRUE(text.contains(QByteArray("\nH ") + ten + " 0x"));
        TLowndesFile read;
        QString error;
        ASSERT_TRUE(ReadLowndes(text, read, &error)) << error.toStdString();
        EXPECT_EQ(read.Version(), 2);
        EXPECT_EQ(read.BellsRinging(), 16);
        ASSERT_EQ(read.Blows.size(), file.Blows.size());
        for (std::size_t i = 0; i < file.Blows.size(); ++i) {
            EXPECT_EQ(read.Blows[i].Bell, file.Blows[i].Bell) << i;
            EXPECT_EQ(read.Blows[i].Handstroke, file.Blows[i].Handstroke) << i;
            EXPECT_EQ(read.Blows[i].Ms, file.Blows[i].Ms) << i;
        }
    }
}

struct BadRow {
    QByteArray Text;
    int Line;
    const char* Says;
};

TEST(Lowndes, ALineThatIsNoBlowIsNamed) {
    const BadRow rows[] = {
        {"H 1 0x0000\nX 2 0x0010\n", 2, "stroke"},
        {"H 1 0x0000\n\nH Z 0x0010\n", 3, "bell"},
        {"H 1 0x0000\nH 10 0x0010\n", 2, "bell"},
        {"H 1 0x0000\nH 2 0x00G0\n", 2, "time"},
        {"H 1 0x0000\nH 2 12\n", 2, "time"},
        {"H 1 0x0000\nH 2 0x12345\n", 2, "time"},
        {"#. Lowndes: Version 2\nH 1 0x0000 extra\n", 2, "not a blow"},
        {"\x89PNG\r\n\x1a\n", 1, "not a blow"},
    };
    for (const BadRow& row : rows) {
        TLowndesFile file;
        QString error;
        EXPECT_FALSE(ReadLowndes(row.Text, file, &error)) << row.Text.data();
        EXPECT_TRUE(error.startsWith(QStringLiteral("line %1: ").arg(row.Line))) << error.toStdString();
        EXPECT_TRUE(error.contains(QLatin1String(row.Says))) << error.toStdString();
    }
}

}  // namespace
