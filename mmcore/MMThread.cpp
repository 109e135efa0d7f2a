#include "mmcore/MMThread.h"

#include "platform/gui/Synchronize.h"

#include <chrono>
#include <memory>

TMMThreadEx::TMMThreadEx(bool CreateSuspended) {
    if (!CreateSuspended) Resume();
}

TMMThreadEx::~TMMThreadEx() {
    if (!FThread.joinable()) return;
    if (FThread.get_id() == std::this_thread::get_id()) {
        // Freeing itself at the end of its own run.
        FThread.detach();
        return;
    }
    Terminate();
    WaitFor();
    FThread.join();
}

void TMMThreadEx::Resume() {
    bool expected = false;
    if (!FStarted.compare_exchange_strong(expected, true)) return;
    // Run waits for FLock, so the thread never looks at FThread before it
    // has been assigned.
    std::lock_guard lock(FLock);
    try {
        FThread = std::thread([this] { Run(); });
    } catch (...) {
        FStarted = false;
        throw;
    }
}

void TMMThreadEx::Run() {
    { std::lock_guard started(FLock); }
    FThreadID = MMCurrentThreadId();
    if (FPriority != tpNormal) MMSetThreadPriority(FThreadID, PlatformPriority(FPriority));
    try {
        Execute();
    } catch (...) {
        // An error must not take the process with it; Execute reports its
        // own errors.
    }
    const bool freeSelf = FreeOnTerminate;
    {
        std::lock_guard lock(FLock);
        FFinished = true;
        FDone.notify_all();
    }
    if (freeSelf) delete this;
}

void TMMThreadEx::WaitFor() {
    if (!FStarted || FThread.get_id() == std::this_thread::get_id()) return;
    std::unique_lock lock(FLock);
    if (IsMainThread()) {
        // The thread may be waiting for the main thread in Synchronize.
        while (!FFinished) {
            lock.unlock();
            CheckSynchronize();
            lock.lock();
            FDone.wait_for(lock, std::chrono::milliseconds(5), [this] { return FFinished.load(); });
        }
    } else {
        FDone.wait(lock, [this] { return FFinished.load(); });
    }
}

int TMMThreadEx::PlatformPriority(TThreadPriority Value) {
    switch (Value) {
        case tpIdle:
            return THREAD_PRIORITY_IDLE;
        case tpLowest:
            return THREAD_PRIORITY_LOWEST;
        case tpLower:
            return THREAD_PRIORITY_BELOW_NORMAL;
        case tpNormal:
            return THREAD_PRIORITY_NORMAL;
        case tpHigher:
            return THREAD_PRIORITY_ABOVE_NORMAL;
        case tpHighest:
            return THREAD_PRIORITY_HIGHEST;
        case tpTimeCritical:
            return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

void TMMThreadEx::SetPriority(TThreadPriority Value) {
    FPriority = Value;
    if (const TMMThreadId id = FThreadID; id != 0 && !FFinished)
        MMSetThreadPriority(id, PlatformPriority(Value));
}

void TMMThreadEx::Synchronize(const std::function<void()>& Method) {
    ::Synchronize(Method);
}

// ---- The list of component threads -----------------------------------------

namespace {

// Changed by the main thread (construction) and by ending threads that free
// themselves, read by any thread in GlobalSynchronize. A plain pointer, made
// and freed only under the lock: a static destructor would free it at exit
// without the lock while a thread that frees itself may still be ending.
std::mutex ThreadListLock;
QList<TMMDSPThread*>* Threads = nullptr;

}  // namespace

TMMDSPThread::TMMDSPThread(TMMDSPComponent* AOwner) : TMMThreadEx(true), Owner(AOwner) {
    std::lock_guard lock(ThreadListLock);
    if (!Threads) Threads = new QList<TMMDSPThread*>;
    Threads->append(this);
}

TMMDSPThread::~TMMDSPThread() {
    std::lock_guard lock(ThreadListLock);
    if (!Threads) return;
    Threads->removeOne(this);
    if (Threads->isEmpty()) {
        delete Threads;
        Threads = nullptr;
    }
}

QList<TMMDSPThread*> ThreadList() {
    std::lock_guard lock(ThreadListLock);
    return Threads ? *Threads : QList<TMMDSPThread*>();
}

void GlobalSynchronize(const std::function<void()>& Method) {
    TMMDSPThread* caller = nullptr;
    if (!IsMainThread()) {
        const TMMThreadId self = MMCurrentThreadId();
        std::lock_guard lock(ThreadListLock);
        if (Threads)
            for (TMMDSPThread* thread : *Threads)
                if (thread->ThreadID() == self) caller = thread;
    }
    // The caller is this very thread, so it cannot go away meanwhile.
    if (caller)
        caller->Synchronize(Method);
    else
        Method();
}
