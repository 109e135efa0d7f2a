// The program's start-up as a ringer waits for it: from the fork of
// quorvel16 to its main window mapped on the screen (every bell's file is
// loaded before the window shows), and to the window drawn; then its memory
// shortly after; then bell 1 is clicked, and once it has ended, the close of
// the silent window: from the close button to the window gone and to the
// process ended. Sixteen 3-second bells, the
// null sound output, an Xvfb of its own, a fresh settings folder per run.
//
//   bench_startup [RUNS]     (default 20, after one run not counted)

#include "bench/BenchStats.h"
#include "tests/support/XDesktop.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef QUORVEL16
#error "QUORVEL16 must name the program measured"
#endif

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A struck bell: a few partials dying away, 44.1 kHz 16-bit mono.
bool WriteBell(const std::string& Path, int Bell, double Seconds) {
    constexpr unsigned rate = 44100;
    const auto frames = static_cast<std::uint32_t>(rate * Seconds);
    std::vector<std::int16_t> samples(frames);
    const double f = 1200.0 * std::pow(2.0, -Bell / 12.0);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const double v =
            std::exp(-1.5 * t) * (0.5 * std::sin(2 * M_PI * f * t) + 0.25 * std::sin(2 * M_PI * 2.0 * f * t) +
                                  0.15 * std::sin(2 * M_PI * 2.4 * f * t));
        samples[i] = static_cast<std::int16_t>(std::lround(v * 30000));
    }
    std::ofstream out(Path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + frames * 2);
    out.write("WAVEfmt ", 8);
    u32(16), u16(1), u16(1), u32(rate), u32(rate * 2), u16(2), u16(16);
    out.write("data", 4);
    u32(frames * 2);
    out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(frames * 2));
    return static_cast<bool>(out);
}

