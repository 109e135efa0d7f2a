// The wave file dialog as a ringer uses it: what the panel says about each
// selected file, which buttons it offers, what it lets the ringer confirm,
// where it opens, and what it shows in its picture area.

#include "chooser/MMWaveOpenDialog.h"
#include "playback/MMWavePlayer.h"
#include "tests/chooser/ChooserKit.h"
#include "tests/support/MessageBoxRecorder.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/RiffFixtures.h"
#include "wavedata/MMACMSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLocale>
#include <QScreen>
#include <cstring>

namespace {

const QStringList kSecond{"1"};

// Turns sox's extensible format record into a plain PCM one (tag 1).
void PlainPcm(const QString& Path) {
    QFile f(Path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    QByteArray head = f.read(22);
    ASSERT_EQ(head.mid(12, 4), "fmt ");
    ASSERT_EQ(static_cast<unsigned char>(head[20]) | static_cast<unsigned char>(head[21]) << 8, 0xFFFE);
    ASSERT_TRUE(f.seek(20));
    f.write(QByteArray("\x01\x00", 2));
}

class WaveOpenDialog : public ChooserTest {};

// The information line and the two controls that depend on the format.
TEST_F(WaveOpenDialog, DescribesEachSelectedFile) {
    struct Case {
        QString Name;
        QStringList Format;
        QString Info;  // "%1": the size in KB
        bool Play;
        bool Preview;
    };
    const Case cases[] = {
        {"pcm8m.wav",
         {"-r", "11025", "-b", "8", "-c", "1"},
         "PCM; 11.025 kHz, 8 Bit, Mono; %1 KB",
         true,
         true},
        {"pcm8s.wav",
         {"-r", "22050", "-b", "8", "-c", "2"},
         "PCM; 22.050 kHz, 8 Bit, Stereo; %1 KB",
         true,
         true},
        {"pcm16m.wav",
         {"-r", "8000", "-b", "16", "-c", "1"},
         "PCM; 8.000 kHz, 16 Bit, Mono; %1 KB",
         true,
         true},
        {"pcm16s.wav",
         {"-r", "44100", "-b", "16", "-c", "2"},
         "PCM; 44.100 kHz, 16 Bit, Stereo; %1 KB",
         true,
         true},
        {"adpcm.wav",
         {"-r", "22050", "-e", "ms-adpcm", "-c", "1"},
         "Microsoft ADPCM; 22.050 kHz, 4 Bit, Mono; %1 KB",
         true,
         true},
        // The scan draws one or two channels; a bell plays more (sox
        // writes them extensible; the plain PCM twins are made below).
        {"ext16q.wav",
         {"-r", "8000", "-b", "16", "-c", "4"},
         "Extensible; 8.000 kHz, 16 Bit, 4 Channels; %1 KB",
         true,
         false},
        {"pcm16q.wav",
         {"-r", "8000", "-b", "16", "-c", "4"},
         "PCM; 8.000 kHz, 16 Bit, 4 Channels; %1 KB",
         true,
         false},
        {"pcm24s.wav",
         {"-r", "48000", "-b", "24", "-c", "2"},
         "PCM; 48.000 kHz, 24 Bit, Stereo; %1 KB",
         true,
         true},
        {"alaw.wav",
         {"-r", "8000", "-e", "a-law", "-c", "1"},
         "CCITT A-Law; 8.000 kHz, 8 Bit, Mono; %1 KB",
         true,
         true},
    };
    for (const Case& c : cases) Make(c.Name, c.Format, kSecond);
    for (const char* name : {"pcm16q.wav", "pcm24s.wav"}) PlainPcm(Dir.file(name));
    const QString text = Dir.file("notes.wav");
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a RIFF file, only named like one\n");
    }

    TMMWaveOpenDialog dialog;
    RunDialog(dialog, [&](QFileDialog* window) {
        EXPECT_EQ(dialog.InfoLabel()->text(), "Unknown");
        EXPECT_FALSE(dialog.PlayButton()->isEnabled());
        EXPECT_FALSE(dialog.PreviewBox()->isEnabled());
        EXPECT_EQ(dialog.PreviewBox()->text(), "Preview");
        for (const Case& c : cases) {
            SCOPED_TRACE(c.Name.toStdString());
            const QString path = Dir.file(c.Name);
            ClickFile(window, path);
            ASSERT_TRUE(Settled(dialog));
            EXPECT_EQ(dialog.InfoLabel()->text(), c.Info.arg(QFileInfo(path).size() / 1024));
            EXPECT_EQ(dialog.PlayButton()->isEnabled(), c.Play);
            EXPECT_EQ(dialog.PreviewBox()->isEnabled(), c.Preview);
        }
        ClickFile(window, text);
        ASSERT_TRUE(Settled(dialog));
        EXPECT_EQ(dialog.InfoLabel()->text(), "Unknown");
        EXPECT_FALSE(dialog.PlayButton()->isEnabled());
        EXPECT_FALSE(dialog.PreviewBox()->isEnabled());
    });
}

// Without the compression manager the names come from the format helpers;
// the example of a 44.1 kHz 16-bit stereo file of 1 764 044 bytes.
TEST_F(WaveOpenDialog, DescribesWithTheFormatHelpersWithoutTheCompressionManager) {
    const QString path = Make("ten.wav", {"-r", "44100", "-b", "16", "-c", "2"}, {"10", "sine", "440"});
    ASSERT_EQ(QFileInfo(path).size(), 1764044);
    QLocale::setDefault(QLocale::c());
    acmDLLLoaded = false;
    TMMWaveOpenDialog dialog;
    RunDialog(dialog, [&](QFileDialog* window) {
        ClickFile(window, path);
        ASSERT_TRUE(Settled(dialog));
        EXPECT_EQ(dialog.InfoLabel()->text(), "PCM; 44.100 kHz, 16 Bit, Stereo; 1722 KB");
    });
    acmDLLLoaded = true;
}

// Confirming: a file that is not a wave file is refused with the message
// and the dialog stays; a wave file closes it with that file chosen; a
// name without extension gets ".wav".
TEST_F(WaveOpenDialog, ConfirmsOnlyWaveFiles) {
    const QString wave = Make("bell.wav", {"-r", "8000", "-b", "16", "-c", "1"}, kSecond);
    const QString text = Dir.file("readme.wav");
    {
        QFile f(text);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("RIFF? no.\n");
    }
    struct Case {
        QString Typed;
        bool Closes;
        QString Chosen;
    };
    const Case cases[] = {{text, false, {}}, {wave, true, wave}, {Dir.file("bell"), true, wave}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Typed.toStdString());
        MessageBoxRecorder boxes;
        TMMWaveOpenDialog dialog;
        dialog.SetInitialDir(Dir.path());
        bool stayedOpen = false;
        const bool chosen = RunDialog(dialog, [&](QFileDialog* window) {
            auto* name = window->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(name, nullptr);
            name->setText(c.Typed);
            QTest::keyClick(name, Qt::Key_Return);
            PumpFor(50);
            stayedOpen = window->isVisible();
        });
        EXPECT_EQ(stayedOpen, !c.Closes);
        EXPECT_EQ(chosen, c.Closes);
        if (c.Closes) {
            EXPECT_EQ(dialog.FileName(), c.Chosen);
            EXPECT_TRUE(boxes.Boxes.empty());
        } else {
            ASSERT_EQ(boxes.Boxes.size(), 1u);
            EXPECT_EQ(boxes.Boxes[0].Text, "Invalid WaveFile...");
            EXPECT_EQ(boxes.Boxes[0].Type, mtError);
        }
    }
}

