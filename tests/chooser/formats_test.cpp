// Every format a bell plays, drawn and played by the dialog: a tone whose
// first half is loud and second half quiet, written by sox in each format.
// The drawn columns are judged against sox's own decoding of the file, the
// played sound in the captured mix; the Play button is offered exactly for
// the files a bell's player plays.

#include "chooser/MMWaveOpenDialog.h"
#include "playback/MMWaveOut.h"
#include "playback/MMWavePlayer.h"
#include "tests/chooser/ChooserKit.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/WaveOutTestKit.h"

#include <QImage>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int kTone = 700;
constexpr int kLoud = 16000;
constexpr int kQuiet = 2000;
constexpr QRgb kLime = 0xFF00FF00u;

struct FormatCase {
    const char* Name;
    QStringList Format;  // sox's options for the file written
    int Rate;
    int Channels;
    int Frames;            // whole blocks for the ADPCM kinds
    bool Plain = false;    // sox's extensible record turned into plain PCM (tag 1)
    bool Eight = false;    // drawn from its own 8-bit samples
    bool Playable = true;  // a bell plays it, so it is drawn and played
};

const FormatCase kCases[] = {
    {"ext24s96k.wav", {"-b", "24"}, 96000, 2, 96000 * 7 / 10},
    {"pcm24s.wav", {"-b", "24"}, 48000, 2, 48000 * 7 / 10, true},
    {"ext32m.wav", {"-b", "32"}, 44100, 1, 44100 * 7 / 10},
    {"float.wav", {"-e", "floating-point", "-b", "32"}, 44100, 2, 44100 * 7 / 10},
    {"ima.wav", {"-e", "ima-adpcm"}, 8000, 1, 505 * 12},
    {"ima_s.wav", {"-e", "ima-adpcm"}, 22050, 2, 505 * 30},
    {"msadpcm.wav", {"-e", "ms-adpcm"}, 8000, 1, 500 * 12},
    {"mulaw.wav", {"-e", "mu-law"}, 8000, 1, 8000 * 7 / 10},
    {"alaw.wav", {"-e", "a-law"}, 8000, 1, 8000 * 7 / 10},
    {"pcm8.wav", {"-b", "8"}, 11025, 1, 11025 * 7 / 10, false, true},
    {"pcm16.wav", {"-b", "16"}, 22050, 2, 22050 * 7 / 10},
    // No converter of a bell's makes PCM of GSM: neither played nor drawn.
    {"gsm.wav", {"-e", "gsm-full-rate"}, 8000, 1, 160 * 40, false, false, false},
};

std::string Describe(const FormatCase& Case) {
    return Case.Name;
}

class Formats : public ChooserTest {
protected:
    // The tone in Case's format: loud for the first half of the frames,
    // quiet for the second, the same in every channel.
    QString MakeTone(const FormatCase& Case) {
        std::vector<std::int16_t> samples;
        for (int i = 0; i < Case.Frames; ++i) {
            const int amplitude = i < Case.Frames / 2 ? kLoud : kQuiet;
            const auto v = static_cast<std::int16_t>(
                std::lround(amplitude * std::sin(2 * M_PI * kTone * i / static_cast<double>(Case.Rate))));
            for (int c = 0; c < Case.Channels; ++c) samples.push_back(v);
        }
        const QString raw = Dir.file(QString(Case.Name) + ".raw");
        QFile f(raw);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(samples.data()), static_cast<qint64>(samples.size() * 2));
        f.close();
        const QString path = Dir.file(Case.Name);
        sox::Run(QStringList{"-D", "-t", "raw", "-e", "signed", "-b", "16", "-L", "-r",
                             QString::number(Case.Rate), "-c", QString::number(Case.Channels), raw} +
                 Case.Format + QStringList{path});
        if (Case.Plain) {
            QFile w(path);
            EXPECT_TRUE(w.open(QIODevice::ReadWrite));
            w.seek(20);
            EXPECT_EQ(w.read(2), QByteArray("\xFE\xFF", 2)) << "sox wrote no extensible record";
            w.seek(20);
            w.write(QByteArray("\x01\x00", 2));
        }
        return path;
    }
};

