#include "platform/gui/Timer.h"
#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "tests/support/MessageBoxRecorder.h"

#include <gtest/gtest.h>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <thread>
#include <vector>

namespace {

constexpr int Patience = 20000;
constexpr qint64 EarlySlack = 2;  // ms a precise timer may seem early by the clock

// A timer that counts its firings and notes when the first came.
struct Counted {
    explicit Counted(UINT interval) {
        Timer.SetEnabled(false);
        Timer.SetInterval(interval);
        Timer.OnTimer = [this](QObject* sender) {
            if (sender != &Timer) return;
            if (Count++ == 0) FirstAt = Clock.elapsed();
            FiredAt.push_back(Clock.elapsed());
        };
    }
    void Start() {
        Clock.start();
        Timer.SetEnabled(true);
    }
    int RemainingTime() { return Timer.findChild<QTimer*>()->remainingTime(); }

    TTimer Timer;
    QElapsedTimer Clock;
    int Count = 0;
    qint64 FirstAt = -1;
    std::vector<qint64> FiredAt;
};

TEST(Timer, StartsEnabledWithAOneSecondInterval) {
    TTimer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    EXPECT_EQ(timer.Tag(), 0);
}

TEST(Timer, FiresEveryIntervalWithItselfAsSender) {
    Counted t(20);
    t.Start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return t.Count >= 3; }, Patience));
    EXPECT_GE(t.Clock.elapsed(), 3 * 20 - EarlySlack);
}

TEST(Timer, EnablingStartsAFullInterval) {
    Counted t(300);
    t.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.Count > 0; }, Patience));
    EXPECT_GE(t.FirstAt, 300 - EarlySlack);
}

TEST(Timer, AnIntervalOfZeroNeverFires) {
    Counted t(0);
    t.Start();
    QTest::qWait(150);
    EXPECT_EQ(t.Count, 0);
    // Giving it an interval later starts it.
    t.Timer.SetInterval(10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return t.Count > 0; }, Patience));
}

TEST(Timer, ADisabledTimerNeverFires) {
    Counted t(10);
    QTest::qWait(100);
    EXPECT_EQ(t.Count, 0);
}

TEST(Timer, ADifferentIntervalRestartsARunningTimer) {
    Counted t(400);
    t.Start();
    QTest::qWait(250);
    const int before = t.RemainingTime();
    const int firedBefore = t.Count;  // normally none; a loaded machine may be late
    const qint64 changedAt = t.Clock.elapsed();
    t.Timer.SetInterval(600);
    EXPECT_GT(t.RemainingTime(), before);
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.Count > firedBefore; }, Patience));
    EXPECT_GE(t.FiredAt[firedBefore] - changedAt, 600 - EarlySlack);
}

TEST(Timer, TheSameIntervalDoesNotRestartIt) {
    Counted t(400);
    t.Start();
    QTest::qWait(250);
    const int before = t.RemainingTime();
    t.Timer.SetInterval(400);
    EXPECT_LE(t.RemainingTime(), before);
    t.Timer.SetEnabled(true);  // already enabled: no restart either
    EXPECT_LE(t.RemainingTime(), before);
}

TEST(Timer, AHandlerCanStopItsTimer) {
    Counted t(10);
    t.Timer.OnTimer = [&](QObject* sender) {
        ++t.Count;
        static_cast<TTimer*>(sender)->SetEnabled(false);
    };
    t.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.Count > 0; }, Patience));
    QTest::qWait(100);
    EXPECT_EQ(t.Count, 1);
    EXPECT_FALSE(t.Timer.Enabled());
}

TEST(Timer, AnErrorInTheHandlerIsReportedAndTheTimerGoesOn) {
    MessageBoxRecorder boxes;
    Counted t(10);
    t.Timer.OnTimer = [&](QObject*) {
        if (++t.Count == 1) throw Exception(QStringLiteral("Timer handler failed"));
    };
    t.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.Count >= 3; }, Patience));
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Text, QStringLiteral("Timer handler failed."));
}

TEST(Timer, OutsideTheMainThreadNoTimerCanBeHad) {
    QString message;
    std::thread([&] {
        try {
            TTimer timer;  // enabled with an interval: it would have to run here
        } catch (const Exception& e) {
            message = e.Message();
        }
    }).join();
    EXPECT_EQ(message, QStringLiteral("Not enough timers available"));
}

TEST(Timer, AFailedEnableLeavesTheTimerDisabled) {
    TTimer timer;
    timer.SetEnabled(false);
    std::thread([&] { EXPECT_THROW(timer.SetEnabled(true), Exception); }).join();
    EXPECT_FALSE(timer.Enabled());
    // Stopping needs no timer, from anywhere.
    timer.SetEnabled(true);
    std::thread([&] { EXPECT_NO_THROW(timer.SetInterval(0)); }).join();
}

TEST(Timer, TagAndPropertiesAreReadableByName) {
    TTimer timer;
    timer.SetEnabled(false);
    timer.SetTag(7);
    EXPECT_EQ(timer.property("Tag").toInt(), 7);
    EXPECT_TRUE(timer.setProperty("Interval", 250u));
    EXPECT_EQ(timer.Interval(), 250u);
    EXPECT_FALSE(timer.property("Enabled").toBool());
}

// A timer started for a moment already past fires when that moment plus
// its interval comes, at once when that has passed too, and each firing
// knows the moment it was due, whole intervals on, even when handlers run
// late.
std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST(Timer, StartedFromAPastMomentFiresAnIntervalAfterIt) {
    for (const int agoMs : {200, 500}) {
        TTimer timer;
        timer.SetEnabled(false);
        timer.SetInterval(300);
        std::int64_t dueSeen = 0, firedAt = 0;
        timer.OnTimer = [&](QObject*) {
            if (!firedAt) {
                firedAt = SteadyNs();
                dueSeen = timer.DueNs();
            }
            timer.SetEnabled(false);
        };
        const std::int64_t origin = SteadyNs() - std::int64_t(agoMs) * 1000000;
        timer.StartFrom(origin);
        EXPECT_TRUE(timer.Enabled());
        ASSERT_TRUE(QTest::qWaitFor([&] { return firedAt != 0; }, Patience)) << agoMs;
        EXPECT_EQ(dueSeen, origin + 300000000) << agoMs;
        EXPECT_GE(firedAt, origin + 300000000) << "never before it is due";
    }
}

TEST(Timer, EachFiringIsDueWholeIntervalsFromTheStartEvenWhenHandlersRunLate) {
    TTimer timer;
    timer.SetEnabled(false);
    timer.SetInterval(20);
    std::vector<std::int64_t> dues;
    timer.OnTimer = [&](QObject*) {
        dues.push_back(timer.DueNs());
        std::this_thread::sleep_for(std::chrono::milliseconds(dues.size() == 2 ? 35 : 1));  // one runs late
        if (dues.size() == 6) timer.SetEnabled(false);
    };
    const std::int64_t before = SteadyNs();
    timer.SetEnabled(true);
    const std::int64_t after = SteadyNs();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dues.size() == 6; }, Patience));
    EXPECT_GE(dues[0], before + 20000000);
    EXPECT_LE(dues[0], after + 20000000);
    for (std::size_t i = 1; i < dues.size(); ++i) EXPECT_EQ(dues[i] - dues[i - 1], 20000000) << i;
}

}  // namespace
