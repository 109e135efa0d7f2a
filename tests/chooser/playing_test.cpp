// Playing from the dialog: the Play/Stop button follows the device, the
// position line runs across the waveform while it plays, and "Auto Play"
// plays only the file the selection rests on, judged by the captured mix.

#include "chooser/MMWaveOpenDialog.h"
#include "playback/MMWaveOut.h"
#include "tests/chooser/ChooserKit.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/WaveOutTestKit.h"

#include <QDir>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

namespace {

class Playing : public ChooserTest {};

// "Play" starts the file: the caption becomes "Stop" and the line moves to
// the right as the sound goes on; at the end the caption is "Play" again
// and the line is gone. "Stop" stops at once.
TEST_F(Playing, ButtonFollowsTheDeviceAndTheLineFollowsThePosition) {
    const QString quiet = Dir.file("quiet.wav");
    sox::Run({"-D", "-n", "-r", "8000", "-b", "16", "-c", "1", quiet, "trim", "0", "1.5"});
    TMMWaveOpenDialog dialog;
    dialog.SetPreview(true);
    std::vector<int> commands;
    dialog.OnCommand = [&](QObject*, QWidget*, QWidget*, int Id) { commands.push_back(Id); };
    RunDialog(dialog, [&](QFileDialog* window) {
        ClickFile(window, quiet);
        ASSERT_TRUE(Settled(dialog));
        ASSERT_TRUE(dialog.PlayButton()->isEnabled());
        EXPECT_EQ(dialog.PlayButton()->text(), "Play");
        EXPECT_TRUE(LocatorColumns(dialog).empty());

        QTest::mouseClick(dialog.PlayButton(), Qt::LeftButton);
        EXPECT_EQ(dialog.PlayButton()->text(), "Stop");
        std::vector<int> seen;
        ASSERT_TRUE(PumpUntil([&] {
            const std::set<int> columns = LocatorColumns(dialog);
            if (columns.size() > 1) ADD_FAILURE() << "more than one position line";
            if (columns.size() == 1 && (seen.empty() || seen.back() != *columns.begin()))
                seen.push_back(*columns.begin());
            return dialog.PlayButton()->text() == "Play";
        }));
        EXPECT_GE(seen.size(), 5u) << "the line hardly moved";
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        if (!seen.empty()) {
            EXPECT_LT(seen.front(), dialog.ScopeRect().width() / 4);
            EXPECT_GT(seen.back(), dialog.ScopeRect().width() * 3 / 4);
        }
        EXPECT_TRUE(LocatorColumns(dialog).empty()) << "the line stayed after the end";

        QTest::mouseClick(dialog.PlayButton(), Qt::LeftButton);
        ASSERT_TRUE(PumpUntil([&] { return !LocatorColumns(dialog).empty(); }));
        QTest::mouseClick(dialog.PlayButton(), Qt::LeftButton);
        EXPECT_EQ(dialog.PlayButton()->text(), "Play");
        EXPECT_FALSE(dialog.WaveOut()->State().Contains(wosPlay));
        EXPECT_TRUE(LocatorColumns(dialog).empty());
        // Closed while it plays: the dialog takes its chain with it.
        QTest::mouseClick(dialog.PlayButton(), Qt::LeftButton);
        EXPECT_TRUE(dialog.WaveOut()->State().Contains(wosPlay));
    });
    EXPECT_EQ(dialog.WaveOut(), nullptr);
    EXPECT_EQ(dialog.ScopeWnd(), nullptr);
    EXPECT_EQ(commands, std::vector<int>(4, TMMWaveOpenDialog::idPlay));
}

// What the controls do to a playing file: "Preview" checked stops it, and
// so does "Auto Play" cleared; clearing "Preview" leaves it playing, with
// its Stop button usable.
TEST_F(Playing, ControlsThatStopAndControlsThatDoNot) {
    const QString tone = Make("tone.wav", {"-r", "8000", "-b", "16", "-c", "1"}, {"3", "sine", "440"});
    TMMWaveOpenDialog dialog;
    RunDialog(dialog, [&](QFileDialog* window) {
        ClickFile(window, tone);
        ASSERT_TRUE(Settled(dialog));
        const auto playing = [&] { return dialog.WaveOut()->State().Contains(wosPlay); };

        QTest::mouseClick(dialog.PlayButton(), Qt::LeftButton);
        ASSERT_TRUE(playing());
        QTest::mouseClick(dialog.PreviewBox(), Qt::LeftButton, {},
                          QPoint(4, dialog.PreviewBox()->height() / 2));
        ASSERT_TRUE(dialog.PreviewBox()->isChecked());
        EXPECT_FALSE(playing());
        EXPECT_EQ(dialog.PlayButton()->text(), "Play");

        QTest::mouseClick(dialog.PlayButton(), Qt::LeftButton);
        ASSERT_TRUE(playing());
        QTest::mouseClick(dialog.PreviewBox(), Qt::LeftButton, {},
                          QPoint(4, dialog.PreviewBox()->height() / 2));
        ASSERT_FALSE(dialog.PreviewBox()->isChecked());
        EXPECT_TRUE(playing());
        EXPECT_TRUE(dialog.PlayButton()->isEnabled());
        EXPECT_EQ(dialog.PlayButton()->text(), "Stop");

        QTest::mouseClick(dialog.AutoPlayBox(), Qt::LeftButton, {},
                          QPoint(4, dialog.AutoPlayBox()->height() / 2));
        ASSERT_TRUE(dialog.AutoPlayBox()->isChecked());
        EXPECT_TRUE(playing());
        QTest::mouseClick(dialog.AutoPlayBox(), Qt::LeftButton, {},
                          QPoint(4, dialog.AutoPlayBox()->height() / 2));
        EXPECT_FALSE(playing());
    });
}

// ---- Auto Play, heard ----------------------------------------------------------

// The tones of the test files, one per file, told apart by their rate of
// zero crossings.
const int kTones[] = {300, 600, 900, 1200, 1500};

// Which files sounded, in order: 20 ms windows of the left channel, each
// named by the nearest tone; a tone counts once it holds for three windows.
std::vector<int> TonesHeard(const Capture& Mix) {
    const std::size_t window = Mix.rate / 50;
    std::vector<int> heard;
    int current = -1, run = 0;
    for (std::size_t from = 0; from + window <= Mix.frames(); from += window) {
        int loudest = 0, crossings = 0;
        for (std::size_t f = from; f < from + window; ++f) {
            loudest = std::max(loudest, std::abs(int(Mix.at(f, 0))));
            if (f > from && (Mix.at(f - 1, 0) < 0) != (Mix.at(f, 0) < 0)) ++crossings;
        }
        int tone = -1;
        if (loudest > 2000) {
            const double hz = crossings * 50.0 / 2;
            tone = static_cast<int>(
                std::min_element(std::begin(kTones), std::end(kTones),
                                 [&](int a, int b) { return std::abs(a - hz) < std::abs(b - hz); }) -
                std::begin(kTones));
        }
        run = tone == current ? run + 1 : 1;
        current = tone;
        if (tone >= 0 && run == 3 && (heard.empty() || heard.back() != tone)) heard.push_back(tone);
    }
    return heard;
}

class AutoPlay : public ChooserTest {
protected:
    void SetUp() override {
        ChooserTest::SetUp();
        if (IsSkipped()) return;
        MixPath = Dir.file("mix.wav").toStdString();
        WaveOutSettings s;
        s.output = "capture:" + MixPath;
        waveOutConfigure(s);
        ASSERT_EQ(waveOutGetNumDevs(), 1u) << waveOutGetStatus().error;
    }
    std::string MixPath;
};

// Moving through the folder with the keys plays nothing until the selection
// rests; then the file it rests on plays, and only that one. Moving on cuts
// it off for the next file resting.
TEST_F(AutoPlay, PlaysOnlyTheFileTheSelectionRestsOn) {
    // A folder of their own, listed in this order.
    ASSERT_TRUE(QDir(Dir.path()).mkdir("tones"));
    QStringList files, names;
    for (int i = 0; i < 5; ++i) {
        names << QStringLiteral("tone%1.wav").arg(i);
        files << Make("tones/" + names.back(), {"-r", "48000", "-b", "16", "-c", "1"},
                      {"0.6", "sine", QString::number(kTones[i]), "vol", "0.5"});
    }
    TMMWaveOpenDialog dialog;
    dialog.SetAutoPlay(true);
    RunDialog(dialog, [&](QFileDialog* window) {
        EXPECT_TRUE(dialog.AutoPlayBox()->isChecked());
        QWidget* list = window->findChild<QWidget*>(QStringLiteral("treeView"));
        ASSERT_TRUE(list && list->isVisible());
        list->setFocus();
        window->setDirectory(QFileInfo(files[0]).absolutePath());
        ASSERT_TRUE(PumpUntil([&] { return Rows(window) == names; }, 10))
            << Rows(window).join(' ').toStdString();
        // Down from the first file to the fourth without a pause.
        ClickFile(window, files[0]);
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Down);
        ASSERT_TRUE(Settled(dialog));
        EXPECT_TRUE(dialog.InfoLabel()->text().startsWith("PCM; 48.000 kHz"));
        EXPECT_EQ(dialog.Wave()->FileName(), files[3]);
        PumpFor(300);
        // On to the last one while the fourth still sounds.
        QTest::keyClick(list, Qt::Key_Down);
        ASSERT_TRUE(Settled(dialog));
        PumpFor(1000);
    });
    waveOutShutdown();
    Capture mix;
    ASSERT_TRUE(readCapture(MixPath, mix));
    EXPECT_EQ(TonesHeard(mix), std::vector<int>({3, 4}));
}

}  // namespace
