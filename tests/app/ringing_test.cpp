// The striking record's own rules and its options: the Lowndes lines, the
// wrap past 65.5 s read back as an analysis tool reads it, handstroke and
// backstroke by alternation, write failures, the chart of the last touch,
// and "Ringing Options..." off by default and stored when set.

#include "app/MainForm.h"
#include "app/RingingOptionsForm.h"
#include "app/StrikingRecord.h"
#include "app/TouchChart.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"
#include "tests/support/LowndesReader.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <random>

namespace {

constexpr std::int64_t kMs = 1000000;

// ---- The lines ------------------------------------------------------------------

struct LineRow {
    bool Hand;
    int Bell;
    std::int64_t Ms;
    const char* Line;
};

TEST(LowndesLine, IsTenCharactersOfStrokeBellAndWrappedHexTime) {
    const LineRow rows[] = {
        {true, 1, 0, "H 1 0x0000"},           {false, 2, 500, "B 2 0x01F4"},
        {true, 9, 4095, "H 9 0x0FFF"},        {true, 10, 10, "H 0 0x000A"},
        {false, 11, 48879, "B E 0xBEEF"},     {true, 12, 65535, "H T 0xFFFF"},
        {false, 13, 65536, "B A 0x0000"},     {true, 14, 70000, "H B 0x1170"},
        {true, 15, 131072 + 1, "H C 0x0001"}, {false, 16, 2, "B D 0x0002"},
    };
    for (const LineRow& r : rows) {
        const QByteArray line = LowndesLine(r.Hand, r.Bell, r.Ms);
        EXPECT_EQ(line, QByteArray(r.Line)) << r.Bell << " at " << r.Ms;
        EXPECT_EQ(line.size(), 10);
    }
}

// ---- The record, fed blows as the mixer reports them ------------------------------

class RecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        Record.SetFolder(Dir.file(QStringLiteral("touches")));
        Record.SetActive(true);
        Record.OnSettings = [](const QList<int>& Bells) {
            return QStringLiteral("%1 bells").arg(Bells.size());
        };
        Record.ListeningStarted();
    }
    // A blow heard At ms from the start (asked for just before), struck
    // after the blows before it unless Order says otherwise.
    void Blow(int Bell, std::int64_t At, std::uint64_t Order = 0) {
        Record.Heard(Bell, Base + At * kMs, Base + At * kMs - 5 * kMs, Order ? Order : ++Struck);
    }

    QStringList Files() const {
        return QDir(Dir.file(QStringLiteral("touches"))).entryList(QDir::Files, QDir::Name);
    }
    QByteArray File(int i) const {
        QFile f(QDir(Dir.file(QStringLiteral("touches"))).filePath(Files().value(i)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    MessageBoxRecorder Boxes;
    TempDir Dir;
    TStrikingRecord Record;
    const std::int64_t Base = waveOutNowNs();
    std::uint64_t Struck = 1000;
};

TEST_F(RecordTest, ATouchPastSixtyFiveSecondsWrapsAndReadsBackWhole) {
    // Six bells in rounds, one blow every 237 ms for 80 s, with a handstroke gap.
    std::vector<std::int64_t> times;
    std::int64_t t = 0;
    for (int i = 0; i < 336; ++i) {
        if (i % 12 == 0 && i) t += 237;
        Blow(i % 6 + 1, t);
        times.push_back(t);
        t += 237;
    }
    ASSERT_GT(times.back(), 0x10000 + 10000);
    Record.ListeningStopped();
    ASSERT_TRUE(PumpUntil([&] { return Files().size() == 1; }, 5));
    const QByteArray text = File(0);
    // The version 2 header, as the analysis tools read it.
    TLowndesFile header;
    QString error;
    ASSERT_TRUE(ReadLowndes(text, header, &error)) << error.toStdString();
    EXPECT_TRUE(text.startsWith("#. Lowndes: Version 2\n#. Creator: Quorvel 16 v"))
        << text.left(80).toStdString();
    EXPECT_EQ(header.Version(), 2);
    EXPECT_EQ(header.Value(QStringLiteral("NumBellsRinging")), QStringLiteral("6"));
    EXPECT_EQ(header.Value(QStringLiteral("Tenor")), QStringLiteral("6"));
    EXPECT_EQ(header.FirstBlowMs(), 0);
    EXPECT_EQ(header.Value(QStringLiteral("Settings")), QStringLiteral("6 bells"));
    EXPECT_EQ(QDateTime::fromString(header.Value(QStringLiteral("RingingDateTime")),
                                    QStringLiteral("yyyy-MM-dd HH:mm:ss")),
              Record.LastTouch().Started.addMSecs(-Record.LastTouch().Started.time().msec()));
    QStringList problems;
    const std::vector<LowndesBlow> blows = ReadLowndes(text, &problems);
    EXPECT_TRUE(problems.isEmpty()) << problems.join('\n').toStdString();
    ASSERT_EQ(blows.size(), times.size());
    int wrapped = 0;
    for (std::size_t i = 0; i < blows.size(); ++i) {
        EXPECT_EQ(blows[i].Ms, times[i]) << "blow " << i;
        EXPECT_EQ(blows[i].Bell, LowndesBell(int(i % 6) + 1)) << "blow " << i;
        EXPECT_EQ(blows[i].Stroke, (i / 6) % 2 ? 'B' : 'H') << "blow " << i;
        wrapped += times[i] >= 0x10000;
    }
    EXPECT_GT(wrapped, 40);
    EXPECT_EQ(Record.LastTouch().Blows.size(), times.size());
    EXPECT_TRUE(Boxes.Boxes.empty());
}

struct StrokeRow {
    struct Heard {
        int Bell;
        std::int64_t Ms;
        std::uint64_t Order = 0;  // the order struck, when not the order heard
    };
    const char* Name;
    std::vector<Heard> Blows;
    std::vector<QByteArray> Files;                    // each file's blows, "H1 B1 ..."
};

QByteArray Strokes(const QByteArray& Text) {
    QByteArray out;
    for (const LowndesBlow& b : ReadLowndes(Text, nullptr)) {
        if (!out.isEmpty()) out += ' ';
        out += b.Stroke;
        out += b.Bell;
    }
    return out;
}

TEST_F(RecordTest, StrokesAlternatePerBellAndAPauseStartsAtHandstroke) {
    const StrokeRow rows[] = {
        {"alternate per bell", {{1, 0}, {2, 200}, {1, 2000}, {2, 2200}, {1, 4000}}, {"H1 H2 B1 B2 H1"}},
        // Bell 2 rests 10.5 s while bell 1 rings on: its next blow is a handstroke.
        {"a bell's own pause", {{2, 0}, {1, 100}, {1, 4000}, {1, 8000}, {2, 10500}}, {"H2 H1 B1 H1 H2"}},
        // Ten quiet seconds end the touch; the next begins at handstroke.
        {"a quiet touch ends", {{1, 0}, {1, 2000}, {1, 13000}, {1, 15000}}, {"H1 B1", "H1 B1"}},
        // Reported out of order within a block: written in the order heard.
        {"in the order heard", {{1, 0}, {3, 400}, {2, 399}}, {"H1 H2 H3"}},
        // Read off the line together, started in one frame, reported in slot order.
        {"one frame, in the order struck", {{8, 0, 2}, {1, 0, 1}}, {"H1 H8"}},
    };
    for (const StrokeRow& row : rows) {
        SCOPED_TRACE(row.Name);
        const int before = int(Files().size());
        for (const auto& b : row.Blows) Blow(b.Bell, b.Ms + 100000 * before, b.Order);
        Record.EndTouch();
        ASSERT_EQ(Files().size(), std::size_t(before) + row.Files.size());
        for (std::size_t i = 0; i < row.Files.size(); ++i)
            EXPECT_EQ(Strokes(File(before + int(i))), row.Files[i]) << "file " << i;
        // The next row starts after a pause of its own.
    }
}

TEST_F(RecordTest, OnlyWhileListeningAndStrokesInFlightAtTheStopCount) {
    Blow(1, 0);
    Record.ListeningStopped();
    // Asked for before the stop, heard after it: part of the touch.
    Record.Heard(2, waveOutNowNs() + 5 * kMs, waveOutNowNs() - 1 * kMs);
    // Asked for after the stop: not listening.
    Record.Heard(3, waveOutNowNs() + 20 * kMs, waveOutNowNs() + 1 * kMs);
    ASSERT_TRUE(PumpUntil([&] { return Files().size() == 1; }, 5));
    EXPECT_EQ(Strokes(File(0)), "H1 H2");
    Record.Heard(4, waveOutNowNs(), waveOutNowNs());
    Record.EndTouch();
    EXPECT_EQ(Files().size(), 1u);
    EXPECT_TRUE(Record.Touch().Empty());
}

TEST_F(RecordTest, AWriteFailureIsReportedOnceAndTheTouchesAreWrittenLater) {
    // A folder below a plain file can never be made, whoever runs the test.
    QFile plain(Dir.file(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    Record.SetFolder(Dir.file(QStringLiteral("plain/touches")));
    Blow(1, 0);
    Blow(2, 200);
    Record.EndTouch();
    Blow(2, 5000);
    Record.EndTouch();
    PumpFor(50);
    ASSERT_EQ(Boxes.Boxes.size(), 1u);
    EXPECT_EQ(Boxes.Boxes[0].Type, mtError);
    EXPECT_TRUE(Boxes.Boxes[0].Text.contains(QStringLiteral("plain/touches")))
        << Boxes.Boxes[0].Text.toStdString();
    EXPECT_TRUE(Boxes.Boxes[0].Text.contains(QStringLiteral("striking record")))
        << Boxes.Boxes[0].Text.toStdString();
    EXPECT_EQ(Record.Pending(), 2);
    EXPECT_EQ(Record.LastTouch().Blows.size(), 1u) << "the chart still has the last touch";
    Record.SetFolder(Dir.file(QStringLiteral("touches")));
    ASSERT_EQ(Files().size(), 2u);
    EXPECT_EQ(Strokes(File(0)), "H1 H2");
    EXPECT_EQ(Strokes(File(1)), "B2");
    EXPECT_EQ(Record.Pending(), 0);
    PumpFor(50);
    EXPECT_EQ(Boxes.Boxes.size(), 1u);
}

TEST_F(RecordTest, OffRecordsNothing) {
    Record.SetActive(false);
    Blow(1, 0);
    Blow(2, 200);
    Record.EndTouch();
    Record.ListeningStopped();
    PumpFor(400);
    EXPECT_TRUE(Record.Touch().Empty());
    EXPECT_TRUE(Record.LastTouch().Empty());
    EXPECT_FALSE(QDir(Dir.file(QStringLiteral("touches"))).exists());
}

// Rounds on six, a blow every 220 ms and a gap of one blow, the 4th 25 ms
// late at every backstroke: the options show the figures beside the chart.
TEST_F(RecordTest, TheLastTouchsFiguresStandBesideTheChart) {
    std::int64_t t = 0;
    for (int row = 0; row < 40; ++row) {
        for (int place = 0; place < 6; ++place)
            Blow(place + 1, t + place * 220 + (place == 3 && row % 2 ? 25 : 0));
        t += 6 * 220 + (row % 2 ? 220 : 0);
    }
    Record.EndTouch();
    TfRingingOptions options(nullptr, &Record);
    options.Load(0);
    QTableWidget* table = options.tFigures();
    ASSERT_EQ(table->rowCount(), 12);
    for (int row = 0; row < 12; ++row) {
        const bool late = table->item(row, 0)->text() == "4" && table->item(row, 1)->text() == "B";
        EXPECT_EQ(table->item(row, 0)->text(), QString::number(row / 2 + 1));
        EXPECT_EQ(table->item(row, 1)->text(), row % 2 ? "B" : "H");
        EXPECT_EQ(table->item(row, 2)->text(), "20");
        EXPECT_EQ(table->item(row, 3)->text(), late ? "+25.0" : "0.0") << row;
        EXPECT_EQ(table->item(row, 4)->text(), "0.0") << row;
    }
    EXPECT_TRUE(
        options.lFigure()->text().startsWith("Striking: RMS error 7.2 ms (handstroke 0.0, backstroke 10.2)"))
        << options.lFigure()->text().toStdString();
    EXPECT_TRUE(options.lFigure()->text().contains("handstroke gap 1.00 blows"))
        << options.lFigure()->text().toStdString();
    EXPECT_NE(table->item(0, 0)->foreground().color(), QColor(150, 150, 150));

    // A touch of four rows: every cell under five blows, greyed.
    for (int row = 0; row < 4; ++row)
        for (int place = 0; place < 6; ++place) Blow(place + 1, 200000 + row * 1540 + place * 220);
    Record.EndTouch();
    ASSERT_EQ(table->rowCount(), 12);
    EXPECT_EQ(table->item(0, 2)->text(), "2");
    for (int row = 0; row < 12; ++row)
        EXPECT_EQ(table->item(row, 3)->foreground().color(), QColor(150, 150, 150));
}

// ---- The chart -------------------------------------------------------------------

// Rows of Bells blows every GapMs; Late: bell, row, ms late.
TTouch Touch(int Bells, int Rows, int GapMs, std::vector<std::tuple<int, int, int>> Late = {}) {
    TTouch touch;
    touch.Started = QDateTime(QDate(2026, 12, 10), QTime(19, 30));
    for (int row = 0; row < Rows; ++row)
        for (int place = 0; place < Bells; ++place) {
            std::int64_t ms = (row * (Bells + 1) + place) * GapMs;  // with a gap before each row
            for (const auto& [bell, lateRow, by] : Late)
                if (bell == place + 1 && lateRow == row) ms += by;
            touch.Blows.push_back({place + 1, row % 2 == 0, 1000 * kMs + ms * kMs});
        }
    return touch;
}

TEST(TouchChart, OneRowPerChangeEachBlowAtItsTimeWithinTheRow) {
    TTouchChart chart;
    chart.resize(600, 200);
    chart.SetTouch(Touch(8, 4, 220, {{3, 1, 110}}));
    chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chart));
    ASSERT_EQ(chart.BlowsPerRow(), 8);
    ASSERT_EQ(chart.RowCount(), 4);
    const QImage shot = chart.grab().toImage();
    for (std::size_t i = 0; i < 32; ++i) {
        const int row = int(i / 8);
        const QRectF mark = chart.MarkRect(i);
        EXPECT_TRUE(chart.RowRect(row).contains(mark.center())) << "blow " << i;
        if (i % 8) {
            EXPECT_GT(mark.center().x(), chart.MarkRect(i - 1).center().x()) << "blow " << i;
        }
        EXPECT_GE(mark.left(), TTouchChart::kLabelWidth) << "blow " << i;
        EXPECT_LE(mark.right(), chart.width()) << "blow " << i;
        // Drawn there, in its stroke's colour (left of the bell's number).
        const QPoint at(int(mark.center().x()) - 5, int(mark.center().y()));
        EXPECT_EQ(shot.pixelColor(at), row % 2 ? TTouchChart::BackColor() : TTouchChart::HandColor())
            << "blow " << i << " at " << at.x() << "," << at.y();
    }
    // Even rows draw their blows evenly spaced; the late 3rd stands apart from
    // the 2nd and close to the 4th.
    auto x = [&](int row, int place) { return chart.MarkRect(std::size_t(row * 8 + place)).center().x(); };
    const double even = x(0, 1) - x(0, 0);
    for (int place = 1; place < 8; ++place) EXPECT_NEAR(x(0, place) - x(0, place - 1), even, 0.01);
    EXPECT_NEAR(x(1, 2) - x(1, 1), 1.5 * even, 0.01);
    EXPECT_NEAR(x(1, 3) - x(1, 2), 0.5 * even, 0.01);
}

TEST(TouchChart, AnUnfinishedLastRowStandsUnderTheRowsBefore) {
    TTouch touch = Touch(8, 3, 200);
    touch.Blows.resize(21);
    TTouchChart chart;
    chart.resize(600, 200);
    chart.SetTouch(touch);
    ASSERT_EQ(chart.RowCount(), 3);
    for (std::size_t place = 0; place < 5; ++place)
        EXPECT_NEAR(chart.MarkRect(16 + place).center().x(), chart.MarkRect(place).center().x(), 0.01)
            << place;
}

TEST(TouchChart, RowsFollowTheBellsStruck) {
    struct Row {
        int Bells, Blows, Rows;
    };
    for (const Row& r : {Row{6, 36, 6}, Row{8, 20, 3}, Row{12, 12, 1}, Row{16, 40, 3}}) {
        TTouch touch = Touch(r.Bells, r.Rows, 200);
        touch.Blows.resize(std::size_t(r.Blows));
        TTouchChart chart;
        chart.SetTouch(touch);
        EXPECT_EQ(chart.BlowsPerRow(), r.Bells);
        EXPECT_EQ(chart.RowCount(), r.Rows) << r.Bells << " bells, " << r.Blows << " blows";
        EXPECT_GE(chart.sizeHint().height(), TTouchChart::kTop + r.Rows * TTouchChart::kRowHeight);
    }
}

// ---- The options on the window -----------------------------------------------------

class RingingOptionsTest : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        // The user's documents, in the sandbox.
        OldHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(Sandbox->Dir.file(QStringLiteral("home"))));
        QDir().mkpath(Sandbox->Dir.file(QStringLiteral("home")));
    }
    void TearDown() override {
        ConsoleTest::TearDown();
        qputenv("HOME", OldHome);
        TfRingingOptions::SetFolderChooser(nullptr);
    }
    QByteArray Settings(const QByteArray& More = {}) {
        return "[COMPORT]\nFComPort1.DeviceName=" + QByteArray(Pty.SlavePath().c_str()) +
               "\n[SOUNDFILES]\nBELL1=" + Bell(QStringLiteral("b1.wav"), 60).toUtf8() +
               "\nBELL2=" + Bell(QStringLiteral("b2.wav"), 60).toUtf8() + "\n" + More;
    }
    TfRingingOptions* OpenOptions() {
        Form->RingingOptions1()->trigger();
        TfRingingOptions* options = Form->RingingOptionsForm();
        EXPECT_TRUE(options && options->isVisible());
        return options;
    }
    // Listens, strikes bells 1 and 2 twice, and stops listening.
    void Practice() {
        Form->cbDelaysActive()->setChecked(false);
        QTest::mouseClick(Form->bListen(), Qt::LeftButton);
        ASSERT_TRUE(Form->FComPort1()->GetActive());
        for (const char* stroke : {"1", "2", "1", "2"}) {
            ASSERT_TRUE(Pty.Send(std::string(stroke)));
            PumpFor(120);
        }
        QTest::mouseClick(Form->bListen(), Qt::LeftButton);
        PumpFor(600);
    }

    PseudoTerminal Pty;
    QByteArray OldHome;
};

