// From the start request (waveOutRestart) to the voice's first frame in the
// capture output, over many starts at 128-frame periods, 48 kHz. A click
// at another rate than the output's goes through the resampler first.
//   bench_start_latency [starts] [periodFrames] [click rate]

#include "bench/waveout/BenchKit.h"

#include <cstdlib>
#include <random>
#include <string>

int main(int argc, char** argv) {
    const int starts = argc > 1 ? std::atoi(argv[1]) : 2000;
    const unsigned period = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 128;
    const DWORD clickRate = argc > 3 ? static_cast<DWORD>(std::atoi(argv[3])) : 48000;
    const std::string path = "/tmp/quorvel_bench_start_latency.wav";
    WaveOutSettings s;
    s.output = "capture:" + path;
    s.periodFrames = period;
    waveOutConfigure(s);
    if (waveOutGetNumDevs() != 1) {
        std::fprintf(stderr, "no output: %s\n", waveOutGetStatus().error.c_str());
        return 1;
    }
    const WaveOutStatus st = waveOutGetStatus();
    const WAVEFORMATEX f = BenchFormat(1, clickRate);
    std::vector<short> click(64, 10000);
    DoneCounter counter;
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> pauseUs(0, 3000);
    std::vector<std::int64_t> asked;  // the caller's own clock just before each restart
    for (int i = 0; i < starts; ++i) {
        HWAVEOUT h = nullptr;
        if (waveOutOpen(&h, 0, &f, reinterpret_cast<DWORD_PTR>(&DoneCounter::proc),
                        reinterpret_cast<DWORD_PTR>(&counter), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
            return 1;
        WAVEHDR hdr{};
        hdr.lpData = reinterpret_cast<char*>(click.data());
        hdr.dwBufferLength = static_cast<DWORD>(click.size() * 2);
        waveOutPause(h);
        waveOutPrepareHeader(h, &hdr, sizeof hdr);
        waveOutWrite(h, &hdr, sizeof hdr);
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(rng)));
        asked.push_back(waveOutNowNs());
        waveOutRestart(h);
        if (!counter.waitFor(static_cast<unsigned>(i + 1))) {
            std::fprintf(stderr, "start %d never finished\n", i);
            return 1;
        }
        waveOutUnprepareHeader(h, &hdr, sizeof hdr);
        waveOutClose(h);
    }
    const auto log = waveOutGetStartLog();
    const WaveOutStatus end = waveOutGetStatus();
    waveOutShutdown();

    std::vector<double> ms, fromCaller;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const auto& r = log[i];
        ms.push_back((static_cast<double>(r.firstFrame) - r.requestFrame) * 1000.0 / st.rate);
        if (i < asked.size())
            fromCaller.push_back(static_cast<double>(r.firstFrame) * 1000.0 / st.rate -
                                 static_cast<double>(asked[i] - end.originNs) / 1e6);
    }
    // Check the capture file: each click is heard exactly at its logged frame
    // (as written, or clearly sounding when resampled).
    FILE* file = std::fopen(path.c_str(), "rb");
    std::vector<short> pcm;
    if (file) {
        std::fseek(file, 44, SEEK_SET);
        short buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 2, 4096, file)) > 0) pcm.insert(pcm.end(), buf, buf + n);
        std::fclose(file);
    }
    int heard = 0;
    for (const auto& r : log) {
        const auto fr = static_cast<std::size_t>(r.firstFrame);
        if (2 * fr + 1 >= pcm.size() || fr == 0 || pcm[2 * (fr - 1)] != 0) continue;
        heard += clickRate == st.rate ? pcm[2 * fr] == 10000 : pcm[2 * fr] > 3000;
    }
    std::remove(path.c_str());
    std::remove((path + ".starts").c_str());
    const double p1 = Percentile(ms, 1), p50 = Percentile(ms, 50), p99 = Percentile(ms, 99);
    std::printf(
        "start latency, capture output, %u frames/period at %u Hz (period %.3f ms), %zu starts of a %u Hz "
        "click\n",
        st.periodFrames, st.rate, st.periodFrames * 1000.0 / st.rate, ms.size(),
        static_cast<unsigned>(clickRate));
    std::printf("  fixed latency set   %.3f ms (%lld frames)\n", st.latencyFrames * 1000.0 / st.rate,
                static_cast<long long>(st.latencyFrames));
    std::printf("  median              %.3f ms\n", p50);
    std::printf("  p1                  %.3f ms\n", p1);
    std::printf("  p99                 %.3f ms\n", p99);
    std::printf("  spread p99-p1       %.3f ms\n", p99 - p1);
    std::printf("  min / max           %.3f / %.3f ms\n", Percentile(ms, 0), Percentile(ms, 100));
    std::printf(
        "  from the caller's clock before waveOutRestart: median %.3f ms, p1 %.3f, p99 %.3f, spread %.3f "
        "ms\n",
        Percentile(fromCaller, 50), Percentile(fromCaller, 1), Percentile(fromCaller, 99),
        Percentile(fromCaller, 99) - Percentile(fromCaller, 1));
    std::printf("  heard at the logged frame in the file: %d of %zu\n", heard, log.size());
    std::printf("  late starts %llu, late blocks %llu\n", static_cast<unsigned long long>(end.lateStarts),
                static_cast<unsigned long long>(end.lateBlocks));
    return 0;
}
