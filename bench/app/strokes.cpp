// The headline: how late and how steadily a stroke sounds. The real main
// window (offscreen) listens to a pseudo-terminal that a thread writes as a
// 2400-baud receiver would; sixteen bells of short distinct tones play to
// the capture output. Every stroke is timed from the write of its byte to
// its bell's first frame found in the captured sound (never from the
// program's own records), in rounds and changes at peal speed, in bursts
// and at random, with "Delays Active" off and on, with the main thread idle,
// busy, and stalled (blocked 50 ms every second and 500 ms once a minute,
// as a dialog opening or a slow disk does).
//
//   bench_strokes [--periods 64,128,256] [--runs idle,busy,stall] [--patterns peal,burst,random]
//                 [--strokes N] [--seed S] [--keep DIR] [--verbose] [--stroke-latency MS]
//   bench_strokes --soak MINUTES [--periods P] [--runs idle|busy|stall] [--soak-delays on|off]
//                 [--report MINUTES]
//
// Defaults: 128-frame periods, idle, busy and stall, every pattern, 96
// strokes per pattern and delay setting (576 strokes a run).

#include "app/MainForm.h"
#include "bench/BenchStats.h"
#include "bench/MachineStalls.h"
#include "comport/FComPort.h"
#include "platform/gui/Application.h"
#include "platform/waveout/waveout.h"
#include "tests/support/CaptureStream.h"
#include "tests/support/ConsoleSandbox.h"
#include "tests/support/PacedLine.h"
#include "tests/support/PseudoTerminal.h"
#include "tests/support/ToneDecoder.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kRate = 48000;
constexpr int kSoundFrames = kRate * 30 / 1000;
constexpr std::int64_t kSoundNs = 30'000'000;
constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kPealGapNs = 170 * kMs;
// Quiet after a run's last due stroke before its sound is judged.
constexpr std::int64_t kTailNs = 300 * kMs;
// An onset later than this after its stroke's due time belongs to no stroke.
constexpr std::int64_t kMaxLateNs = 500 * kMs;
// Room left after a bell's sound before it is struck again (its sound must
// be whole even when the main thread is late).
constexpr std::int64_t kRestNs = 150 * kMs;
const char kStrokeChar[] = "1234567890ETABCD";

// ---- the bells -----------------------------------------------------------------------

// First samples 1024 + 4 x the marks of a Golomb ruler: all distinct, every
// pair sums differently, and no sum of two equals a single one; sixteen at
// their peaks together stay far below full scale (21576).
constexpr int kRuler[16] = {0, 1, 4, 11, 26, 32, 56, 68, 76, 115, 117, 134, 150, 163, 168, 177};

int Amplitude(int Bell) {
    return 1024 + 4 * kRuler[Bell - 1];
}
double Frequency(int Bell) {
    return 650.0 + 150.0 * (Bell - 1);
}
// 30 ms of a cosine from its peak: the first frame is a sharp step.
std::vector<std::int16_t> Tone(int Bell) {
    std::vector<std::int16_t> s(kSoundFrames);
    for (int k = 0; k < kSoundFrames; ++k)
        s[k] = static_cast<std::int16_t>(
            std::lround(Amplitude(Bell) * std::cos(2 * M_PI * Frequency(Bell) * k / kRate)));
    return s;
}
// 0 to 800 ms, spread over the bells out of their order.
int DelayMs(int Bell) {
    return static_cast<int>(std::lround((Bell * 7 % 16) * 800.0 / 15.0));
}
constexpr int kMaxDelayMs = 800;

// ---- patterns -------------------------------------------------------------------------

struct Planned {
    std::int64_t AtNs;  // from the start of the run
    int Bell;
};

// Rounds, then plain hunt, a stroke every 170 ms; Row carries on between calls.
struct PealState {
    std::vector<int> Row = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    int Rows = 0;
};
std::vector<Planned> Peal(int Strokes, PealState& State) {
    std::vector<Planned> plan;
    std::int64_t at = 0;
    for (;;) {
        for (int bell : State.Row) {
            if (static_cast<int>(plan.size()) == Strokes) return plan;
            plan.push_back({at, bell});
            at += kPealGapNs;
        }
        // Two rows of rounds, then the changes: swap pairs from the front
        // and from second place by turns.
        if (++State.Rows >= 2)
            for (std::size_t i = State.Rows % 2 ? 0 : 1; i + 1 < State.Row.size(); i += 2)
                std::swap(State.Row[i], State.Row[i + 1]);
    }
}

// Sixteen bells one byte time apart (the line allows no closer), in an
// order that changes from burst to burst; the next burst after every
// bell has sounded whole.
std::vector<Planned> Bursts(int Strokes, bool Delays, std::int64_t ByteNs, std::mt19937& Random) {
    std::vector<Planned> plan;
    std::vector<int> order = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::int64_t gap = 16 * ByteNs + (Delays ? kMaxDelayMs * kMs : 0) + kSoundNs + kRestNs + 100 * kMs;
    for (int burst = 0; static_cast<int>(plan.size()) < Strokes; ++burst) {
        if (burst == 1) std::reverse(order.begin(), order.end());
        if (burst > 1) std::shuffle(order.begin(), order.end(), Random);
        for (int i = 0; i < 16 && static_cast<int>(plan.size()) < Strokes; ++i)
            plan.push_back({burst * gap + i * ByteNs, order[static_cast<std::size_t>(i)]});
    }
    return plan;
}

// Random bells at random gaps of one byte time to 40 ms; a bell is not
// struck again until its sound (after its delay) has ended.
std::vector<Planned> RandomStrokes(int Strokes, bool Delays, std::int64_t ByteNs, std::mt19937& Random) {
    std::vector<Planned> plan;
    std::vector<std::int64_t> freeAt(17, 0);
    std::uniform_int_distribution<std::int64_t> gap(ByteNs, 40 * kMs);
    std::int64_t at = 0;
    while (static_cast<int>(plan.size()) < Strokes) {
        std::vector<int> free;
        for (int b = 1; b <= 16; ++b)
            if (freeAt[b] <= at) free.push_back(b);
        if (free.empty()) {
            at = *std::min_element(freeAt.begin() + 1, freeAt.end());
            continue;
        }
        const int bell = free[std::uniform_int_distribution<std::size_t>(0, free.size() - 1)(Random)];
        plan.push_back({at, bell});
        freeAt[bell] = at + (Delays ? DelayMs(bell) * kMs : 0) + kSoundNs + kRestNs;
        at += gap(Random);
    }
    return plan;
}

// ---- judging what was heard -----------------------------------------------------------

struct Stroke {
    int Bell;
    std::int64_t WrittenNs;
    std::int64_t DueNs;   // written + the bell's delay when delays are active
    std::int64_t LineNs;  // the line's own delay at its write, watched beside it
};

struct Heard {
    int Bell;
    std::int64_t AtNs;
};

// One heard stroke, kept so the worst can be taken apart afterwards.
struct Blow {
    int Bell;
    std::int64_t WrittenNs, DueNs, HeardNs, LineNs;
};

struct Verdict {
    int Strokes = 0;
    std::vector<double> LatencyMs;     // onset - written - delay
    std::vector<Blow> Blows;           // beside LatencyMs, one each
    std::vector<double> BeyondLineMs;  // onset - written - delay - the line's own delay
    int Lost = 0, Doubled = 0, Wrong = 0, OutOfOrder = 0;
    double ClosestInversionMs = 1e9;  // smallest due gap of two bells heard the wrong way round
    std::vector<std::string> Notes;

