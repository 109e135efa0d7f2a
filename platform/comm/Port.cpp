#include "platform/comm/Port.h"

#include "platform/rtkit/Realtime.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <future>
#include <system_error>

namespace {

constexpr int kServicePriority = 65;  // the mixer runs at 70
// Where RealtimeKit allows less than that, the mixer gets its maximum and
// this thread stays as far under it.
constexpr int kUnderMixer = 5;

}  // namespace

namespace comm_detail {
namespace {

using std::chrono::milliseconds;

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kCounterEvents = kModemEvents | EV_BREAK | EV_ERR;

}  // namespace

Port::Port(Descriptor line, Descriptor wakeup) : FLine(std::move(line)), FWakeup(std::move(wakeup)) {
    std::memset(&FDcb, 0, sizeof FDcb);
    FDcb.DCBlength = sizeof(DCB);
    FDcb.fBinary = 1;
    FDcb.fDtrControl = DTR_CONTROL_ENABLE;
    FDcb.fRtsControl = RTS_CONTROL_ENABLE;
    FDcb.XonLim = 2048;
    FDcb.XoffLim = 512;
    FDcb.XonChar = 17;
    FDcb.XoffChar = 19;
    ReadLineSettings(Fd(), FDcb);
    FHaveCounters = ReadLineCounters(Fd(), FCounters);
}

Port::~Port() {
    Closed();
    // A pseudo-terminal keeps the flag while its master is open.
    if (FExclusive) ioctl(Fd(), TIOCNXCL);
}

int Port::Start(bool exclusive) {
    if (exclusive) {
        if (ioctl(Fd(), TIOCEXCL) != 0) return errno;
        FExclusive = true;
    }
    std::promise<pid_t> workerTid;
    std::future<pid_t> tid = workerTid.get_future();
    try {
        FWorker = std::thread([this, announce = std::move(workerTid)]() mutable {
            announce.set_value(currentThreadId());
            Run();
        });
    } catch (const std::system_error& e) {
        return e.code().value();
    }
    // This thread notes when each stroke's byte came off the line: a busy
    // machine must not delay it. Real-time where the system (or RealtimeKit)
    // grants it, just under the mixer; refused, it runs as any thread.
    requestRealtime(FWorker.native_handle(), tid.get(), kServicePriority, kUnderMixer);
    return 0;
}

void Port::Closed() {
    {
        std::lock_guard lock(FLock);
        if (FStopping) return;
        FStopping = true;
        AbortAll(ERROR_OPERATION_ABORTED);
    }
    Wake();
    if (FWorker.joinable()) FWorker.join();
}

void Port::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(FWakeup.get(), &one, sizeof one);
}

void Port::Complete(Operation& op, DWORD status, DWORD count) {
    op.overlapped->Internal = status;
    op.overlapped->InternalHigh = count;
    if (op.event) op.event->Set();
}

void Port::AbortAll(DWORD status) {
    for (auto& r : FReads) Complete(r, status, r.done);
    for (auto& w : FWrites) Complete(w, status, w.done);
    FReads.clear();
    FWrites.clear();
    if (FWait) {
        *FWait->mask = 0;
        Complete(*FWait, status, 0);
        FWait.reset();
    }
    FDone.notify_all();
}

void Port::AbortTransfers() {
    for (auto& r : FReads) Complete(r, ERROR_OPERATION_ABORTED, r.done);
    for (auto& w : FWrites) Complete(w, ERROR_OPERATION_ABORTED, w.done);
    FReads.clear();
    FWrites.clear();
    FDone.notify_all();
}

int Port::KernelInQueue() const {
    int n = 0;
    return ioctl(Fd(), TIOCINQ, &n) == 0 ? n : 0;
}

int Port::KernelOutQueue() const {
    int n = 0;
    return ioctl(Fd(), TIOCOUTQ, &n) == 0 ? n : 0;
}

void Port::ClearReceived() {
    FReceived.clear();
    FArrivals.clear();
}

void Port::Break(int error) {
    if (!FBroken) FBroken = error;
}

