// What muffled sounds cost to make: sixteen 4-second stereo bells at
// 48 kHz, each filtered and enveloped whole, as a ring loads with its bells
// muffled. Done on the main thread when the sounds load, never on a stroke.
//
//   bench_muffle [rounds]

#include "ringing/Muffle.h"
#include "bench/BenchStats.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <vector>

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    constexpr unsigned kRate = 48000;
    constexpr int kBells = 16;
    std::vector<std::shared_ptr<TBellSound>> ring;
    for (int n = 1; n <= kBells; ++n) {
        auto sound = std::make_shared<TBellSound>();
        sound->rate = kRate;
        sound->frames.resize(static_cast<std::size_t>(4 * kRate) * 2);
        const double hz = 200.0 * std::pow(2.0, -(n - 1) / 12.0) * 4;
        for (std::size_t f = 0; f < sound->frameCount(); ++f) {
            const double t = static_cast<double>(f) / kRate;
            const auto v = static_cast<float>(0.3 * std::exp(-t) * std::sin(2 * std::numbers::pi * hz * t));
            sound->frames[2 * f] = sound->frames[2 * f + 1] = v;
        }
        ring.push_back(std::move(sound));
    }
    std::vector<double> totals;
    std::size_t frames = 0;
    for (int r = 0; r < rounds; ++r) {
        const double t0 = NowUs();
        for (const auto& sound : ring) frames += MakeMuffled(*sound)->frameCount();
        totals.push_back(NowUs() - t0);
    }
    std::printf("muffled sounds for %d bells of 4 s (48 kHz stereo), %d rounds:\n", kBells, rounds);
    std::printf("  whole ring  median %.1f ms   max %.1f ms   (%.1f ms a bell; each muffled sound %.2f s)\n",
                Percentile(totals, 50) / 1000, Percentile(totals, 100) / 1000,
                Percentile(totals, 50) / 1000 / kBells,
                static_cast<double>(frames) / rounds / kBells / kRate);
    return 0;
}
