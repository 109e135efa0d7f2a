#include "mmcore/MMDSPComponent.h"
#include "mmcore/MMThread.h"

#include "platform/gui/Synchronize.h"
#include "tests/support/EventPump.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono;

class Worker : public TMMDSPThread {
public:
    using TMMDSPThread::TMMDSPThread;
    ~Worker() override {
        Terminate();
        WaitFor();
    }
    std::function<void(Worker&)> Body;
    std::atomic<int> Runs{0};

protected:
    void Execute() override {
        ++Runs;
        if (Body) Body(*this);
    }
};

}  // namespace

TEST(MMThreads, SuspendedThreadRunsOnlyAfterResume) {
    Worker worker(nullptr);
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(worker.Runs, 0);
    EXPECT_TRUE(worker.Suspended());
    EXPECT_EQ(worker.ThreadID(), 0);
    worker.Resume();
    worker.Resume();  // once only
    worker.WaitFor();
    EXPECT_EQ(worker.Runs, 1);
    EXPECT_TRUE(worker.Finished());
    EXPECT_NE(worker.ThreadID(), 0);
    EXPECT_NE(worker.ThreadID(), MMCurrentThreadId());
}

TEST(MMThreads, NeverStartedThreadIsSimplyFreed) {
    auto* worker = new Worker(nullptr);
    delete worker;
    EXPECT_TRUE(ThreadList().isEmpty());
}

TEST(MMThreads, ThreadListFollowsConstructionAndDestruction) {
    EXPECT_TRUE(ThreadList().isEmpty());
    {
        Worker a(nullptr), b(nullptr);
        EXPECT_EQ(ThreadList(), (QList<TMMDSPThread*>{&a, &b}));
    }
    EXPECT_TRUE(ThreadList().isEmpty());
}

TEST(MMThreads, SelfFreeingThreadLeavesTheList) {
    auto* worker = new Worker(nullptr);
    worker->FreeOnTerminate = true;
    worker->Body = [](Worker&) { std::this_thread::sleep_for(milliseconds(5)); };
    ASSERT_EQ(ThreadList().size(), 1);
    worker->Resume();
    EXPECT_TRUE(WaitUntil([] { return ThreadList().isEmpty(); }));
}

TEST(MMThreads, TerminateAsksExecuteToEnd) {
    Worker worker(nullptr);
    worker.Body = [](Worker& self) {
        while (!self.Terminated()) std::this_thread::sleep_for(milliseconds(1));
    };
    worker.Resume();
    worker.Terminate();
    worker.WaitFor();
    EXPECT_TRUE(worker.Finished());
}

TEST(MMThreads, PriorityIsKeptUntilStartAndLoweringIsApplied) {
    Worker worker(nullptr);
    worker.SetPriority(tpIdle);
    std::atomic<int> nice{-100};
    worker.Body = [&](Worker&) { nice = getpriority(PRIO_PROCESS, static_cast<id_t>(MMCurrentThreadId())); };
    worker.Resume();
    worker.WaitFor();
    EXPECT_EQ(worker.Priority(), tpIdle);
    EXPECT_EQ(nice, 19);
    EXPECT_EQ(TMMThreadEx::PlatformPriority(tpTimeCritical), 15);
    EXPECT_EQ(TMMThreadEx::PlatformPriority(tpLower), -1);
}

TEST(MMThreads, GlobalSynchronizeRunsOnTheMainThreadFromAComponentThread) {
    Worker worker(nullptr);
    std::atomic<bool> ranOnMain{false};
    std::atomic<TMMThreadId> ranOn{0};
    worker.Body = [&](Worker&) {
        GlobalSynchronize([&] {
            ranOnMain = IsMainThread();
            ranOn = MMCurrentThreadId();
        });
    };
    worker.Resume();
    worker.WaitFor();  // keeps the synchronised call running meanwhile
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(ranOn, MMCurrentThreadId());
}

TEST(MMThreads, GlobalSynchronizeElsewhereRunsAtOnce) {
    Worker listed(nullptr);  // the list exists, but the caller is not in it
    std::atomic<TMMThreadId> caller{0}, ranOn{0};
    std::thread plain([&] {
        caller = MMCurrentThreadId();
        GlobalSynchronize([&] { ranOn = MMCurrentThreadId(); });
    });
    plain.join();
    EXPECT_EQ(ranOn, caller);

    bool ran = false;
    GlobalSynchronize([&] { ran = true; });  // main thread
    EXPECT_TRUE(ran);
}

TEST(MMThreads, ThreadKnowsTheComponentItServes) {
    TMMDSPComponent component;
    Worker worker(&component);
    EXPECT_EQ(worker.Owner, &component);
}
