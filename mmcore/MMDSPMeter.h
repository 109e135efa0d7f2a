#pragma once

// Measures the share of time a device spends in buffer work. Nothing in the
// program installs one; the hooks below do nothing until one is installed.

#include "mmcore/MMTimer.h"

#include <chrono>
#include <mutex>

class TMMDSPMeter {
public:
    TMMDSPMeter() = default;
    ~TMMDSPMeter();  // kills its timer event
    TMMDSPMeter(const TMMDSPMeter&) = delete;
    TMMDSPMeter& operator=(const TMMDSPMeter&) = delete;

    // Only for the installed meter. Nested; the first call starts a 100 ms
    // timer event, the last matching Done kills it.
    void Init();
    void Done();
    // Only while initialised; nested; the outermost pair counts.
    void StartMeasurement();
    void StopMeasurement();

    // The share of the recent 100 ms windows spent in measured work, percent.
    int Load() const;
    float SmoothedLoad() const;

    // Closes one 100 ms window (the timer event calls it).
    void TimeCallBack();

private:
    using Clock = std::chrono::steady_clock;

    mutable std::mutex FLock;
    HMMTIMEREVENT FTimerEvent = nullptr;
    int FInitCount = 0;
    double FBusyTime = 0;  // ms in the current window
    Clock::time_point FStartTime;
    int FMeasureCount = 0;
    float FSmoothedLoad = 0;
    int FLoad = 0;
};

// The installed meter, or nullptr.
extern TMMDSPMeter* GlobalDSPMeter;

// The device's hooks: when it starts and stops, and around each buffer load
// and buffer-ready handling.
void InitDSPMeter();
void DoneDSPMeter();
void StartDSPMeter();
void StopDSPMeter();
