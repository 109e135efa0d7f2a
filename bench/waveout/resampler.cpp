// Rate conversion cost per bell: the mixer's converter for each usual rate
// pair against libsamplerate's fastest sinc converter, in blocks of one
// 128-frame period, as the mixer calls it.
//   bench_resampler [seconds of sound per pair]

#include "platform/waveout/Resampler.h"
#include "bench/BenchStats.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t kPeriod = 128;

// Converts `seconds` of a decaying tone; returns the wall time in µs.
double convert(unsigned inRate, unsigned outRate, double seconds, bool general) {
    const auto frames = static_cast<std::size_t>(seconds * inRate);
    std::vector<float> in(frames * 2);
    for (std::size_t i = 0; i < frames; ++i)
        in[2 * i] = in[2 * i + 1] =
            static_cast<float>(0.3 * std::exp(-3.0 * i / inRate) * std::sin(0.07 * i));
    std::vector<float> out(kPeriod * 2);
    const double ratio = static_cast<double>(outRate) / inRate;
    auto mixerConverter = Resampler::make(inRate, outRate);
    SRC_STATE* sinc = general ? takeResampler() : nullptr;
    std::size_t at = 0;
    float sink = 0;
    const double t0 = NowUs();
    while (at < frames) {
        std::size_t used = 0, made = 0;
        if (general) {
            SRC_DATA d{};
            d.data_in = in.data() + 2 * at;
            d.input_frames = static_cast<long>(frames - at);
            d.data_out = out.data();
            d.output_frames = kPeriod;
            d.src_ratio = ratio;
            src_process(sinc, &d);
            used = static_cast<std::size_t>(d.input_frames_used);
            made = static_cast<std::size_t>(d.output_frames_gen);
        } else {
            const Resampler::Result r =
                mixerConverter->process(in.data() + 2 * at, frames - at, out.data(), kPeriod, false);
            used = r.used;
            made = r.made;
        }
        if (made == 0 && used == 0) break;
        at += used;
        sink += out[0];
    }
    const double us = NowUs() - t0;
    if (sinc) giveBackResampler(sinc, false);
    if (sink == 12345.0f) std::printf(" ");  // keeps the work
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    struct Pair {
        unsigned in, out;
    };
    std::printf("%-16s %14s %14s %12s\n", "rates", "mixer's", "libsamplerate", "16 bells");
    std::printf("%-16s %14s %14s %12s\n", "", "(µs per s)", "(µs per s)", "(% of core)");
    for (const Pair p : {Pair{44100, 48000}, Pair{22050, 48000}, Pair{8000, 48000}, Pair{48000, 44100},
                         Pair{96000, 48000}, Pair{44056, 48000}}) {
        const double own = convert(p.in, p.out, seconds, false) / seconds;
        const double general = convert(p.in, p.out, seconds, true) / seconds;
        char name[32];
        std::snprintf(name, sizeof name, "%u->%u", p.in, p.out);
        std::printf("%-16s %14.0f %14.0f %11.2f%%\n", name, own, general, 16 * own / 1e4);
    }
    return 0;
}