void Port::Receive() {
    BYTE chunk[1024];
    while (!FBroken && FReceived.size() < FInQueue) {
        const size_t room = std::min<size_t>(sizeof chunk, FInQueue - FReceived.size());
        const ssize_t n = ::read(Fd(), chunk, room);
        if (n > 0) {
            const Clock::duration arrived = Clock::now().time_since_epoch();
            const std::size_t before = FReceived.size();
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] == 0 && FDcb.fNull) continue;  // null bytes discarded
                if (chunk[i] == static_cast<BYTE>(FDcb.EvtChar)) FHistory |= EV_RXFLAG & FMask;
                FReceived.push_back(chunk[i]);
            }
            if (FReceived.size() > before) FArrivals.emplace_back(FReceived.size() - before, arrived);
            if (FReceived.size() * 5 >= FInQueue * 4) FHistory |= EV_RX80FULL & FMask;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        // End of file on a tty: the other side hung up.
        Break(n == 0 ? EIO : errno);
    }
}

void Port::Transmit() {
    while (!FBroken && !FWrites.empty()) {
        WriteOp& w = FWrites.front();
        if (w.done < w.size) {
            const ssize_t n = ::write(Fd(), w.data + w.done, w.size - w.done);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) return;
                Break(errno);
                return;
            }
            w.done += static_cast<DWORD>(n);
            FTxWatch = true;
        }
        if (w.done < w.size) return;
        Complete(w, ERROR_SUCCESS, w.done);
        FWrites.pop_front();
        FDone.notify_all();
    }
}

void Port::WatchCounters() {
    if (!FHaveCounters || FBroken) return;
    LineCounters now;
    if (!ReadLineCounters(Fd(), now)) return;
    DWORD events = 0;
    if (now.cts != FCounters.cts) events |= EV_CTS;
    if (now.dsr != FCounters.dsr) events |= EV_DSR;
    if (now.dcd != FCounters.dcd) events |= EV_RLSD;
    if (now.rng != FCounters.rng) events |= EV_RING;
    if (now.brk != FCounters.brk) {
        events |= EV_BREAK;
        FLineErrors |= CE_BREAK;
    }
    DWORD errors = 0;
    if (now.frame != FCounters.frame) errors |= CE_FRAME;
    if (now.overrun != FCounters.overrun) errors |= CE_OVERRUN;
    if (now.parity != FCounters.parity) errors |= CE_RXPARITY;
    if (now.bufOverrun != FCounters.bufOverrun) errors |= CE_RXOVER;
    if (errors) events |= EV_ERR;
    FLineErrors |= errors;
    if (FLineErrors && FDcb.fAbortOnError) AbortTransfers();
    FHistory |= events & FMask;
    FCounters = now;
}

void Port::WatchTxEmpty() {
    if (FTxWatch && FWrites.empty() && !FBroken && KernelOutQueue() == 0) {
        FTxWatch = false;
        FHistory |= EV_TXEMPTY & FMask;
    }
}

// Takes received bytes for the reads and ends those that are done.
void Port::ServeReads(Clock::time_point now) {
    while (!FReads.empty()) {
        ReadOp& r = FReads.front();
        const DWORD take = static_cast<DWORD>(std::min<size_t>(FReceived.size(), r.wanted - r.done));
        if (take > 0) {
            std::copy_n(FReceived.begin(), take, r.buffer + r.done);
            FReceived.erase(FReceived.begin(), FReceived.begin() + take);
            for (std::size_t left = take; left > 0 && !FArrivals.empty();) {
                auto& [bytes, arrived] = FArrivals.front();
                const std::size_t used = std::min(left, bytes);
                r.lastArrival = arrived;
                bytes -= used;
                left -= used;
                if (bytes == 0) FArrivals.pop_front();
            }
            r.done += take;
            r.lastByte = now;
        }
        const bool finished = r.done == r.wanted || r.immediate || (r.firstByteEnds && r.done > 0) ||
                              (r.deadline && now >= *r.deadline) ||
                              (r.interval && r.done > 0 && now - r.lastByte >= milliseconds(r.interval));
        if (FBroken && r.done < r.wanted) {
            // The line is gone: what it delivered before still arrives, then errors.
            Complete(r, r.done > 0 ? ERROR_SUCCESS : FBroken, r.done);
            FReads.pop_front();
            FDone.notify_all();
            continue;
        }
        if (!finished) return;
        if (r.done > 0) FLastReadArrival = r.lastArrival;
        Complete(r, ERROR_SUCCESS, r.done);
        FReads.pop_front();
        FDone.notify_all();
    }
}

