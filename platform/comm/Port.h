#pragma once

// An open serial port: its line, the requests pending on it, and the service
// thread that carries them out (Port.cpp). The entry points (PortApi.cpp)
// reach a port only through HeldPort.

#include "platform/base/Clock.h"
#include "platform/comm/Handles.h"
#include "platform/comm/Line.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace comm_detail {

// The program's one clock (MonotonicNs) as a chrono clock, for deadlines.
struct Clock {
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept { return time_point(duration(MonotonicNs())); }
};

// Called on the service thread for each byte as it comes off the line, with
// its arrival (MonotonicNs), before it is queued; true: it is consumed and
// never queued. It must not block: the line waits for it.
using ByteHook = std::function<bool(BYTE Byte, std::int64_t ArrivalNs)>;

// Received bytes with their arrival times in a ring made when the queue's
// size is set, so that taking a byte off the line allocates nothing.
class ReceiveRing {
public:
    struct Slot {
        BYTE byte;
        std::int64_t arrival;
    };
    explicit ReceiveRing(std::size_t capacity) { Resize(capacity); }
    // Keeps the oldest bytes that fit.
    void Resize(std::size_t capacity);
    std::size_t Size() const { return FCount; }
    std::size_t Room() const { return FCapacity - FCount; }
    bool Empty() const { return FCount == 0; }
    bool Push(BYTE byte, std::int64_t arrival) {
        if (FCount == FCapacity) return false;
        FSlots[(FHead + FCount) % FCapacity] = {byte, arrival};
        ++FCount;
        return true;
    }
    const Slot& Front() const { return FSlots[FHead]; }
    void Pop() {
        FHead = (FHead + 1) % FCapacity;
        --FCount;
    }
    void Clear() { FHead = FCount = 0; }

private:
    std::unique_ptr<Slot[]> FSlots;
    std::size_t FCapacity = 0;
    std::size_t FHead = 0;
    std::size_t FCount = 0;
};

// How often line counters and the output queue are looked at while someone
// waits for them (the kernel offers no wake-up that a poll can combine).
constexpr std::chrono::milliseconds kCounterPeriod{5};

struct Operation {
    OVERLAPPED* overlapped = nullptr;
    std::shared_ptr<Event> event;
};

struct ReadOp : Operation {
    BYTE* buffer = nullptr;
    DWORD wanted = 0;
    DWORD done = 0;
    bool immediate = false;      // return what is there at once
    bool firstByteEnds = false;  // complete as soon as anything arrived
    DWORD interval = 0;          // 0: no interval timeout
    std::optional<Clock::time_point> deadline;
    Clock::time_point lastByte;
    std::int64_t lastArrival = 0;  // when the last byte taken came off the line
};

struct WriteOp : Operation {
    const BYTE* data = nullptr;
    DWORD size = 0;
    DWORD done = 0;
    std::optional<Clock::time_point> deadline;
};

struct WaitOp : Operation {
    DWORD* mask = nullptr;
};

// Owns one file descriptor.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : FFd(fd) {}
    Descriptor(Descriptor&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
    Descriptor& operator=(Descriptor&&) = delete;
    ~Descriptor() {
        if (FFd >= 0) ::close(FFd);
    }
    int get() const { return FFd; }
    explicit operator bool() const { return FFd >= 0; }

private:
    int FFd;
};

class Port : public KernelObject {
public:
    Port(Descriptor line, Descriptor wakeup);
    ~Port() override;

    // Takes the line for this handle alone when asked, then starts the
    // service thread. Returns 0 or an errno value.
    int Start(bool exclusive);
    // The handle is closed: every request ends and the service thread stops.
    // The descriptors stay open until the last holder lets go of the port.
    void Closed() override;

    int Fd() const { return FLine.get(); }
    void Wake();

    // Everything below is guarded by FLock.
    static void Complete(Operation& op, DWORD status, DWORD count);
    void AbortAll(DWORD status);
    // After a line error with fAbortOnError, reads and writes end and new
    // ones are refused until ClearCommError has taken the errors.
    bool Aborting() const { return FLineErrors && FDcb.fAbortOnError; }
    int KernelInQueue() const;
    int KernelOutQueue() const;
    // The size of the received queue (the ring is made again).
    void SetInQueue(DWORD size);
    // Set once per port: a hook cannot change under the service thread.
    bool SetByteHook(ByteHook hook);
    // Drops every received byte that no read has taken yet.
    void ClearReceived();
    void WatchCounters();
    // One round of the service thread's work, done at once by a caller that
    // has just queued a request.
    void Pump();

    std::mutex FLock;
    std::condition_variable FDone;  // an operation completed
    DCB FDcb;
    COMMTIMEOUTS FTimeouts{};
    DWORD FMask = 0;
    DWORD FHistory = 0;     // events seen since the last wait took them
    DWORD FLineErrors = 0;  // CE_ flags since the last ClearCommError
    DWORD FInQueue = 4096;
    DWORD FOutQueue = 2048;
    int FBroken = 0;  // the errno that ended the line
    bool FStopping = false;
    bool FTxWatch = false;  // output was written; EV_TXEMPTY when it has gone
    // Bytes the service thread has taken off the line, each with when it
    // came: a stroke is timed from its byte's arrival, not from its reading.
    ReceiveRing FReceived{4096};
    std::uint64_t FRingFull = 0;        // bytes refused by a full queue
    std::int64_t FPurgedAt = 0;         // when received bytes were last dropped
    std::int64_t FLastReadArrival = 0;  // of the last byte of the latest completed read
    std::list<ReadOp> FReads;
    std::list<WriteOp> FWrites;
    std::optional<WaitOp> FWait;

private:
    void Break(int error);
    // Queues what the service thread read off the line (taken outside the
    // lock, stamped as the read returned).
    std::size_t Queue(const BYTE* bytes, std::size_t count, const bool* consumed, std::int64_t arrival);
    void AbortTransfers();
    void Transmit();
    void WatchTxEmpty();
    void ServeReads(Clock::time_point now);
    DWORD PendingEvents();
    void ServeWait();
    void WriteTimeouts(Clock::time_point now);
    void Run();

    const Descriptor FLine;
    const Descriptor FWakeup;
    bool FExclusive = false;
    bool FHaveCounters = false;
    LineCounters FCounters;
    ByteHook FByteHook;  // set once, before or while the thread runs
    std::thread FWorker;
};

// One entry point's use of a port: finds the port behind a handle, holds it
// (its descriptors stay open until the call returns, whatever another thread
// closes meanwhile) and takes its lock. Empty, with ERROR_INVALID_HANDLE as
// the last error, when the handle is not a port or the port is closing.
class HeldPort {
public:
    explicit HeldPort(HANDLE handle);
    explicit operator bool() const { return FPort != nullptr; }
    Port* operator->() const { return FPort.get(); }
    // Held from the start; waits on the port's conditions release it.
    std::unique_lock<std::mutex>& Lock() { return FLock; }

private:
    std::shared_ptr<Port> FPort;  // let go after the lock
    std::unique_lock<std::mutex> FLock;
};

}  // namespace comm_detail