TEST_F(RingingOptionsTest, OffByDefaultAndNothingIsWritten) {
    Open(Settings());
    EXPECT_EQ(TStrikingRecord::DefaultFolder(), Sandbox->Dir.file(QStringLiteral("home/Documents/Quorvel")));
    EXPECT_FALSE(Form->StrikingRecord()->Active());
    const QList<QAction*> items = Form->PopupMenu1()->actions();
    const auto at = std::find(items.begin(), items.end(), Form->RingingOptions1());
    ASSERT_NE(at, items.end());
    EXPECT_EQ(Form->RingingOptions1()->text(), "Ringing Options...");
    EXPECT_LT(at - items.begin(), items.indexOf(Form->QuorvelWebsite1()));
    TfRingingOptions* options = OpenOptions();
    ASSERT_TRUE(options);
    EXPECT_FALSE(options->cbRecord()->isChecked());
    EXPECT_EQ(options->eFolder()->text(), QDir::toNativeSeparators(TStrikingRecord::DefaultFolder()));
    EXPECT_EQ(options->seGuard()->value(), 0);
    EXPECT_EQ(options->seGuard()->text(), "off");
    EXPECT_EQ(options->lLastTouch()->text(), "Last touch: none yet");
    options->bCancel()->click();

    Practice();
    if (HasFatalFailure()) return;
    EXPECT_TRUE(Form->StrikingRecord()->LastTouch().Empty());
    EXPECT_FALSE(QDir(TStrikingRecord::DefaultFolder()).exists());
    EXPECT_FALSE(Sandbox->ReadSettings().contains("[RINGING]"));
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
}