// kB values of /proc/<pid>/status.
long StatusKb(pid_t Pid, const std::string& Key) {
    std::ifstream in("/proc/" + std::to_string(Pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(Key + ":", 0) == 0) return std::atol(line.c_str() + Key.size() + 1);
    return -1;
}

struct Run {
    double MappedMs = 0, DrawnMs = 0, RssMb = 0, HwmMb = 0, GoneMs = 0, EndedMs = 0;
    std::string Box;  // the title of a box shown before the window
};

void Print(const char* What, const std::vector<double>& v, const char* Unit, double Target) {
    std::printf("%-34s median %7.1f  p90 %7.1f  max %7.1f %s   (target %.0f %s: %s)\n", What,
                Percentile(v, 50), Percentile(v, 90), *std::max_element(v.begin(), v.end()), Unit, Target,
                Unit, *std::max_element(v.begin(), v.end()) <= Target ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    char tmpl[] = "/tmp/quorvel-startup-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string root = tmpl;
    for (const char* d : {"/config", "/config/QUORVEL", "/home", "/cache", "/runtime", "/bells"})
        ::mkdir((root + d).c_str(), 0700);

    std::string soundFiles;
    for (int n = 1; n <= 16; ++n) {
        const std::string file = root + "/bells/bell" + std::to_string(n) + ".wav";
        if (!WriteBell(file, n, 3.0)) {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            return 1;
        }
        soundFiles += "BELL" + std::to_string(n) + "=" + file + "\n";
    }
    const std::string settings = "[AUDIO]\nOutput=null\n[SOUNDFILES]\n" + soundFiles;

    VirtualDisplay display;
    XClient x;
    if (!display.Start(root + "/xvfb.log") || !x.Connect(display.Name())) {
        std::fprintf(stderr, "cannot start Xvfb\n");
        return 1;
    }
    x.WatchMaps();
    const std::vector<std::string> env = EnvironmentWith({{"DISPLAY", display.Name()},
                                                          {"QT_QPA_PLATFORM", "xcb"},
                                                          {"XDG_CONFIG_HOME", root + "/config"},
                                                          {"HOME", root + "/home"},
                                                          {"XDG_CACHE_HOME", root + "/cache"},
                                                          {"XDG_RUNTIME_DIR", root + "/runtime"},
                                                          {"XAUTHORITY", ""},
                                                          {"WAYLAND_DISPLAY", ""},
                                                          {"DBUS_SESSION_BUS_ADDRESS", ""}});

    std::printf(
        "quorvel16 start-up: %d runs after one not counted; 16 bells of 3 s, 44.1 kHz 16-bit mono; "
        "null output; Xvfb %s\n",
        runs, display.Name().c_str());
    std::vector<Run> results;
    for (int i = 0; i <= runs; ++i) {
        {
            std::ofstream f(root + "/config/QUORVEL/settings.ini", std::ios::trunc);
            f << settings;
        }
        Run run;
        ChildProcess app;
        const Clock::time_point start = Clock::now();
        if (!app.Start({QUORVEL16}, env, root + "/quorvel16.log")) return 1;
        // A box before the window waits for the ringer (no serial port on
        // the machine, or a bell file that failed): answer it at once and
        // say so, since the figure then includes it.
        const auto mapped = x.WaitForMap("Quorvel 16", std::chrono::seconds(60),
                                         [&](xcb_window_t w, const std::string& title) {
                                             run.Box = title;
                                             x.AskToClose(w);
                                         });
        if (!mapped) {
            std::fprintf(stderr, "run %d: the window never showed\n", i);
            return 1;
        }
        run.MappedMs = Ms(mapped->second - start);
        // Drawn: bell 1's LED shows its grey.
        XClient::Await([&] { return x.Pixel(mapped->first, 155, 11) == Rgb(128, 128, 128); },
                       std::chrono::seconds(60), std::chrono::microseconds(200));
        run.DrawnMs = Ms(Clock::now() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        run.RssMb = StatusKb(app.Pid(), "VmRSS") / 1024.0;
        run.HwmMb = StatusKb(app.Pid(), "VmHWM") / 1024.0;
        RunTool({"xdotool", "mousemove", "--window", std::to_string(mapped->first), "160", "20", "click", "1"},
                env, root + "/tool.out");
        if (!XClient::Await([&] { return x.Pixel(mapped->first, 155, 11) == Rgb(0, 255, 0); },
                            std::chrono::seconds(10), std::chrono::microseconds(200)) ||
            !XClient::Await([&] { return x.Pixel(mapped->first, 155, 11) == Rgb(128, 128, 128); },
                            std::chrono::seconds(20), std::chrono::microseconds(200)))
            std::fprintf(stderr, "run %d: bell 1 did not sound and end\n", i);
        const Clock::time_point closing = Clock::now();
        x.AskToClose(mapped->first);
        XClient::Await([&] { return !x.Viewable(mapped->first); }, std::chrono::seconds(20),
                       std::chrono::microseconds(200));
        run.GoneMs = Ms(Clock::now() - closing);
        if (!app.WaitExit(std::chrono::seconds(20)))
            std::fprintf(stderr, "run %d: the window did not close\n", i);
        run.EndedMs = Ms(Clock::now() - closing);
        app.Kill();
        std::printf(
            "  run %2d%s: mapped %6.1f ms, drawn %6.1f ms, VmRSS %5.1f MiB, VmHWM %5.1f MiB; close to gone "
            "%6.1f ms, to ended %6.1f ms%s\n",
            i, i == 0 ? " (not counted)" : "", run.MappedMs, run.DrawnMs, run.RssMb, run.HwmMb, run.GoneMs,
            run.EndedMs, run.Box.empty() ? "" : (" (box \"" + run.Box + "\" answered)").c_str());
        if (i > 0) results.push_back(run);
    }

    std::vector<double> mappedMs, drawnMs, rss, hwm, goneMs, endedMs;
    for (const Run& r : results) {
        goneMs.push_back(r.GoneMs);
        endedMs.push_back(r.EndedMs);
        mappedMs.push_back(r.MappedMs);
        drawnMs.push_back(r.DrawnMs);
        rss.push_back(r.RssMb);
        hwm.push_back(r.HwmMb);
    }
    Print("start to window mapped", mappedMs, "ms", 300);
    Print("start to window drawn", drawnMs, "ms", 300);
    Print("VmRSS 0.5 s after the window", rss, "MiB", 80);
    Print("VmHWM 0.5 s after the window", hwm, "MiB", 80);
    Print("close button to window gone", goneMs, "ms", 300);
    Print("close button to process ended", endedMs, "ms", 300);

    display.Stop();
    std::filesystem::remove_all(root);
    return 0;
}
