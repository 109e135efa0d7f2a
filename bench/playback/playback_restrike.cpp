// What a restrike of a sounding bell costs the main thread: the stroke
// handler's Stop, Close and Start of the device (reset, buffers back, close,
// open, prime ten 2048-byte buffers from the chain, start).
//   bench_playback_restrike [restrikes]

#include "bench/playback/PlaybackBench.h"

#include <cstdlib>

int main(int argc, char** argv) {
    const int restrikes = argc > 1 ? std::atoi(argv[1]) : 2000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    WaveOutSettings s;
    s.output = "null";
    waveOutConfigure(s);
    if (waveOutGetNumDevs() != 1) return 1;

    TMemorySource source(BenchFormat(2, 44100), Tone(2 * 44100 * 4));  // a one-second bell
    TMMWaveOut device;
    device.SetInput(&source);
    device.SetBufferSize(2048);
    device.SetNumBuffers(10);
    int stops = 0;
    device.OnStop = [&](QObject*) { ++stops; };

    std::vector<double> all, stop, close, start;
    device.Start();
    for (int i = 0; i < restrikes; ++i) {
        RunMessagesFor(1000.0 * (i % 7));  // mid-sound, at varying points, refilling meanwhile
        const double t0 = NowUs();
        device.Stop();
        const double t1 = NowUs();
        device.Close();
        const double t2 = NowUs();
        device.Start();
        const double t3 = NowUs();
        all.push_back(t3 - t0);
        stop.push_back(t1 - t0);
        close.push_back(t2 - t1);
        start.push_back(t3 - t2);
    }
    device.Close();
    waveOutShutdown();
    std::printf(
        "restrike on the main thread (Stop, Close, Start; null output; 10 x 2048 bytes), %d restrikes\n",
        restrikes);
    std::printf("  whole restrike  median %.1f us   p99 %.1f us   max %.1f us\n", Percentile(all, 50),
                Percentile(all, 99), Percentile(all, 100));
    std::printf("  Stop            median %.1f us   p99 %.1f us\n", Percentile(stop, 50),
                Percentile(stop, 99));
    std::printf("  Close           median %.1f us   p99 %.1f us\n", Percentile(close, 50),
                Percentile(close, 99));
    std::printf("  Start           median %.1f us   p99 %.1f us\n", Percentile(start, 50),
                Percentile(start, 99));
    std::printf("  OnStop events   %d\n", stops);
    return stops == restrikes + 1 ? 0 : 1;  // the last Close stops too
}
