// quorvel-touch run as a band runs it: on another writer's file (the tenth
// as "O", CRLF, the time wrapping), on touches of our own with known
// faults, and on files and command lines it must refuse.

#include "analysis/Lowndes.h"
#include "tests/analysis/SyntheticTouch.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <map>

#ifndef QUORVEL_TOUCH
#error "QUORVEL_TOUCH must name the program under test"
#endif

namespace {

const QString kFixture = QStringLiteral(QUORVEL_SOURCE_DIR "/tests/tools/data/plain-hunt-royal.txt");

ChildResult Touch(const QStringList& Args) {
    return RunChild(QStringLiteral(QUORVEL_TOUCH), Args);
}

struct CsvLine {
    int Blows = 0;
    double Mean = 0, Sd = 0, Rms = 0;
};

// "bell,stroke" to its figures.
std::map<QString, CsvLine> ReadCsv(const QByteArray& Out) {
    std::map<QString, CsvLine> lines;
    const QList<QByteArray> rows = Out.trimmed().split('\n');
    EXPECT_EQ(rows.value(0), QByteArray("bell,stroke,blows,mean_ms,sd_ms,rms_ms"));
    for (int i = 1; i < rows.size(); ++i) {
        const QList<QByteArray> f = rows[i].split(',');
        EXPECT_EQ(f.size(), 6) << rows[i].data();
        if (f.size() != 6) continue;
        lines[QString::fromLatin1(f[0] + ',' + f[1])] = {f[2].toInt(), f[3].toDouble(), f[4].toDouble(),
                                                         f[5].toDouble()};
    }
    return lines;
}

bool Write(const QString& Path, const QByteArray& Text) {
    QFile f(Path);
    return f.open(QIODevice::WriteOnly) && f.write(Text) == Text.size();
}

TEST(QuorvelTouch, AnotherWritersFileWithTheTenthAsTheLetterO) {
    const ChildResult r = Touch({QStringLiteral("--csv"), kFixture});
    ASSERT_TRUE(r.ok()) << r.error.toStdString() << r.err.toStdString();
    const std::map<QString, CsvLine> csv = ReadCsv(r.out);
    ASSERT_EQ(csv.size(), 20u) << r.out.toStdString();
    for (const auto& [key, line] : csv) {
        EXPECT_EQ(line.Blows, 30) << key.toStdString();
        const bool late = key == QStringLiteral("4,B");
        EXPECT_DOUBLE_EQ(line.Mean, late ? 25.0 : 0.0) << key.toStdString();
        EXPECT_DOUBLE_EQ(line.Sd, 0.0) << key.toStdString();
        EXPECT_DOUBLE_EQ(line.Rms, late ? 25.0 : 0.0) << key.toStdString();
    }
    EXPECT_TRUE(csv.count(QStringLiteral("10,H")));

    const ChildResult text = Touch({QStringLiteral("--views"), kFixture});
    ASSERT_TRUE(text.ok()) << text.err.toStdString();
    const QString out = QString::fromLocal8Bit(text.out);
    EXPECT_TRUE(out.contains(QStringLiteral(": 10 bells, 60 rows (60 measured), 600 blows")))
        << out.toStdString();
    // 25 ms on one stroke of one bell in ten: the band's RMS is 25 / sqrt(20).
    EXPECT_TRUE(out.contains(QStringLiteral("Striking: RMS error 5.6 ms"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("handstroke gap 1.00 blows"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Speed: 200.0 ms a blow"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("   4       B     30   +25.0    0.0   25.0")))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Bell in position"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Bell after bell"))) << out.toStdString();
}

TEST(QuorvelTouch, OurOwnTouchesWithKnownFaults) {
    TempDir dir;
    TTouchSpec spec;
    spec.BackLateMs[3] = 25;
    spec.SdMs[6] = 30;
    spec.GapBlows = 1.5;
    const ::TTouch touch = MakeTouch(spec);
    TLowndesFile file;
    file.Header = {{QStringLiteral("Creator"), QStringLiteral("test")}};
    file.Blows = touch.Blows;
    const QString path = dir.file(QStringLiteral("touch.txt"));
    ASSERT_TRUE(Write(path, LowndesText(file)));

    const ChildResult r = Touch({QStringLiteral("--csv"), QStringLiteral("--computer=1,2"), path});
    ASSERT_TRUE(r.ok()) << r.err.toStdString();
    const std::map<QString, CsvLine> csv = ReadCsv(r.out);
    ASSERT_EQ(csv.size(), 16u);
    for (int bell = 1; bell <= 8; ++bell)
        for (int s = 0; s < 2; ++s) {
            const QString key = QStringLiteral("%1,%2").arg(bell).arg(s ? "B" : "H");
            const TInjected& in = touch.Injected[bell][s];
            ASSERT_TRUE(csv.count(key)) << key.toStdString();
            EXPECT_EQ(csv.at(key).Blows, in.N) << key.toStdString();
            EXPECT_NEAR(csv.at(key).Mean, in.Mean(), 1.05) << key.toStdString();
            EXPECT_NEAR(csv.at(key).Sd, in.Sd(), 0.1 * in.Sd() + 0.05) << key.toStdString();
        }

    // Two files at once: a file column, and leaving rows out counts fewer blows.
    const QString second = dir.file(QStringLiteral("second \"take\".txt"));
    ASSERT_TRUE(QFile::copy(path, second));
    const ChildResult two = Touch(
        {QStringLiteral("--csv"), QStringLiteral("--leave-out"), QStringLiteral("1-2,5"), path, second});
    ASSERT_TRUE(two.ok()) << two.err.toStdString();
    const QList<QByteArray> lines = two.out.trimmed().split('\n');
    EXPECT_EQ(lines[0], QByteArray("file,bell,stroke,blows,mean_ms,sd_ms,rms_ms"));
    ASSERT_EQ(lines.size(), 33);
    EXPECT_TRUE(lines[1].startsWith('"' + path.toLocal8Bit() + "\",1,H,78,")) << lines[1].data();
    EXPECT_TRUE(lines[17].startsWith(
        "\"" + dir.file(QStringLiteral("second \"\"take\"\".txt")).toLocal8Bit() + "\",1,H,"))
        << lines[17].data();

    // One interval for both strokes changes nothing where they were rung alike.
    const ChildResult one = Touch({QStringLiteral("--csv"), QStringLiteral("--one-interval"), path});
    ASSERT_TRUE(one.ok()) << one.err.toStdString();
    for (const auto& [key, line] : ReadCsv(one.out))
        EXPECT_NEAR(line.Mean, csv.at(key).Mean, 0.3) << key.toStdString();

    const ChildResult text = Touch({QStringLiteral("--computer"), QStringLiteral("1-2"), path});
    ASSERT_TRUE(text.ok());
    EXPECT_TRUE(text.out.contains("computer bells 1 2 left out")) << text.out.toStdString();
    const QRegularExpressionMatch gap = QRegularExpression(QStringLiteral("handstroke gap ([0-9.]+) blows"))
                                            .match(QString::fromLocal8Bit(text.out));
    ASSERT_TRUE(gap.hasMatch()) << text.out.toStdString();
    EXPECT_NEAR(gap.captured(1).toDouble(), 1.5, 0.03);
}

struct Refusal {
    QStringList Args;
    int Code;
    const char* Says;
};

TEST(QuorvelTouch, RefusesBadFilesAndBadCommandLines) {
    TempDir dir;
    const QString broken = dir.file(QStringLiteral("broken.txt"));
    ASSERT_TRUE(Write(broken, "#. Lowndes: Version 2\nH 1 0x0000\nH 2 0x00C8\nH 3 0xZZZZ\n"));
    const QString empty = dir.file(QStringLiteral("empty.txt"));
    ASSERT_TRUE(Write(empty, "#. Lowndes: Version 2\n"));
    const QString missing = dir.file(QStringLiteral("missing.txt"));
    const Refusal rows[] = {
        {{broken}, 1, "broken.txt: line 4: the time"},
        {{missing}, 1, "missing.txt: "},
        {{empty}, 1, "empty.txt: nothing to measure"},
        {{dir.path()}, 1, "quorvel-touch: "},
        {{kFixture, broken}, 1, "broken.txt: line 4"},
        {{}, 2, "no file named"},
        {{QStringLiteral("--frobnicate"), kFixture}, 2, "unknown option --frobnicate"},
        {{QStringLiteral("--stage"), QStringLiteral("1"), kFixture}, 2, "--stage"},
        {{QStringLiteral("--computer=x"), kFixture}, 2, "--computer"},
        {{QStringLiteral("--leave-out=5-2"), kFixture}, 2, "--leave-out"},
        {{QStringLiteral("--csv=yes"), kFixture}, 2, "--csv takes no value"},
        {{kFixture, QStringLiteral("--stage")}, 2, "--stage needs a value"},
    };
    for (const Refusal& row : rows) {
        const ChildResult r = Touch(row.Args);
        ASSERT_TRUE(r.finished && r.exited) << row.Args.join(' ').toStdString();
        EXPECT_EQ(r.code, row.Code) << row.Args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(row.Says))
            << row.Args.join(' ').toStdString() << ": " << r.err.toStdString();
    }
    // What could be measured still is.
    const ChildResult mixed = Touch({kFixture, broken});
    EXPECT_TRUE(mixed.out.contains("Striking: RMS error")) << mixed.out.toStdString();
}

}  // namespace
