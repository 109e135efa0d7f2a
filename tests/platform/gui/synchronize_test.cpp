#include "platform/gui/Synchronize.h"
#include "platform/base/Exception.h"

#include <gtest/gtest.h>
#include <QTest>
#include <QThread>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

constexpr int Patience = 20000;

class ECustom : public Exception {
public:
    ECustom() : Exception(QStringLiteral("custom failure")) {}
};

TEST(Synchronize, OnTheMainThreadRunsAtOnce) {
    bool ran = false;
    Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(IsMainThread());
}

TEST(Synchronize, OnTheMainThreadAnErrorPassesStraightThrough) {
    EXPECT_THROW(Synchronize([] { throw ECustom(); }), ECustom);
}

TEST(Synchronize, AWorkerWaitsUntilTheMethodHasRunOnTheMainThread) {
    QThread* ranOn = nullptr;
    std::atomic<bool> sawResult{false};
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        int value = 0;
        Synchronize([&] {
            ranOn = QThread::currentThread();
            QTest::qSleep(30);  // the worker must still be waiting
            value = 42;
        });
        sawResult = value == 42;
        finished = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.load(); }, Patience));
    worker.join();
    EXPECT_TRUE(sawResult);
    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());
}

TEST(Synchronize, AnErrorComesBackToTheWaitingThreadWithItsTypeAndMessage) {
    std::atomic<bool> finished{false};
    bool caughtCustom = false;
    QString message;
    std::thread worker([&] {
        try {
            Synchronize([] { throw ECustom(); });
        } catch (const ECustom& e) {
            caughtCustom = true;
            message = e.Message();
        }
        finished = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished.load(); }, Patience));
    worker.join();
    EXPECT_TRUE(caughtCustom);
    EXPECT_EQ(message, QStringLiteral("custom failure"));
}

TEST(Synchronize, CallsFromSeveralThreadsRunOneAtATime) {
    constexpr int Threads = 4;
    constexpr int Calls = 300;
    int counter = 0;  // touched on the main thread only
    int running = 0;
    bool overlapped = false;
    std::atomic<int> done{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < Calls; ++i)
                Synchronize([&] {
                    overlapped = overlapped || running != 0 || !IsMainThread();
                    ++running;
                    ++counter;
                    --running;
                });
            ++done;
        });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done == Threads; }, Patience));
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(counter, Threads * Calls);
    EXPECT_FALSE(overlapped);
}

TEST(Synchronize, AMainThreadWaitingForAWorkerCanServeItsCalls) {
    std::atomic<bool> finished{false};
    int calls = 0;
    std::thread worker([&] {
        for (int i = 0; i < 5; ++i) Synchronize([&] { ++calls; });
        finished = true;
    });
    // Without handling messages: only CheckSynchronize lets the worker go on.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Patience);
    while (!finished && std::chrono::steady_clock::now() < deadline) {
        CheckSynchronize();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(finished);
    worker.join();
    EXPECT_EQ(calls, 5);
}

}  // namespace
