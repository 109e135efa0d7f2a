// Sixteen bells restruck every 250 ms: process CPU, xruns and resident memory.
//   bench_soak [seconds] [output]   (output as in the settings file; default null)

#include "bench/waveout/BenchKit.h"

#include <sys/resource.h>
#include <unistd.h>
#include <cstdlib>
#include <string>

namespace {

long residentKb() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE) / 1024;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

struct Bell {
    HWAVEOUT h = nullptr;
    std::vector<WAVEHDR> hdrs;
    DoneCounter counter;
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    WaveOutSettings s;
    s.output = argc > 2 ? argv[2] : "null";
    waveOutConfigure(s);
    if (waveOutGetNumDevs() != 1) {
        std::fprintf(stderr, "no output: %s\n", waveOutGetStatus().error.c_str());
        return 1;
    }
    // A 1.5 s decaying bell at 44.1 kHz stereo (resampled to the output rate).
    const WAVEFORMATEX f = BenchFormat(2, 44100);
    std::vector<short> sound(44100 * 3 / 2 * 2);
    for (std::size_t i = 0; i < sound.size() / 2; ++i) {
        const double t = i / 44100.0;
        const double v = 3000 * std::exp(-3 * t) * std::sin(2 * M_PI * 523 * t);
        sound[2 * i] = sound[2 * i + 1] = static_cast<short>(v);
    }
    const std::size_t chunk = 2048;
    const std::size_t nhdr = (sound.size() * 2 + chunk - 1) / chunk;
    std::vector<Bell> bells(16);
    auto strike = [&](Bell& b) {
        if (b.h) {
            waveOutPause(b.h);
            waveOutReset(b.h);
            for (auto& hdr : b.hdrs) waveOutUnprepareHeader(b.h, &hdr, sizeof(WAVEHDR));
            waveOutClose(b.h);
        }
        waveOutOpen(&b.h, 0, &f, reinterpret_cast<DWORD_PTR>(&DoneCounter::proc),
                    reinterpret_cast<DWORD_PTR>(&b.counter), CALLBACK_FUNCTION);
        waveOutPause(b.h);
        b.hdrs.assign(nhdr, WAVEHDR{});
        for (std::size_t k = 0; k < nhdr; ++k) {
            b.hdrs[k].lpData = reinterpret_cast<char*>(sound.data()) + k * chunk;
            b.hdrs[k].dwBufferLength = static_cast<DWORD>(std::min(chunk, sound.size() * 2 - k * chunk));
            waveOutPrepareHeader(b.h, &b.hdrs[k], sizeof(WAVEHDR));
            waveOutWrite(b.h, &b.hdrs[k], sizeof(WAVEHDR));
        }
        waveOutRestart(b.h);
    };
    for (auto& b : bells) strike(b);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long rssStart = residentKb();
    const double cpuStart = cpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    const WaveOutStatus before = waveOutGetStatus();
    auto next = wallStart;
    int rounds = 0;
    while (std::chrono::steady_clock::now() - wallStart < std::chrono::seconds(seconds)) {
        next += std::chrono::milliseconds(250);
        std::this_thread::sleep_until(next);
        for (auto& b : bells) strike(b);
        ++rounds;
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = cpuSeconds() - cpuStart;
    const WaveOutStatus after = waveOutGetStatus();
    const long rssEnd = residentKb();
    for (auto& b : bells) {
        waveOutReset(b.h);
        waveOutClose(b.h);
    }
    waveOutShutdown();
    std::printf(
        "soak: 16 voices (44.1 kHz stereo, resampled) restruck every 250 ms, %d rounds in %.1f s, output "
        "%s\n",
        rounds, wall, s.output.c_str());
    std::printf("  process CPU      %.2f s = %.1f %% of one core\n", cpu, 100 * cpu / wall);
    std::printf("  xruns            %llu\n", static_cast<unsigned long long>(after.xruns - before.xruns));
    std::printf("  late blocks      %llu\n",
                static_cast<unsigned long long>(after.lateBlocks - before.lateBlocks));
    std::printf("  resident memory  %ld kB at start, %ld kB at end\n", rssStart, rssEnd);
    return 0;
}
