#include "platform/gui/Delay.h"

#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

void Delay(unsigned milliseconds, bool processMessages) {
    if (milliseconds == 0) return;
    if (!processMessages || !IsMainThread()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    if (Application.Terminated()) return;
    // A nested loop handles every message as it arrives and ends at the
    // deadline, or at once when the application quits (exit ends every loop).
    QEventLoop loop;
    QTimer deadline;
    deadline.setTimerType(Qt::PreciseTimer);
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(static_cast<int>(std::min<unsigned>(milliseconds, INT_MAX)));
    loop.exec();
}
