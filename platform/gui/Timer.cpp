#include "platform/gui/Timer.h"

#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"

#include <QThread>
#include <QTimer>
#include <climits>

TTimer::TTimer(QObject* owner) : QObject(owner) {
    UpdateTimer();
}

TTimer::~TTimer() = default;

void TTimer::SetEnabled(bool value) {
    if (value == FEnabled) return;
    FEnabled = value;
    try {
        UpdateTimer();
    } catch (...) {
        FEnabled = !value;
        throw;
    }
}

void TTimer::SetInterval(UINT value) {
    if (value == FInterval) return;
    const UINT previous = FInterval;
    FInterval = value;
    try {
        UpdateTimer();
    } catch (...) {
        FInterval = previous;
        throw;
    }
}

void TTimer::Timer() {
    if (OnTimer) OnTimer(this);
}

void TTimer::UpdateTimer() {
    if (!FEnabled || FInterval == 0) {  // QTimer would fire continuously at 0
        if (FTimer) FTimer->stop();
        return;
    }
    if (!IsMainThread() || thread() != QThread::currentThread())
        throw Exception(QStringLiteral("Not enough timers available"));
    if (!FTimer) {
        FTimer = new QTimer(this);
        FTimer->setTimerType(Qt::PreciseTimer);
        connect(FTimer, &QTimer::timeout, this, [this] {
            try {
                Timer();
            } catch (...) {
                Application.HandleException(std::current_exception());
            }
        });
    }
    FTimer->start(static_cast<int>(FInterval > INT_MAX ? INT_MAX : FInterval));  // restarts a running one
}
