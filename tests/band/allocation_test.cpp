// Keeping time may be asked from a real-time thread: once set up, hearing a
// blow and answering for the next allocates nothing. Counted by replacing
// the global operator new in this program (not under the sanitizers, whose
// runtimes bring their own).

#include "band/BandFollower.h"
#include "band/BaselineFollower.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVEL_COUNTS_ALLOCATIONS 0
#else
#define QUORVEL_COUNTS_ALLOCATIONS 1

namespace {
std::atomic<long> gAllocations{0};
}

void* operator new(std::size_t Size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(Size ? Size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t Size) {
    return operator new(Size);
}
void operator delete(void* P) noexcept {
    std::free(P);
}
void operator delete[](void* P) noexcept {
    std::free(P);
}
void operator delete(void* P, std::size_t) noexcept {
    std::free(P);
}
void operator delete[](void* P, std::size_t) noexcept {
    std::free(P);
}
#endif

TEST(BandAllocation, HearingAndAnsweringAllocateNothing) {
#if !QUORVEL_COUNTS_ALLOCATIONS
    GTEST_SKIP() << "the sanitizer runtime owns operator new";
#else
    TBandSettings settings;
    TBandFollower ours(settings);
    TBaselineFollower baseline(settings);
    for (TRhythmFollower* f :
         {static_cast<TRhythmFollower*>(&ours), static_cast<TRhythmFollower*>(&baseline)}) {
        SCOPED_TRACE(f->Name());
        const double blow = settings.PealIntervalMs();
        f->Begin(0);
        const long before = gAllocations.load();
        double sink = 0;
        for (int r = 0; r < 200; ++r)
            for (int p = 0; p < settings.Stage; ++p) {
                // two humans, a little off the rhythm, and four of the computer's
                const double t = blow * (r * settings.Stage + p + r / 2) + (p < 2 ? (r % 5) * 7.0 - 14 : 0);
                f->Heard({p + 1, r, p, r % 2 == 0, t, p < 2});
                sink += f->When(r + (p + 1) / settings.Stage, (p + 1) % settings.Stage, t);
            }
        EXPECT_EQ(gAllocations.load() - before, 0);
        EXPECT_TRUE(std::isfinite(sink));
    }
#endif
}