TEST_F(RingingOptionsTest, SwitchedOnItIsStoredAndThePracticeIsWrittenAndCharted) {
    Open(Settings());
    TfRingingOptions* options = OpenOptions();
    ASSERT_TRUE(options);
    const QString folder = Sandbox->Dir.file(QStringLiteral("tower practice"));
    QString offered;
    TfRingingOptions::SetFolderChooser([&](QWidget*, const QString& Current) {
        offered = Current;
        return folder;
    });
    options->cbRecord()->setChecked(true);
    QTest::mouseClick(options->bFolder(), Qt::LeftButton);
    EXPECT_EQ(offered, QDir::toNativeSeparators(TStrikingRecord::DefaultFolder()));
    EXPECT_EQ(options->eFolder()->text(), folder);
    options->seGuard()->setValue(120);
    QTest::mouseClick(options->bOk(), Qt::LeftButton);
    EXPECT_FALSE(options->isVisible());
    EXPECT_TRUE(Form->StrikingRecord()->Active());
    EXPECT_EQ(Form->StrikingRecord()->Folder(), folder);
    EXPECT_EQ(Form->GuardMs(), 120);
    const QByteArray stored = Sandbox->ReadSettings();
    EXPECT_TRUE(stored.contains("[RINGING]\nRecord=1\nFolder=" + folder.toUtf8() + "\n"))
        << stored.toStdString();

    Practice();
    if (HasFatalFailure()) return;
    const QStringList files = QDir(folder).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    QFile f(QDir(folder).filePath(files[0]));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(Strokes(f.readAll()), "H1 H2 B1 B2");
    options = OpenOptions();
    EXPECT_TRUE(options->cbRecord()->isChecked());
    EXPECT_TRUE(options->lLastTouch()->text().contains(QStringLiteral("4 blows on 2 bells, ") + files[0]))
        << options->lLastTouch()->text().toStdString();
    EXPECT_EQ(options->Chart()->RowCount(), 2);
    options->bCancel()->click();

    // A new window reads them back.
    Form.reset();
    Open(QByteArray());
    EXPECT_TRUE(Form->StrikingRecord()->Active());
    EXPECT_EQ(Form->StrikingRecord()->Folder(), folder);
    EXPECT_EQ(Form->GuardMs(), 120);
    options = OpenOptions();
    ASSERT_TRUE(options);
    EXPECT_EQ(options->seGuard()->value(), 120);
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
}

