// What a restrike costs the calling thread: the device's stop, close, open,
// prime and start of a sounding bell (pause, reset, unprepare x10, close,
// open, pause, prepare and write x10, restart).
//   bench_restrike [restrikes]

#include "bench/waveout/BenchKit.h"

#include <cstdlib>

int main(int argc, char** argv) {
    const int restrikes = argc > 1 ? std::atoi(argv[1]) : 2000;
    WaveOutSettings s;
    s.output = "null";
    waveOutConfigure(s);
    if (waveOutGetNumDevs() != 1) return 1;
    const WAVEFORMATEX f = BenchFormat(2, 44100);
    std::vector<std::vector<char>> data(10, std::vector<char>(2048, 1));
    std::vector<WAVEHDR> hdrs(10);
    DoneCounter counter;
    auto cb = reinterpret_cast<DWORD_PTR>(&DoneCounter::proc);
    auto inst = reinterpret_cast<DWORD_PTR>(&counter);
    HWAVEOUT h = nullptr;
    auto startBell = [&] {
        if (waveOutOpen(&h, WAVE_MAPPER, &f, cb, inst, CALLBACK_FUNCTION) != MMSYSERR_NOERROR) std::abort();
        waveOutPause(h);
        for (int i = 0; i < 10; ++i) {
            hdrs[i] = WAVEHDR{};
            hdrs[i].lpData = data[i].data();
            hdrs[i].dwBufferLength = 2048;
            waveOutPrepareHeader(h, &hdrs[i], sizeof(WAVEHDR));
            waveOutWrite(h, &hdrs[i], sizeof(WAVEHDR));
        }
        waveOutRestart(h);
    };
    std::vector<double> all, reset, open;
    startBell();
    for (int i = 0; i < restrikes; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));  // mid-sound, at varying points
        const double t0 = NowUs();
        waveOutPause(h);
        waveOutReset(h);
        const double t1 = NowUs();
        for (auto& hdr : hdrs) waveOutUnprepareHeader(h, &hdr, sizeof(WAVEHDR));
        if (waveOutClose(h) != MMSYSERR_NOERROR) std::abort();
        const double t2 = NowUs();
        startBell();
        const double t3 = NowUs();
        all.push_back(t3 - t0);
        reset.push_back(t1 - t0);
        open.push_back(t3 - t2);
    }
    waveOutPause(h);
    waveOutReset(h);
    waveOutClose(h);
    waveOutShutdown();
    std::printf("restrike on the calling thread (null output), %d restrikes\n", restrikes);
    std::printf("  whole restrike   median %.1f us   p99 %.1f us   max %.1f us\n", Percentile(all, 50),
                Percentile(all, 99), Percentile(all, 100));
    std::printf("  pause+reset      median %.1f us   p99 %.1f us\n", Percentile(reset, 50),
                Percentile(reset, 99));
    std::printf("  open+prime+start median %.1f us   p99 %.1f us\n", Percentile(open, 50),
                Percentile(open, 99));
    return 0;
}
