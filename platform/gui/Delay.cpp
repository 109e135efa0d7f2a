#include "platform/gui/Delay.h"

#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"

#include <QCoreApplication>
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
    bool ended = false;
    QTimer deadline;
    deadline.setTimerType(Qt::PreciseTimer);
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&ended] { ended = true; });
    deadline.start(static_cast<int>(std::min<unsigned>(milliseconds, INT_MAX)));
    while (!ended && !Application.Terminated()) {
        // Posted messages first: inside the handler of a posted message, the
        // event dispatcher would hold back the ones posted before this wait.
        QCoreApplication::sendPostedEvents();
        if (ended || Application.Terminated()) break;
        // Sleeps until something arrives; the deadline timer is something.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}