// ---- The strike flash ---------------------------------------------------------------

class StrikeFlash : public ConsoleTest {
protected:
    // A window with bell 3's sound lasting far longer than a flash.
    TfMainform& OpenWith(const QByteArray& Options) {
        return Open(Options + "[SOUNDFILES]\nBELL3=" + Bell(QStringLiteral("long.wav"), 20000).toUtf8() +
                    "\n");
    }
    bool Lit() const { return Form->MMLED(3)->Enabled(); }
};

// Off (the default) the LED is lit all the while the bell sounds, as ever.
TEST_F(StrikeFlash, OffTheLedIsLitWhileTheBellSounds) {
    TfMainform& form = OpenWith("");
    EXPECT_FALSE(form.StrikeFlash());
    form.Player(3)->Play();
    EXPECT_TRUE(Lit());
    PumpFor(3 * TfMainform::kStrikeFlashMs);
    EXPECT_TRUE(form.Player(3)->IsOpen());
    EXPECT_TRUE(Lit()) << "no flash when it is off";
    form.Player(3)->Stop();
    EXPECT_FALSE(Lit());
}

// On, the LED lights at the strike and goes out 150 ms later while the bell
// still sounds; a restrike lights it again; switched off, a sounding bell's
// LED is lit again.
TEST_F(StrikeFlash, OnTheLedLightsForAMomentFromEachStrike) {
    TfMainform& form = OpenWith("[OPTIONS]\nStrikeFlash=1\n");
    ASSERT_TRUE(form.StrikeFlash()) << "read from the settings file";
    form.cbDelaysActive()->setChecked(false);
    for (int strike = 0; strike < 2; ++strike) {
        QElapsedTimer clock;
        clock.start();
        form.Play(3);
        EXPECT_TRUE(Lit()) << "lit at the strike";
        ASSERT_TRUE(PumpUntil([&] { return !Lit(); }, 10)) << "the flash never ended";
        EXPECT_GE(clock.elapsed(), TfMainform::kStrikeFlashMs);
        EXPECT_TRUE(form.Player(3)->IsOpen()) << "the bell sounds on";
    }
    form.SetStrikeFlash(false);
    EXPECT_TRUE(Lit()) << "off again: lit while it sounds";
    form.Player(3)->Stop();
    EXPECT_FALSE(Lit());
}

