// From Play on the main thread to the first frame of that sound in the
// capture output, for a bell holding 16-bit PCM and one holding Microsoft
// ADPCM (which goes through the decoder first). Plays alternate between the
// two, so drift of the machine's load touches both alike.
//   bench_player_latency [plays per file]

#include "bench/playback/PlaybackBench.h"
#include "playback/MMWavePlayer.h"

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <cstdlib>
#include <random>
#include <string>

namespace {

bool MakeWithSox(const QString& path, const QStringList& encoding) {
    QProcess p;
    p.start("sox", QStringList{"-n", "-r", "48000", "-c", "1"} + encoding +
                       QStringList{path, "synth", "0.05", "sine", "440", "vol", "0.5"});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

struct Figures {
    double p50, p99, min, max;
};

Figures Of(const std::vector<double>& v) {
    return {Percentile(v, 50), Percentile(v, 99), Percentile(v, 0), Percentile(v, 100)};
}

}  // namespace

int main(int argc, char** argv) {
    const int plays = argc > 1 ? std::atoi(argv[1]) : 300;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString pcm = dir.filePath("pcm16.wav"), adpcm = dir.filePath("msadpcm.wav");
    if (!MakeWithSox(pcm, {"-e", "signed", "-b", "16"}) || !MakeWithSox(adpcm, {"-e", "ms-adpcm"})) {
        std::fprintf(stderr, "sox could not make the files\n");
        return 1;
    }
    const std::string path = dir.filePath("capture.wav").toStdString();
    WaveOutSettings s;
    s.output = "capture:" + path;
    s.periodFrames = 128;
    s.rate = 48000;
    waveOutConfigure(s);
    if (waveOutGetNumDevs() != 1) {
        std::fprintf(stderr, "no output: %s\n", waveOutGetStatus().error.c_str());
        return 1;
    }
    const WaveOutStatus st = waveOutGetStatus();

    TMMWavePlayer players[2];
    int stops = 0;
    for (int k = 0; k < 2; ++k) {
        players[k].SetBufferSize(2048);
        players[k].SetNumBuffers(10);
        players[k].SetDeviceID(0);
        players[k].OnStop = [&](QObject*) { ++stops; };
    }
    players[0].LoadFromFile(pcm);
    players[1].LoadFromFile(adpcm);

    std::mt19937 rng(1);
    std::uniform_int_distribution<int> idleUs(0, 3000);
    std::vector<std::int64_t> asked;  // clock just before each Play, in play order
    std::vector<int> which;
    for (int i = 0; i < 2 * plays; ++i) {
        const int k = i % 2;
        RunMessagesFor(idleUs(rng));
        asked.push_back(waveOutNowNs());
        which.push_back(k);
        players[k].Play();
        if (!RunMessagesUntil([&] { return stops == i + 1; })) {
            std::fprintf(stderr, "play %d never ended\n", i);
            return 1;
        }
    }
    const auto log = waveOutGetStartLog();
    const WaveOutStatus end = waveOutGetStatus();
    waveOutShutdown();
    if (log.size() != asked.size()) {
        std::fprintf(stderr, "%zu plays but %zu starts\n", asked.size(), log.size());
        return 1;
    }

    // Each play starts one voice, so the start log runs in play order.
    std::vector<double> ms[2], inPlay[2];
    for (std::size_t i = 0; i < log.size(); ++i) {
        const double first = static_cast<double>(log[i].firstFrame) * 1000.0 / st.rate;
        ms[which[i]].push_back(first - static_cast<double>(asked[i] - end.originNs) / 1e6);
        inPlay[which[i]].push_back(static_cast<double>(log[i].requestNs - asked[i]) / 1e6);
    }
    const Figures f[2] = {Of(ms[0]), Of(ms[1])};
    const Figures g[2] = {Of(inPlay[0]), Of(inPlay[1])};
    std::printf("Play to first frame, capture output, %u frames/period at %u Hz, %d plays per file\n",
                st.periodFrames, st.rate, plays);
    std::printf("  platform fixed latency      %.3f ms\n", st.latencyFrames * 1000.0 / st.rate);
    std::printf("                              median      p99      min      max\n");
    const char* names[2] = {"16-bit PCM", "MS ADPCM"};
    for (int k = 0; k < 2; ++k) {
        std::printf("  %-12s first frame   %7.3f  %7.3f  %7.3f  %7.3f ms\n", names[k], f[k].p50, f[k].p99,
                    f[k].min, f[k].max);
        std::printf("  %-12s Play to write %7.3f  %7.3f  %7.3f  %7.3f ms\n", names[k], g[k].p50, g[k].p99,
                    g[k].min, g[k].max);
    }
    std::printf("  ADPCM - PCM  first frame   median %+.3f ms, p99 %+.3f ms (goal < 0.3 ms)\n",
                f[1].p50 - f[0].p50, f[1].p99 - f[0].p99);
    std::printf("  ADPCM - PCM  Play to write median %+.3f ms, p99 %+.3f ms\n", g[1].p50 - g[0].p50,
                g[1].p99 - g[0].p99);
    std::printf("  late starts %llu, late blocks %llu\n", static_cast<unsigned long long>(end.lateStarts),
                static_cast<unsigned long long>(end.lateBlocks));
    return 0;
}
