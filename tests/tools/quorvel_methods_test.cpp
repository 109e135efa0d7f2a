// quorvel-methods run as a ringer runs it: its rows, its messages and its
// exit codes.

#include "tests/support/ChildProcess.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QFile>

#ifndef QUORVEL_METHODS_TOOL
#error "QUORVEL_METHODS_TOOL must name the program under test"
#endif

namespace {

ChildResult RunTool(const QStringList& args) {
    return RunChild(QStringLiteral(QUORVEL_METHODS_TOOL), args);
}

QStringList Lines(const QByteArray& out) {
    return QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
}

TEST(QuorvelMethods, PrintsThePlainCourseRoundsFirst) {
    const ChildResult result = RunTool({QStringLiteral("Plain Bob Minor")});
    ASSERT_TRUE(result.ok()) << result.err.toStdString();
    const QStringList rows = Lines(result.out);
    ASSERT_EQ(rows.size(), 61);  // rounds and 60 changes
    EXPECT_EQ(rows.front(), QStringLiteral("123456"));
    EXPECT_EQ(rows[1], QStringLiteral("214365"));
    EXPECT_EQ(rows[12], QStringLiteral("135264"));
    EXPECT_EQ(rows.back(), QStringLiteral("123456"));
    EXPECT_TRUE(result.err.isEmpty());

    // The same by notation, and the same from a ringer's shorthand.
    const ChildResult byNotation = RunTool({QStringLiteral("--notation"), QStringLiteral("x16x16x16,12"),
                                            QStringLiteral("--stage"), QStringLiteral("6")});
    ASSERT_TRUE(byNotation.ok()) << byNotation.err.toStdString();
    EXPECT_EQ(byNotation.out, result.out);
    EXPECT_EQ(RunTool({QStringLiteral("--course"), QStringLiteral("plain bob minor")}).out, result.out);
}

TEST(QuorvelMethods, OneLeadAndATouch) {
    const ChildResult lead = RunTool({QStringLiteral("--lead"), QStringLiteral("Cambridge S Minor")});
    ASSERT_TRUE(lead.ok()) << lead.err.toStdString();
    const QStringList rows = Lines(lead.out);
    ASSERT_EQ(rows.size(), 25);
    EXPECT_EQ(rows.back(), QStringLiteral("156342"));

    const ChildResult touch = RunTool(
        {QStringLiteral("Plain Bob Minor"), QStringLiteral("--calls"), QStringLiteral("B 1, B 2, B 3")});
    ASSERT_TRUE(touch.ok()) << touch.err.toStdString();
    const QStringList touchRows = Lines(touch.out);
    ASSERT_EQ(touchRows.size(), 37);
    EXPECT_EQ(touchRows[12], QStringLiteral("123564"));
    EXPECT_EQ(touchRows.back(), QStringLiteral("123456"));

    // A notation that is a built-in method's rings with that method's calls:
    // Grandsire's bob makes 3rds for the last two changes of the lead.
    const ChildResult grandsire =
        RunTool({QStringLiteral("--notation"), QStringLiteral("3,1.5.1.5.1"), QStringLiteral("--stage"),
                 QStringLiteral("5"), QStringLiteral("--calls"), QStringLiteral("B 1")});
    ASSERT_TRUE(grandsire.ok()) << grandsire.err.toStdString();
    ASSERT_GE(Lines(grandsire.out).size(), 11);
    EXPECT_EQ(Lines(grandsire.out)[10], QStringLiteral("14523"));

    // A touch that never comes round prints its rows and says so.
    const ChildResult open =
        RunTool({QStringLiteral("Plain Bob Minor"), QStringLiteral("--calls"), QStringLiteral("S 1")});
    ASSERT_TRUE(open.ok());
    EXPECT_NE(Lines(open.out).back(), QStringLiteral("123456"));
    EXPECT_TRUE(open.err.contains("does not come round")) << open.err.toStdString();
}

TEST(QuorvelMethods, BadArgumentsAndBadNotation) {
    struct Case {
        QStringList args;
        int code;
        const char* message;
    } const cases[] = {
        {{}, 2, "name a method or give --notation and --stage"},
        {{"--notation", "x16"}, 2, "--notation needs --stage"},
        {{"--notation", "x16", "--stage", "17"}, 2, "--stage \"17\" is not one of 3 to 16"},
        {{"--frobnicate"}, 2, "Unknown option 'frobnicate'"},
        {{"Plain Bob Minor", "--lead", "--course"}, 2, "choose one of --lead, --course and --calls"},
        {{"Plain Bob Minor", "--calls", "B two"}, 2, "has no lead number"},
        {{"Plain Hunt Minor", "--calls", "B 1"}, 2, "no calls are defined for Plain Hunt Minor"},
        {{"--notation", "x16x17", "--stage", "6"}, 1, "place 7 is beyond stage 6 at position 6"},
        {{"--notation", "5.1.x", "--stage", "5"}, 1, "at position 5"},
        {{"Zebra Surprise Minor"}, 1, "no method called \"Zebra Surprise Minor\""},
        {{"Cambridge", "--collection", "/nonexistent/methods.xml"},
         1,
         "cannot open /nonexistent/methods.xml"},
    };
    for (const Case& c : cases) {
        const ChildResult result = RunTool(c.args);
        ASSERT_TRUE(result.finished && result.exited) << c.args.join(u' ').toStdString();
        EXPECT_EQ(result.code, c.code) << c.args.join(u' ').toStdString();
        EXPECT_TRUE(result.err.contains(c.message))
            << c.args.join(u' ').toStdString() << ": " << result.err.toStdString();
        EXPECT_TRUE(result.out.isEmpty()) << c.args.join(u' ').toStdString();
    }
}

TEST(QuorvelMethods, SearchesTheCollectionByName) {
    TempDir dir;
    const QString path = dir.file(QStringLiteral("methods.xml"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(
        "<?xml version=\"1.0\"?>\n"
        "<collection xmlns=\"http://www.cccbr.org.uk/methods/schemas/2007/05/methods\">\n"
        " <methodSet><properties><stage>6</stage></properties>\n"
        "  <method><title>Cambridge Surprise "
        "Minor</title><notation>-36-14-12-36-14-56,12</notation></method>\n"
        "  <method><title>Primrose Surprise "
        "Minor</title><notation>-36-14-12-36-14-56,16</notation></method>\n"
        "  <method><title>Ipswich Surprise "
        "Minor</title><notation>-36-14-12-36.14-14.36,12</notation></method>\n"
        " </methodSet>\n</collection>\n");
    file.close();

    const ChildResult exact =
        RunTool({QStringLiteral("primrose s minor"), QStringLiteral("--collection"), path});
    ASSERT_TRUE(exact.ok()) << exact.err.toStdString();
    const QStringList rows = Lines(exact.out);
    ASSERT_EQ(rows.size(), 121);
    EXPECT_EQ(rows[24], QStringLiteral("135264"));  // Cambridge with sixths at the lead end

    const ChildResult partial =
        RunTool({QStringLiteral("surprise minor"), QStringLiteral("--collection"), path});
    EXPECT_EQ(partial.code, 1);
    EXPECT_EQ(Lines(partial.out),
              QStringList({"Cambridge Surprise Minor", "Primrose Surprise Minor", "Ipswich Surprise Minor"}));
    EXPECT_TRUE(partial.err.contains("3 match")) << partial.err.toStdString();

    // A collection that cannot be read is refused with its line.
    QFile damaged(path);
    ASSERT_TRUE(damaged.open(QIODevice::Append));
    damaged.write("<trailing/>\n");
    damaged.close();
    const ChildResult refused =
        RunTool({QStringLiteral("Cambridge Surprise Minor"), QStringLiteral("--collection"), path});
    EXPECT_EQ(refused.code, 1);
    EXPECT_TRUE(refused.err.contains("line 9")) << refused.err.toStdString();
    EXPECT_TRUE(refused.out.isEmpty());
}

}  // namespace
