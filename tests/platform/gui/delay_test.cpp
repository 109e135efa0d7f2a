#include "platform/gui/Delay.h"
#include "platform/gui/Application.h"
#include "platform/gui/Messages.h"

#include <gtest/gtest.h>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <thread>
#include <vector>

namespace {

constexpr qint64 EarlySlack = 2;

struct DelayTest : ::testing::Test {
    int handled = 0;
    TMessageWindow window{[this](TMessage&) { ++handled; }};
};

TEST_F(DelayTest, ZeroReturnsAtOnceWithoutHandlingMessages) {
    window.Post(WM_USER);
    Delay(0, true);
    EXPECT_EQ(handled, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return handled == 1; }));
}

TEST_F(DelayTest, WithoutMessagesItSleepsTheWholeTime) {
    window.Post(WM_USER);
    QElapsedTimer clock;
    clock.start();
    Delay(60, false);
    EXPECT_GE(clock.elapsed(), 60);
    EXPECT_EQ(handled, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return handled == 1; }));
}

TEST_F(DelayTest, WithMessagesItHandlesThemUntilTheTimeHasPassed) {
    window.Post(WM_USER);
    QTimer::singleShot(20, [&] { window.Post(WM_USER); });  // arrives while waiting
    QElapsedTimer clock;
    clock.start();
    Delay(500, true);
    EXPECT_GE(clock.elapsed(), 500 - EarlySlack);
    EXPECT_EQ(handled, 2);
}

TEST_F(DelayTest, NestedInAHandlerItStillHandlesLaterMessages) {
    std::vector<int> order;
    TMessageWindow nested([&](TMessage& m) {
        order.push_back(static_cast<int>(m.LParam));
        if (m.LParam == 1) {
            Delay(30, true);
            order.push_back(10);
        }
    });
    nested.Post(WM_USER, 0, 1);
    nested.Post(WM_USER, 0, 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 3; }, 20000));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 10}));
}

TEST(Delay, OnAnotherThreadItSleeps) {
    qint64 elapsed = 0;
    std::thread([&] {
        QElapsedTimer clock;
        clock.start();
        Delay(40, true);
        elapsed = clock.elapsed();
    }).join();
    EXPECT_GE(elapsed, 40);
}

TEST(Delay, OutsideTheMessageLoopTerminateEndsTheWait) {
    QTimer::singleShot(20, [] { Application.Terminate(); });
    QElapsedTimer clock;
    clock.start();
    Delay(60000, true);
    EXPECT_LT(clock.elapsed(), 30000);
    EXPECT_TRUE(Application.Terminated());
    clock.restart();
    Delay(60000, true);  // and later waits do not wait
    EXPECT_LT(clock.elapsed(), 30000);
}

}  // namespace

namespace {

// Last in this file: it ends the application's message loop.
TEST(Delay, InsideTheMessageLoopTerminateEndsTheWaitAndTheLoop) {
    qint64 waited = -1;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(20, [] { Application.Terminate(); });
        QElapsedTimer clock;
        clock.start();
        Delay(60000, true);
        waited = clock.elapsed();
    });
    QElapsedTimer running;
    running.start();
    EXPECT_EQ(Application.Run(), 0);
    EXPECT_GE(waited, 0);
    EXPECT_LT(waited, 30000);
    EXPECT_LT(running.elapsed(), 30000);
}

}  // namespace
