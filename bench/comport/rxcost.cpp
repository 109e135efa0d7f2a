// What one received byte costs the threads of an open port: bytes are sent
// one at a time on the receiver's side of a pseudo-terminal, each after the
// previous one was read (a stroke at a time, as a tower sends them), and the
// CPU time each thread of the process used is divided by the bytes.

#include "comport/FComPort.h"
#include "platform/gui/Application.h"

#include <dirent.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

namespace {

// Each thread's run time so far (ns), by its kernel id.
std::map<int, long long> ThreadTimes() {
    std::map<int, long long> times;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) return times;
    while (dirent* e = ::readdir(dir)) {
        const int tid = std::atoi(e->d_name);
        if (tid <= 0) continue;
        std::ifstream stat(std::string("/proc/self/task/") + e->d_name + "/schedstat");
        long long ns = 0;
        if (stat >> ns) times[tid] = ns;
    }
    ::closedir(dir);
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TGuiApplication app(argc, argv);
    const int bytes = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;

    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);

    const auto before = ThreadTimes();
    std::atomic<int> read{0};
    TFComPort port;
    port.SetDeviceName(QString::fromLocal8Bit(name));
    port.OnRxChar = [&](QObject*) {
        port.ReadByte();
        read.fetch_add(1, std::memory_order_release);
    };
    port.Open();
    auto opened = ThreadTimes();
    std::thread receiver([&] {
        for (int i = 0; i < bytes; ++i) {
            const char stroke = "1234567890ETABCD"[i % 16];
            if (::write(master, &stroke, 1) != 1) break;
            while (read.load(std::memory_order_acquire) <= i) std::this_thread::yield();
        }
    });
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (read.load() >= bytes) loop.quit();
    });
    check.start(20);
    loop.exec();
    receiver.join();
    const auto after = ThreadTimes();
    port.Close();

    std::printf("CPU time per received byte, %d bytes sent one at a time\n", bytes);
    const int self = static_cast<int>(::getpid());
    int started = 0;
    for (const auto& [tid, ns] : after) {
        const auto was = opened.find(tid);
        if (was == opened.end()) continue;  // the receiver's own thread
        const bool isNew = before.find(tid) == before.end();
        const char* role = tid == self      ? "main thread"
                           : !isNew         ? "other thread"
                           : started++ == 0 ? "service thread"
                                            : "event thread";
        if (!isNew && tid != self) continue;
        std::printf("%-16s %8.0f ns/byte\n", role, double(ns - was->second) / bytes);
    }
    ::close(master);
    ::close(slave);
    return 0;
}
