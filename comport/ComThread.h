#pragma once

#include "comport/ComTypes.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

class TFComPort;

// The event thread of an open port: it waits for line events and hands
// each wake-up to the component. The component either waits for it to end
// (WaitFor) or, when the thread is itself blocked in a handler that closes
// the port, lets it go (Release): it then frees itself once it returns.
class TComThread {
public:
    explicit TComThread(TFComPort* ComPort);
    // Starts the thread; false when the system refuses one (it has then
    // finished, and WaitForAndFree frees it).
    bool Start();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    bool Finished() const { return FFinished; }
    // True when it ended on an exception rather than being told to end.
    bool Died() const { return FDied; }
    bool OnThisThread() const { return std::this_thread::get_id() == FId.load(); }
    // True while a method this thread handed over runs on the main thread
    // (the thread is blocked until it returns, so it cannot be waited for).
    bool MethodRunning() const { return FMethodRunning; }

    void SetPriority(ComTypes::TThreadPriority Value);
    // Runs Method on the main thread while this thread waits.
    void Synchronize(const std::function<void()>& Method);

    // Main thread: waits until the thread has ended (running the synchronised
    // calls it makes meanwhile), then frees it.
    void WaitForAndFree();
    // Gives the thread up: it frees itself when it ends.
    void Release();

private:
    ~TComThread() = default;
    void Execute();

    TFComPort* FComPort;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FDied{false};
    std::atomic<bool> FMethodRunning{false};
    std::atomic<int> FNativePriority{0};
    std::mutex FLock;
    std::condition_variable FEnded;
    bool FReleased = false;
    int FTid = 0;                // the kernel's id of the running thread
    std::promise<int> FStarted;  // the answer to its first real-time request
    std::thread FThread;
    // The thread's own id, set as it begins: FThread itself is still being
    // assigned then, and detach clears it while the thread runs.
    std::atomic<std::thread::id> FId{};
};
