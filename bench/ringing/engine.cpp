// The ringing engine's own share of a stroke: from a byte handed in on the
// line's thread (as the port's service thread does) to its strike handed to
// the mixer, on the engine's real-time thread. The mixer is left out: its
// sink notes the time and takes the strike. Strokes come one at a time,
// 20 ms apart (the engine waits between them, as at a tower), with delays
// off and on, and then as a burst of sixteen at once.
//
//   bench_engine [--strokes N]

#include "bench/BenchStats.h"
#include "platform/base/Clock.h"
#include "ringing/RingingEngine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr char kStrokeChar[] = "1234567890ETABCD";

std::shared_ptr<TBellSound> Sound() {
    auto sound = std::make_shared<TBellSound>();
    sound->rate = 48000;
    sound->frames.assign(2 * 4800, 0.1f);  // 100 ms
    return sound;
}

struct Sink {
    std::vector<std::int64_t> SentNs;
    std::atomic<std::size_t> Count{0};
};

void Print(const char* What, const std::vector<double>& Us) {
    std::printf("%-34s %5zu strokes  median %7.2f  p99 %7.2f  max %8.2f us\n", What, Us.size(),
                Percentile(Us, 50), Percentile(Us, 99),
                Us.empty() ? 0.0 : *std::max_element(Us.begin(), Us.end()));
}

}  // namespace

int main(int argc, char** argv) {
    int strokes = 2000;
    for (int i = 1; i < argc; ++i)
        if (!std::strcmp(argv[i], "--strokes") && i + 1 < argc) strokes = std::max(16, std::atoi(argv[++i]));

    Sink sink;
    sink.SentNs.assign(std::size_t(strokes) * 3 + 64, 0);
    TRingingEngine engine([&sink](const WaveOutStrike&) {
        const std::size_t n = sink.Count.load(std::memory_order_relaxed);
        if (n < sink.SentNs.size()) sink.SentNs[n] = MonotonicNs();
        sink.Count.store(n + 1, std::memory_order_release);
        return true;
    });
    engine.Start();
    std::printf("engine thread: %s\n", engine.RealtimeNote().c_str());

    TRingingSettings settings;
    for (int b = 1; b <= kRingingBells; ++b) {
        settings.Sounds[b] = Sound();
        settings.DelayMs[b] = 200;
    }
    // The strikes the mixer would report on: let them go at once.
    auto drain = [&] {
        TRingingReport r;
        while (engine.NextReport(r)) {
        }
    };

    for (bool delays : {false, true}) {
        settings.DelaysActive = delays;
        engine.Publish(settings);
        std::vector<double> us;
        for (int i = 0; i < strokes; ++i) {
            const std::size_t before = sink.Count.load(std::memory_order_acquire);
            const int bell = 1 + i % kRingingBells;
            const std::int64_t handed = MonotonicNs();
            engine.TakeByte(static_cast<unsigned char>(kStrokeChar[bell - 1]), handed);
            // A stroke of a sounding bell silences and strikes: one strike either way.
            while (sink.Count.load(std::memory_order_acquire) == before) {
            }
            us.push_back(double(sink.SentNs[before] - handed) / 1000.0);
            drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Print(delays ? "byte to strike, delays on" : "byte to strike, delays off", us);
    }

    settings.DelaysActive = false;
    engine.Publish(settings);
    std::vector<double> burst;
    for (int round = 0; round < strokes / 16; ++round) {
        const std::size_t before = sink.Count.load(std::memory_order_acquire);
        std::int64_t handed[16];
        for (int b = 0; b < 16; ++b) {
            handed[b] = MonotonicNs();
            engine.TakeByte(static_cast<unsigned char>(kStrokeChar[b]), handed[b]);
        }
        while (sink.Count.load(std::memory_order_acquire) < before + 16) {
        }
        for (int b = 0; b < 16; ++b) burst.push_back(double(sink.SentNs[before + b] - handed[b]) / 1000.0);
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    Print("byte to strike, sixteen at once", burst);
    return 0;
}
