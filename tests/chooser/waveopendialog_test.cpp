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
#include <QLocale>
#include <QScreen>

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
         false},
        // Formats the scan does not read: more channels, 24 bits (sox writes
        // them extensible; the plain PCM twins are made below).
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
         false},
        // The device takes no a-law and the decoder does not make PCM of it.
        {"alaw.wav",
         {"-r", "8000", "-e", "a-law", "-c", "1"},
         "CCITT A-Law; 8.000 kHz, 8 Bit, Mono; %1 KB",
         false,
         false},
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

}  // namespace