TEST_F(StrikeFlash, ChosenInRingingOptionsAndStoredInOptions) {
    TfMainform& form = OpenWith("");
    form.RingingOptions1()->trigger();
    TfRingingOptions* options = form.RingingOptionsForm();
    ASSERT_TRUE(options && options->isVisible());
    EXPECT_FALSE(options->cbStrikeFlash()->isChecked()) << "off by default";
    options->cbStrikeFlash()->setChecked(true);
    QTest::mouseClick(options->bOk(), Qt::LeftButton);
    EXPECT_TRUE(form.StrikeFlash());
    EXPECT_TRUE(Sandbox->ReadSettings().contains("StrikeFlash=1\n"));
    EXPECT_TRUE(Sandbox->ReadSettings().contains("[OPTIONS]"));

    form.RingingOptions1()->trigger();
    EXPECT_TRUE(options->cbStrikeFlash()->isChecked()) << "shows what is in force";
    options->cbStrikeFlash()->setChecked(false);
    options->bCancel()->click();
    EXPECT_TRUE(form.StrikeFlash()) << "Cancel changes nothing";
    form.RingingOptions1()->trigger();
    options->cbStrikeFlash()->setChecked(false);
    QTest::mouseClick(options->bOk(), Qt::LeftButton);
    EXPECT_FALSE(form.StrikeFlash());
    EXPECT_TRUE(Sandbox->ReadSettings().contains("StrikeFlash=0\n"));
}

}  // namespace

