#include "mmcore/MMDSPMeter.h"
#include "mmcore/MMTimer.h"
#include "tests/support/EventPump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono;

}  // namespace

TEST(MMTimer, ShortIntervalFiresEveryTickAndLongOneEveryFourth) {
    struct Record {
        std::mutex lock;
        int ticks = 0;
        std::vector<int> longFiredAt;
        std::vector<steady_clock::time_point> tickTimes;
    } record;

    // The short event is registered first, so in each tick it counts before
    // the long one looks at the count.
    HMMTIMEREVENT shortEvent = MMTimeSetEvent(
        10, false,
        [](HMMTIMEREVENT, DWORD_PTR user) {
            auto* r = reinterpret_cast<Record*>(user);
            std::lock_guard lock(r->lock);
            ++r->ticks;
            r->tickTimes.push_back(steady_clock::now());
        },
        reinterpret_cast<DWORD_PTR>(&record));
    HMMTIMEREVENT longEvent = MMTimeSetEvent(
        100, false,
        [](HMMTIMEREVENT, DWORD_PTR user) {
            auto* r = reinterpret_cast<Record*>(user);
            std::lock_guard lock(r->lock);
            r->longFiredAt.push_back(r->ticks);
        },
        reinterpret_cast<DWORD_PTR>(&record));
    ASSERT_NE(shortEvent, nullptr);
    ASSERT_NE(longEvent, nullptr);
    EXPECT_EQ(MMTimeEventCount(), 2);

    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(record.lock);
        return record.ticks >= 41;
    }));
    MMTimeKillEvent(longEvent);
    MMTimeKillEvent(shortEvent);
    EXPECT_EQ(MMTimeEventCount(), 0);

    std::lock_guard lock(record.lock);
    ASSERT_GE(record.longFiredAt.size(), 9u);
    // A tick may fall between the two registrations, so the long event may
    // start one tick behind; from then on it fires on every fourth tick.
    EXPECT_GE(record.longFiredAt[0], 4);
    EXPECT_LE(record.longFiredAt[0], 5);
    for (std::size_t i = 1; i < record.longFiredAt.size(); ++i)
        EXPECT_EQ(record.longFiredAt[i] - record.longFiredAt[i - 1], 4) << i;

    // The tick is 25 ms on average; a loaded machine may stretch single ticks.
    const double average =
        duration<double, std::milli>(record.tickTimes.back() - record.tickTimes.front()).count() /
        double(record.tickTimes.size() - 1);
    EXPECT_GT(average, 20.0);
    EXPECT_LT(average, 60.0);
}

TEST(MMTimer, SuspendedEventNeverFires) {
    std::atomic<int> suspended{0}, running{0};
    auto count = [](HMMTIMEREVENT, DWORD_PTR user) { ++*reinterpret_cast<std::atomic<int>*>(user); };
    HMMTIMEREVENT a = MMTimeSetEvent(25, true, count, reinterpret_cast<DWORD_PTR>(&suspended));
    HMMTIMEREVENT b = MMTimeSetEvent(25, false, count, reinterpret_cast<DWORD_PTR>(&running));
    ASSERT_TRUE(WaitUntil([&] { return running >= 5; }));
    MMTimeKillEvent(a);
    MMTimeKillEvent(b);
    EXPECT_EQ(suspended, 0);
}

TEST(MMTimer, KilledEventStopsFiringAndUnknownHandlesAreIgnored) {
    std::atomic<int> fired{0};
    HMMTIMEREVENT keep = MMTimeSetEvent(
        1000000, false, [](HMMTIMEREVENT, DWORD_PTR) {}, 0);
    HMMTIMEREVENT event = MMTimeSetEvent(
        25, false, [](HMMTIMEREVENT, DWORD_PTR user) { ++*reinterpret_cast<std::atomic<int>*>(user); },
        reinterpret_cast<DWORD_PTR>(&fired));
    ASSERT_TRUE(WaitUntil([&] { return fired >= 2; }));
    MMTimeKillEvent(event);
    const int after = fired;
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(fired, after);

    MMTimeKillEvent(event);    // no longer registered
    MMTimeKillEvent(nullptr);  // nothing
    int notAnEvent = 0;
    MMTimeKillEvent(reinterpret_cast<HMMTIMEREVENT>(&notAnEvent));
    EXPECT_EQ(MMTimeEventCount(), 1);
    MMTimeKillEvent(keep);
    EXPECT_EQ(MMTimeEventCount(), 0);
}

TEST(MMTimer, TimerRestartsAfterTheLastEventWasKilled) {
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> fired{0};
        HMMTIMEREVENT event = MMTimeSetEvent(
            25, false, [](HMMTIMEREVENT, DWORD_PTR user) { ++*reinterpret_cast<std::atomic<int>*>(user); },
            reinterpret_cast<DWORD_PTR>(&fired));
        ASSERT_TRUE(WaitUntil([&] { return fired >= 1; }));
        MMTimeKillEvent(event);
    }
}

TEST(MMDSPMeter, HooksDoNothingWithoutAMeter) {
    ASSERT_EQ(GlobalDSPMeter, nullptr);
    InitDSPMeter();
    StartDSPMeter();
    StopDSPMeter();
    DoneDSPMeter();
    EXPECT_EQ(MMTimeEventCount(), 0);
}

TEST(MMDSPMeter, InstalledMeterMeasuresBusyTime) {
    TMMDSPMeter meter;
    meter.Init();  // not installed: ignored
    EXPECT_EQ(MMTimeEventCount(), 0);

    GlobalDSPMeter = &meter;
    InitDSPMeter();
    InitDSPMeter();  // nested
    EXPECT_EQ(MMTimeEventCount(), 1);
    // Busy all the time: the load climbs towards 100 percent.
    StartDSPMeter();
    EXPECT_TRUE(WaitUntil([&] { return meter.Load() >= 30; }));
    StopDSPMeter();
    DoneDSPMeter();
    EXPECT_EQ(MMTimeEventCount(), 1);
    DoneDSPMeter();
    EXPECT_EQ(MMTimeEventCount(), 0);
    GlobalDSPMeter = nullptr;
}
