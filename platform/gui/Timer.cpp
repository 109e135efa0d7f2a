#include "platform/gui/Timer.h"

#include "platform/base/Clock.h"
#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>

TTimer::TTimer(QObject* owner) : QObject(owner) {
    UpdateTimer();
}

TTimer::~TTimer() = default;

namespace {

std::int64_t NowNs() {
    return MonotonicNs();
}

}  // namespace

void TTimer::SetEnabled(bool value) {
    if (value == FEnabled) return;
    FEnabled = value;
    FDueNs = NowNs() + std::int64_t(FInterval) * 1000000;
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
    FDueNs = NowNs() + std::int64_t(FInterval) * 1000000;
    try {
        UpdateTimer();
    } catch (...) {
        FInterval = previous;
        throw;
    }
}

void TTimer::StartFrom(std::int64_t OriginNs) {
    const bool was = FEnabled;
    FEnabled = true;
    FDueNs = std::min(OriginNs, NowNs()) + std::int64_t(FInterval) * 1000000;
    try {
        UpdateTimer();
    } catch (...) {
        FEnabled = was;
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
        FTimer->setSingleShot(true);  // each firing arms the next from its due time, so none drifts
        connect(FTimer, &QTimer::timeout, this, [this] { Fire(); });
    }
    Arm();
}

// Starts (or restarts) the Qt timer for the next due time, rounded up to
// its millisecond so that it never fires before it.
void TTimer::Arm() {
    const std::int64_t left = std::max<std::int64_t>(0, FDueNs - NowNs());
    const std::int64_t ms = std::min<std::int64_t>((left + 999999) / 1000000, INT_MAX);
    FTimer->start(static_cast<int>(ms));
}

void TTimer::Fire() {
    const std::int64_t due = FDueNs;
    FDueNs += std::int64_t(FInterval) * 1000000;
    if (FEnabled && FInterval > 0) Arm();
    // While OnTimer runs, DueNs is this firing's; a handler that restarts
    // the timer sets the next one itself.
    const std::int64_t next = FDueNs;
    FDueNs = due;
    try {
        Timer();
    } catch (...) {
        Application.HandleException(std::current_exception());
    }
    if (FDueNs == due) FDueNs = next;
}
