#include "platform/gui/Messages.h"
#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"
#include "tests/support/MessageBoxRecorder.h"

#include <gtest/gtest.h>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr UINT WM_ONE = WM_USER + 1;
constexpr UINT WM_TWO = WM_USER + 2;
constexpr int Patience = 20000;  // ms; generous for a loaded machine

struct Received {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
};

TEST(MessageWindow, PostsFromSeveralThreadsArriveOnTheMainThreadInPostingOrder) {
    std::vector<Received> received;
    bool allOnMainThread = true;
    TMessageWindow window([&](TMessage& m) {
        allOnMainThread = allOnMainThread && IsMainThread();
        received.push_back({m.Msg, m.WParam, m.LParam});
    });

    constexpr int Threads = 4;
    constexpr int PerThread = 3000;
    std::atomic<int> refused{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < Threads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i)
                if (!window.Post(i % 2 ? WM_ONE : WM_TWO, static_cast<WPARAM>(t), i)) ++refused;
        });
    for (auto& poster : posters) poster.join();
    ASSERT_EQ(refused, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == Threads * PerThread; }, Patience));

    EXPECT_TRUE(allOnMainThread);
    std::vector<LPARAM> next(Threads, 0);
    for (const Received& r : received) {
        ASSERT_LT(r.WParam, static_cast<WPARAM>(Threads));
        // Each thread's messages, of both numbers, come in the order it posted them.
        ASSERT_EQ(r.LParam, next[r.WParam]++);
        ASSERT_EQ(r.Msg, r.LParam % 2 ? WM_ONE : WM_TWO);
    }
}

TEST(MessageWindow, RemovesOnlyTheWaitingMessagesOfOneNumber) {
    std::vector<Received> received;
    TMessageWindow window([&](TMessage& m) { received.push_back({m.Msg, m.WParam, m.LParam}); });
    for (int i = 0; i < 6; ++i) window.Post(i % 2 ? WM_ONE : WM_TWO, 0, i);

    window.RemoveWaiting(WM_ONE);
    window.Post(WM_ONE, 0, 100);  // posted after the removal: delivered
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == 4; }, Patience));
    QTest::qWait(20);

    ASSERT_EQ(received.size(), 4u);
    EXPECT_EQ(received[0].LParam, 0);
    EXPECT_EQ(received[1].LParam, 2);
    EXPECT_EQ(received[2].LParam, 4);
    EXPECT_EQ(received[3].Msg, WM_ONE);
    EXPECT_EQ(received[3].LParam, 100);
}

TEST(MessageWindow, ADestroyedWindowGetsNothingAndRefusesPosts) {
    int received = 0;
    HWND wnd = AllocateHWnd([&](TMessage&) { ++received; });
    EXPECT_TRUE(IsWindow(wnd));
    EXPECT_TRUE(PostMessage(wnd, WM_ONE, 0, 0));
    DeallocateHWnd(wnd);

    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_FALSE(PostMessage(wnd, WM_ONE, 0, 0));
    QTest::qWait(20);
    EXPECT_EQ(received, 0);
    DeallocateHWnd(wnd);  // a second time is harmless
}

TEST(MessageWindow, AHandlerMayDestroyItsOwnWindow) {
    int received = 0;
    HWND wnd = nullptr;
    wnd = AllocateHWnd([&](TMessage&) {
        ++received;
        DeallocateHWnd(wnd);
    });
    PostMessage(wnd, WM_ONE, 0, 0);
    PostMessage(wnd, WM_ONE, 0, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return received > 0; }, Patience));
    QTest::qWait(20);
    EXPECT_EQ(received, 1);
    EXPECT_FALSE(IsWindow(wnd));
}

TEST(MessageWindow, PostingWhileTheWindowIsDestroyedIsSafe) {
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    int received = 0;
    HWND wnd = AllocateHWnd([&](TMessage&) { ++received; });
    std::thread poster([&] {
        while (!stop && accepted < 1000000)
            if (PostMessage(wnd, WM_ONE, 0, 0)) ++accepted;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return received > 100; }, Patience));
    DeallocateHWnd(wnd);
    QTest::qWait(20);
    stop = true;
    poster.join();
    const int receivedAfterDestroy = received;
    QTest::qWait(20);
    EXPECT_EQ(received, receivedAfterDestroy);
    EXPECT_FALSE(PostMessage(wnd, WM_ONE, 0, 0));
}

