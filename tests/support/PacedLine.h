#pragma once

// The far end of a serial line as fast as a real one (link `util` for the
// pseudo-terminal): a thread writes planned bytes to a pseudo-terminal's
// master, each at its planned CLOCK_MONOTONIC time but never sooner than
// one byte time after the previous one, and notes when it wrote each.

#include "platform/base/Clock.h"
#include "tests/support/LineWitness.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

inline void SleepUntilNs(std::int64_t Ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(Ns / 1000000000);
    ts.tv_nsec = static_cast<long>(Ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Ten bits (start, eight data, stop) per byte.
inline std::int64_t ByteTimeNs(unsigned Baud) {
    return (10'000'000'000LL + Baud - 1) / Baud;
}

class PacedLine {
public:
    struct Byte {
        std::int64_t AtNs;  // planned CLOCK_MONOTONIC time
        char Value;
    };

    // Master: the pseudo-terminal's master (non-blocking is fine).
    PacedLine(int Master, unsigned Baud = 2400) : FMaster(Master), FByteNs(ByteTimeNs(Baud)) {
        fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    }
    ~PacedLine() { Join(); }
    PacedLine(const PacedLine&) = delete;
    PacedLine& operator=(const PacedLine&) = delete;

    std::int64_t ByteNs() const { return FByteNs; }

    // Marks each byte on Witness as it is written, so that the line's own
    // delay at each byte can be told (set before Start).
    void WatchWith(LineWitness* Witness) { FWitness = Witness; }
    // The line's own delay at byte Index (valid once Done); 0 unwatched.
    std::int64_t LineDelayNs(std::size_t Index) const {
        return FWitness && Index < FMarks.size() ? FWitness->DelayNs(FMarks[Index]) : 0;
    }

    // Starts writing Plan (in order of AtNs) on a thread of its own.
    void Start(std::vector<Byte> Plan) {
        Join();
        FPlan = std::move(Plan);
        FWrittenNs.assign(FPlan.size(), 0);
        FMarks.assign(FPlan.size(), LineWitness::kNone);
        FDone.store(false);
        FFailed.store(false);
        FThread = std::thread([this] { Run(); });
    }
    bool Done() const { return FDone.load(std::memory_order_acquire); }
    void Join() {
        if (FThread.joinable()) FThread.join();
    }
    // Whether every byte went out (valid once Done).
    bool Failed() const { return FFailed.load(); }
    // CLOCK_MONOTONIC just before the write of each byte (valid once Done).
    const std::vector<std::int64_t>& WrittenNs() const { return FWrittenNs; }
    // Why the writer thread runs at normal priority, empty when real-time.
    const std::string& PriorityNote() const { return FPriorityNote; }

private:
    void Run() {
        // A receiver that is preempted between its clock and its write
        // would blame the program for its own delay: ask for real time.
        sched_param param{};
        param.sched_priority = 20;
        const int r = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        FPriorityNote = r == 0 ? std::string() : "SCHED_FIFO not granted (error " + std::to_string(r) + ")";
        std::int64_t last = 0;
        char drain[256];
        for (std::size_t i = 0; i < FPlan.size(); ++i) {
            const std::int64_t due = std::max(FPlan[i].AtNs, last ? last + FByteNs : 0);
            SleepUntilNs(due);
            for (;;) {
                const std::int64_t now = MonotonicNs();
                const ssize_t n = ::write(FMaster, &FPlan[i].Value, 1);
                if (n == 1) {
                    FWrittenNs[i] = now;
                    last = now;
                    if (FWitness) FMarks[i] = FWitness->Mark();
                    break;
                }
                if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    FFailed.store(true);
                    FDone.store(true, std::memory_order_release);
                    return;
                }
                pollfd pfd{FMaster, POLLOUT, 0};
                ::poll(&pfd, 1, 5);
            }
            // Whatever the line echoes back must not fill the master.
            while (::read(FMaster, drain, sizeof drain) > 0) {
            }
        }
        FDone.store(true, std::memory_order_release);
    }

    int FMaster;
    std::int64_t FByteNs;
    std::vector<Byte> FPlan;
    std::vector<std::int64_t> FWrittenNs;
    LineWitness* FWitness = nullptr;
    std::vector<std::size_t> FMarks;
    std::string FPriorityNote;
    std::atomic<bool> FDone{true};
    std::atomic<bool> FFailed{false};
    std::thread FThread;
};
