#include "comport/ComThread.h"

#include "comport/FComPort.h"
#include "platform/base/Exception.h"
#include "platform/gui/Synchronize.h"
#include "platform/rtkit/Realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <future>
#include <system_error>

namespace {

constexpr int kTimeCriticalPriority = 10;
// Under RealtimeKit's lower ceiling the mixer (70) takes its maximum; this
// thread stays as far under it, below the serial service thread.
constexpr int kUnderMixer = 60;

// Idle ... time-critical as nice values; time-critical also asks for a
// real-time slot. Refusals leave the thread as it was. Returns the answer to
// the real-time request (0 when none was made).
int ApplyPriority(pthread_t thread, id_t tid, ComTypes::TThreadPriority value) {
    static constexpr int nice[] = {19, 10, 5, 0, -5, -10, -20};
    ::setpriority(PRIO_PROCESS, tid, nice[value]);
    sched_param param{};
    int policy = SCHED_OTHER;
    if (value == ComTypes::tpTimeCritical) {
        policy = SCHED_FIFO;
        param.sched_priority = kTimeCriticalPriority;
    }
    const int result = ::pthread_setschedparam(thread, policy, &param);
    return value == ComTypes::tpTimeCritical ? result : 0;
}

// Where the kernel wants a permission the user lacks, RealtimeKit may still
// grant the slot. Its answer takes a bus round trip, so it is asked from the
// thread that starts or reprioritises this one, never by the thread itself.
void AskRealtimeKit(int refused, id_t tid) {
    if (refused == EPERM)
        realtimeKitMakeThreadRealtime(static_cast<pid_t>(tid), kTimeCriticalPriority, kUnderMixer);
}

}  // namespace

TComThread::TComThread(TFComPort* ComPort) : FComPort(ComPort) {
    FNativePriority = ComPort->ThreadPriority();
}

bool TComThread::Start() {
    std::future<int> started = FStarted.get_future();
    try {
        FThread = std::thread([this] { Execute(); });
    } catch (const std::system_error&) {
        FFinished = true;
        return false;
    }
    const int refused = started.get();
    std::lock_guard lock(FLock);
    if (!FFinished) AskRealtimeKit(refused, static_cast<id_t>(FTid));
    return true;
}

void TComThread::SetPriority(ComTypes::TThreadPriority Value) {
    std::lock_guard lock(FLock);
    FNativePriority = Value;
    if (FTid != 0 && !FFinished)
        AskRealtimeKit(ApplyPriority(FThread.native_handle(), static_cast<id_t>(FTid), Value),
                       static_cast<id_t>(FTid));
}

void TComThread::Execute() {
    FId = std::this_thread::get_id();
    {
        std::lock_guard lock(FLock);
        FTid = static_cast<int>(::syscall(SYS_gettid));
        FStarted.set_value(ApplyPriority(::pthread_self(), static_cast<id_t>(FTid),
                                         static_cast<ComTypes::TThreadPriority>(FNativePriority.load())));
    }
    QString died;
    try {
        while (!FTerminated) {
            FComPort->ThreadProc(this);
        }
    } catch (const Exception& e) {
        died = e.Message();
    } catch (const std::exception& e) {
        died = QString::fromLocal8Bit(e.what());
    } catch (...) {
        died = QStringLiteral("unknown error");
    }
    // A thread that ended on an exception leaves a port that hears nothing:
    // the main thread is told (queued; this thread never waits for it).
    if (!died.isEmpty() && !FTerminated) {
        FDied = true;
        FComPort->ThreadDied(this, died);
    }
    std::unique_lock lock(FLock);
    FFinished = true;
    if (FReleased) {
        lock.unlock();
        delete this;
        return;
    }
    FEnded.notify_all();
}

void TComThread::Synchronize(const std::function<void()>& Method) {
    // A handler's exception comes back here as this thread's alone: were the
    // main thread to keep a share of it, it could free the object while this
    // thread still reads its message.
    std::exception_ptr error;
    ::Synchronize([this, &Method, &error] {
        struct Running {
            std::atomic<bool>& flag;
            explicit Running(std::atomic<bool>& f) : flag(f) { flag = true; }
            ~Running() { flag = false; }
        } running(FMethodRunning);
        try {
            Method();
        } catch (...) {
            error = std::current_exception();
        }
    });
    if (error) std::rethrow_exception(error);
}

void TComThread::WaitForAndFree() {
    {
        std::unique_lock lock(FLock);
        while (!FFinished) {
            lock.unlock();
            CheckSynchronize();
            lock.lock();
            FEnded.wait_for(lock, std::chrono::milliseconds(2), [this] { return FFinished.load(); });
        }
    }
    if (FThread.joinable()) FThread.join();
    delete this;
}

void TComThread::Release() {
    std::unique_lock lock(FLock);
    if (FFinished) {
        lock.unlock();
        if (FThread.joinable()) FThread.join();
        delete this;
        return;
    }
    // Detached under the lock: the thread cannot free itself before this.
    FThread.detach();
    FReleased = true;
}
