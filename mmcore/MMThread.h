#pragma once

// Threads of the sound components, and the bridge from them back to the
// main thread.

#include "mmcore/MMTypes.h"
#include "mmcore/MMUtils.h"

#include <QList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A thread that runs Execute once it is resumed. Created suspended, it does
// not start until Resume. With FreeOnTerminate it deletes itself when
// Execute returns (create it with new, and do not touch it afterwards).
// A subclass whose Execute uses the subclass's own members ends the thread
// in its own destructor (Terminate, WaitFor) before those members go.
class TMMThreadEx {
public:
    explicit TMMThreadEx(bool CreateSuspended);
    // Terminates and waits for a running thread; a thread that never ran is
    // simply freed.
    virtual ~TMMThreadEx();
    TMMThreadEx(const TMMThreadEx&) = delete;
    TMMThreadEx& operator=(const TMMThreadEx&) = delete;

    // Starts a suspended thread; nothing once it runs. Raises
    // std::system_error when no thread can be created.
    void Resume();
    // Asks Execute to end; Execute polls Terminated.
    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    // Waits until Execute has returned. On the main thread, synchronised
    // calls of this thread keep running meanwhile.
    void WaitFor();
    bool Finished() const { return FFinished; }
    bool Suspended() const { return !FStarted; }

    bool FreeOnTerminate = false;

    // Idle ... time-critical, applied with MMSetThreadPriority (platform
    // values -15, -2, -1, 0, 1, 2, 15). Kept until the thread starts.
    TThreadPriority Priority() const { return FPriority; }
    void SetPriority(TThreadPriority Value);

    // The kernel id of the running thread; 0 before it started.
    TMMThreadId ThreadID() const { return FThreadID; }

    // Runs Method on the main thread while this thread waits.
    void Synchronize(const std::function<void()>& Method);

    static int PlatformPriority(TThreadPriority Value);

protected:
    virtual void Execute() = 0;

private:
    void Run();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FFinished{false};
    std::atomic<TMMThreadId> FThreadID{0};
    std::atomic<TThreadPriority> FPriority{tpNormal};
    std::mutex FLock;
    std::condition_variable FDone;
};

class TMMDSPComponent;

// A thread that serves a component. It is listed in ThreadList from its
// construction to its destruction.
class TMMDSPThread : public TMMThreadEx {
public:
    explicit TMMDSPThread(TMMDSPComponent* AOwner);
    ~TMMDSPThread() override;

    TMMDSPComponent* Owner;
};

// The live component threads (a copy: threads may end meanwhile).
QList<TMMDSPThread*> ThreadList();

// From a component thread: runs Method on the main thread through that
// thread's synchronisation and waits. Anywhere else Method runs at once.
void GlobalSynchronize(const std::function<void()>& Method);
