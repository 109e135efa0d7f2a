#pragma once

#include "platform/base/wintypes.h"

#include <QObject>
#include <cstdint>
#include <functional>

class QTimer;

using TNotifyEvent = std::function<void(QObject* Sender)>;

// The window timer: while Enabled and Interval > 0 it raises OnTimer on the
// main thread every Interval milliseconds. Defaults: Enabled true, Interval
// 1000. Enabling starts a full interval from that moment; a different
// interval restarts a running timer; interval 0 never fires. Where no timer
// can be had (no application object, not the main thread) "Not enough timers
// available" is raised.
//
// Firings are due at whole intervals from the moment the timer started, and
// each knows when it was due (DueNs), so a handler that runs late can still
// act for the moment it was meant for.
class TTimer : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(uint Interval READ Interval WRITE SetInterval)
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)

public:
    explicit TTimer(QObject* owner = nullptr);
    ~TTimer() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    UINT Interval() const { return FInterval; }
    void SetInterval(UINT value);
    int Tag() const { return FTag; }
    void SetTag(int value) { FTag = value; }

    // Enables the timer as if that had happened at OriginNs (CLOCK_MONOTONIC
    // nanoseconds, not in the future): the first firing is due Interval
    // after it, and comes at once when that has passed.
    void StartFrom(std::int64_t OriginNs);
    // Inside OnTimer: when the firing being raised was due (CLOCK_MONOTONIC
    // nanoseconds). Otherwise when the next one is due.
    std::int64_t DueNs() const { return FDueNs; }

    TNotifyEvent OnTimer;

protected:
    virtual void Timer();  // raises OnTimer

private:
    void UpdateTimer();
    void Arm();
    void Fire();

    bool FEnabled = true;
    UINT FInterval = 1000;
    int FTag = 0;
    std::int64_t FDueNs = 0;
    QTimer* FTimer = nullptr;
};
