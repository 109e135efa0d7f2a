// What struck sounds cost: the mixer's CPU per block with 0, 4 and 16 slots
// sounding (its thread CPU time between two writes, 128-frame blocks at
// 48 kHz), the same sixteen again each with a gain (-6 dB), the cost of one
// voice with and without gain, and one waveOutStrike call on the striker's
// thread.
//   bench_strikes [seconds per figure]

#include "bench/waveout/BenchKit.h"
#include "platform/waveout/Engine.h"
#include "platform/waveout/StrikeMix.h"

#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>

namespace {

double threadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// A clock-paced sink that notes the mixer thread's CPU time at each write.
class CpuOutput final : public Output {
public:
    bool open(unsigned, unsigned, std::string&) override { return true; }
    Result write(const std::int16_t*, unsigned, std::string&) override {
        const double now = threadCpuUs();
        std::lock_guard l(lock);
        if (last > 0 && record) costs.push_back(now - last);
        last = now;
        return Result::Ok;
    }
    std::string productName() const override { return "CPU meter"; }

    std::vector<double> take() {
        std::lock_guard l(lock);
        std::vector<double> out;
        out.swap(costs);
        return out;
    }
    void recording(bool on) {
        std::lock_guard l(lock);
        record = on;
        costs.clear();
    }

private:
    std::mutex lock;
    std::vector<double> costs;
    double last = 0;
    bool record = false;
};

}  // namespace

// One voice's share of a block, measured on the mixer's own loop alone:
// sixteen voices, each reading on through its own one-second sound, into
// one 128-frame block, many blocks; nanoseconds per voice and block.
double voiceCostNs(float gain, float& sink) {
    constexpr std::size_t kFrames = 128, kVoices = 16, kBlocks = 4000, kSoundFrames = 48000;
    static std::vector<std::vector<float>> sounds(kVoices, std::vector<float>(kSoundFrames * 2, 0.01f));
    std::vector<float> block(kFrames * 2, 0.0f);
    std::vector<double> rounds;
    for (int r = 0; r < 21; ++r) {
        const double t0 = NowUs();
        std::size_t pos = 0;
        for (std::size_t b = 0; b < kBlocks; ++b) {
            std::fill(block.begin(), block.end(), 0.0f);
            for (std::size_t v = 0; v < kVoices; ++v)
                mixStrikeFrames(block.data(), sounds[v].data() + 2 * pos, kFrames, gain);
            pos = (pos + kFrames) % (kSoundFrames - kFrames);
            sink += block[b % block.size()];
        }
        rounds.push_back((NowUs() - t0) * 1000 / (kBlocks * kVoices));
    }
    return Percentile(rounds, 50);
}

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    float sink = 0;
    const double unity = voiceCostNs(1.0f, sink), gained = voiceCostNs(0.5f, sink);
    std::printf("one voice's mix of a 128-frame block: %.1f ns at 0 dB, %.1f ns with a gain%s\n", unity,
                gained, sink == 12345.0f ? " " : "");
    WaveOutSettings s;
    s.output = "null";
    s.periodFrames = 128;
    auto out = std::make_unique<CpuOutput>();
    CpuOutput* meter = out.get();
    WaveOutSound bell;
    bell.rate = 48000;
    bell.frames.assign(48000 * 2 * 30, 0.01f);  // 30 s: sounding throughout
    {
        Engine engine(s, std::move(out));
        if (!engine.start()) return 1;
        std::printf("mixer CPU per 128-frame block (48 kHz, %.1f s each)\n", seconds);
        int sounding = 0;
        std::uint64_t blows = 0;
        struct Step {
            int want;
            float gain;
        };
        for (const Step step : {Step{0, 1.0f}, Step{4, 1.0f}, Step{16, 1.0f}, Step{16, 0.5f}}) {
            // A new gain strikes every slot again.
            if (step.gain != 1.0f) sounding = 0;
            for (; sounding < step.want; ++sounding) {
                WaveOutStrike st;
                st.slot = sounding;
                st.sound = &bell;
                st.startNs = waveOutNowNs();
                st.blow = ++blows;
                st.gain = step.gain;
                if (!engine.strike(st)) return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            meter->recording(true);
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            const std::vector<double> c = meter->take();
            meter->recording(false);
            std::printf("  %2d struck sounds%s  median %.2f us   p99 %.2f us   max %.2f us   (%zu blocks)\n",
                        step.want, step.gain == 1.0f ? "        " : " at -6 dB", Percentile(c, 50),
                        Percentile(c, 99), Percentile(c, 100), c.size());
        }
        engine.stop();
    }

    // One call on the striker's thread, into a running output.
    waveOutConfigure(s);
    if (!waveOutStartOutput()) return 1;
    WaveOutSound tick;
    tick.rate = 48000;
    tick.frames.assign(64 * 2, 0.01f);
    std::vector<double> calls;
    int refused = 0;
    for (int i = 0; i < 20000; ++i) {
        WaveOutStrike st;
        st.slot = i % kStrikeSlots;
        st.sound = &tick;
        st.startNs = waveOutNowNs() + 100'000'000;
        st.blow = static_cast<std::uint64_t>(i + 1);
        const double t0 = NowUs();
        refused += !waveOutStrike(st);
        calls.push_back(NowUs() - t0);
        if (i % 32 == 31) std::this_thread::sleep_for(std::chrono::milliseconds(3));  // let the mixer drain
    }
    waveOutShutdown();
    std::printf("waveOutStrike call: median %.3f us   p99 %.3f us   max %.1f us   (%d refused of 20000)\n",
                Percentile(calls, 50), Percentile(calls, 99), Percentile(calls, 100), refused);
    return 0;
}
