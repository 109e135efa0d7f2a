// The waveform with "Preview" on, judged by its pixels: the area less its
// two-pixel frame is W columns by H rows; column x shows the samples of
// bytes [x n, (x + 1) n) with n = max((data bytes div W) rounded down to a
// multiple of 4, 4), and a value v sits on row
//     top + H - 1 - (v + 32767) * H div 65535.
// The files are exact sample data that sox wraps as WAV files.

#include "chooser/MMWaveOpenDialog.h"
#include "tests/chooser/ChooserKit.h"
#include "tests/support/QtPrinters.h"

#include <QGuiApplication>
#include <QImage>
#include <QRgb>
#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

constexpr QRgb kBlack = 0xFF000000u;
constexpr QRgb kLime = 0xFF00FF00u;

// The dialog with its repaint open to the test.
class TScopeDialog : public TMMWaveOpenDialog {
public:
    using TMMWaveOpenDialog::DrawPCMData;
};

class Waveform : public ChooserTest {
protected:
    // A 16-bit WAV of exactly these samples (interleaved).
    QString Samples(const QString& Name, int Channels, const std::vector<std::int16_t>& Values,
                    int Bits = 16) {
        const QString raw = Dir.file(Name + ".raw");
        QFile f(raw);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(Values.data()), static_cast<qint64>(Values.size() * 2));
        f.close();
        const QString path = Dir.file(Name);
        sox::Run({"-t", "raw", "-e", "signed", "-b", "16", "-r", "8000", "-c", QString::number(Channels), raw,
                  "-b", QString::number(Bits), path});
        return path;
    }

    // The row of value v.
    int Row(int Value) const {
        return Area.top() + Area.height() - 1 -
               static_cast<int>((std::int64_t{Value} + 32767) * Area.height() / 65535);
    }

    // Lime rows of column x of the area: first and last, -1 when none; and
    // whether any pixel of the column is neither lime nor black.
    struct Column {
        int Top = -1, Bottom = -1;
        bool Other = false;
    };
    Column ColumnOf(const QImage& Image, int X) const {
        Column c;
        for (int y = Area.top(); y <= Area.bottom(); ++y) {
            const QRgb p = Image.pixel(Area.left() + X, y);
            if (p == kLime) {
                if (c.Top < 0) c.Top = y;
                c.Bottom = y;
            } else if (p != kBlack) {
                c.Other = true;
            }
        }
        return c;
    }

    // Selects Path in a running dialog with "Preview" on and returns what
    // the waveform area shows once the panel has taken it in.
    QImage Shown(TMMWaveOpenDialog& Dialog, QFileDialog* Window, const QString& Path) {
        ClickFile(Window, Path);
        EXPECT_TRUE(Settled(Dialog));
        return Dialog.ScopeWnd()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    }

    // Runs Steps with "Preview" on.
    void Run(const std::function<void(TScopeDialog&, QFileDialog*)>& Steps) {
        TScopeDialog dialog;
        dialog.SetPreview(true);
        Area = TMMWaveOpenDialog().ScopeRect();
        RunDialog(dialog, [&](QFileDialog* window) { Steps(dialog, window); });
    }

    QRect Area;
};

// Every column of a square wave holds both extremes: a full stroke from
// the top one to the bottom one, nothing above or below, the whole width
// but for the last pixel of the last column, which the line ends on.
TEST_F(Waveform, SquareWaveFillsEveryColumnBetweenItsExtremes) {
    constexpr std::int16_t A = 24000;
    std::vector<std::int16_t> square(8000);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 4) % 2 ? -A : A;
    const QString path = Samples("square.wav", 1, square);
    Run([&](TScopeDialog& dialog, QFileDialog* window) {
        const QImage image = Shown(dialog, window, path);
        for (int x = 0; x < Area.width() - 1; ++x) {
            const Column c = ColumnOf(image, x);
            ASSERT_EQ(c.Top, Row(A)) << "column " << x;
            ASSERT_EQ(c.Bottom, Row(-A)) << "column " << x;
            ASSERT_FALSE(c.Other) << "column " << x;
            for (int y = c.Top; y <= c.Bottom; ++y)
                ASSERT_EQ(image.pixel(Area.left() + x, y), kLime) << "column " << x << " row " << y;
        }
        // The stored columns say the same: each starts with +A or -A and goes to the other.
        for (const auto& column : dialog.Data()) ASSERT_EQ(std::abs(column[0] - column[1]), 2 * A);
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "the hourglass stayed after the scan";
    });
}

