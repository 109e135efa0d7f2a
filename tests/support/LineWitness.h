#pragma once

// The line's own delay, watched beside the program (link `util`): a second
// pseudo-terminal, written straight after each stroke and read by a
// real-time thread of the test at the priority of the port's own reader.
// The kernel hands both bytes on by the same path, so a stroke it hands to
// the program late arrives late here too: a test may forgive a bell the
// line's delay at its stroke, and still blames the program for its own.

#include "platform/base/Clock.h"
#include "tests/support/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

class LineWitness {
public:
    // Marks kept: a mark's delay can be asked until this many more are made.
    static constexpr std::size_t kRoom = 4096;
    // No mark (Mark failed, or none was made).
    static constexpr std::size_t kNone = ~std::size_t{0};

    LineWitness() {
        FSlave = ::open(FLine.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (FSlave < 0 || tcgetattr(FSlave, &t) != 0) return;
        cfmakeraw(&t);
        if (tcsetattr(FSlave, TCSANOW, &t) != 0) return;
        if (::pipe2(FStop, O_CLOEXEC) != 0) return;
        FReader = std::thread([this] { Read(); });
    }
    ~LineWitness() {
        if (FReader.joinable()) {
            const char one = 1;
            (void)!::write(FStop[1], &one, 1);
            FReader.join();
        }
        for (int fd : {FSlave, FStop[0], FStop[1]})
            if (fd >= 0) ::close(fd);
    }
    LineWitness(const LineWitness&) = delete;
    LineWitness& operator=(const LineWitness&) = delete;

    // Whether it watches at all (its line opened and its reader runs).
    bool Watching() const { return FReader.joinable(); }

    // Writes one byte now, for the stroke written just before; its index,
    // or kNone. Marks are made by one thread.
    std::size_t Mark() {
        const std::size_t i = FMarked.load(std::memory_order_relaxed);
        if (!Watching()) return kNone;
        const char c = 'w';
        FWrittenNs[i % kRoom] = MonotonicNs();
        if (::write(FLine.Master(), &c, 1) != 1) return kNone;
        FMarked.store(i + 1, std::memory_order_release);
        return i;
    }

    // How long mark Index took from its write to its read. One still unread
    // after a further second counts as late by all the time since its write
    // (a line that holds bytes that long excuses what it held). 0 for no mark.
    std::int64_t DelayNs(std::size_t Index) const {
        const std::size_t marked = FMarked.load(std::memory_order_acquire);
        if (Index >= marked || Index + kRoom < marked) return 0;
        const std::int64_t until = MonotonicNs() + 1'000'000'000;
        while (FRead.load(std::memory_order_acquire) <= Index) {
            if (MonotonicNs() > until) return MonotonicNs() - FWrittenNs[Index % kRoom];
            ::usleep(1000);
        }
        return FReadNs[Index % kRoom] - FWrittenNs[Index % kRoom];
    }

private:
    void Read() {
        // The port's reader runs at SCHED_FIFO 65 where granted; so does this.
        sched_param p{};
        p.sched_priority = 65;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
        char chunk[256];
        for (;;) {
            pollfd fds[2] = {{FSlave, POLLIN, 0}, {FStop[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            const ssize_t n = ::read(FSlave, chunk, sizeof chunk);
            const std::int64_t now = MonotonicNs();
            for (ssize_t k = 0; k < n; ++k) {
                const std::size_t i = FRead.load(std::memory_order_relaxed);
                FReadNs[i % kRoom] = now;
                FRead.store(i + 1, std::memory_order_release);
            }
        }
    }

    PseudoTerminal FLine;
    int FSlave = -1;
    int FStop[2] = {-1, -1};
    std::vector<std::int64_t> FWrittenNs = std::vector<std::int64_t>(kRoom);
    std::vector<std::int64_t> FReadNs = std::vector<std::int64_t>(kRoom);
    std::atomic<std::size_t> FMarked{0}, FRead{0};
    std::thread FReader;
};