// The player's SelectFile runs this dialog at the bell's file, with the
// panel's boxes off; cancelling leaves the bell's file as it was.
TEST_F(WaveOpenDialog, SelectFileStartsAtTheBellsFileAndCancelChangesNothing) {
    const QString first = Make("first.wav", {"-r", "8000", "-b", "16", "-c", "1"}, kSecond);
    const QString second = Make("second.wav", {"-r", "8000", "-b", "16", "-c", "1"}, kSecond);
    const TWaveFileChooser previous = TMMWavePlayer::SetWaveFileChooser({});
    InstallWaveOpenDialog();
    TMMWavePlayer player;
    player.SetFileName(first);

    const auto drive = [&](const std::function<void(QFileDialog*)>& Steps) {
        QTimer::singleShot(0, [&] {
            auto* window = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(window, nullptr) << "no file dialog";
            EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
            Steps(window);
            if (window->isVisible()) window->reject();
        });
        return player.SelectFile();
    };
    bool cancelled = drive([&](QFileDialog* window) {
        EXPECT_EQ(window->windowTitle(), "Open Wave File");
        EXPECT_EQ(window->directory().absolutePath(), QFileInfo(first).absolutePath());
        EXPECT_EQ(window->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text(), "first.wav");
        EXPECT_EQ(window->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->currentText(),
                  "Wave Files(*.wav)");
        EXPECT_EQ(window->defaultSuffix(), "wav");
        const auto* preview = window->findChild<QCheckBox*>(QStringLiteral("PreviewBox"));
        const auto* autoPlay = window->findChild<QCheckBox*>(QStringLiteral("AutoPlayBox"));
        ASSERT_TRUE(preview && autoPlay);
        EXPECT_FALSE(preview->isChecked());
        EXPECT_FALSE(autoPlay->isChecked());
        // The bell's own file is described as the dialog opens.
        ASSERT_TRUE(PumpUntil([&] {
            return window->findChild<QLabel*>(QStringLiteral("InfoLabel"))
                ->text()
                .startsWith("PCM; 8.000 kHz");
        }));
        ClickFile(window, second);
    });
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(player.FileName(), first);

    const bool chose = drive([&](QFileDialog* window) {
        ClickFile(window, second);
        QTest::keyClick(window->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")), Qt::Key_Return);
    });
    EXPECT_TRUE(chose);
    EXPECT_EQ(player.FileName(), second);
    TMMWavePlayer::SetWaveFileChooser(previous);
}

// Centred: halfway across the screen and a third of the free height down.
TEST_F(WaveOpenDialog, OpensCentredOnTheScreen) {
    TMMWaveOpenDialog dialog;
    RunDialog(dialog, [&](QFileDialog* window) {
        const QRect screen = window->screen()->geometry();
        const QRect frame = window->frameGeometry();
        EXPECT_EQ(frame.x(), screen.x() + (screen.width() - frame.width()) / 2);
        EXPECT_EQ(frame.y(), screen.y() + (screen.height() - frame.height()) / 3);
        // The panel is beside the file list, not over it.
        const QWidget* files = window->findChild<QWidget*>(QStringLiteral("splitter"));
        ASSERT_NE(files, nullptr);
        ASSERT_TRUE(files->isVisible());
        const QPoint panel = dialog.ScopeWnd()->mapTo(window, QPoint(0, 0));
        EXPECT_GE(panel.x(), files->mapTo(window, QPoint(files->width(), 0)).x());
    });
}

// The initial folder is kept without a trailing "/", but the root stays
// "/", and the dialog opens there when no file is preset.
TEST_F(WaveOpenDialog, InitialDirLosesItsTrailingDelimiter) {
    const std::pair<QString, QString> cases[] = {{"/", "/"},         {"/tmp/", "/tmp"}, {"/tmp", "/tmp"},
                                                 {"/tmp//", "/tmp"}, {"", ""},          {"bells/", "bells"}};
    for (const auto& [given, kept] : cases) {
        TMMWaveOpenDialog dialog;
        dialog.SetInitialDir(given);
        EXPECT_EQ(dialog.InitialDir(), kept) << given.toStdString();
    }
    TMMWaveOpenDialog dialog;
    dialog.SetInitialDir(Dir.path() + "/");
    RunDialog(dialog,
              [&](QFileDialog* window) { EXPECT_EQ(window->directory().absolutePath(), Dir.path()); });
}

// Without an output device nothing can be played: "Auto Play" and the
// Play button stay disabled, the file is still described.
TEST_F(WaveOpenDialog, WithoutAnOutputDeviceNothingPlays) {
    WaveOutSettings s;
    s.output = "no-such-alsa-device-here";
    waveOutConfigure(s);
    ASSERT_EQ(waveOutGetNumDevs(), 0u);
    const QString wave = Make("bell.wav", {"-r", "8000", "-b", "16", "-c", "1"}, kSecond);
    TMMWaveOpenDialog dialog;
    dialog.SetAutoPlay(true);
    RunDialog(dialog, [&](QFileDialog* window) {
        EXPECT_FALSE(dialog.AutoPlayBox()->isEnabled());
        ClickFile(window, wave);
        ASSERT_TRUE(Settled(dialog));
        EXPECT_TRUE(dialog.InfoLabel()->text().startsWith("PCM; 8.000 kHz, 16 Bit, Mono"));
        EXPECT_FALSE(dialog.PlayButton()->isEnabled());
        EXPECT_TRUE(dialog.PreviewBox()->isEnabled());
    });
}

// The picture area: a DISP bitmap stretched over it less two pixels each
// side; otherwise our wave picture in its top-left corner with its ground
// transparent; nothing for no file. The rest shows the dialog's background.
TEST_F(WaveOpenDialog, PictureAreaShowsTheFilesBitmapOrOurs) {
    const QString plain = Make("plain.wav", {"-r", "8000", "-b", "16", "-c", "1"}, kSecond);
    const QString pictured = Make("pictured.wav", {"-r", "8000", "-b", "16", "-c", "1"}, kSecond);
    // A 2 x 2 24-bit bitmap, rows bottom-up, each padded to 4 bytes:
    // bottom blue, white; top red, green.
    QByteArray dib(40, '\0');
    const auto put32 = [&](int at, std::uint32_t v) { std::memcpy(dib.data() + at, &v, 4); };
    put32(0, 40);
    put32(4, 2);
    put32(8, 2);
    dib[12] = 1;
    dib[14] = 24;
    put32(20, 16);
    dib += QByteArray::fromHex(
        "ff0000ffffff0000"
        "0000ff00ff000000");
    QByteArray disp(4, '\0');
    disp[0] = 8;  // a device-independent bitmap
    ASSERT_TRUE(RiffFixtures::Append(pictured, RiffFixtures::Chunk("DISP", disp + dib)));
    ASSERT_TRUE(RiffFixtures::FixRiffSize(pictured));

    TMMWaveOpenDialog dialog;
    RunDialog(dialog, [&](QFileDialog* window) {
        const QRgb ground = window->grab(QRect(0, 0, 1, 1)).toImage().pixel(0, 0);
        const auto picture = [&] {
            return dialog.DIBWnd()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        };
        const QSize size = dialog.DIBWnd()->size();

        QImage shown = picture();
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                ASSERT_EQ(shown.pixel(x, y), ground) << "no file: " << x << "," << y;

        ClickFile(window, pictured);
        ASSERT_TRUE(Settled(dialog));
        shown = picture();
        const int inner = size.width() - 4;
        const struct {
            int X, Y;
            QRgb Colour;
        } quarters[] = {{0, 0, qRgb(255, 0, 0)},
                        {1, 0, qRgb(0, 255, 0)},
                        {0, 1, qRgb(0, 0, 255)},
                        {1, 1, qRgb(255, 255, 255)}};
        for (const auto& q : quarters)
            for (int y = 2 + q.Y * inner / 2; y < 2 + (q.Y + 1) * inner / 2; ++y)
                for (int x = 2 + q.X * inner / 2; x < 2 + (q.X + 1) * inner / 2; ++x)
                    ASSERT_EQ(shown.pixel(x, y), q.Colour) << x << "," << y;
        EXPECT_EQ(shown.pixel(0, 0), ground);
        EXPECT_EQ(shown.pixel(size.width() - 1, size.height() - 1), ground);

        ClickFile(window, plain);
        ASSERT_TRUE(Settled(dialog));
        shown = picture();
        const QImage ours =
            QImage(QStringLiteral(":/quorvel/BMP_WAVE.png")).convertToFormat(QImage::Format_RGB32);
        ASSERT_FALSE(ours.isNull());
        const QRgb key = ours.pixel(0, ours.height() - 1);
        int opaque = 0;
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x) {
                const int px = x - 2, py = y - 2;
                const bool inPicture = px >= 0 && py >= 0 && px < std::min(ours.width(), inner) &&
                                       py < std::min(ours.height(), inner);
                const QRgb expected = inPicture && ours.pixel(px, py) != key ? ours.pixel(px, py) : ground;
                opaque += expected != ground;
                ASSERT_EQ(shown.pixel(x, y), expected) << x << "," << y;
            }
        EXPECT_GT(opaque, 100);
    });
}

}  // namespace
