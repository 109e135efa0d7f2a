#include "mmcore/MMTimer.h"

#include "mmcore/MMUtils.h"
#include "platform/base/Clock.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

struct TMMTimerEvent {
    DWORD Interval;
    DWORD_PTR User;
    TMMTimeCallBack Callback;
    bool Suspended;
    DWORD Elapsed;
    TMMTimerEvent* Next;
};

namespace {

using Clock = std::chrono::steady_clock;

// Only the tick thread takes the timer priority.
thread_local bool IsTickThread = false;

// The one timer of the process.
struct TTimerData {
    // Serialises registering and killing, which start and stop the thread.
    std::mutex Control;
    // DataSection: guards the event list; held while callbacks run.
    std::mutex DataSection;
    TMMTimerEvent* Events = nullptr;
    int Count = 0;
    std::atomic<int> Entered{0};
    int CurrentPriority = -1;

    std::thread Thread;
    std::mutex CloseLock;
    std::condition_variable CloseEvent;
    bool Closing = false;

    void Start() {
        CurrentPriority = -1;
        Closing = false;
        Thread = std::thread([this] { Run(); });
    }

    void Stop() {
        {
            std::lock_guard lock(CloseLock);
            Closing = true;
        }
        CloseEvent.notify_all();
        if (Thread.joinable()) Thread.join();
    }

    // Ticks on a fixed grid of deadlines, so the period does not drift with
    // the time the callbacks take. After a long stall the missed ticks are
    // dropped rather than fired in a burst.
    void Run() {
        const auto tick = std::chrono::milliseconds(TIMERELAPSE);
        IsTickThread = true;
        auto deadline = Clock::now() + tick;
        std::unique_lock lock(CloseLock);
        while (!CloseEvent.wait_until(lock, deadline, [this] { return Closing; })) {
            lock.unlock();
            TimeCallBack();
            lock.lock();
            deadline += tick;
            const auto now = Clock::now();
            if (now - deadline > 4 * tick) deadline = now + tick;
        }
    }

    ~TTimerData() {
        // At process end: stop a running tick and free what is still registered.
        if (Thread.joinable()) Stop();
        while (Events) {
            TMMTimerEvent* next = Events->Next;
            delete Events;
            Events = next;
        }
    }
};

TTimerData TimerData;

}  // namespace

HMMTIMEREVENT MMTimeSetEvent(DWORD Interval, bool Suspended, TMMTimeCallBack Callback, DWORD_PTR User) {
    std::lock_guard control(TimerData.Control);
    auto* event = new (std::nothrow)
        TMMTimerEvent{std::max(Interval, TIMERELAPSE), User, std::move(Callback), Suspended, 0, nullptr};
    if (!event) return nullptr;
    if (TimerData.Count == 0) {
        try {
            TimerData.Start();
        } catch (const std::system_error&) {
            delete event;
            return nullptr;
        }
    }
    ++TimerData.Count;
    std::lock_guard lock(TimerData.DataSection);
    TMMTimerEvent** link = &TimerData.Events;
    while (*link) link = &(*link)->Next;
    *link = event;
    return event;
}

void MMTimeKillEvent(HMMTIMEREVENT Handle) {
    if (!Handle) return;
    std::lock_guard control(TimerData.Control);
    if (TimerData.Count == 0) return;
    {
        std::lock_guard lock(TimerData.DataSection);
        TMMTimerEvent** link = &TimerData.Events;
        while (*link && *link != Handle) link = &(*link)->Next;
        if (!*link) return;
        *link = Handle->Next;
    }
    delete Handle;
    if (--TimerData.Count == 0) TimerData.Stop();
}

void TimeCallBack() {
    if (TimerData.Entered.fetch_add(1) == 0) {
        std::lock_guard lock(TimerData.DataSection);
        if (IsTickThread && TimerData.CurrentPriority != TIMER_PRIORITY) {
            // Real-time scheduling is often refused; the tick runs anyway.
            MMSetThreadPriority(0, TIMER_PRIORITY);
            TimerData.CurrentPriority = TIMER_PRIORITY;
        }
        for (TMMTimerEvent* event = TimerData.Events; event; event = event->Next) {
            if (event->Suspended) continue;
            event->Elapsed += TIMERELAPSE;
            if (event->Elapsed >= event->Interval) {
                event->Elapsed = 0;
                // An error of one callback must not end the tick of all.
                try {
                    if (event->Callback) event->Callback(event, event->User);
                } catch (...) {
                }
            }
        }
    }
    TimerData.Entered.fetch_sub(1);
}

int MMTimeEventCount() {
    std::lock_guard control(TimerData.Control);
    return TimerData.Count;
}

DWORD MMTimeGetTime() {
    return static_cast<DWORD>(MonotonicNs() / 1000000);
}
