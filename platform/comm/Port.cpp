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

void ReceiveRing::Resize(std::size_t capacity) {
    auto fresh = std::make_unique<Slot[]>(capacity);
    const std::size_t kept = std::min(FCount, capacity);
    for (std::size_t i = 0; i < kept; ++i) fresh[i] = FSlots[(FHead + i) % FCapacity];
    FSlots = std::move(fresh);
    FCapacity = capacity;
    FHead = 0;
    FCount = kept;
}

void Port::SetInQueue(DWORD size) {
    FInQueue = std::clamp<DWORD>(size, 64, 1u << 24);
    const std::size_t before = FReceived.Size();
    FReceived.Resize(FInQueue);
    if (FReceived.Size() < before) {
        FRingFull += before - FReceived.Size();
        FLineErrors |= CE_RXOVER;
        FHistory |= EV_ERR & FMask;
    }
}

bool Port::SetByteHook(ByteHook hook) {
    if (FByteHook) return false;
    FByteHook = std::move(hook);
    return true;
}

void Port::ClearReceived() {
    FReceived.Clear();
    FPurgedAt = MonotonicNs();
}

void Port::Break(int error) {
    if (!FBroken) FBroken = error;
}

// Queues what fits and returns how many bytes it dealt with; the rest stays
// with the service thread until the ring has room (a queue made smaller while
// the line was read holds the line back, it loses nothing).
std::size_t Port::Queue(const BYTE* bytes, std::size_t count, const bool* consumed, std::int64_t arrival) {
    // The settings as they are now: a change made while the read was out of
    // the lock applies to it.
    const bool discardNull = FDcb.fNull;
    // Read before a purge that came while the thread was out of the lock.
    if (arrival <= FPurgedAt) return count;
    std::size_t i = 0;
    for (; i < count; ++i) {
        if (consumed[i]) continue;
        if (bytes[i] == 0 && discardNull) continue;  // null bytes discarded
        if (!FReceived.Push(bytes[i], arrival)) break;
        if (bytes[i] == static_cast<BYTE>(FDcb.EvtChar)) FHistory |= EV_RXFLAG & FMask;
    }
    if (FReceived.Size() * 5 >= std::size_t(FInQueue) * 4) FHistory |= EV_RX80FULL & FMask;
    return i;
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
        const DWORD take = static_cast<DWORD>(std::min<size_t>(FReceived.Size(), r.wanted - r.done));
        if (take > 0) {
            for (DWORD i = 0; i < take; ++i) {
                const ReceiveRing::Slot& slot = FReceived.Front();
                r.buffer[r.done + i] = slot.byte;
                r.lastArrival = slot.arrival;
                FReceived.Pop();
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
    // Only what the service thread has queued: a byte its hook consumed
    // never raises an event.
    if ((FMask & EV_RXCHAR) && !FReceived.Empty()) events |= EV_RXCHAR;
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

// Only the service thread reads the line (Run), so every byte is stamped and
// offered to the hook there, in order.
void Port::Pump() {
    const auto now = Clock::now();
    Transmit();
    WatchCounters();
    WatchTxEmpty();
    ServeReads(now);
    WriteTimeouts(now);
    ServeWait();
}

// The service thread: a poll on the line and the wake-up descriptor, woken
// by new requests, a new mask and the close. It alone reads the line, outside
// the lock: each read is stamped as it returns and offered to the hook before
// the lock is taken, so that neither waits for a reader on another thread.
void Port::Run() {
    BYTE chunk[1024];
    bool consumed[sizeof chunk];
    // Bytes read but not yet queued: chunk[held, heldEnd), stamped heldArrival.
    std::size_t held = 0, heldEnd = 0;
    std::int64_t heldArrival = 0;
    std::unique_lock lock(FLock);
    while (!FStopping) {
        Pump();
        // A pending read served here makes room without anyone waking this
        // thread for it: keep queueing while room appears, or the rest of
        // what was read waits in the poll below with the line left out.
        while (held < heldEnd) {
            held += Queue(chunk + held, heldEnd - held, consumed + held, heldArrival);
            Pump();
            if (FReceived.Room() == 0) break;
        }
        if (held == heldEnd) held = heldEnd = 0;
        pollfd fds[2] = {{FWakeup.get(), POLLIN, 0}, {Fd(), 0, 0}};
        // Nothing more is read while read bytes still wait for room.
        const std::size_t room = held < heldEnd ? 0 : std::min(sizeof chunk, FReceived.Room());
        if (!FBroken) {
            if (room > 0) fds[1].events |= POLLIN;
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
        // Set once, so the pointer stays good while the lock is let go.
        const ByteHook* hook = FByteHook ? &FByteHook : nullptr;
        const bool mayRead = (fds[1].events & POLLIN) != 0;
        lock.unlock();
        const int ready = ::poll(fds, fds[1].events ? 2 : 1, timeout);
        ssize_t got = 0;
        int readError = 0;
        std::int64_t arrival = 0;
        const bool readable = ready > 0 && mayRead && (fds[1].revents & (POLLIN | POLLHUP | POLLERR));
        if (readable) {
            got = ::read(Fd(), chunk, room);
            // Before anything else, the lock included: this is the stroke's time.
            arrival = MonotonicNs();
            if (got < 0) readError = errno;
            for (ssize_t i = 0; i < got; ++i) consumed[i] = hook && (*hook)(chunk[i], arrival);
        }
        lock.lock();
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t count;
            [[maybe_unused]] auto n = ::read(FWakeup.get(), &count, sizeof count);
        }
        // A hook set while this pass was out of the lock (the port has just
        // opened) still sees what the pass read after the purge that follows
        // its setting; what came before the purge is dropped by Queue anyway.
        if (got > 0 && !hook && FByteHook && arrival > FPurgedAt)
            for (ssize_t i = 0; i < got; ++i) consumed[i] = FByteHook(chunk[i], arrival);
        if (got > 0) {
            held = Queue(chunk, static_cast<std::size_t>(got), consumed, arrival);
            if (held < static_cast<std::size_t>(got)) {
                heldEnd = static_cast<std::size_t>(got);
                heldArrival = arrival;
            } else {
                held = 0;
            }
        } else if (readable && got == 0) {
            Break(EIO);  // end of file on a tty: the other side hung up
        } else if (got < 0 && readError != EAGAIN && readError != EINTR) {
            Break(readError);
        }
        // A hang-up with nothing more to read ends the line; what was left is
        // read in the rounds before.
        if (ready > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) && got <= 0) Break(EIO);
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