DWORD Port::PendingEvents() {
    DWORD events = FHistory & FMask;
    if ((FMask & EV_RXCHAR) && (!FReceived.empty() || KernelInQueue() > 0)) events |= EV_RXCHAR;
    return events;
}

void Port::ServeWait() {
    if (!FWait) return;
    if (const DWORD events = PendingEvents()) {
        FHistory &= ~events;
        *FWait->mask = events;
        Complete(*FWait, ERROR_SUCCESS, 0);
        FWait.reset();
        FDone.notify_all();
    } else if (FBroken) {
        *FWait->mask = 0;
        Complete(*FWait, FBroken, 0);
        FWait.reset();
        FDone.notify_all();
    }
}

void Port::WriteTimeouts(Clock::time_point now) {
    for (auto it = FWrites.begin(); it != FWrites.end();) {
        if (it->deadline && now >= *it->deadline) {
            // A write that times out succeeds with what went out.
            Complete(*it, ERROR_SUCCESS, it->done);
            it = FWrites.erase(it);
            FDone.notify_all();
        } else {
            ++it;
        }
    }
    if (FBroken) {
        for (auto& w : FWrites) Complete(w, FBroken, w.done);
        FWrites.clear();
        FDone.notify_all();
    }
}

void Port::Pump() {
    const auto now = Clock::now();
    Receive();
    Transmit();
    WatchCounters();
    WatchTxEmpty();
    ServeReads(now);
    WriteTimeouts(now);
    ServeWait();
}

// The service thread: a poll on the line and the wake-up descriptor, woken
// by new requests, a new mask and the close.
void Port::Run() {
    std::unique_lock lock(FLock);
    while (!FStopping) {
        Pump();
        pollfd fds[2] = {{FWakeup.get(), POLLIN, 0}, {Fd(), 0, 0}};
        if (!FBroken) {
            if (FReceived.size() < FInQueue) fds[1].events |= POLLIN;
            if (!FWrites.empty()) fds[1].events |= POLLOUT;
        }
        std::optional<Clock::time_point> wake;
        auto earliest = [&](std::optional<Clock::time_point> t) {
            if (t && (!wake || *t < *wake)) wake = t;
        };
        const auto now = Clock::now();
        for (auto& r : FReads) {
            earliest(r.deadline);
            if (r.interval && r.done > 0) earliest(r.lastByte + milliseconds(r.interval));
        }
        for (auto& w : FWrites) earliest(w.deadline);
        if ((FHaveCounters && (FMask & kCounterEvents)) || (FTxWatch && (FMask & EV_TXEMPTY)))
            earliest(now + kCounterPeriod);
        int timeout = -1;
        if (wake)
            timeout = static_cast<int>(
                std::max<long long>(0, std::chrono::ceil<milliseconds>(*wake - now).count()));
        lock.unlock();
        const int ready = ::poll(fds, fds[1].events ? 2 : 1, timeout);
        lock.lock();
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t count;
            [[maybe_unused]] auto n = ::read(FWakeup.get(), &count, sizeof count);
        }
        if (ready > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            // Read what is left first; a hang-up with nothing to read ends the line.
            Receive();
            if (!(fds[1].revents & POLLIN) || FReceived.size() < FInQueue) Break(EIO);
        }
    }
}

HeldPort::HeldPort(HANDLE handle) : FPort(Find<Port>(handle)) {
    if (FPort) {
        FLock = std::unique_lock(FPort->FLock);
        if (!FPort->FStopping) return;
        FLock.unlock();
        FPort.reset();
    }
    SetLastError(ERROR_INVALID_HANDLE);
}

}  // namespace comm_detail
