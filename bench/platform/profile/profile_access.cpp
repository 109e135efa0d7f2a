// Prints what reading and writing one key of a full settings file costs.
// Every write replaces the file atomically and waits for the disk, so the
// figures depend on the folder's file system: pass a folder to measure there.

#include "platform/profile/profile.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void Print(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("%-28s n=%4zu  min %8.1f  median %8.1f  max %8.1f us\n", what, v.size(), v.front(),
                v[v.size() / 2], v.back());
}

template <class F>
std::vector<double> Time(int n, F f) {
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        const auto start = Clock::now();
        f(i);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir temp(argc > 1
                           ? QDir(QString::fromLocal8Bit(argv[1])).filePath(QStringLiteral("bench-XXXXXX"))
                           : QDir::tempPath() + QStringLiteral("/bench-XXXXXX"));
    if (!temp.isValid()) {
        std::fprintf(stderr, "cannot create a folder to measure in\n");
        return 1;
    }
    const QString ini = temp.filePath(QStringLiteral("settings.ini"));
    // A file as the program keeps it: port, delays, sound files, position.
    for (int bell = 1; bell <= 16; ++bell) {
        WritePrivateProfileString(QStringLiteral("DELAY"), QStringLiteral("BELL%1").arg(bell),
                                  QStringLiteral("300"), ini);
        WritePrivateProfileString(QStringLiteral("SOUNDFILES"), QStringLiteral("BELL%1").arg(bell),
                                  QStringLiteral("/home/ringer/bells/bell%1.wav").arg(bell), ini);
    }
    std::printf("settings file in %s\n", qPrintable(temp.path()));
    Print("read one key", Time(500, [&](int i) {
              GetPrivateProfileInt(QStringLiteral("DELAY"), QStringLiteral("BELL%1").arg(i % 16 + 1), 300,
                                   ini);
          }));
    Print("write one key (durable)", Time(200, [&](int i) {
              WritePrivateProfileString(QStringLiteral("DELAY"), QStringLiteral("BELL%1").arg(i % 16 + 1),
                                        QString::number(i), ini);
          }));
    return 0;
}