    void Add(const Verdict& v) {
        Strokes += v.Strokes;
        LatencyMs.insert(LatencyMs.end(), v.LatencyMs.begin(), v.LatencyMs.end());
        Blows.insert(Blows.end(), v.Blows.begin(), v.Blows.end());
        BeyondLineMs.insert(BeyondLineMs.end(), v.BeyondLineMs.begin(), v.BeyondLineMs.end());
        Lost += v.Lost, Doubled += v.Doubled, Wrong += v.Wrong, OutOfOrder += v.OutOfOrder;
        ClosestInversionMs = std::min(ClosestInversionMs, v.ClosestInversionMs);
        for (const auto& n : v.Notes)
            if (Notes.size() < 20) Notes.push_back(n);
    }
};

// Each onset belongs to the latest stroke of its bell due at or before it
// (and not long before); each stroke must own exactly one.
Verdict Judge(const std::vector<Stroke>& Strokes, const std::vector<Heard>& Onsets) {
    Verdict v;
    v.Strokes = static_cast<int>(Strokes.size());
    std::map<int, std::vector<std::size_t>> byBell;
    for (std::size_t i = 0; i < Strokes.size(); ++i) byBell[Strokes[i].Bell].push_back(i);
    for (auto& [bell, list] : byBell)
        std::sort(list.begin(), list.end(),
                  [&](auto a, auto b) { return Strokes[a].DueNs < Strokes[b].DueNs; });
    std::vector<std::vector<std::int64_t>> owned(Strokes.size());
    for (const Heard& h : Onsets) {
        const auto& list = byBell[h.Bell];
        auto it = std::upper_bound(list.begin(), list.end(), h.AtNs,
                                   [&](std::int64_t t, std::size_t i) { return t < Strokes[i].DueNs; });
        if (it == list.begin() || h.AtNs - Strokes[*std::prev(it)].DueNs > kMaxLateNs) {
            ++v.Wrong;
            if (v.Notes.size() < 20) v.Notes.push_back("bell " + std::to_string(h.Bell) + " heard unstruck");
            continue;
        }
        owned[*std::prev(it)].push_back(h.AtNs);
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> order;  // heard, due
    for (std::size_t i = 0; i < Strokes.size(); ++i) {
        if (owned[i].empty()) {
            ++v.Lost;
            if (v.Notes.size() < 20)
                v.Notes.push_back("stroke " + std::to_string(i) + " (bell " +
                                  std::to_string(Strokes[i].Bell) + ") not heard");
            continue;
        }
        v.Doubled += static_cast<int>(owned[i].size()) - 1;
        v.LatencyMs.push_back(double(owned[i][0] - Strokes[i].DueNs) / kMs);
        v.Blows.push_back(
            {Strokes[i].Bell, Strokes[i].WrittenNs, Strokes[i].DueNs, owned[i][0], Strokes[i].LineNs});
        v.BeyondLineMs.push_back(double(owned[i][0] - Strokes[i].DueNs - Strokes[i].LineNs) / kMs);
        order.emplace_back(owned[i][0], Strokes[i].DueNs);
    }
    std::sort(order.begin(), order.end());
    for (std::size_t i = 1; i < order.size(); ++i)
        if (order[i].second < order[i - 1].second) {
            ++v.OutOfOrder;
            v.ClosestInversionMs =
                std::min(v.ClosestInversionMs, double(order[i - 1].second - order[i].second) / kMs);
        }
    return v;
}

// ---- the main thread kept busy, or stalled --------------------------------------------

enum class TLoad { Idle, Busy, Stall };
const char* NameOf(TLoad Load) {
    return Load == TLoad::Idle ? "idle" : Load == TLoad::Busy ? "busy" : "stall";
}

// The window resized and repainted without pause, and a 5 ms handler every 20 ms.
class MainThreadLoad {
public:
    explicit MainThreadLoad(QWidget* Window) : FWindow(Window) {
        FRepaint.setTimerType(Qt::PreciseTimer);
        FRepaint.setInterval(3);
        QObject::connect(&FRepaint, &QTimer::timeout, [this] {
            FBig = !FBig;
            FWindow->resize(FBig ? QSize(900, 320) : QSize(737, 233));
            FWindow->repaint();
            ++Repaints;
        });
        FSpin.setTimerType(Qt::PreciseTimer);
        FSpin.setInterval(20);
        QObject::connect(&FSpin, &QTimer::timeout, [this] {
            const std::int64_t until = MonotonicNs() + 5 * kMs;
            while (MonotonicNs() < until) {
            }
            ++Spins;
        });
    }
    void Start() {
        FClock.start();
        FRepaint.start();
        FSpin.start();
    }
    void Stop() {
        FRepaint.stop();
        FSpin.stop();
        FSeconds += FClock.elapsed() / 1000.0;
    }
    double RepaintsPerSecond() const { return FSeconds > 0 ? Repaints / FSeconds : 0; }

    long Repaints = 0, Spins = 0;

private:
    QWidget* FWindow;
    QTimer FRepaint, FSpin;
    QElapsedTimer FClock;
    double FSeconds = 0;
    bool FBig = false;
};

// The main thread blocked outright (no messages handled): 50 ms every
// second, and 500 ms once a minute, the first 10 s in.
class MainThreadStall {
public:
    MainThreadStall() {
        FTick.setTimerType(Qt::PreciseTimer);
        FTick.setInterval(1000);
        QObject::connect(&FTick, &QTimer::timeout, [this] {
            const std::int64_t now = MonotonicNs();
            const bool long_ = now >= FNextLong;
            if (long_) FNextLong = now + 60'000 * kMs;
            const std::int64_t ms = long_ ? 500 : 50;
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            (long_ ? Long : Short) += 1;
        });
    }
    void Start() {
        FNextLong = MonotonicNs() + 10'000 * kMs;
        FTick.start();
    }
    void Stop() { FTick.stop(); }

    long Short = 0, Long = 0;

private:
    QTimer FTick;
    std::int64_t FNextLong = 0;
};

// ---- the process -------------------------------------------------------------------------

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    double a = 0, b = 0, c = 0;
    in >> a >> b >> c;
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", a, b, c);
    return text;
}

long ResidentKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Open file descriptors and what each is.
std::map<int, std::string> OpenFdTargets() {
    std::map<int, std::string> fds;
    std::error_code e;
    std::vector<int> numbers;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", e);
         !e && it != std::filesystem::directory_iterator(); it.increment(e))
        numbers.push_back(std::atoi(it->path().filename().c_str()));
    for (int n : numbers) {
        const std::string target =
            std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(n), e).string();
        if (!e) fds[n] = target;  // the listing's own is gone by now
    }
    return fds;
}
// Bytes the allocator has handed out and not had back (free pages kept for
// reuse are not counted, as they are in VmRSS).
std::size_t HeapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

int Threads() {
    std::error_code e;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", e);
         !e && it != std::filesystem::directory_iterator(); it.increment(e))
        ++n;
    return n;
}
int OpenFds() {
    return static_cast<int>(OpenFdTargets().size());
}