TEST_F(RingingOptionsTest, AWindowClosedMidTouchWritesItWithTheTowersSettings) {
    const QString folder = Sandbox->Dir.file(QStringLiteral("practice"));
    Open(Settings("[RINGING]\nRecord=1\nFolder=" + folder.toUtf8() + "\n[DELAY]\nBELL2=40\n"));
    QTest::mouseClick(Form->bListen(), Qt::LeftButton);
    ASSERT_TRUE(Form->FComPort1()->GetActive());
    ASSERT_TRUE(Pty.Send(std::string("1")));
    ASSERT_TRUE(Pty.Send(std::string("2")));
    ASSERT_TRUE(PumpUntil([&] { return Form->StrikingRecord()->Touch().Blows.size() == 2; }, 5));
    ASSERT_TRUE(PumpUntil([&] { return Form->AllStopped(); }, 5));
    Form.reset();
    const QStringList files = QDir(folder).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    QFile f(QDir(folder).filePath(files[0]));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    // Bell 2 is heard first: its delay is the shorter.
    EXPECT_EQ(Strokes(text), "H2 H1");
    TLowndesFile header;
    QString error;
    ASSERT_TRUE(ReadLowndes(text, header, &error)) << error.toStdString();
    EXPECT_EQ(header.Value(QStringLiteral("Settings")),
              QStringLiteral("receiver %1; delays active, in ms 1=300 2=40; double-strike guard off")
                  .arg(QString::fromStdString(Pty.SlavePath())))
        << text.toStdString();
}