TEST(MessageWindow, AHookSeesEveryMessageAndPassesOnWhatItDoesNotHandle) {
    std::vector<UINT> original;
    std::vector<UINT> hooked;
    TMessageWindow window([&](TMessage& m) {
        original.push_back(m.Msg);
        m.Result = DefWindowProc(window.Handle(), m.Msg, m.WParam, m.LParam);
    });
    TWndMethod previous;
    previous = SetWindowProc(window.Handle(), [&](TMessage& m) {
        hooked.push_back(m.Msg);
        if (m.Msg == WM_DEVICECHANGE)
            m.Result = 7;
        else
            previous(m);
    });
    EXPECT_EQ(SendMessage(window.Handle(), WM_DEVICECHANGE, 0, 0), 7);
    EXPECT_EQ(SendMessage(window.Handle(), WM_ONE, 0, 0), 0);
    EXPECT_EQ(hooked, (std::vector<UINT>{WM_DEVICECHANGE, WM_ONE}));
    EXPECT_EQ(original, (std::vector<UINT>{WM_ONE}));

    SetWindowProc(window.Handle(), previous);
    SendMessage(window.Handle(), WM_TWO, 0, 0);
    EXPECT_EQ(hooked.size(), 2u);
    EXPECT_EQ(original.back(), WM_TWO);
}

TEST(MessageWindow, SendMessageFromAnotherThreadRunsTheHandlerOnTheMainThread) {
    TMessageWindow window([&](TMessage& m) { m.Result = IsMainThread() ? m.LParam * 2 : -1; });
    std::atomic<LRESULT> result{0};
    std::thread sender([&] { result = SendMessage(window.Handle(), WM_ONE, 0, 21); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return result != 0; }, Patience));
    sender.join();
    EXPECT_EQ(result, 42);
}

TEST(MessageWindow, AnErrorInAHandlerIsReportedAndLaterMessagesStillArrive) {
    MessageBoxRecorder boxes;
    std::vector<LPARAM> received;
    TMessageWindow window([&](TMessage& m) {
        if (m.LParam == 1) throw Exception(QStringLiteral("Handler failed"));
        received.push_back(m.LParam);
    });
    window.Post(WM_ONE, 0, 1);
    window.Post(WM_ONE, 0, 2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !received.empty(); }, Patience));
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Type, mtError);
    EXPECT_EQ(boxes.Boxes[0].Text, QStringLiteral("Handler failed."));
    EXPECT_EQ(boxes.Boxes[0].Caption, Application.Title());
    EXPECT_EQ(received, (std::vector<LPARAM>{2}));
}

TEST(MessageWindow, CreatingOneOutsideTheMainThreadRaises) {
    bool raised = false;
    std::thread([&] {
        try {
            AllocateHWnd(TWndMethod());
        } catch (const Exception&) {
            raised = true;
        }
    }).join();
    EXPECT_TRUE(raised);
}

TEST(MessageWindow, TheApplicationHasOneHiddenWindow) {
    HWND wnd = Application.Handle();
    EXPECT_TRUE(IsWindow(wnd));
    EXPECT_EQ(Application.Handle(), wnd);
    EXPECT_TRUE(PostMessage(wnd, WM_DEVICECHANGE, 0, 0));
    EXPECT_EQ(SendMessage(wnd, WM_ONE, 0, 0), 0);
    HWND fromWorker = nullptr;
    std::thread([&] { fromWorker = Application.Handle(); }).join();
    EXPECT_EQ(fromWorker, wnd);  // once it exists, any thread may ask for it
}

}  // namespace

namespace {

TEST(MessageWindow, AModalLoopInAHandlerStillGetsTheMessagesBehindIt) {
    std::vector<int> order;
    TMessageWindow window([&](TMessage& m) {
        order.push_back(static_cast<int>(m.LParam));
        if (m.LParam == 1) {  // as a message box would
            QEventLoop modal;
            QTimer::singleShot(50, &modal, &QEventLoop::quit);
            modal.exec();
            order.push_back(10);
        }
    });
    window.Post(WM_ONE, 0, 1);
    window.Post(WM_TWO, 0, 2);
    window.Post(WM_ONE, 0, 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 4; }, Patience));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 10}));
}

}  // namespace
