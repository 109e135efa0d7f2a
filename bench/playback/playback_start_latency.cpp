// From Start on the main thread to the first frame of that sound in the
// capture output, over many starts, 128-frame periods at 48 kHz.
//   bench_playback_start_latency [starts]

#include "bench/playback/PlaybackBench.h"

#include <cstdlib>
#include <map>
#include <random>
#include <string>

int main(int argc, char** argv) {
    const int starts = argc > 1 ? std::atoi(argv[1]) : 2000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string path = "/tmp/quorvel_bench_playback_start_latency.wav";
    WaveOutSettings s;
    s.output = "capture:" + path;
    s.periodFrames = 128;
    s.rate = 48000;
    waveOutConfigure(s);
    if (waveOutGetNumDevs() != 1) {
        std::fprintf(stderr, "no output: %s\n", waveOutGetStatus().error.c_str());
        return 1;
    }
    const WaveOutStatus st = waveOutGetStatus();

    TMemorySource source(BenchFormat(1, 48000), Tone(2 * 480));  // 10 ms
    TMMWaveOut device;
    device.SetInput(&source);
    int stops = 0;
    device.OnStop = [&](QObject*) { ++stops; };

    std::mt19937 rng(1);
    std::uniform_int_distribution<int> idleUs(0, 3000);
    std::map<std::uint64_t, std::int64_t> askedByVoice;  // voice number -> clock just before Start
    for (int i = 0; i < starts; ++i) {
        RunMessagesFor(idleUs(rng));
        const std::int64_t asked = waveOutNowNs();
        device.Start();
        // The platform numbers its voices: the handle's value less 0x10000.
        askedByVoice[reinterpret_cast<std::uint64_t>(device.Handle()) - 0x10000] = asked;
        if (!RunMessagesUntil([&] { return stops == i + 1; })) {
            std::fprintf(stderr, "start %d never ended\n", i);
            return 1;
        }
        device.Close();
    }
    const auto log = waveOutGetStartLog();
    const WaveOutStatus end = waveOutGetStatus();
    waveOutShutdown();
    std::remove(path.c_str());
    std::remove((path + ".starts").c_str());

    std::vector<double> ms;
    for (const auto& r : log) {
        const auto it = askedByVoice.find(r.voice);
        if (it == askedByVoice.end()) continue;
        ms.push_back(static_cast<double>(r.firstFrame) * 1000.0 / st.rate -
                     static_cast<double>(it->second - end.originNs) / 1e6);
    }
    const double p1 = Percentile(ms, 1), p50 = Percentile(ms, 50), p99 = Percentile(ms, 99);
    std::printf(
        "Start to first frame, capture output, %u frames/period at %u Hz (period %.3f ms), %zu starts\n",
        st.periodFrames, st.rate, st.periodFrames * 1000.0 / st.rate, ms.size());
    std::printf("  platform fixed latency  %.3f ms\n", st.latencyFrames * 1000.0 / st.rate);
    std::printf("  median                  %.3f ms\n", p50);
    std::printf("  p1                      %.3f ms\n", p1);
    std::printf("  p99                     %.3f ms\n", p99);
    std::printf("  spread p99-p1           %.3f ms\n", p99 - p1);
    std::printf("  min / max               %.3f / %.3f ms\n", Percentile(ms, 0), Percentile(ms, 100));
    std::printf("  late starts %llu, late blocks %llu\n", static_cast<unsigned long long>(end.lateStarts),
                static_cast<unsigned long long>(end.lateBlocks));
    return ms.size() == static_cast<std::size_t>(starts) ? 0 : 1;
}
