// The wave file chooser as a ringer uses it, with "Preview" on:
//
//  1. Selecting a 100 MB 16-bit stereo file: from the selection to the
//     waveform area painted with the finished waveform (this includes the
//     50 ms the selection has to rest before the panel updates). The same
//     for a 100 MB IMA ADPCM stereo file (four times as long, decoded by
//     the bells' converters as it is drawn), when sox is there to write it.
//  2. Scrolling with the arrow keys through a folder of 200 bell recordings
//     (2 to 12 s, 44.1 kHz 16-bit stereo): the longest time the main thread
//     did not come back to its event loop, seen by a 1 ms timer. Keys come
//     as fast as a held key repeats (every 33 ms, the panel never settles)
//     and at a walking pace (every 80 ms, every file is described and
//     drawn).
//
// Sound goes to the null output. Run with QT_QPA_PLATFORM=offscreen (the
// default here) and under a real X server (xvfb-run -a) to see the window
// system's share.
//
//   bench_chooser_waveopen [RUNS]     (default 10 selections of the big file)

#include "bench/BenchStats.h"
#include "chooser/MMWaveOpenDialog.h"
#include "platform/waveout/waveout.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

constexpr int kRate = 44100;

// A 16-bit stereo WAV of Bytes data bytes: a bell of two partials struck
// every four seconds, written a second at a time.
bool WriteWave(const QString& Path, std::uint32_t Bytes, double Pitch) {
    QFile f(Path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    auto u32 = [](std::uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF" + u32(36 + Bytes) + "WAVEfmt " + u32(16) + u16(1) + u16(2) + u32(kRate) + u32(kRate * 4) +
            u16(4) + u16(16) + "data" + u32(Bytes));
    std::vector<std::int16_t> second(kRate * 2);
    std::uint32_t left = Bytes / 4, frame = 0;
    while (left > 0) {
        const std::uint32_t n = std::min<std::uint32_t>(left, kRate);
        for (std::uint32_t i = 0; i < n; ++i, ++frame) {
            const double t = double(frame % (4 * kRate)) / kRate;
            const double v =
                20000 * std::exp(-t / 3) *
                (0.7 * std::sin(2 * M_PI * Pitch * t) + 0.3 * std::sin(2 * M_PI * Pitch * 2.76 * t));
            second[2 * i] = static_cast<std::int16_t>(v);
            second[2 * i + 1] = static_cast<std::int16_t>(-v);
        }
        if (f.write(reinterpret_cast<const char*>(second.data()), n * 4) != qint64(n) * 4) return false;
        left -= n;
    }
    return true;
}

void Pump(const std::function<bool()>& Until, const char* What = "") {
    QElapsedTimer t;
    t.start();
    while (!Until()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (t.elapsed() > 60000) {
            std::fprintf(stderr, "bench_chooser_waveopen: gave up waiting for %s\n", What);
            std::exit(1);
        }
    }
}

void PumpFor(int Ms) {
    QElapsedTimer t;
    t.start();
    Pump([&] { return t.elapsed() >= Ms; });
}

// Sees every paint of the waveform area before the dialog's own painting
// (filters installed later run first); the area's picture is finished by
// then, so the paint's start is when it reaches the screen.
class PaintWatch : public QObject {
public:
    std::function<void()> OnPaint;
    bool eventFilter(QObject*, QEvent* Event) override {
        if (Event->type() == QEvent::Paint && OnPaint) OnPaint();
        return false;
    }
};

// Gaps between the ticks of a 1 ms timer: how long the main thread stayed away.
class StallWatch : public QObject {
public:
    void Start() {
        Gaps.clear();
        Last = NowUs();
        FTimer.setTimerType(Qt::PreciseTimer);
        FTimer.setInterval(1);
        connect(&FTimer, &QTimer::timeout, this, [this] {
            const double now = NowUs();
            Gaps.push_back((now - Last) / 1000.0);
            Last = now;
        });
        FTimer.start();
    }
    void Stop() {
        FTimer.stop();
        FTimer.disconnect();
    }
    std::vector<double> Gaps;

private:
    QTimer FTimer;
    double Last = 0;
};

QListView* FileList(QFileDialog* Window) {
    return Window->findChild<QListView*>(QStringLiteral("listView"));
}

void Select(QFileDialog* Window, const QString& Path) {
    auto* list = FileList(Window);
    auto* model = qobject_cast<QFileSystemModel*>(list->model());
    list->setCurrentIndex(model->index(Path));
}

// The 16-bit file four times over as IMA ADPCM, written by sox: 100 MB.
bool WriteImaWave(const QString& Path, const QString& Pcm) {
    QProcess sox;
    sox.start(QStringLiteral("sox"),
              {Pcm, Pcm, Pcm, Pcm, QStringLiteral("-e"), QStringLiteral("ima-adpcm"), Path});
    return sox.waitForFinished(600000) && sox.exitStatus() == QProcess::NormalExit && sox.exitCode() == 0;
}

void Report(const char* What, const std::vector<double>& Ms) {
    std::printf("  %-44s median %7.1f  p90 %7.1f  max %7.1f ms  (n=%zu)\n", What, Percentile(Ms, 50),
                Percentile(Ms, 90), Ms.empty() ? 0.0 : *std::max_element(Ms.begin(), Ms.end()), Ms.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    WaveOutSettings sound;
    sound.output = "null";
    waveOutConfigure(sound);

    QTemporaryDir big, folder;
    const QString bigFile = big.filePath(QStringLiteral("big.wav"));
    const QString smallFile = big.filePath(QStringLiteral("small.wav"));
    std::printf("writing a 100 MB file and 200 bell recordings...\n");
    if (!WriteWave(bigFile, 100u << 20, 440) || !WriteWave(smallFile, kRate * 4 * 2, 440)) return 1;
    const QString imaFile = big.filePath(QStringLiteral("big-ima.wav"));
    const bool ima = WriteImaWave(imaFile, bigFile);
    if (!ima) std::printf("(no sox: the IMA ADPCM file is left out)\n");
    QStringList bells;
    const int lengths[] = {2, 3, 4, 6, 12};
    for (int i = 0; i < 200; ++i) {
        const QString name = folder.filePath(QStringLiteral("bell%1.wav").arg(i, 3, 10, QLatin1Char('0')));
        if (!WriteWave(name, static_cast<std::uint32_t>(kRate * 4 * lengths[i % 5]), 300 + 5 * i)) return 1;
        bells << name;
    }

    TMMWaveOpenDialog dialog;
    dialog.SetPreview(true);
    PaintWatch paints;
    dialog.OnCreate = [&](QObject*) { dialog.ScopeWnd()->installEventFilter(&paints); };
    std::vector<double> selectToDrawn, imaToDrawn;
    std::vector<double> fastGaps, walkGaps;
    int walkUpdates = 0;

    QTimer::singleShot(0, [&] {
        QFileDialog* window = dialog.Handle();
        window->setDirectory(big.path());
        PumpFor(300);

        // ---- 1. the big files -------------------------------------------------
        const auto measure = [&](const QString& File, int Runs, std::vector<double>& Times) {
            for (int run = 0; run < Runs; ++run) {
                Select(window, smallFile);
                Pump([&] { return !dialog.Updating() && dialog.PlayButton()->isEnabled(); },
                     "the small file");
                PumpFor(100);
                double drawn = 0;
                const double selected = NowUs();
                paints.OnPaint = [&] {
                    // The scan shows the hourglass until it has read the whole file.
                    if (drawn == 0 && !dialog.Updating() && !QGuiApplication::overrideCursor() &&
                        dialog.Data().back()[0] != 0)
                        drawn = NowUs();
                };
                Select(window, File);
                Pump([&] { return drawn != 0; }, "the big file drawn");
                paints.OnPaint = nullptr;
                Times.push_back((drawn - selected) / 1000.0);
            }
        };
        measure(bigFile, runs, selectToDrawn);
        if (ima) measure(imaFile, std::max(1, runs / 2), imaToDrawn);

        // ---- 2. scrolling -----------------------------------------------------
        window->setDirectory(folder.path());
        auto* model = qobject_cast<QFileSystemModel*>(FileList(window)->model());
        Pump([&] { return model->rowCount(FileList(window)->rootIndex()) >= 200; }, "the folder listed");
        QWidget* view = window->findChild<QWidget*>(QStringLiteral("treeView"));
        if (!view || !view->isVisible()) view = FileList(window);
        view->setFocus();
        for (int pace : {33, 80}) {
            Select(window, bells.front());
            Pump([&] { return !dialog.Updating(); });
            PumpFor(200);
            StallWatch stalls;
            int updates = 0;
            paints.OnPaint = [&] { ++updates; };
            stalls.Start();
            for (int i = 1; i < bells.size(); ++i) {
                QKeyEvent press(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
                QKeyEvent release(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier);
                QCoreApplication::sendEvent(view, &press);
                QCoreApplication::sendEvent(view, &release);
                PumpFor(pace);
            }
            Pump([&] { return !dialog.Updating(); });
            PumpFor(100);
            stalls.Stop();
            paints.OnPaint = nullptr;
            (pace == 33 ? fastGaps : walkGaps) = stalls.Gaps;
            if (pace == 80) walkUpdates = updates;
        }
        window->reject();
    });
    dialog.Execute();

    std::printf("\nwave file chooser, %s platform, Preview on\n",
                qPrintable(QGuiApplication::platformName()));
    std::printf("100 MB 16-bit stereo file (%d selections; the selection rests %d ms first):\n", runs,
                TMMWaveOpenDialog::kSelChangeDelayMs);
    Report("selection to waveform drawn", selectToDrawn);
    std::vector<double> scan;
    for (double ms : selectToDrawn) scan.push_back(ms - TMMWaveOpenDialog::kSelChangeDelayMs);
    Report("of which after the settle interval", scan);
    if (!imaToDrawn.empty()) {
        std::printf("100 MB IMA ADPCM stereo file (%zu selections):\n", imaToDrawn.size());
        Report("selection to waveform drawn", imaToDrawn);
    }
    std::printf(
        "scrolling through 200 files with the Down key (longest main-thread stall; target below %d ms):\n",
        TMMWaveOpenDialog::kSelChangeDelayMs);
    const auto stall = [](const std::vector<double>& Gaps) {
        return Gaps.empty() ? 0.0 : *std::max_element(Gaps.begin(), Gaps.end());
    };
    std::printf("  key every 33 ms (held key)      longest %6.1f ms, p99 %5.1f ms over %zu ticks\n",
                stall(fastGaps), Percentile(fastGaps, 99), fastGaps.size());
    std::printf(
        "  key every 80 ms (each settles)  longest %6.1f ms, p99 %5.1f ms over %zu ticks, %d paints\n",
        stall(walkGaps), Percentile(walkGaps, 99), walkGaps.size(), walkUpdates);
    return 0;
}
