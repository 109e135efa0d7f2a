// What struck sounds cost: the mixer's CPU per block with 0, 4 and 16 slots
// sounding (its thread CPU time between two writes, 128-frame blocks at
// 48 kHz), and one waveOutStrike call on the striker's thread.
//   bench_strikes [seconds per figure]

#include "bench/waveout/BenchKit.h"
#include "platform/waveout/Engine.h"

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

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
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
        for (int want : {0, 4, 16}) {
            for (; sounding < want; ++sounding) {
                WaveOutStrike st;
                st.slot = sounding;
                st.sound = &bell;
                st.startNs = waveOutNowNs();
                st.blow = static_cast<std::uint64_t>(sounding + 1);
                if (!engine.strike(st)) return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            meter->recording(true);
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            const std::vector<double> c = meter->take();
            meter->recording(false);
            std::printf("  %2d struck sounds  median %.2f us   p99 %.2f us   max %.2f us   (%zu blocks)\n",
                        want, Percentile(c, 50), Percentile(c, 99), Percentile(c, 100), c.size());
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
