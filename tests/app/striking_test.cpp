// A practice recorded as a band would: rounds on eight bells struck through a
// pseudo-terminal with the record on, the touch ended by ten quiet seconds,
// and its Lowndes file read back by a reader that knows only the file's form
// and judged against where each bell starts in the captured sound.

#include "app/MainForm.h"
#include "app/StrikingRecord.h"
#include "comport/FComPort.h"
#include "platform/waveout/waveout.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"
#include "tests/support/LowndesReader.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTest>
#include <algorithm>

namespace {

constexpr int kBells = 8;
constexpr int kRows = 4;
constexpr int kGapMs = 180;   // between blows
constexpr int kSoundMs = 90;  // shorter than the gap: each start shows in the sound

class StrikingRecordTest : public ConsoleTest, protected CaptureFixture {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        StartCapture();
    }

    QString Folder() const { return Sandbox->Dir.file(QStringLiteral("practice")); }

    void OpenListening() {
        QByteArray s = "[COMPORT]\nFComPort1.DeviceName=" + QByteArray(Pty.SlavePath().c_str()) + "\n";
        s += "[RINGING]\nRecord=1\nFolder=" + Folder().toUtf8() + "\n[SOUNDFILES]\n";
        // Six codes tell the bells apart; 7 and 8 share 1's and 2's, but never their moment.
        for (int bell = 1; bell <= kBells; ++bell) {
            const QString file = MakeCodedBell(Sandbox->Dir.file(QStringLiteral("bell%1.wav").arg(bell)),
                                               (bell - 1) % 6, kSoundMs);
            s += "BELL" + QByteArray::number(bell) + "=" + file.toUtf8() + "\n";
        }
        Open(s);
        ASSERT_TRUE(Sandbox->Boxes.Boxes.empty()) << Sandbox->Boxes.Boxes[0].Text.toStdString();
        Form->cbDelaysActive()->setChecked(false);
        // Every byte the window handles, counted on its way to the window's own handler.
        const TNotifyEvent window = Form->FComPort1()->OnRxChar.Handler();
        Form->FComPort1()->OnRxChar = [this, window](QObject* Sender) {
            ++Handled;
            window(Sender);
        };
        QTest::mouseClick(Form->bListen(), Qt::LeftButton);
        ASSERT_TRUE(Form->FComPort1()->GetActive());
    }

    // Strikes Rows rows of rounds, one blow every kGapMs, the window running between.
    void RingRounds(int Rows) {
        const std::int64_t begin = waveOutNowNs();
        for (int i = 0; i < Rows * kBells; ++i) {
            const std::int64_t due = begin + std::int64_t(i) * kGapMs * 1000000;
            ASSERT_TRUE(PumpUntil([&] { return waveOutNowNs() >= due; }, 10));
            const char stroke = char('1' + i % kBells);
            ASSERT_TRUE(Pty.Send(&stroke, 1));
            ++Sent;
        }
    }

    // Until the window has taken every stroke sent (a stroke still on the
    // line when listening stops is lost with it).
    void AwaitStrokesTaken() {
        ASSERT_TRUE(PumpUntil([&] { return Handled == Sent; }, 30))
            << Handled << " of " << Sent << " strokes taken";
    }

    QStringList Files() const { return QDir(Folder()).entryList(QDir::Files, QDir::Name); }

    PseudoTerminal Pty;
    int Sent = 0;
    int Handled = 0;
};

