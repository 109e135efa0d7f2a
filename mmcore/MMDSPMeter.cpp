#include "mmcore/MMDSPMeter.h"

TMMDSPMeter* GlobalDSPMeter = nullptr;

TMMDSPMeter::~TMMDSPMeter() {
    HMMTIMEREVENT event;
    {
        std::lock_guard lock(FLock);
        event = FTimerEvent;
        FTimerEvent = nullptr;
        FInitCount = 0;
    }
    MMTimeKillEvent(event);
}

// The timer is registered and killed outside FLock: its callback runs with
// the timer's lock held and then takes FLock.
void TMMDSPMeter::Init() {
    if (GlobalDSPMeter != this) return;
    {
        std::lock_guard lock(FLock);
        if (FInitCount++ > 0) return;
        FBusyTime = 0;
        FMeasureCount = 0;
        FSmoothedLoad = 0;
        FLoad = 0;
    }
    HMMTIMEREVENT event = MMTimeSetEvent(
        100, false, [this](HMMTIMEREVENT, DWORD_PTR) { TimeCallBack(); }, 0);
    std::lock_guard lock(FLock);
    FTimerEvent = event;
}

void TMMDSPMeter::Done() {
    HMMTIMEREVENT event = nullptr;
    {
        std::lock_guard lock(FLock);
        if (FInitCount == 0 || --FInitCount > 0) return;
        event = FTimerEvent;
        FTimerEvent = nullptr;
    }
    MMTimeKillEvent(event);
}

void TMMDSPMeter::StartMeasurement() {
    std::lock_guard lock(FLock);
    if (FInitCount == 0) return;
    if (FMeasureCount++ == 0) FStartTime = Clock::now();
}

void TMMDSPMeter::StopMeasurement() {
    std::lock_guard lock(FLock);
    if (FInitCount == 0 || FMeasureCount == 0) return;
    if (--FMeasureCount == 0)
        FBusyTime += std::chrono::duration<double, std::milli>(Clock::now() - FStartTime).count();
}

void TMMDSPMeter::TimeCallBack() {
    std::lock_guard lock(FLock);
    if (FMeasureCount > 0) {
        const auto now = Clock::now();
        FBusyTime += std::chrono::duration<double, std::milli>(now - FStartTime).count();
        FStartTime = now;
    }
    FSmoothedLoad = static_cast<float>(0.1 * FBusyTime + 0.9 * FSmoothedLoad + 0.05);
    FLoad = static_cast<int>(FSmoothedLoad);
    FBusyTime = 0;
}

int TMMDSPMeter::Load() const {
    std::lock_guard lock(FLock);
    return FLoad;
}

float TMMDSPMeter::SmoothedLoad() const {
    std::lock_guard lock(FLock);
    return FSmoothedLoad;
}

void InitDSPMeter() {
    if (GlobalDSPMeter) GlobalDSPMeter->Init();
}

void DoneDSPMeter() {
    if (GlobalDSPMeter) GlobalDSPMeter->Done();
}

void StartDSPMeter() {
    if (GlobalDSPMeter) GlobalDSPMeter->StartMeasurement();
}

void StopDSPMeter() {
    if (GlobalDSPMeter) GlobalDSPMeter->StopMeasurement();
}
