// Prints how long the main thread's services take under a running message
// loop: a posted message from another thread to its handler, a Synchronize
// round trip, Delay(10) with message handling, and a 10 ms window timer.

#include "platform/gui/Application.h"
#include "platform/gui/Delay.h"
#include "platform/gui/Messages.h"
#include "platform/gui/Synchronize.h"
#include "platform/gui/Timer.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Micro(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void Print(const char* what, std::vector<double> v, const char* unit) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))]; };
    std::printf("%-34s n=%5zu  min %8.1f  median %8.1f  p99 %8.1f  max %8.1f %s\n", what, v.size(), v.front(),
                at(0.5), at(0.99), v.back(), unit);
}

constexpr int Samples = 2000;

void PostLatency() {
    std::vector<double> latency;
    latency.reserve(Samples);
    TMessageWindow window([&](TMessage& m) {
        latency.push_back(Micro(Clock::now().time_since_epoch()) - static_cast<double>(m.LParam));
    });
    std::thread poster([&] {
        for (int i = 0; i < Samples; ++i) {
            window.Post(WM_USER, 0, static_cast<LPARAM>(Micro(Clock::now().time_since_epoch())));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    while (latency.size() < Samples) Delay(5, true);
    poster.join();
    Print("post -> handler on main thread", latency, "us");
}

void SynchronizeRoundTrip() {
    std::vector<double> rounds;
    bool done = false;
    std::thread worker([&] {
        std::vector<double> local;
        for (int i = 0; i < Samples; ++i) {
            const auto start = Clock::now();
            Synchronize([] {});
            local.push_back(Micro(Clock::now() - start));
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        Synchronize([&] {
            rounds = std::move(local);
            done = true;
        });
    });
    while (!done) Delay(5, true);
    worker.join();
    Print("Synchronize round trip", rounds, "us");
}

void DelayAccuracy() {
    std::vector<double> waits;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        Delay(10, true);
        waits.push_back(Micro(Clock::now() - start) / 1000.0);
    }
    Print("Delay(10, true)", waits, "ms");
}

void TimerSpacing() {
    std::vector<double> gaps;
    TTimer timer;
    timer.SetEnabled(false);
    timer.SetInterval(10);
    auto last = Clock::now();
    timer.OnTimer = [&](QObject*) {
        const auto now = Clock::now();
        gaps.push_back(Micro(now - last) / 1000.0);
        last = now;
    };
    last = Clock::now();
    timer.SetEnabled(true);
    while (gaps.size() < 300) Delay(20, true);
    timer.SetEnabled(false);
    Print("TTimer interval 10 ms, spacing", gaps, "ms");
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TGuiApplication app(argc, argv);
    QTimer::singleShot(0, [] {
        PostLatency();
        SynchronizeRoundTrip();
        DelayAccuracy();
        TimerSpacing();
        Application.Terminate();
    });
    return Application.Run();
}