// Per column of the area: the lowest and highest value of the samples sox
// decodes from the file, split into columns as the dialog splits them.
struct Extremes {
    int Low, High;
};
std::vector<Extremes> ExpectedColumns(const FormatCase& Case, const std::vector<std::int16_t>& Decoded,
                                      int W) {
    const int bytesPerSample = Case.Eight ? 1 : 2;
    const std::int64_t frames = static_cast<std::int64_t>(Decoded.size()) / Case.Channels;
    const std::int64_t bytes = frames * Case.Channels * bytesPerSample;
    const std::int64_t n = std::max<std::int64_t>((bytes / W) & ~std::int64_t{3}, 4);
    const std::int64_t perColumn = n / (Case.Channels * bytesPerSample);
    std::vector<Extremes> columns;
    for (int x = 0; x < W; ++x) {
        Extremes e{32767, -32768};
        for (std::int64_t f = x * perColumn; f < (x + 1) * perColumn && f < frames; ++f)
            for (int c = 0; c < Case.Channels; ++c) {
                const int v = Decoded[static_cast<std::size_t>(f * Case.Channels + c)];
                e.Low = std::min(e.Low, v);
                e.High = std::max(e.High, v);
            }
        columns.push_back(e);
    }
    return columns;
}

// The waveform of each format follows sox's decoding column by column (but
// for the columns where the tone turns quiet, whose share of each half
// depends on how the sizes round), the picture shows the loud half tall and
// the quiet half short, and Play is offered exactly when a bell's player
// plays the file.
TEST_F(Formats, EachFormatIsDrawnAsItSoundsAndPlayedWhenABellPlaysIt) {
    std::vector<QString> paths;
    for (const FormatCase& c : kCases) paths.push_back(MakeTone(c));
    TMMWaveOpenDialog dialog;
    dialog.SetPreview(true);
    RunDialog(dialog, [&](QFileDialog* window) {
        const QRect area = dialog.ScopeRect();
        const int W = area.width();
        for (std::size_t i = 0; i < std::size(kCases); ++i) {
            const FormatCase& c = kCases[i];
            SCOPED_TRACE(Describe(c));
            {
                TMMWavePlayer bell;
                bell.SetFileName(paths[i]);
                bool played = false;
                try {
                    bell.Play();
                    played = bell.State().Contains(wosPlay);
                } catch (const Exception&) {
                }
                bell.Stop();
                ASSERT_EQ(played, c.Playable) << "a bell's player and this table disagree";
            }
            ClickFile(window, paths[i]);
            ASSERT_TRUE(Settled(dialog));
            EXPECT_EQ(dialog.PlayButton()->isEnabled(), c.Playable);
            EXPECT_EQ(dialog.PreviewBox()->isEnabled(), c.Playable);
            const QImage image = dialog.ScopeWnd()->grab().toImage().convertToFormat(QImage::Format_RGB32);
            if (!c.Playable) {
                // The grey half-height line, no lime.
                for (int x = 0; x < W; ++x)
                    for (int y = area.top(); y <= area.bottom(); ++y)
                        ASSERT_NE(image.pixel(area.left() + x, y), kLime) << x << "," << y;
                continue;
            }

            const std::vector<Extremes> expected = ExpectedColumns(c, sox::DecodeTo16(paths[i]), W);
            const int quietFrom = static_cast<int>(static_cast<std::int64_t>(c.Frames / 2) * W / c.Frames);
            const auto tolerance = [](int v) { return 400 + std::abs(v) * 6 / 100; };
            int loudRows = 0, quietRows = area.height();
            for (int x = 0; x < W - 1; ++x) {
                if (std::abs(x - quietFrom) <= 2) continue;
                const auto& column = dialog.Data()[static_cast<std::size_t>(x)];
                const auto [low, high] = std::minmax({column[0], column[1], column[2], column[3]});
                const Extremes& e = expected[static_cast<std::size_t>(x)];
                ASSERT_NEAR(low, e.Low, tolerance(e.Low)) << "column " << x;
                ASSERT_NEAR(high, e.High, tolerance(e.High)) << "column " << x;
                // The lime rows of the column in the picture.
                int top = -1, bottom = -1;
                for (int y = area.top(); y <= area.bottom(); ++y)
                    if (image.pixel(area.left() + x, y) == kLime) {
                        if (top < 0) top = y;
                        bottom = y;
                    }
                ASSERT_GE(top, 0) << "column " << x << " is not drawn";
                if (x < quietFrom && x > 0)
                    loudRows = std::max(loudRows, bottom - top);
                else if (x > quietFrom)
                    quietRows = std::min(quietRows, bottom - top);
            }
            // Loud: about 2 x 16000 / 65535 of the height; quiet: an eighth
            // of that, yet more than a flat line.
            EXPECT_GE(loudRows, area.height() * 2 * kLoud * 9 / 10 / 65535);
            EXPECT_LE(quietRows, area.height() * 2 * kQuiet * 13 / 10 / 65535);
            EXPECT_GE(quietRows, area.height() * 2 * kQuiet * 6 / 10 / 65535 - 1);
        }
    });
}

