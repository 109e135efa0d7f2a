#pragma once

// The program's one clock: CLOCK_MONOTONIC in nanoseconds. A stroke's
// arrival, a delay's due time, the mixer's output clock and every timer
// read this, so times taken on different threads compare directly.

#include <cstdint>
#include <ctime>

inline std::int64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
