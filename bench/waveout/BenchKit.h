#pragma once

// Small helpers shared by the wave output benchmarks.

#include "bench/BenchStats.h"
#include "platform/waveout/waveout.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

struct DoneCounter {
    std::atomic<unsigned> done{0};
    static void proc(HWAVEOUT, UINT msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
        if (msg == MM_WOM_DONE) reinterpret_cast<DoneCounter*>(instance)->done.fetch_add(1);
    }
    bool waitFor(unsigned n, int seconds = 10) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (done.load() < n) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }
};
