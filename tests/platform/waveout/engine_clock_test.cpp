#include "platform/waveout/Engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

// A sound device whose crystal runs `ppm` fast or slow against the system
// clock: it plays at its own pace, makes the writer wait while its buffer is
// full and underruns when the writer falls behind.
class DriftingDevice final : public Output {
public:
    explicit DriftingDevice(double ppm) : speed(1.0 + ppm * 1e-6) {}
    bool open(unsigned r, unsigned p, std::string&) override {
        rate = r;
        period = p;
        return true;
    }
    unsigned leadFrames() const override { return 2 * period; }
    bool devicePaced() const override { return true; }
    Result write(const std::int16_t*, unsigned count, std::string&) override {
        Result result = Result::Ok;
        if (!started) {
            started = true;
            start = std::chrono::steady_clock::now();
        } else if (played() > static_cast<double>(written)) {  // ran dry
            start = std::chrono::steady_clock::now();
            written = 0;
            result = Result::Recovered;
        }
        while (static_cast<double>(written + count) - played() > 4.0 * period)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        written += count;
        return result;
    }
    long bufferedFrames() override { return static_cast<long>(static_cast<double>(written) - played()); }
    std::string productName() const override { return "drifting device"; }

private:
    double played() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * rate * speed;
    }
    double speed;
    unsigned rate = 48000, period = 128;
    bool started = false;
    std::chrono::steady_clock::time_point start;
    std::uint64_t written = 0;
};

}  // namespace

TEST(WaveOutEngineClock, FollowsADeviceThatRunsFastOrSlowWithoutUnderruns) {
    for (double ppm : {3000.0, -3000.0}) {
        WaveOutSettings s;
        s.output = "drifting";
        s.periodFrames = 256;  // gentle on a loaded machine
        Engine engine(s, std::make_unique<DriftingDevice>(ppm));
        ASSERT_TRUE(engine.start());
        // 3000 ppm is 144 frames a second: uncorrected, the 512-frame lead
        // would be gone (fast) or the writer stalled (slow) within 4 s.
        std::this_thread::sleep_for(std::chrono::seconds(6));
        const WaveOutStatus st = engine.status();
        engine.stop();
        EXPECT_EQ(st.xruns, 0u) << ppm << " slips " << st.clockSlips << " late " << st.lateBlocks;
        EXPECT_GT(st.clockSlips + st.lateBlocks, 0u) << ppm;
        EXPECT_GT(st.framesRendered, 5u * 48000) << ppm;
    }
}
