#pragma once

#include <QObject>
#include <QString>
#include <functional>

struct udev;
struct udev_monitor;
class QSocketNotifier;

// Watches serial devices come and go: a udev monitor on the tty subsystem,
// read on the main thread when its socket has a notice waiting.
class TDeviceMonitor : public QObject {
    Q_OBJECT
public:
    // Handler gets the action ("add" or "remove") and the device node.
    using THandler = std::function<void(const QString& Action, const QString& DeviceNode)>;

    explicit TDeviceMonitor(THandler Handler);
    ~TDeviceMonitor() override;
    TDeviceMonitor(const TDeviceMonitor&) = delete;
    TDeviceMonitor& operator=(const TDeviceMonitor&) = delete;

    // False when no monitor could be set up (no udev, no main thread).
    bool Valid() const { return FNotifier != nullptr; }

private:
    void Receive();

    THandler FHandler;
    udev* FUdev = nullptr;
    udev_monitor* FMonitor = nullptr;
    QSocketNotifier* FNotifier = nullptr;
};