// What Play plays, heard in the mix: the tone at its pitch, loud then
// quiet for as long as the file lasts.
TEST_F(Formats, PlayPlaysEachFormatABellPlays) {
    for (const FormatCase& c : kCases) {
        if (!c.Playable) continue;
        SCOPED_TRACE(Describe(c));
        const QString path = MakeTone(c);
        const std::string mixPath = Dir.file(QString(c.Name) + ".mix.wav").toStdString();
        WaveOutSettings s;
        s.output = "capture:" + mixPath;
        waveOutConfigure(s);
        ASSERT_EQ(waveOutGetNumDevs(), 1u) << waveOutGetStatus().error;
        TMMWaveOpenDialog dialog;
        dialog.SetPreview(true);
        RunDialog(dialog, [&](QFileDialog* window) {
            ClickFile(window, path);
            ASSERT_TRUE(Settled(dialog));
            ASSERT_TRUE(dialog.PlayButton()->isEnabled());
            QTest::mouseClick(dialog.PlayButton(), Qt::LeftButton);
            ASSERT_EQ(dialog.PlayButton()->text(), "Stop");
            // The position line stands where the sound is: it moves only while
            // the loop runs, so each move lies between the device's positions
            // read at the looks before and after it (bytes of what it plays).
            const int W = dialog.ScopeRect().width();
            const int played = dialog.WaveOut()->GetPWaveFormat()->nBlockAlign;
            const auto column = [&](std::int64_t Position) {
                return static_cast<int>(std::min<std::int64_t>(Position / played * W / c.Frames, W - 1));
            };
            int last = -1, moves = 0;
            std::int64_t before = 0;
            ASSERT_TRUE(PumpUntil(
                [&] {
                    const std::int64_t now = dialog.WaveOut()->GetPosition();
                    const std::set<int> line = LocatorColumns(dialog);
                    if (line.size() > 1) ADD_FAILURE() << "more than one position line";
                    if (line.size() == 1 && *line.begin() != last) {
                        last = *line.begin();
                        ++moves;
                        EXPECT_GE(last, column(before) - 1) << "behind the sound";
                        EXPECT_LE(last, column(now) + 1) << "ahead of the sound";
                    }
                    before = now;
                    return dialog.PlayButton()->text() == "Play";
                },
                20));
            EXPECT_GE(moves, 2) << "the line hardly moved";
        });
        waveOutShutdown();
        Capture mix;
        ASSERT_TRUE(readCapture(mixPath, mix));
        ASSERT_GT(mix.frames(), 0u);

        // Where the tone sounds in the left channel.
        std::size_t first = mix.frames(), last = 0;
        for (std::size_t f = 0; f < mix.frames(); ++f)
            if (std::abs(int(mix.at(f, 0))) > kQuiet / 4) {
                first = std::min(first, f);
                last = f;
            }
        ASSERT_LT(first, last) << "nothing was heard";
        const double seconds = double(last - first) / mix.rate;
        EXPECT_NEAR(seconds, double(c.Frames) / c.Rate, 0.02);
        const auto part = [&](double From, double To) {
            int peak = 0, crossings = 0;
            const auto a = first + static_cast<std::size_t>(From * double(last - first));
            const auto b = first + static_cast<std::size_t>(To * double(last - first));
            for (std::size_t f = a; f < b; ++f) {
                peak = std::max(peak, std::abs(int(mix.at(f, 0))));
                if (f > a && (mix.at(f - 1, 0) < 0) != (mix.at(f, 0) < 0)) ++crossings;
            }
            return std::pair{peak, crossings / 2.0 / (double(b - a) / mix.rate)};
        };
        const auto [loud, loudHz] = part(0.05, 0.45);
        const auto [quiet, quietHz] = part(0.55, 0.95);
        // As loud as sox's decoding of the same parts (lossy kinds stray
        // from the tone they were made of).
        const std::vector<std::int16_t> decoded = sox::DecodeTo16(path);
        const auto reference = [&](double From, double To) {
            const auto frames = static_cast<double>(decoded.size() / static_cast<std::size_t>(c.Channels));
            int peak = 0;
            for (auto f = static_cast<std::size_t>(From * frames); f < static_cast<std::size_t>(To * frames);
                 ++f)
                peak = std::max(peak, std::abs(int(decoded[f * static_cast<std::size_t>(c.Channels)])));
            return peak;
        };
        EXPECT_NEAR(loud, reference(0.05, 0.45), kLoud / 20);
        EXPECT_NEAR(quiet, reference(0.55, 0.95), kQuiet / 8);
        EXPECT_NEAR(loudHz, kTone, kTone / 50);
        EXPECT_NEAR(quietHz, kTone, kTone / 50);
    }
}

}  // namespace