TEST_F(StrikingRecordTest, RoundsOnEightBellsAreWrittenAsHeardWithinAMillisecond) {
    OpenListening();
    if (HasFatalFailure()) return;
    RingRounds(kRows);
    if (HasFatalFailure()) return;

    // Ten quiet seconds end the touch while the window still listens.
    const std::int64_t lastStroke = waveOutNowNs();
    ASSERT_TRUE(PumpUntil([&] { return Files().size() == 1; }, 20)) << "no file after the quiet time";
    EXPECT_GE(waveOutNowNs() - lastStroke, std::int64_t(9500) * 1000000) << "the touch ended early";
    // One more row after the pause: a touch of its own, every bell at handstroke again.
    RingRounds(1);
    if (HasFatalFailure()) return;
    AwaitStrokesTaken();
    if (HasFatalFailure()) return;
    QTest::mouseClick(Form->bListen(), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return Files().size() == 2; }, 30)) << "stopping did not end the touch";
    ASSERT_TRUE(PumpUntil([&] { return Form->AllStopped(); }, 30));
    Form.reset();
    const Capture mix = FinishCapture();
    ASSERT_TRUE(Sandbox->Boxes.Boxes.empty()) << Sandbox->Boxes.Boxes[0].Text.toStdString();

    std::vector<Onset> onsets = Onsets(mix);
    ASSERT_EQ(onsets.size(), std::size_t((kRows + 1) * kBells));
    // Strokes the window came to together start in one frame, where the mix
    // lists them in code order: such a group matches its blows in any order.
    for (std::size_t from = 0, to = 0; from < onsets.size(); from = to) {
        std::vector<int> heard, due;
        for (to = from; to < onsets.size() && onsets[to].Frame == onsets[from].Frame; ++to) {
            heard.push_back(onsets[to].Code);
            due.push_back(int(to % kBells) % 6);
        }
        if (std::is_permutation(heard.begin(), heard.end(), due.begin()))
            for (std::size_t j = from; j < to; ++j) onsets[j].Code = due[j - from];
    }
    const QStringList files = Files();
    std::size_t firstOnset = 0;
    for (int touch = 0; touch < 2; ++touch) {
        QFile f(QDir(Folder()).filePath(files[touch]));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << files[touch].toStdString();
        const QByteArray text = f.readAll();
        // The header names the program, the date and the tower's settings.
        TLowndesFile header;
        QString error;
        ASSERT_TRUE(ReadLowndes(text, header, &error)) << error.toStdString();
        EXPECT_EQ(header.Version(), 2);
        EXPECT_TRUE(header.Value(QStringLiteral("Creator")).startsWith(QStringLiteral("Quorvel 16 ")));
        const QString settings = header.Value(QStringLiteral("Settings"));
        EXPECT_TRUE(header.Value(QStringLiteral("RingingDateTime"))
                        .startsWith(QDate::currentDate().toString(Qt::ISODate)))
            << text.left(300).toStdString();
        EXPECT_TRUE(settings.contains(QString::fromStdString(Pty.SlavePath()))) << settings.toStdString();
        EXPECT_TRUE(settings.contains(QStringLiteral("delays off"))) << settings.toStdString();
        QStringList problems;
        const std::vector<LowndesBlow> blows = ReadLowndes(text, &problems);
        EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
        const int rows = touch == 0 ? kRows : 1;
        ASSERT_EQ(blows.size(), std::size_t(rows * kBells)) << text.toStdString();
        const double first = double(onsets[firstOnset].Frame);
        for (std::size_t i = 0; i < blows.size(); ++i) {
            const Onset& heard = onsets[firstOnset + i];
            const int bell = int(i % kBells) + 1;
            EXPECT_EQ(blows[i].Bell, char('0' + bell)) << "touch " << touch << " blow " << i;
            EXPECT_EQ(heard.Code, (bell - 1) % 6) << "touch " << touch << " blow " << i;
            // Rows alternate, handstroke first.
            EXPECT_EQ(blows[i].Stroke, (i / kBells) % 2 ? 'B' : 'H') << "touch " << touch << " blow " << i;
            const double soundMs = (double(heard.Frame) - first) * 1000.0 / mix.rate;
            EXPECT_LE(std::abs(double(blows[i].Ms) - soundMs), 1.0)
                << "touch " << touch << " blow " << i << ": file " << blows[i].Ms << " ms, sound " << soundMs
                << " ms";
        }
        firstOnset += blows.size();
    }
}

}  // namespace
