// Stands in for RealtimeKit on a private bus: offers its properties and
// MakeThreadRealtime, checks what the real service checks (priority within
// its maximum, the caller's RLIMIT_RTTIME set and within its maximum), then
// really makes the thread SCHED_FIFO. Every call is appended to a record file:
//   call <pid> <tid> <priority> <rttime soft> <rttime hard>
//
// realtimekit_standin <bus address> <record file> <max priority> <rttime max> [refuse|silent]
// Prints "ready" once it owns its name.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QFile>
#include <QObject>
#include <QTextStream>

#include <sched.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

class StandIn : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
    Q_PROPERTY(int MaxRealtimePriority READ MaxRealtimePriority)
    Q_PROPERTY(int MinNiceLevel READ MinNiceLevel)
    Q_PROPERTY(qlonglong RTTimeUSecMax READ RTTimeUSecMax)

public:
    StandIn(QString record, int maxPriority, qlonglong rttimeMax, QString mode)
        : FRecord(std::move(record)), FMax(maxPriority), FRtTime(rttimeMax), FMode(std::move(mode)) {}
    int MaxRealtimePriority() const { return FMax; }
    int MinNiceLevel() const { return -15; }
    qlonglong RTTimeUSecMax() const { return FRtTime; }

public slots:
    void MakeThreadRealtime(qulonglong thread, uint priority) {
        const uint pid = connection().interface()->servicePid(message().service()).value();
        rlimit rt{};
        prlimit(static_cast<pid_t>(pid), RLIMIT_RTTIME, nullptr, &rt);
        QFile file(FRecord);
        if (file.open(QIODevice::Append | QIODevice::Text)) {
            QTextStream(&file) << "call " << pid << ' ' << thread << ' ' << priority << ' '
                               << (rt.rlim_cur == RLIM_INFINITY ? -1LL : qlonglong(rt.rlim_cur)) << ' '
                               << (rt.rlim_max == RLIM_INFINITY ? -1LL : qlonglong(rt.rlim_max)) << '\n';
        }
        if (FMode == QLatin1String("silent")) {
            setDelayedReply(true);  // and never answer
            return;
        }
        if (FMode == QLatin1String("refuse")) {
            sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                           QStringLiteral("the stand-in refuses"));
            return;
        }
        if (priority < 1 || int(priority) > FMax) {
            sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                           QStringLiteral("priority above the maximum"));
            return;
        }
        if (rt.rlim_max == RLIM_INFINITY || qlonglong(rt.rlim_max) > FRtTime) {
            sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                           QStringLiteral("RLIMIT_RTTIME not set"));
            return;
        }
        sched_param param{};
        param.sched_priority = int(priority);
        if (sched_setscheduler(static_cast<pid_t>(thread), SCHED_FIFO | SCHED_RESET_ON_FORK, &param) != 0)
            sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                           QString::fromLocal8Bit(std::strerror(errno)));
    }

private:
    QString FRecord;
    int FMax;
    qlonglong FRtTime;
    QString FMode;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: %s address record max-priority rttime-max [refuse|silent]\n", argv[0]);
        return 2;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(args[1], QStringLiteral("standin"));
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    StandIn service(args[2], args[3].toInt(), args[4].toLongLong(), args.value(5));
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/RealtimeKit1"), &service,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) ||
        !bus.registerService(QStringLiteral("org.freedesktop.RealtimeKit1"))) {
        std::fprintf(stderr, "cannot register: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "main.moc"