// Runs the main thread's messages until Done holds.
void PumpUntil(const std::function<bool()>& Done) {
    if (Done()) return;
    QEventLoop loop;
    QTimer check;
    check.setInterval(20);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (Done()) loop.quit();
    });
    check.start();
    loop.exec();
}

// ---- what the pseudo-terminal itself costs ------------------------------------------------

// Byte written on the master to a blocking read returning on the slave, in
// a real-time thread of its own: the part of every figure that the kernel's
// pseudo-terminal adds before the program can know of the byte.
std::vector<double> LineFloorMs(int Count) {
    PseudoTerminal pty;
    const int slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) return {};
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    std::vector<std::int64_t> readNs;
    std::thread reader([&] {
        sched_param param{};
        param.sched_priority = 20;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        char c;
        while (static_cast<int>(readNs.size()) < Count) {
            pollfd pfd{slave, POLLIN, 0};
            if (::poll(&pfd, 1, 2000) <= 0) return;
            if (::read(slave, &c, 1) == 1) readNs.push_back(MonotonicNs());
        }
    });
    PacedLine line(pty.Master());
    std::vector<PacedLine::Byte> plan;
    const std::int64_t t0 = MonotonicNs() + 50 * kMs;
    for (int i = 0; i < Count; ++i) plan.push_back({t0 + i * 2 * line.ByteNs(), '1'});
    line.Start(plan);
    line.Join();
    reader.join();
    ::close(slave);
    std::vector<double> ms;
    for (std::size_t i = 0; i < readNs.size(); ++i)
        ms.push_back(double(readNs[i] - line.WrittenNs()[i]) / kMs);
    return ms;
}

// ---- one console, one output, one capture: a row of the table ----------------------------

struct Options {
    std::vector<unsigned> Periods = {128};
    std::vector<TLoad> Loads = {TLoad::Idle, TLoad::Busy, TLoad::Stall};
    std::vector<std::string> Patterns = {"peal", "burst", "random"};
    int Strokes = 96;
    unsigned Seed = 12;
    std::string Keep;
    bool Verbose = false;
    double SoakMinutes = 0;
    bool SoakDelays = true;
    double ReportMinutes = 0;
};

// The fixed stroke latency asked of the output (--stroke-latency).
unsigned gStrokeLatencyUs = kDefaultStrokeLatencyMicroseconds;

// The program's own account of each struck start, taken from the mixer's
// reports beside the window's: only to tell where a late stroke lost its
// time (on the line before the stamp, in scheduling, or in the decoding of
// the capture), never to judge it. Written on the mixer's callback thread
// into room set aside before, read when the strokes are over.
class ProgramView {
public:
    struct Start {
        int Slot;
        std::int64_t RequestNs, HeardNs;
    };
    void Listen() {
        FPrevious = waveOutSetStrikeListener(nullptr);
        waveOutSetStrikeListener([this](const WaveOutStrikeReport& r) {
            if (r.kind == WaveOutStrikeReport::Started) {
                const std::size_t n = FCount.load(std::memory_order_relaxed);
                FStarts[n % FStarts.size()] = {r.slot, r.requestNs, r.heardNs};
                FCount.store(n + 1, std::memory_order_release);  // the entry before the count
            }
            if (FPrevious) FPrevious(r);
        });
    }
    // The start of Bell's slot heard nearest to AtNs, if one was reported.
    std::optional<Start> Nearest(int Bell, std::int64_t AtNs) const {
        const std::size_t n = FCount.load(std::memory_order_acquire);
        std::optional<Start> best;
        for (std::size_t i = n > FStarts.size() ? n - FStarts.size() : 0; i < n; ++i) {
            const Start& s = FStarts[i % FStarts.size()];
            if (s.Slot == Bell - 1 &&
                (!best || std::llabs(s.HeardNs - AtNs) < std::llabs(best->HeardNs - AtNs)))
                best = s;
        }
        return best;
    }

private:
    std::vector<Start> FStarts = std::vector<Start>(1 << 16);
    std::atomic<std::size_t> FCount{0};
    WaveOutStrikeListener FPrevious;
};

class Console {
public:
    Console(ConsoleSandbox& Sandbox, unsigned Period, TLoad Load)
        : FSandbox(Sandbox), FPeriod(Period), FBusy(Load == TLoad::Busy), FStalled(Load == TLoad::Stall) {}

    // The output, the window listening, the load on; false with Error set.
    bool Open(const std::string& Capture) {
        FCapturePath = Capture;
        WaveOutSettings s;
        s.output = "capture:" + Capture;
        s.periodFrames = FPeriod;
        s.rate = kRate;
        s.strokeLatencyMicroseconds = gStrokeLatencyUs;
        waveOutConfigure(s);
        if (waveOutGetNumDevs() != 1) return Fail("no output: " + waveOutGetStatus().error);
        FStatus = waveOutGetStatus();
        FOrigin = FStatus.originNs;
        FRate = FStatus.rate;
        if (FRate != kRate)
            return Fail("the output runs at " + std::to_string(FRate) + " Hz, not " + std::to_string(kRate));

        std::vector<std::vector<std::int16_t>> sounds;
        QByteArray settings =
            "[COMPORT]\nFComPort1.DeviceName=" + QByteArray(FPty.SlavePath().c_str()) + "\n";
        settings += "[SOUNDFILES]\n";
        for (int b = 1; b <= 16; ++b) {
            sounds.push_back(Tone(b));
            const QString file = FSandbox.Dir.file(QStringLiteral("bell%1.wav").arg(b));
            if (!WriteMonoWav16(file, sounds.back(), kRate)) return Fail("cannot write the bells");
            settings += "BELL" + QByteArray::number(b) + "=" + file.toUtf8() + "\n";
        }
        settings += "[DELAY]\n";
        for (int b = 1; b <= 16; ++b)
            settings += "BELL" + QByteArray::number(b) + "=" + QByteArray::number(DelayMs(b)) + "\n";
        if (!FSandbox.WriteSettings(settings)) return Fail("cannot write the settings");
        FDecoder = std::make_unique<ToneDecoder>(std::move(sounds));
        FStream = std::make_unique<CaptureStream>(Capture);

        FForm = std::make_unique<TfMainform>();
        FForm->show();
        if (!QTest::qWaitForWindowExposed(FForm.get())) return Fail("the window was never exposed");
        if (!FSandbox.Boxes.Boxes.empty())
            return Fail("message: " + FSandbox.Boxes.Boxes[0].Text.toStdString());
        QTest::mouseClick(FForm->bListen(), Qt::LeftButton);
        if (!FForm->FComPort1()->GetActive()) return Fail("listening did not start");
        FProgram.Listen();
        FLine = std::make_unique<PacedLine>(FPty.Master());
        FLine->WatchWith(&FWitness);
        FLoad = std::make_unique<MainThreadLoad>(FForm.get());
        if (FBusy) FLoad->Start();
        if (FStalled) FStall.Start();
        // Every bell once, not counted: the first play of each loads what
        // it loads once.
        Verdict warm;
        if (!Strike(PealWarmUp(), false, warm)) return false;
        return true;
    }

