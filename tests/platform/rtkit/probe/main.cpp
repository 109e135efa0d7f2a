// Starts the sound output (null) and opens a serial port component on a
// pseudo-terminal as the program does (the mixer, the line's service thread
// and the port's event thread), then tells what came of their real-time
// requests:
//   mixer <0|1> <note>
//   fifo <tid> <priority>     for every thread of this process at SCHED_FIFO
//   rttime <soft> <hard>      RLIMIT_RTTIME, -1 for none
//
//   pid <pid>
//
// realtime_probe [--unprivileged] [--rttime <soft>,<hard>]
// --unprivileged first takes away what lets root ask the kernel directly
// (CAP_SYS_NICE, and RLIMIT_RTPRIO 0), as a desktop user is; --rttime starts
// with that RLIMIT_RTTIME.

#include "comport/FComPort.h"
#include "platform/waveout/waveout.h"

#include <QApplication>

#include <linux/capability.h>
#include <pty.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

bool dropNice() {
    rlimit none{0, 0};
    if (setrlimit(RLIMIT_RTPRIO, &none) != 0) return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[0].effective &= ~(1u << CAP_SYS_NICE);
    data[0].permitted &= ~(1u << CAP_SYS_NICE);
    data[0].inheritable &= ~(1u << CAP_SYS_NICE);
    if (syscall(SYS_capset, &header, data) != 0) return false;
    // Proof: the kernel now refuses this process.
    sched_param param{};
    param.sched_priority = 1;
    return sched_setscheduler(0, SCHED_FIFO, &param) != 0 && errno == EPERM;
}

long long limitValue(rlim_t v) {
    return v == RLIM_INFINITY ? -1 : static_cast<long long>(v);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--unprivileged") == 0 && !dropNice()) {
            std::printf("error: still allowed real-time priority\n");
            return 3;
        }
        long long soft = 0, hard = 0;
        if (std::strcmp(argv[i], "--rttime") == 0 && i + 1 < argc &&
            std::sscanf(argv[++i], "%lld,%lld", &soft, &hard) == 2) {
            const rlimit rt{static_cast<rlim_t>(soft), static_cast<rlim_t>(hard)};
            if (setrlimit(RLIMIT_RTTIME, &rt) != 0) {
                std::printf("error: cannot set RLIMIT_RTTIME\n");
                return 3;
            }
        }
    }
    std::printf("pid %d\n", static_cast<int>(getpid()));
    WaveOutSettings settings;
    settings.output = "null";
    waveOutConfigure(settings);
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = 48000;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = 96000;
    HWAVEOUT wave = nullptr;
    if (waveOutOpen(&wave, WAVE_MAPPER, &format, 0, 0, 0) != MMSYSERR_NOERROR) {
        std::printf("error: no sound output\n");
        return 4;
    }
    const WaveOutStatus status = waveOutGetStatus();
    std::printf("mixer %d %s\n", status.realtime ? 1 : 0, status.realtimeNote.c_str());

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int master = -1, slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::printf("error: no pseudo-terminal\n");
        return 5;
    }
    TFComPort port;
    port.SetDeviceName(QString::fromLocal8Bit(name));
    port.OnRxChar = [](QObject*) {};  // as the program listens: with an event thread
    try {
        port.Open();
    } catch (const std::exception& e) {
        std::printf("error: cannot open %s: %s\n", name, e.what());
        return 6;
    }

    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
        sched_param param{};
        const int policy = sched_getscheduler(tid);
        if (policy >= 0 && (policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO && sched_getparam(tid, &param) == 0)
            std::printf("fifo %d %d\n", tid, param.sched_priority);
    }
    rlimit rt{};
    getrlimit(RLIMIT_RTTIME, &rt);
    std::printf("rttime %lld %lld\n", limitValue(rt.rlim_cur), limitValue(rt.rlim_max));
    std::fflush(stdout);

    port.Close();
    close(slave);
    close(master);
    waveOutClose(wave);
    return 0;
}
