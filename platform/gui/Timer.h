#pragma once

#include "platform/base/wintypes.h"

#include <QObject>
#include <functional>

class QTimer;

using TNotifyEvent = std::function<void(QObject* Sender)>;

// The window timer: while Enabled and Interval > 0 it raises OnTimer on the
// main thread every Interval milliseconds. Defaults: Enabled true, Interval
// 1000. Enabling starts a full interval from that moment; a different
// interval restarts a running timer; interval 0 never fires. Where no timer
// can be had (no application object, not the main thread) "Not enough timers
// available" is raised.
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

    TNotifyEvent OnTimer;

protected:
    virtual void Timer();  // raises OnTimer

private:
    void UpdateTimer();

    bool FEnabled = true;
    UINT FInterval = 1000;
    int FTag = 0;
    QTimer* FTimer = nullptr;
};
