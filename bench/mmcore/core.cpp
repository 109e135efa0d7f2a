// Figures of the multimedia core: the multimedia timer's tick spacing, the
// buffer cache's reuse cost, and the cost of one buffer pull through a chain.

#include "mmcore/MMAllocator.h"
#include "mmcore/MMDSPComponent.h"
#include "mmcore/MMTimer.h"
#include "mmcore/MMUtils.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

void TimerSpacing(int ticks) {
    struct Samples {
        std::mutex lock;
        std::vector<Clock::time_point> at;
    } samples;
    samples.at.reserve(static_cast<std::size_t>(ticks) + 1);
    HMMTIMEREVENT event = MMTimeSetEvent(
        TIMERELAPSE, false,
        [](HMMTIMEREVENT, DWORD_PTR user) {
            auto* s = reinterpret_cast<Samples*>(user);
            std::lock_guard lock(s->lock);
            s->at.push_back(Clock::now());
        },
        reinterpret_cast<DWORD_PTR>(&samples));
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard lock(samples.lock);
        if (samples.at.size() > static_cast<std::size_t>(ticks)) break;
    }
    MMTimeKillEvent(event);

    std::vector<double> gaps;
    for (std::size_t i = 1; i < samples.at.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::milli>(samples.at[i] - samples.at[i - 1]).count());
    const double mean = std::accumulate(gaps.begin(), gaps.end(), 0.0) / double(gaps.size());
    double var = 0;
    for (double g : gaps) var += (g - mean) * (g - mean);
    const auto [lo, hi] = std::minmax_element(gaps.begin(), gaps.end());
    const auto late = std::count_if(gaps.begin(), gaps.end(), [](double g) { return g > TIMERELAPSE + 2.0; });
    std::printf(
        "timer: %zu ticks of %u ms: mean %.3f ms, sd %.3f ms, min %.3f, max %.3f, %td more than 2 ms late\n",
        gaps.size(), TIMERELAPSE, mean, std::sqrt(var / double(gaps.size())), *lo, *hi, late);
}

template <class F>
double NanosPerCall(int n, F f) {
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) f(i);
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / n;
}

void AllocatorCost() {
    constexpr std::size_t size = 2048 + sizeof(TMMWaveHdr);
    TMMAllocator allocator;
    const double reuse = NanosPerCall(200000, [&](int) {
        void* block = allocator.AllocBuffer(GMEM_ZEROINIT, size);
        allocator.FreeBuffer(block);
    });
    const double fresh = NanosPerCall(200000, [&](int) {
        void* block = allocator.AllocBuffer(GMEM_ZEROINIT, size);
        allocator.DiscardBuffer(block);
    });
    std::printf("allocator: %zu-byte block from the cache %.0f ns, allocated and released %.0f ns\n", size,
                reuse, fresh);
}

class Head : public TMMDSPComponent {
public:
    using TMMDSPComponent::TMMDSPComponent;
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        lpwh->dwBytesRecorded = lpwh->dwBufferLength;
        MoreBuffers = true;
    }
};

void PullCost() {
    Head head;
    TMMDSPComponent a, b, c;
    a.SetInputValid(true);
    a.SetOutputValid(true);
    b.SetInputValid(true);
    b.SetOutputValid(true);
    c.SetInputValid(true);
    head.SetOutputValid(true);
    a.SetInput(&head);
    b.SetInput(&a);
    c.SetInput(&b);
    std::vector<char> data(2048);
    TMMWaveHdr hdr{};
    hdr.lpData = data.data();
    hdr.dwBufferLength = 2048;
    const double pull = NanosPerCall(1000000, [&](int) {
        bool more = false;
        c.BufferLoad(&hdr, more);
    });
    std::printf("chain: one buffer pulled through 3 members to the head %.1f ns\n", pull);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    AllocatorCost();
    PullCost();
    TimerSpacing(200);
    return 0;
}