// Silence is the half-height line; a repaint draws the same line and adds
// the one pixel the scan leaves at its end.
TEST_F(Waveform, SilenceIsTheHalfHeightLine) {
    const QString path = Dir.file("silence.wav");
    sox::Run({"-D", "-n", "-r", "8000", "-b", "16", "-c", "1", path, "trim", "0", "1"});
    Run([&](TScopeDialog& dialog, QFileDialog* window) {
        QImage image = Shown(dialog, window, path);
        const int half = Row(0);
        EXPECT_EQ(half, Area.top() + Area.height() / 2);
        for (int x = 0; x < Area.width(); ++x) {
            const Column c = ColumnOf(image, x);
            if (x == Area.width() - 1) {
                EXPECT_EQ(c.Top, -1);
            } else {
                ASSERT_EQ(c.Top, half) << "column " << x;
                ASSERT_EQ(c.Bottom, half) << "column " << x;
            }
        }
        dialog.DrawPCMData();
        image = dialog.ScopeWnd()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        for (int x = 0; x < Area.width(); ++x) {
            const Column c = ColumnOf(image, x);
            ASSERT_EQ(c.Top, half) << "column " << x;
            ASSERT_EQ(c.Bottom, half) << "column " << x;
        }
    });
}

// A ramp over the whole 16-bit range: each column spans exactly the rows of
// its own first and last sample, so the scale holds over the full height,
// both in the scan and in a repaint.
TEST_F(Waveform, RampSpansTheFullHeightColumnByColumn) {
    const int frames = 65536;
    std::vector<std::int16_t> ramp(static_cast<std::size_t>(frames));
    for (int i = 0; i < frames; ++i) ramp[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(i - 32768);
    const QString path = Samples("ramp.wav", 1, ramp);
    Run([&](TScopeDialog& dialog, QFileDialog* window) {
        const int W = Area.width();
        const int n = std::max((frames * 2 / W) & ~3, 4);
        const int perColumn = n / 2;
        for (int pass = 0; pass < 2; ++pass) {
            SCOPED_TRACE(pass == 0 ? "scan" : "repaint");
            QImage image = Shown(dialog, window, path);
            if (pass == 1) {
                dialog.DrawPCMData();
                image = dialog.ScopeWnd()->grab().toImage().convertToFormat(QImage::Format_RGB32);
            }
            // The scan's pen starts at half height on the left edge.
            const int from = pass == 0 ? 1 : 0;
            if (pass == 0) {
                const Column c = ColumnOf(image, 0);
                EXPECT_EQ(c.Top, Row(0));
                EXPECT_EQ(c.Bottom, Row(ramp[0]));
            }
            for (int x = from; x < W - 1; ++x) {
                const int low = ramp[static_cast<std::size_t>(x * perColumn)];
                const int high = ramp[static_cast<std::size_t>((x + 1) * perColumn - 1)];
                const Column c = ColumnOf(image, x);
                ASSERT_EQ(c.Top, Row(high)) << "column " << x;
                ASSERT_EQ(c.Bottom, Row(low)) << "column " << x;
            }
            EXPECT_EQ(ColumnOf(image, 1).Bottom, Area.bottom());
            EXPECT_LE(ColumnOf(image, W - 2).Top, Area.top() + 1);
        }
    });
}

// An 8-bit file and its 16-bit twin (the same samples shifted up by eight
// bits) give the very same picture.
TEST_F(Waveform, EightBitFileIsDrawnOnTheSixteenBitScale) {
    // A length both sizes split into the same frames per column.
    const int W = TMMWaveOpenDialog().ScopeRect().width();
    const QString length = QString::number(W * 4 * 10) + "s";
    const QString eight = Dir.file("eight.wav");
    sox::Run({"-r", "8000", "-n", "-r", "8000", "-b", "8", "-c", "1", eight, "synth", length, "sine", "37",
              "vol", "0.9"});
    const QString sixteen = Dir.file("sixteen.wav");
    sox::Run({"-D", eight, "-b", "16", sixteen});
    Run([&](TScopeDialog& dialog, QFileDialog* window) {
        const QImage a = Shown(dialog, window, eight);
        const QImage b = Shown(dialog, window, sixteen);
        EXPECT_EQ(a, b);
        // Not a flat line: the sine reaches from near the top to near the bottom.
        int top = Area.bottom(), bottom = Area.top();
        for (int x = 0; x < Area.width() - 1; ++x) {
            const Column c = ColumnOf(a, x);
            ASSERT_GE(c.Top, 0) << "column " << x;
            top = std::min(top, c.Top);
            bottom = std::max(bottom, c.Bottom);
        }
        EXPECT_LT(top, Area.top() + Area.height() / 10);
        EXPECT_GT(bottom, Area.bottom() - Area.height() / 10);
    });
}

// Less data than four bytes a column: four bytes each, and where the data
// ends the line goes on at half height to the right edge.
TEST_F(Waveform, ShortFileEndsInTheHalfHeightLine) {
    constexpr std::int16_t A = 30000;
    std::vector<std::int16_t> square(100);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = i % 2 ? -A : A;
    const QString path = Samples("short.wav", 1, square);
    Run([&](TScopeDialog& dialog, QFileDialog* window) {
        const QImage image = Shown(dialog, window, path);
        const int drawn = 100 * 2 / 4;  // columns with data
        for (int x = 0; x < Area.width(); ++x) {
            const Column c = ColumnOf(image, x);
            if (x < drawn - 1) {
                ASSERT_EQ(c.Top, Row(A)) << "column " << x;
                ASSERT_EQ(c.Bottom, Row(-A)) << "column " << x;
            } else if (x >= drawn) {
                ASSERT_EQ(c.Top, Row(0)) << "column " << x;
                ASSERT_EQ(c.Bottom, Row(0)) << "column " << x;
            }
            const auto& column = dialog.Data()[static_cast<std::size_t>(x)];
            ASSERT_EQ(column[0] != 0, x < drawn) << "column " << x;
        }
        EXPECT_EQ(image.pixel(Area.left() + drawn - 1, Row(0)), kLime);
    });
}

// A stereo file whose right channel is silent is drawn as loud as its left
// channel in every column, whichever of the left's extremes comes first.
TEST_F(Waveform, StereoColumnsCoverBothChannels) {
    constexpr std::int16_t A = 20000;
    std::vector<std::int16_t> frames;
    for (int i = 0; i < 8000; ++i) {
        frames.push_back((i / 5) % 2 ? -A : A);
        frames.push_back(0);
    }
    const QString path = Samples("stereo.wav", 2, frames);
    Run([&](TScopeDialog& dialog, QFileDialog* window) {
        const QImage image = Shown(dialog, window, path);
        int maxFirst = 0;
        for (int x = 0; x < Area.width() - 1; ++x) {
            const Column c = ColumnOf(image, x);
            ASSERT_EQ(c.Top, Row(A)) << "column " << x;
            ASSERT_EQ(c.Bottom, Row(-A)) << "column " << x;
            maxFirst += dialog.Data()[static_cast<std::size_t>(x)][0] == A;
        }
        EXPECT_GT(maxFirst, 10) << "both orders of the extremes occur";
        EXPECT_LT(maxFirst, Area.width() - 10) << "both orders of the extremes occur";
    });
}

}  // namespace
