#pragma once

// The machine's own hiccups, measured beside a benchmark: one thread per
// CPU, pinned and at real-time priority where granted, wakes every
// millisecond at an absolute time and notes each wake-up that came late.
// A virtual machine's CPU taken away by its host, or a kernel path that
// holds a CPU, shows here as it does to the program; a late stroke that
// falls in such a moment is the machine's, not the program's.

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

class MachineStalls {
public:
    // Wake-ups later than this are kept.
    static constexpr std::int64_t kNoteNs = 500'000;

    MachineStalls() {
        const unsigned cpus = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxCpus);
        for (unsigned c = 0; c < cpus; ++c) FThreads.emplace_back([this, c] { Run(c); });
    }
    ~MachineStalls() {
        FStop.store(true);
        for (auto& t : FThreads) t.join();
    }
    MachineStalls(const MachineStalls&) = delete;
    MachineStalls& operator=(const MachineStalls&) = delete;

    // The longest stall on any CPU that overlaps [FromNs, ToNs].
    std::int64_t WorstWithin(std::int64_t FromNs, std::int64_t ToNs) const {
        std::int64_t worst = 0;
        ForEach([&](const Stall& s) {
            if (s.DueNs <= ToNs && s.DueNs + s.LateNs >= FromNs) worst = std::max(worst, s.LateNs);
        });
        return worst;
    }
    // How many stalls were longer than Ns, and the longest.
    std::pair<long, std::int64_t> Summary(std::int64_t Ns) const {
        long count = 0;
        std::int64_t worst = 0;
        ForEach([&](const Stall& s) {
            count += s.LateNs > Ns;
            worst = std::max(worst, s.LateNs);
        });
        return {count, worst};
    }
    bool RealTime() const { return FRealTime.load(); }

private:
    struct Stall {
        std::int64_t DueNs, LateNs;
    };
    static constexpr std::size_t kRoom = 1 << 15;  // per CPU

    static std::int64_t Now() {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    }

    void Run(unsigned Cpu) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(Cpu, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
        sched_param p{};
        p.sched_priority = 90;
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) != 0) FRealTime.store(false);
        Ring& ring = FRings[Cpu];
        std::int64_t due = Now();
        while (!FStop.load(std::memory_order_relaxed)) {
            due += 1'000'000;
            timespec t{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
            const std::int64_t now = Now();
            if (now - due > kNoteNs) {
                const std::size_t n = ring.Count.load(std::memory_order_relaxed);
                ring.Stalls[n % kRoom] = {due, now - due};
                ring.Count.store(n + 1, std::memory_order_release);  // the entry before the count
            }
            if (now > due + 1'000'000) due = now;  // no burst of catching up
        }
    }

    template <class F>
    void ForEach(F f) const {
        for (const Ring& r : FRings) {
            const std::size_t n = r.Count.load(std::memory_order_acquire);
            for (std::size_t i = n > kRoom ? n - kRoom : 0; i < n; ++i) f(r.Stalls[i % kRoom]);
        }
    }

    static constexpr unsigned kMaxCpus = 8;
    struct Ring {
        std::vector<Stall> Stalls = std::vector<Stall>(kRoom);
        std::atomic<std::size_t> Count{0};
    };
    Ring FRings[kMaxCpus];
    std::atomic<bool> FStop{false};
    std::atomic<bool> FRealTime{true};
    std::vector<std::thread> FThreads;
};