    // Strikes Plan with "Delays Active" as Delays; what was heard in Out.
    bool Strike(const std::vector<Planned>& Plan, bool Delays, Verdict& Out) {
        FForm->cbDelaysActive()->setChecked(Delays);
        std::vector<PacedLine::Byte> bytes;
        const std::int64_t t0 = MonotonicNs() + 100 * kMs;
        for (const Planned& p : Plan) bytes.push_back({t0 + p.AtNs, kStrokeChar[p.Bell - 1]});
        FLine->Start(bytes);
        PumpUntil([&] { return FLine->Done(); });
        FLine->Join();
        if (FLine->Failed()) return Fail("the line could not be written");
        if (!FLine->PriorityNote().empty()) FWriterNote = FLine->PriorityNote();
        std::vector<Stroke> strokes;
        std::int64_t lastDue = 0, worstLate = 0;
        for (std::size_t i = 0; i < Plan.size(); ++i) {
            const std::int64_t w = FLine->WrittenNs()[i];
            const std::int64_t due = w + (Delays ? DelayMs(Plan[i].Bell) * kMs : 0);
            strokes.push_back({Plan[i].Bell, w, due, FLine->LineDelayNs(i)});
            lastDue = std::max(lastDue, due);
            worstLate = std::max(worstLate, w - bytes[i].AtNs);
        }
        FWriterLateMs = std::max(FWriterLateMs, double(worstLate) / kMs);
        const std::int64_t end = lastDue + kSoundNs + kTailNs;
        bool stuck = false;
        PumpUntil([&] {
            const std::int64_t now = MonotonicNs();
            stuck = now > end + 10'000 * kMs;
            return stuck || (now > end && FForm->AllStopped());
        });
        if (stuck) return Fail("bells never stopped");
        const WaveOutStatus s = waveOutGetStatus();
        if (s.originNs != FOrigin) {
            FNotes.push_back("the output's clock moved by " + std::to_string((s.originNs - FOrigin) / 1000) +
                             " us");
            FOrigin = s.originNs;
        }
        // The capture must hold everything up to the end of the quiet.
        const std::int64_t frames = FrameOf(end) + 1;
        const std::int64_t giveUp = MonotonicNs() + 5000 * kMs;
        while (FStream->Frames() < frames) {
            if (!Pull(false)) return Fail("the capture cannot be read");
            if (MonotonicNs() > giveUp) return Fail("the capture stopped growing");
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        if (!Pull(false)) return Fail("the capture cannot be read");
        std::vector<Heard> heard;
        std::vector<ToneOnset> later;
        for (const ToneOnset& o : FOnsets) {
            if (NsOf(o.Frame) < end)
                heard.push_back({o.Id + 1, NsOf(o.Frame)});
            else
                later.push_back(o);
        }
        FOnsets.swap(later);
        Out = Judge(strokes, heard);
        return true;
    }

    // Stops listening and the output, and decodes the rest of the capture.
    void Close() {
        if (!FForm) return;
        if (FBusy) {
            FLoad->Stop();
            FRepaintsPerSecond = FLoad->RepaintsPerSecond();
            FSpins = FLoad->Spins;
        }
        if (FStalled) FStall.Stop();
        if (FForm->FComPort1()->GetActive()) QTest::mouseClick(FForm->bListen(), Qt::LeftButton);
        PumpUntil([&] { return FForm->AllStopped(); });
        FStatus = waveOutGetStatus();
        FLoad.reset();
        FForm.reset();
        waveOutShutdown();
        Pull(true);
        if (!FOnsets.empty())
            FNotes.push_back(std::to_string(FOnsets.size()) + " sounds after the last stroke's time");
    }

    // Reads what the capture has gained and decodes it.
    // A quarter of a second at a time, so that what the benchmark holds
    // stays small beside the program's own memory.
    bool Pull(bool Final) {
        for (;;) {
            FBuffer.clear();
            const long n = FStream->ReadNew(FBuffer, FRate / 4);
            if (n < 0) return false;
            if (n > 0) FDecoder->Feed(FBuffer.data(), static_cast<std::size_t>(n), FStream->Channels());
            FDecoder->Decode(Final && n == 0);
            for (const ToneOnset& o : FDecoder->TakeOnsets()) FOnsets.push_back(o);
            if (FReleaseDisk) FStream->Release(FDecoder->DecidedFrames());
            if (n == 0) return true;
        }
    }

    std::int64_t NsOf(std::int64_t Frame) const {
        return FOrigin + static_cast<std::int64_t>(std::llround(double(Frame) * 1e9 / FRate));
    }
    std::int64_t FrameOf(std::int64_t Ns) const { return (Ns - FOrigin) * FRate / 1'000'000'000; }

    bool Fail(const std::string& Why) {
        FError = Why;
        return false;
    }

    static std::vector<Planned> PealWarmUp() {
        std::vector<Planned> plan;
        for (int b = 1; b <= 16; ++b) plan.push_back({(b - 1) * 60 * kMs, b});
        return plan;
    }

    const std::string& Error() const { return FError; }
    const WaveOutStatus& Status() const { return FStatus; }
    WaveOutStatus LiveStatus() const { return waveOutGetStatus(); }
    const ToneDecoder& Decoder() const { return *FDecoder; }
    const std::vector<std::string>& Notes() const { return FNotes; }
    const std::string& WriterNote() const { return FWriterNote; }
    double WriterLateMs() const { return FWriterLateMs; }
    double RepaintsPerSecond() const { return FRepaintsPerSecond; }
    long Spins() const { return FSpins; }
    const MainThreadStall& Stalls() const { return FStall; }
    PacedLine& Line() { return *FLine; }
    const ProgramView& Program() const { return FProgram; }
    void ReleaseDisk(bool On) { FReleaseDisk = On; }

private:
    ConsoleSandbox& FSandbox;
    unsigned FPeriod;
    bool FBusy, FStalled;
    MainThreadStall FStall;
    ProgramView FProgram;
    std::string FCapturePath;
    PseudoTerminal FPty;
    LineWitness FWitness;  // outlives the line that marks it
    std::unique_ptr<TfMainform> FForm;
    std::unique_ptr<PacedLine> FLine;
    std::unique_ptr<MainThreadLoad> FLoad;
    std::unique_ptr<ToneDecoder> FDecoder;
    std::unique_ptr<CaptureStream> FStream;
    std::vector<std::int16_t> FBuffer;
    std::vector<ToneOnset> FOnsets;
    WaveOutStatus FStatus;
    std::int64_t FOrigin = 0;
    std::int64_t FRate = kRate;
    std::string FError, FWriterNote;
    std::vector<std::string> FNotes;
    double FWriterLateMs = 0;
    double FRepaintsPerSecond = 0;
    long FSpins = 0;
    bool FReleaseDisk = false;
};

struct Row {
    unsigned Period = 0;
    TLoad Load = TLoad::Idle;
    long ShortStalls = 0, LongStalls = 0;
    std::vector<double> LineMs;  // the line's own write-to-read under this run's load
    Verdict Off, On;             // On: LatencyMs holds onset - stroke - delay
    WaveOutStatus Status;
    std::string Error, LoadAverage, Decode = "yes";
    double RepaintsPerSecond = 0;
    long Spins = 0;
    double WriterLateMs = 0;
    std::vector<std::string> Notes;
};

double Median(const std::vector<double>& v) {
    return Percentile(v, 50);
}
double Max(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}
std::vector<double> AbsError(const std::vector<double>& Raw, double Centre) {
    std::vector<double> e;
    for (double x : Raw) e.push_back(std::fabs(x - Centre));
    return e;
}

std::string CapturePath(ConsoleSandbox& Sandbox, const Options& Opt, const std::string& Name) {
    if (Opt.Keep.empty()) return Sandbox.Dir.file(QString::fromStdString(Name)).toStdString();
    std::filesystem::create_directories(Opt.Keep);
    return Opt.Keep + "/" + Name;
}

std::string DecodeVerdict(const ToneDecoder& D, std::vector<std::string>& Notes) {
    if (D.Faults().empty()) return "yes";
    for (const ToneFault& f : D.Faults())
        if (Notes.size() < 30)
            Notes.push_back("audio frames " + std::to_string(f.From) + "-" + std::to_string(f.To) + ": " +
                            f.What);
    return "NO (" + std::to_string(D.Faults().size()) + " faults, " + std::to_string(D.UnexplainedFrames()) +
           " frames unexplained)";
}

// The worst strokes taken apart: how long the byte took from its write to
// the program's arrival stamp, from the stamp to the frame the mixer says
// it is heard (the delay and the fixed latency taken out), and from that
// frame to the onset found in the capture.
void PrintWorst(const Verdict& All, double CentreMs, std::int64_t StartNs, const ProgramView& Program,
                std::size_t Count, const MachineStalls* Machine = nullptr) {
    std::vector<std::size_t> order(All.Blows.size());
    std::iota(order.begin(), order.end(), 0);
    auto error = [&](std::size_t i) { return std::fabs(All.LatencyMs[i] - CentreMs); };
    Count = std::min(Count, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<long>(Count), order.end(),
                      [&](auto a, auto b) { return error(a) > error(b); });
    std::printf("the %zu worst strokes (times in ms):\n", Count);
    std::printf("  %9s %4s %7s  %12s %14s %14s %15s %13s\n", "at min", "bell", "error", "write->stamp",
                "stamp->mixed", "mixed->onset", "machine stall", "line witness");
    for (std::size_t k = 0; k < Count; ++k) {
        const Blow& b = All.Blows[order[k]];
        const double at = double(b.WrittenNs - StartNs) / 60e9;
        const auto s = Program.Nearest(b.Bell, b.HeardNs);
        const double stall = Machine
                                 ? double(Machine->WorstWithin(b.WrittenNs - 2 * kMs,
                                                               b.WrittenNs + (b.HeardNs - b.DueNs) + kMs)) /
                                       kMs
                                 : 0;
        if (!s) {
            std::printf("  %9.3f %4d %7.3f  (no report from the mixer)\n", at, b.Bell, error(order[k]));
            continue;
        }
        // RequestNs is the stamp plus the bell's delay, DueNs the write plus it.
        std::printf("  %9.3f %4d %7.3f  %12.3f %14.3f %14.3f %15.3f %13.3f\n", at, b.Bell, error(order[k]),
                    double(s->RequestNs - b.DueNs) / kMs, double(s->HeardNs - s->RequestNs) / kMs,
                    double(b.HeardNs - s->HeardNs) / kMs, stall, double(b.LineNs) / kMs);
    }
}

Row MeasureRow(ConsoleSandbox& Sandbox, const Options& Opt, unsigned Period, TLoad Load) {
    Row row;
    row.Period = Period;
    row.Load = Load;
    const std::string loadAverage = LoadAverage();
    row.LoadAverage = loadAverage;
    const std::string name = "mix-" + std::to_string(Period) + "-" + NameOf(Load) + ".wav";
    Console console(Sandbox, Period, Load);
    std::printf("\n%u-frame periods, main thread %s (load average %s)\n", Period, NameOf(Load),
                loadAverage.c_str());
    std::fflush(stdout);
    if (!console.Open(CapturePath(Sandbox, Opt, name))) {
        row.Error = console.Error();
        console.Close();
        return row;
    }
    {
        // The kernel's own share under this run's load: its tty work runs at
        // normal priority beside the main thread, before any of ours can run.
        std::atomic<bool> measured{false};
        std::thread floor([&] {
            row.LineMs = LineFloorMs(240);
            measured.store(true);
        });
        PumpUntil([&] { return measured.load(); });
        floor.join();
        std::printf("  the line itself under this load: median %.3f, p99 %.3f, max %.3f ms\n",
                    Median(row.LineMs), Percentile(row.LineMs, 99), Max(row.LineMs));
    }
    const std::int64_t rowStart = MonotonicNs();
    const MachineStalls machine;
    std::mt19937 random(Opt.Seed + Period + static_cast<unsigned>(Load));
    const std::int64_t byteNs = console.Line().ByteNs();
    for (const std::string& pattern : Opt.Patterns) {
        PealState peal;
        for (bool delays : {false, true}) {
            std::vector<Planned> plan;
            if (pattern == "peal")
                plan = Peal(Opt.Strokes, peal);
            else if (pattern == "burst")
                plan = Bursts(Opt.Strokes, delays, byteNs, random);
            else
                plan = RandomStrokes(Opt.Strokes, delays, byteNs, random);
            Verdict v;
            if (!console.Strike(plan, delays, v)) {
                row.Error = console.Error();
                break;
            }
            std::printf(
                "  %-6s delays %-3s %4d strokes  stroke to sound%s median %6.2f  p1 %6.2f  p99 %6.2f  max "
                "%6.2f ms"
                "  lost %d doubled %d wrong %d order %d\n",
                pattern.c_str(), delays ? "on" : "off", v.Strokes, delays ? " - delay" : "        ",
                Median(v.LatencyMs), Percentile(v.LatencyMs, 1), Percentile(v.LatencyMs, 99),
                Max(v.LatencyMs), v.Lost, v.Doubled, v.Wrong, v.OutOfOrder);
            if (Opt.Verbose)
                for (const auto& n : v.Notes) std::printf("      %s\n", n.c_str());
            std::fflush(stdout);
            (delays ? row.On : row.Off).Add(v);
        }
        if (!row.Error.empty()) break;
    }
    console.Close();
    if (Opt.Verbose)
        for (const Verdict* v : {&row.Off, &row.On}) {
            std::printf("  delays %s: ", v == &row.On ? "on" : "off");
            PrintWorst(*v, Median(v->LatencyMs), rowStart, console.Program(), 5, &machine);
        }
    row.RepaintsPerSecond = console.RepaintsPerSecond();
    row.Spins = console.Spins();
    row.ShortStalls = console.Stalls().Short;
    row.LongStalls = console.Stalls().Long;
    if (row.Error.empty() && !console.Error().empty()) row.Error = console.Error();
    row.Status = console.Status();
    row.WriterLateMs = console.WriterLateMs();
    row.Notes = console.Notes();
    if (!console.WriterNote().empty()) row.Notes.push_back("receiver thread: " + console.WriterNote());
    row.Decode = DecodeVerdict(console.Decoder(), row.Notes);
    return row;
}

void PrintTable(const std::vector<Row>& Rows) {
    std::printf(
        "\n| period | main thread | strokes | latency median | p99 | max | spread p99-p1 | error, delays off:"
        " p99 | max | error, delays on: median |"
        " p99 | max | the line itself: p99 | max | lost | doubled | wrong bell | out of order | output "
        "latency |"
        " late starts | xruns | audio explained |\n");
    std::printf(
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : Rows) {
        if (!r.Error.empty()) {
            std::printf("| %u | %s | failed: %s |\n", r.Period, NameOf(r.Load), r.Error.c_str());
            continue;
        }
        const std::vector<double>& lat = r.Off.LatencyMs;
        const double centre = Median(lat);
        const std::vector<double> err = AbsError(r.On.LatencyMs, centre);
        const std::vector<double> errOff = AbsError(lat, centre);
        const int lost = r.Off.Lost + r.On.Lost, doubled = r.Off.Doubled + r.On.Doubled,
                  wrong = r.Off.Wrong + r.On.Wrong, order = r.Off.OutOfOrder + r.On.OutOfOrder;
        std::printf(
            "| %u | %s | %d | %.2f ms | %.2f ms | %.2f ms | %.3f ms | %.3f ms | %.3f ms | %.3f ms | %.3f ms "
            "| "
            "%.3f ms | %.3f ms | %.3f ms | %d | %d | %d |"
            " %d | %.2f ms | %llu | %llu | %s |\n",
            r.Period, NameOf(r.Load), r.Off.Strokes + r.On.Strokes, centre, Percentile(lat, 99), Max(lat),
            Percentile(lat, 99) - Percentile(lat, 1), Percentile(errOff, 99), Max(errOff), Median(err),
            Percentile(err, 99), Max(err), Percentile(r.LineMs, 99), Max(r.LineMs), lost, doubled, wrong,
            order, 1000.0 * double(r.Status.latencyFrames) / kRate,
            static_cast<unsigned long long>(r.Status.lateStarts),
            static_cast<unsigned long long>(r.Status.xruns), r.Decode.c_str());
    }
    std::printf(
        "\nThe program's own share: each stroke's latency less the line's own delay at that stroke (a second"
        " pseudo-terminal written straight after it and read by a real-time thread), about its median:\n"
        "\n| period | main thread | the line at each stroke: p99 | max | beyond the line, delays off: p99 | "
        "max |"
        " delays on: p99 | max |\n|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : Rows) {
        if (!r.Error.empty()) continue;
        std::vector<double> line;
        for (const Verdict* v : {&r.Off, &r.On})
            for (const Blow& b : v->Blows) line.push_back(double(b.LineNs) / kMs);
        const double centre = Median(r.Off.BeyondLineMs);
        const std::vector<double> off = AbsError(r.Off.BeyondLineMs, centre);
        const std::vector<double> on = AbsError(r.On.BeyondLineMs, centre);
        std::printf("| %u | %s | %.3f ms | %.3f ms | %.3f ms | %.3f ms | %.3f ms | %.3f ms |\n", r.Period,
                    NameOf(r.Load), Percentile(line, 99), Max(line), Percentile(off, 99), Max(off),
                    Percentile(on, 99), Max(on));
    }
    std::printf(
        "\nlatency: byte written -> first frame heard, delays off; error: |heard - written - delay -"
        " median latency (delays off)|;\nthe line itself: write on the master -> read on the slave in a "
        "real-time"
        " thread, measured under the same load before the strokes;\noutput latency: the mixer's fixed start "
        "latency (included in the "
        "latency).\n");
    for (const Row& r : Rows) {
        std::string head = std::to_string(r.Period) + " " + NameOf(r.Load) + ": ";
        std::printf("%sload average %s at the start; the receiver wrote up to %.2f ms after its plan\n",
                    head.c_str(), r.LoadAverage.c_str(), r.WriterLateMs);
        if (r.Load == TLoad::Stall)
            std::printf("%sthe main thread was blocked %ld times for 50 ms and %ld times for 500 ms\n",
                        head.c_str(), r.ShortStalls, r.LongStalls);
        if (r.Load == TLoad::Busy)
            std::printf(
                "%sthe window was resized and repainted %.0f times a second; %ld busy handlers of 5 ms ran\n",
                head.c_str(), r.RepaintsPerSecond, r.Spins);
        if (r.Off.OutOfOrder + r.On.OutOfOrder)
            std::printf("%sclosest due times heard the wrong way round: %.3f ms apart\n", head.c_str(),
                        std::min(r.Off.ClosestInversionMs, r.On.ClosestInversionMs));
        for (const auto& n : r.Notes) std::printf("%s%s\n", head.c_str(), n.c_str());
        for (const auto& n : r.Off.Notes) std::printf("%s%s\n", head.c_str(), n.c_str());
        for (const auto& n : r.On.Notes) std::printf("%s%s\n", head.c_str(), n.c_str());
    }
}

// ---- soak -----------------------------------------------------------------------------------

int Soak(ConsoleSandbox& Sandbox, const Options& Opt) {
    const unsigned period = Opt.Periods.front();
    const TLoad load = Opt.Loads.front();
    const double reportMinutes =
        Opt.ReportMinutes > 0 ? Opt.ReportMinutes : std::clamp(Opt.SoakMinutes / 3, 1.0, 5.0);
    std::printf(
        "Soak: 16 bells at peal speed (a stroke every 170 ms) for %.1f minutes, %u-frame periods, main "
        "thread "
        "%s, delays %s; load average %s\n",
        Opt.SoakMinutes, period, NameOf(load), Opt.SoakDelays ? "on" : "off", LoadAverage().c_str());
    std::printf(
        "The capture is decoded as it grows, a minute at a time; what has been decoded is given back to the"
        " disk (a hole in the file).\n");
    Console console(Sandbox, period, load);
    console.ReleaseDisk(true);
    if (!console.Open(CapturePath(Sandbox, Opt, "soak.wav"))) {
        std::printf("failed: %s\n", console.Error().c_str());
        console.Close();
        return 1;
    }
    Verdict all;
    PealState peal;
    const MachineStalls machine;
    const std::int64_t start = MonotonicNs();
    const std::int64_t stop = start + static_cast<std::int64_t>(Opt.SoakMinutes * 60e9);
    std::int64_t nextReport = start;
    const long rss0 = ResidentKb();
    const std::map<int, std::string> fds0 = OpenFdTargets();
    auto report = [&](const char* when) {
        const WaveOutStatus s = console.LiveStatus();
        std::printf(
            "%-6s %6.1f min  strokes %6d  lost %d doubled %d wrong %d order %d  xruns %llu late starts %llu"
            "  VmRSS %.1f MiB  fds %d  threads %d  audio faults %zu\n",
            when, double(MonotonicNs() - start) / 60e9, all.Strokes, all.Lost, all.Doubled, all.Wrong,
            all.OutOfOrder, static_cast<unsigned long long>(s.xruns),
            static_cast<unsigned long long>(s.lateStarts), ResidentKb() / 1024.0, OpenFds(), Threads(),
            console.Decoder().Faults().size());
        std::fflush(stdout);
    };
    report("start");
    nextReport += static_cast<std::int64_t>(reportMinutes * 60e9);
    bool failed = false;
    // The program's memory after its first minute; the harness's own
    // records of every stroke grow on, and are taken out of the figure.
    long rssMinute = -1;
    std::size_t harnessMinute = 0, heapMinute = 0;
    // Room for every stroke's record set aside now, so that it is never
    // moved (a moved record leaves freed pages behind in the figure); what
    // the records fill is taken out of it.
    const auto expected = static_cast<std::size_t>(Opt.SoakMinutes * 60e9 / kPealGapNs) + 1024;
    all.LatencyMs.reserve(expected);
    all.Blows.reserve(expected);
    all.BeyondLineMs.reserve(expected);
    auto harnessBytes = [&] {
        return (all.LatencyMs.size() + all.BeyondLineMs.size()) * sizeof(double) +
               all.Blows.size() * sizeof(Blow);
    };
    while (MonotonicNs() < stop) {
        const std::int64_t left = stop - MonotonicNs();
        const int strokes =
            static_cast<int>(std::clamp<std::int64_t>(left / kPealGapNs, 1, 60'000 * kMs / kPealGapNs));
        Verdict v;
        if (!console.Strike(Peal(strokes, peal), Opt.SoakDelays, v)) {
            std::printf("failed: %s\n", console.Error().c_str());
            failed = true;
            break;
        }
        all.Add(v);
        if (rssMinute < 0 && MonotonicNs() - start >= 60'000 * kMs) {
            rssMinute = ResidentKb();
            harnessMinute = harnessBytes();
            heapMinute = HeapInUse();
        }
        if (MonotonicNs() >= nextReport && MonotonicNs() < stop) {
            report("");
            nextReport += static_cast<std::int64_t>(reportMinutes * 60e9);
        }
    }
    report("end");
    const long rss1 = ResidentKb();
    const std::size_t harnessEnd = harnessBytes();
    const std::size_t heapEnd = HeapInUse();
    const std::map<int, std::string> fds1 = OpenFdTargets();
    console.Close();
    std::vector<std::string> notes = console.Notes();
    const std::string decoded = DecodeVerdict(console.Decoder(), notes);
    const WaveOutStatus& s = console.Status();
    std::printf("\nstrokes %d: lost %d, doubled %d, wrong bell %d, out of order %d\n", all.Strokes, all.Lost,
                all.Doubled, all.Wrong, all.OutOfOrder);
    std::printf("stroke to sound%s: median %.2f ms, p1 %.2f, p99 %.2f, max %.2f ms (spread p99-p1 %.3f ms)\n",
                Opt.SoakDelays ? " - delay" : "", Median(all.LatencyMs), Percentile(all.LatencyMs, 1),
                Percentile(all.LatencyMs, 99), Max(all.LatencyMs),
                Percentile(all.LatencyMs, 99) - Percentile(all.LatencyMs, 1));
    {
        const double centre = Median(all.LatencyMs);
        const std::vector<double> err = AbsError(all.LatencyMs, centre);
        std::printf("error |heard - written - delay - median|: p99 %.3f ms, max %.3f ms\n",
                    Percentile(err, 99), Max(err));
        PrintWorst(all, centre, start, console.Program(), 10, &machine);
        std::vector<double> line;
        for (const Blow& b : all.Blows) line.push_back(double(b.LineNs) / kMs);
        const std::vector<double> beyond = AbsError(all.BeyondLineMs, Median(all.BeyondLineMs));
        std::printf(
            "the line's own delay at each stroke (a second pseudo-terminal beside it): median %.3f, p99 "
            "%.3f, max"
            " %.3f ms\nerror beyond the line's own delay: p99 %.3f ms, max %.3f ms\n",
            Median(line), Percentile(line, 99), Max(line), Percentile(beyond, 99), Max(beyond));
        // The same figure without the strokes whose time the machine itself
        // lost: a CPU held for over a millisecond from a real-time thread
        // between the stroke's write and its first frame (its delay aside).
        std::vector<double> clear;
        for (std::size_t i = 0; i < all.Blows.size(); ++i)
            if (machine.WorstWithin(
                    all.Blows[i].WrittenNs - 2 * kMs,
                    all.Blows[i].WrittenNs + (all.Blows[i].HeardNs - all.Blows[i].DueNs) + kMs) <= kMs)
                clear.push_back(err[i]);
        const auto [stalls, longest] = machine.Summary(kMs);
        std::printf(
            "the machine's own stalls (a %s thread per CPU woken every ms): %ld over 1 ms, longest %.3f ms\n"
            "error of the %zu strokes with no machine stall over 1 ms near them: p99 %.3f ms, max %.3f ms\n",
            machine.RealTime() ? "real-time" : "normal", stalls, double(longest) / kMs, clear.size(),
            Percentile(clear, 99), Max(clear));
    }
    if (rssMinute >= 0) {
        const double harnessKb = double(harnessEnd - harnessMinute) / 1024.0;
        std::printf(
            "memory after the first minute: VmRSS %.1f -> %.1f MiB; the harness's own records grew %.0f KiB;"
            " the rest grew %.0f KiB\n",
            rssMinute / 1024.0, rss1 / 1024.0, harnessKb, double(rss1 - rssMinute) - harnessKb);
        std::printf(
            "heap in use after the first minute (the harness's records set aside at the start): %.1f -> %.1f"
            " MiB, grew %.0f KiB\n",
            double(heapMinute) / 1048576.0, double(heapEnd) / 1048576.0,
            (double(heapEnd) - double(heapMinute)) / 1024.0);
    }
    std::printf("output: xruns %llu, late starts %llu, late blocks %llu, fixed latency %.2f ms\n",
                static_cast<unsigned long long>(s.xruns), static_cast<unsigned long long>(s.lateStarts),
                static_cast<unsigned long long>(s.lateBlocks), 1000.0 * double(s.latencyFrames) / kRate);
    std::printf(
        "VmRSS %.1f -> %.1f MiB, open fds %d -> %d (window listening, before and after the strokes)\n",
        rss0 / 1024.0, rss1 / 1024.0, static_cast<int>(fds0.size()), static_cast<int>(fds1.size()));
    for (const auto& [fd, target] : fds0)
        if (!fds1.count(fd) || fds1.at(fd) != target) std::printf("  fd %d closed: %s\n", fd, target.c_str());
    for (const auto& [fd, target] : fds1)
        if (!fds0.count(fd) || fds0.at(fd) != target) std::printf("  fd %d opened: %s\n", fd, target.c_str());
    std::printf("audio explained: %s\n", decoded.c_str());
    for (const auto& n : notes) std::printf("  %s\n", n.c_str());
    for (const auto& n : all.Notes) std::printf("  %s\n", n.c_str());
    return failed ? 1 : 0;
}

// ---- the decoder proves itself first ----------------------------------------------------

// Mixes made here, with starts on the same frame and one frame apart, a
// sound stopped early and a stray sample, fed in odd pieces: the decoder
// must find exactly what was put in and name exactly what was wrong.
bool CheckDecoder() {
    std::vector<std::vector<std::int16_t>> sounds;
    for (int b = 1; b <= 16; ++b) sounds.push_back(Tone(b));
    std::mt19937 random(5);
    const std::int64_t length = kRate * 20;
    std::vector<std::int32_t> mix(static_cast<std::size_t>(length), 0);
    std::vector<ToneOnset> placed;
    auto place = [&](int id, std::int64_t at, std::size_t frames) {
        for (std::size_t k = 0; k < frames; ++k) mix[static_cast<std::size_t>(at) + k] += sounds[id][k];
        placed.push_back({id, at, 0});
    };
    std::int64_t at = 1000;
    for (int i = 0; i < 300; ++i) {
        const int kind = i % 6;
        const int a = int(random() % 16);
        int b = int(random() % 16);
        if (b == a) b = (a + 1) % 16;
        place(a, at, kSoundFrames);
        if (kind == 1) place(b, at, kSoundFrames);      // same frame
        if (kind == 2) place(b, at + 1, kSoundFrames);  // next frame
        if (kind == 3) place(b, at + 1 + random() % 40, kSoundFrames);
        if (kind == 4) {  // four at once
            place(b, at, kSoundFrames);
            place((b + 3) % 16 == a ? (b + 4) % 16 : (b + 3) % 16, at, kSoundFrames);
            place((b + 7) % 16 == a ? (b + 8) % 16 : (b + 7) % 16, at, kSoundFrames);
        }
        at += 200 + random() % 3000;
    }
    std::sort(placed.begin(), placed.end(), [](const ToneOnset& x, const ToneOnset& y) {
        return x.Frame < y.Frame || (x.Frame == y.Frame && x.Id < y.Id);
    });
    // A sound cut short and a stray sample, after the rest.
    const std::int64_t cutAt = at + 5000, strayAt = at + 20000;
    for (std::size_t k = 0; k < 700; ++k) mix[static_cast<std::size_t>(cutAt) + k] += sounds[6][k];
    mix[static_cast<std::size_t>(strayAt)] += 333;
    std::vector<std::int16_t> frames;
    for (std::int32_t v : mix)
        frames.insert(frames.end(), {static_cast<std::int16_t>(v), static_cast<std::int16_t>(v)});

    ToneDecoder decoder(sounds);
    std::vector<ToneOnset> found;
    for (std::size_t f = 0; f < mix.size();) {
        const std::size_t n = std::min<std::size_t>(mix.size() - f, 1 + random() % 9000);
        decoder.Feed(frames.data() + 2 * f, n, 2);
        decoder.Decode(false);
        f += n;
        for (const ToneOnset& o : decoder.TakeOnsets()) found.push_back(o);
    }
    decoder.Decode(true);
    for (const ToneOnset& o : decoder.TakeOnsets()) found.push_back(o);
    std::sort(found.begin(), found.end(), [](const ToneOnset& x, const ToneOnset& y) {
        return x.Frame < y.Frame || (x.Frame == y.Frame && x.Id < y.Id);
    });
    bool ok = found.size() == placed.size() + 1;
    for (std::size_t i = 0; ok && i < placed.size(); ++i)
        ok = found[i].Id == placed[i].Id && found[i].Frame == placed[i].Frame;
    ok = ok && found.back().Id == 6 && found.back().Frame == cutAt;
    const auto& faults = decoder.Faults();
    ok = ok && faults.size() == 2 && faults[0].From == cutAt + 700 &&
         faults[0].What.find("stopped after 700") != std::string::npos && faults[1].From == strayAt &&
         faults[1].What.find("unexplained") != std::string::npos && decoder.UnexplainedFrames() == 1;
    if (ok)
        std::printf(
            "decoder check: %zu starts (on one frame, one frame apart, four at once), a sound stopped early "
            "and"
            " a stray sample: all found exactly\n",
            found.size());
    if (!ok) {
        std::printf("the decoder fails its own check: %zu starts placed, %zu found; faults:\n",
                    placed.size() + 1, found.size());
        for (const ToneFault& f : faults)
            std::printf("  %lld: %s\n", static_cast<long long>(f.From), f.What.c_str());
    }
    return ok;
}

// ---- options ----------------------------------------------------------------------------------

std::vector<std::string> Split(const std::string& Text) {
    std::vector<std::string> parts;
    std::stringstream s(Text);
    std::string part;
    while (std::getline(s, part, ','))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

bool Parse(int argc, char** argv, Options& Opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "--periods") {
            Opt.Periods.clear();
            for (const auto& p : Split(value()))
                Opt.Periods.push_back(static_cast<unsigned>(std::atoi(p.c_str())));
        } else if (a == "--runs") {
            Opt.Loads.clear();
            for (const auto& r : Split(value())) {
                if (r != "idle" && r != "busy" && r != "stall") return false;
                Opt.Loads.push_back(r == "idle" ? TLoad::Idle : r == "busy" ? TLoad::Busy : TLoad::Stall);
            }
        } else if (a == "--patterns") {
            Opt.Patterns = Split(value());
            for (const auto& p : Opt.Patterns)
                if (p != "peal" && p != "burst" && p != "random") return false;
        } else if (a == "--strokes") {
            Opt.Strokes = std::max(16, std::atoi(value().c_str()));
        } else if (a == "--seed") {
            Opt.Seed = static_cast<unsigned>(std::atoi(value().c_str()));
        } else if (a == "--keep") {
            Opt.Keep = value();
        } else if (a == "--verbose") {
            Opt.Verbose = true;
        } else if (a == "--soak") {
            Opt.SoakMinutes = std::atof(value().c_str());
        } else if (a == "--soak-delays") {
            Opt.SoakDelays = value() != "off";
        } else if (a == "--stroke-latency") {
            gStrokeLatencyUs = static_cast<unsigned>(std::atof(value().c_str()) * 1000.0);
        } else if (a == "--report") {
            Opt.ReportMinutes = std::atof(value().c_str());
        } else {
            return false;
        }
    }
    for (unsigned p : Opt.Periods)
        if (p < 16 || p > 4096) return false;
    return !Opt.Periods.empty() && !Opt.Loads.empty() && !Opt.Patterns.empty();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    Options opt;
    if (!Parse(argc, argv, opt)) {
        std::fprintf(
            stderr,
            "usage: %s [--periods 64,128,256] [--runs idle,busy,stall] [--patterns peal,burst,random]\n"
            "          [--strokes N] [--seed S] [--keep DIR] [--verbose] [--stroke-latency MS]\n"
            "       %s --soak MINUTES [--periods P] [--runs idle|busy|stall] [--soak-delays on|off]"
            " [--report MINUTES]\n",
            argv[0], argv[0]);
        return 2;
    }
    int qtArgc = 1;
    TGuiApplication app(qtArgc, argv);
    if (!CheckDecoder()) return 1;
    ConsoleSandbox sandbox;
    if (opt.SoakMinutes > 0) return Soak(sandbox, opt);

    std::printf(
        "Stroke to sound through the real window: byte written on a 2400-baud pseudo-terminal -> bell's first"
        " frame in the captured mix\n");
    std::printf(
        "16 bells of 30 ms tones at 48 kHz; delays 0-800 ms; %d strokes per pattern and delay setting;"
        " patterns:",
        opt.Strokes);
    for (const auto& p : opt.Patterns) std::printf(" %s", p.c_str());
    std::printf("\n");
    {
        const std::vector<double> floor = LineFloorMs(240);
        std::printf(
            "the line itself (write on the master -> read on the slave in a real-time thread, %zu bytes):"
            " median %.3f, p99 %.3f, max %.3f ms\n",
            floor.size(), Median(floor), Percentile(floor, 99), Max(floor));
    }
    std::vector<Row> rows;
    for (unsigned period : opt.Periods)
        for (TLoad load : opt.Loads) rows.push_back(MeasureRow(sandbox, opt, period, load));
    PrintTable(rows);
    std::printf("load average at the end: %s\n", LoadAverage().c_str());
    for (const Row& r : rows)
        if (!r.Error.empty() || r.Decode != "yes") return 1;
    return 0;
}
