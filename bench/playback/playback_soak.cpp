// Sixteen bells restarted continuously, each every 250 ms, with the refills
// on the main thread: the process's CPU, the mixer's underruns and the
// resident memory over the run.
//   bench_playback_soak [seconds] [output] [rate]   (output: null by default, or an ALSA name;
//   rate of the bells' sound, 44100 by default)

#include "bench/playback/PlaybackBench.h"

#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double ResidentMb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    WaveOutSettings s;
    s.output = argc > 2 ? argv[2] : "null";
    waveOutConfigure(s);
    if (waveOutGetNumDevs() != 1) {
        std::fprintf(stderr, "no output: %s\n", waveOutGetStatus().error.c_str());
        return 1;
    }
    const DWORD rate = argc > 3 ? static_cast<DWORD>(std::atoi(argv[3])) : 44100;
    std::vector<std::unique_ptr<TMemorySource>> sources;
    std::vector<std::unique_ptr<TMMWaveOut>> bells;
    for (int i = 0; i < 16; ++i) {
        sources.push_back(
            std::make_unique<TMemorySource>(BenchFormat(2, rate), Tone(2 * 2 * rate, char(i + 1))));
        bells.push_back(std::make_unique<TMMWaveOut>());
        bells.back()->SetInput(sources.back().get());
    }
    const double t0 = NowUs();
    const double cpu0 = CpuSeconds();
    const double rss0 = ResidentMb();
    double rssAt10 = 0, rssMax = rss0;
    std::vector<double> rssEach30s;  // to tell growth from warm-up
    long restrikes = 0;
    // The message loop drives everything, as in the program: one timer per
    // bell, staggered, plus a memory sample each second.
    std::vector<std::unique_ptr<QTimer>> timers;
    for (int i = 0; i < 16; ++i) {
        auto timer = std::make_unique<QTimer>();
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(250);
        QObject::connect(timer.get(), &QTimer::timeout, [&, i] {
            bells[i]->Stop();
            bells[i]->Close();
            bells[i]->Start();
            ++restrikes;
        });
        QTimer::singleShot(i * 250 / 16, timer.get(), [t = timer.get()] { t->start(); });
        timers.push_back(std::move(timer));
    }
    QTimer memory;
    QObject::connect(&memory, &QTimer::timeout, [&] {
        const double rss = ResidentMb();
        rssMax = std::max(rssMax, rss);
        const double elapsed = NowUs() - t0;
        if (rssAt10 == 0 && elapsed > 10e6) rssAt10 = rss;
        if (elapsed > 30e6 * static_cast<double>(rssEach30s.size() + 1)) rssEach30s.push_back(rss);
    });
    memory.start(1000);
    QTimer::singleShot(static_cast<int>(seconds * 1000), &app, &QCoreApplication::quit);
    app.exec();
    timers.clear();
    const double wall = (NowUs() - t0) / 1e6;
    const double cpu = CpuSeconds() - cpu0;
    const double rssEnd = ResidentMb();
    const WaveOutStatus st = waveOutGetStatus();
    for (auto& b : bells) b->Close();
    waveOutShutdown();
    std::printf(
        "sixteen bells (16-bit stereo, %u Hz), each restarted every 250 ms, %.0f s on output \"%s\", %ld "
        "restrikes\n",
        rate, wall, s.output.c_str(), restrikes);
    std::printf("  CPU of the process     %.2f %% of one core\n", 100.0 * cpu / wall);
    std::printf("  mixer xruns            %llu (late blocks %llu, late starts %llu)\n",
                static_cast<unsigned long long>(st.xruns), static_cast<unsigned long long>(st.lateBlocks),
                static_cast<unsigned long long>(st.lateStarts));
    std::printf("  resident memory        start %.1f MB, at 10 s %.1f MB, end %.1f MB, max %.1f MB\n", rss0,
                rssAt10, rssEnd, rssMax);
    if (!rssEach30s.empty()) {
        std::printf("  resident every 30 s   ");
        for (double mb : rssEach30s) std::printf(" %.2f", mb);
        std::printf(" MB\n");
    }
    return 0;
}
