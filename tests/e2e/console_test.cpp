// The real quorvel16 as a ringer meets it: on an X server of its own, with a
// pseudo-terminal as the tower's receiver and the capture output as the
// sound card. The test only does what a person can do (keys and clicks with
// xdotool, the frame's close button) and judges what a person would see and
// hear: the window, its LEDs, and the bells in the captured mix.

#include "tests/support/ConsoleKit.h"
#include "tests/support/LineWitness.h"
#include "tests/support/PseudoTerminal.h"
#include "tests/support/RealTime.h"
#include "tests/support/WaveOutTestKit.h"
#include "tests/support/XDesktop.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <map>

#ifndef QUORVEL16
#error "QUORVEL16 must name the program under test"
#endif

namespace {

constexpr int kRate = 48000;  // the output's rate; the bells are written at it
constexpr int kToleranceMs = 20;
constexpr auto kGenerous = std::chrono::seconds(90);
const std::string kTitle = "Quorvel 16";
const std::string kNotDetected = "   [RECEIVER NOT DETECTED]";
constexpr std::uint32_t kGrey = Rgb(128, 128, 128);
constexpr std::uint32_t kLit = Rgb(0, 255, 0);
constexpr unsigned char kAreYouThere = 0xFD;  // what a receiver is asked first

std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void Sleep(int Milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}

// What each bell of the test ring is: its stroke character, its delay, and
// its sound (a coded level, or silence for bells only seen, not heard).
struct Bell {
    int Number;
    char Key;
    int DelayMs;
    int Code;  // -1: silent
    int LengthMs;
};

// Delays far enough apart that a bell at the wrong delay cannot pass.
const Bell kRing[] = {
    {1, '1', 100, 0, 250},   {2, '2', 40, -1, 8000}, {5, '5', 60, -1, 1500},
    {9, '9', 500, -1, 3000}, {10, '0', 230, 1, 250}, {11, 'E', 370, 2, 250},
    {12, 'T', 0, 3, 250},    {13, 'A', 160, 4, 250}, {16, 'D', 290, 5, 250},
};

const Bell* BellNumbered(int Number) {
    for (const Bell& b : kRing)
        if (b.Number == Number) return &b;
    return nullptr;
}

const Bell* BellOfKey(char Key) {
    for (const Bell& b : kRing)
        if (std::toupper(static_cast<unsigned char>(b.Key)) == std::toupper(static_cast<unsigned char>(Key)))
            return &b;
    return nullptr;
}

// A 48 kHz 16-bit mono WAV of silence.
void MakeSilentBell(const QString& Path, int Milliseconds) {
    const std::uint32_t bytes = kRate / 1000 * static_cast<std::uint32_t>(Milliseconds) * 2;
    auto u32 = [](std::uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    const QByteArray file = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(1) + u16(1) + u32(kRate) +
                            u32(kRate * 2) + u16(2) + u16(16) + "data" + u32(bytes) + QByteArray(bytes, '\0');
    QFile f(Path);
    if (!f.open(QIODevice::WriteOnly) || f.write(file) != file.size())
        ADD_FAILURE() << "cannot write " << Path.toStdString();
}

std::string ReadText(const std::string& Path) {
    QFile f(QString::fromStdString(Path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
}

// key=value pairs of one section of an INI file.
std::map<std::string, std::string> IniSection(const std::string& Text, const std::string& Section) {
    std::map<std::string, std::string> values;
    std::istringstream in(Text);
    std::string line, current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
            current = line.substr(1, line.size() - 2);
            continue;
        }
        const auto eq = line.find('=');
        if (eq != std::string::npos && current == Section) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// One start of a voice as the capture output logged it.
struct StartRecord {
    std::int64_t RequestNs;
    double RequestFrame;
    std::int64_t FirstFrame;
};

std::vector<StartRecord> ReadStarts(const std::string& Path) {
    std::vector<StartRecord> records;
    std::istringstream in(ReadText(Path));
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        unsigned long long voice;
        long long requestNs, firstFrame;
        double requestFrame;
        if (std::sscanf(line.c_str(), "%llu,%lld,%lf,%lld", &voice, &requestNs, &requestFrame, &firstFrame) ==
            4)
            records.push_back({requestNs, requestFrame, firstFrame});
    }
    return records;
}

// A stroke the test sent, and what it must sound like.
struct Expected {
    const Bell* Of;
    std::int64_t DueNs;  // write time plus the bell's delay
    std::size_t Mark;    // its write's mark on the line's witness
};

class RingerAtTheConsole : public ::testing::Test {
protected:
    void TearDown() override {
        App.Kill();
        if (HasFailure()) {
            std::cout << "---- quorvel16 output\n"
                      << ReadText(Path("quorvel16.log")) << "---- Xvfb output\n"
                      << ReadText(Path("xvfb.log")) << "---- settings, bells and the captured mix kept in "
                      << Root.path().toStdString() << "\n";
            Root.setAutoRemove(false);
        }
        Display.Stop();
    }

    std::string Path(const std::string& Name) const {
        return (Root.path() + "/" + QString::fromStdString(Name)).toStdString();
    }

    // A settings folder, home and bell files of the test's own.
    void Prepare() {
        ASSERT_TRUE(Root.isValid());
        for (const char* d :
             {"config/QUORVEL", "home", "cache", "data", "state", "runtime", "bells", "no-ports"})
            ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Path(d))));
        ::chmod(Path("runtime").c_str(), 0700);

        std::string soundFiles, delays;
        for (int n = 1; n <= 16; ++n) {
            const Bell* b = BellNumbered(n);
            const QString file = QString::fromStdString(Path("bells/bell" + std::to_string(n) + ".wav"));
            if (b && b->Code >= 0)
                MakeCodedBell(file, b->Code, b->LengthMs);
            else
                MakeSilentBell(file, b ? b->LengthMs : 300);
            soundFiles += "BELL" + std::to_string(n) + "=" + file.toStdString() + "\n";
            delays += "BELL" + std::to_string(n) + "=" + std::to_string(b ? b->DelayMs : 300) + "\n";
        }
        const std::string settings = "[COMPORT]\nFComPort1.DeviceName=" + Receiver.SlavePath() +
                                     "\n[AUDIO]\nOutput=capture:" + Path("mix.wav") + "\nPeriodFrames=128\n" +
                                     "[SOUNDFILES]\n" + soundFiles + "[DELAY]\n" + delays;
        QFile f(QString::fromStdString(Path("config/QUORVEL/settings.ini")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(settings.data(), static_cast<qint64>(settings.size()));
    }

    void StartDesktop() {
        ASSERT_TRUE(Display.Start(Path("xvfb.log"))) << ReadText(Path("xvfb.log"));
        ASSERT_TRUE(X.Connect(Display.Name()));
        Env = EnvironmentWith(SandboxSession(Path(""), Display.Name()));
    }

    // How this machine can show the program an empty port list (a mount
    // namespace with nothing in /sys/class/tty): empty when it cannot.
    // Root takes a mount namespace alone, keeping its right to real-time
    // priority (a user namespace's root has none outside it, and a program
    // without it is judged by the machine's load, not its own timing).
    std::string HidingFlags() {
        for (const char* flags : {"-m", "-rm"}) {
            if (flags == std::string("-m") && ::geteuid() != 0) continue;
            const ToolResult r =
                RunTool({"unshare", flags, "sh", "-c",
                         "mount --bind \"$0\" /sys/class/tty && ls -A /sys/class/tty", Path("no-ports")},
                        Env, Path("tool.out"));
            if (r.Code == 0 && r.Output.empty()) return flags;
        }
        return {};
    }

    void StartProgram(const std::string& HidingFlags) {
        std::vector<std::string> argv = {QUORVEL16};
        if (!HidingFlags.empty())
            argv = {"unshare",
                    HidingFlags,
                    "sh",
                    "-c",
                    "mount --bind \"$0\" /sys/class/tty && exec \"$1\"",
                    Path("no-ports"),
                    QUORVEL16};
        ASSERT_TRUE(App.Start(argv, Env, Path("quorvel16.log")));
    }

    void Xdotool(std::vector<std::string> Args) {
        Args.insert(Args.begin(), "xdotool");
        const ToolResult r = RunTool(Args, Env, Path("tool.out"));
        EXPECT_EQ(r.Code, 0) << "xdotool failed: " << r.Output;
    }

    void ClickAt(int X, int Y) {
        Xdotool({"mousemove", "--window", std::to_string(Window), std::to_string(X), std::to_string(Y),
                 "click", "1"});
    }

    // Where bell n's LED lies in the window, as the window lays them out.
    XClient::Rect Led(int Bell) const {
        const int width = static_cast<int>(std::nearbyint((Size.Width - 138 - 4) / 8.0 - 8));
        const int height = static_cast<int>(std::nearbyint((Size.Height - 47) / 2.0 - 20 - 8));
        const int column = (Bell - 1) % 8, row = (Bell - 1) / 8;
        return {152 + column * (width + 5), 8 + row * (height + 5), width, height};
    }

    // The LED's colour off its number, in its top left corner.
    std::uint32_t LedColour(int Bell) {
        const XClient::Rect r = Led(Bell);
        return X.Pixel(Window, r.X + 3, r.Y + 3).value_or(0xFFFFFFFF);
    }

    bool AwaitLed(int Bell, std::uint32_t Colour, std::chrono::milliseconds Limit = kGenerous) {
        return XClient::Await([&] { return LedColour(Bell) == Colour; }, Limit, std::chrono::milliseconds(1));
    }

    // Whether the program has the receiver's line open.
    bool HoldsReceiver() {
        QDir fds(QStringLiteral("/proc/%1/fd").arg(App.Pid()));
        for (const QString& fd : fds.entryList(QDir::Files | QDir::System))
            if (QFile::symLinkTarget(fds.filePath(fd)).toStdString() == Receiver.SlavePath()) return true;
        return false;
    }

    // Writes bytes to the receiver's line in one write; notes when.
    void Strike(const std::string& Bytes) {
        std::int64_t now;
        ssize_t written;
        {
            const RealTimeMoment moment;  // nothing runs between the time noted and the write
            now = MonotonicNs();
            written = ::write(Receiver.Master(), Bytes.data(), Bytes.size());
        }
        const std::size_t mark = Witness.Mark();
        ASSERT_EQ(written, static_cast<ssize_t>(Bytes.size()));
        for (char c : Bytes)
            if (const Bell* b = BellOfKey(c))
                Sent.push_back({b, now + std::int64_t(b->DelayMs) * 1000000, mark});
    }

    // Up to the window shown: the warning box when no port is listed,
    // answered with the keyboard.
    void MeetTheWindow(bool ExpectWarning) {
        std::optional<XClient::Window> box, main;
        ASSERT_TRUE(XClient::Await(
            [&] {
                box = X.Find("Warning");
                main = X.Find(kTitle);
                return box || main || !App.Running();
            },
            kGenerous, std::chrono::milliseconds(20)))
            << "no window appeared";
        ASSERT_TRUE(App.Running());
        if (ExpectWarning) {
            ASSERT_TRUE(box) << "the warning box did not come first";
        }
        if (box) {
            SawWarning = true;
            EXPECT_FALSE(main) << "the main window showed before the warning was answered";
            // The box has the keyboard once the pointer is on it (no window
            // manager here: the focus follows the pointer).
            Xdotool({"mousemove", "--window", std::to_string(box->Id), "10", "10"});
            Xdotool({"key", "Return"});
            ASSERT_TRUE(
                XClient::Await([&] { return !X.Find("Warning"); }, kGenerous, std::chrono::milliseconds(20)))
                << "the warning box stayed after Return";
            ASSERT_TRUE(XClient::Await([&] { return (main = X.Find(kTitle)).has_value(); }, kGenerous,
                                       std::chrono::milliseconds(20)));
        }
        Window = main->Id;
        // Drawn, not only mapped: the first LED shows its grey where the
        // window's size puts it (both read afresh: mapped is no sign of done).
        ASSERT_TRUE(XClient::Await(
            [&] {
                const std::optional<XClient::Rect> g = X.Geometry(Window);
                if (!g) return false;
                Size = *g;
                return LedColour(1) == kGrey;
            },
            kGenerous, std::chrono::milliseconds(5)))
            << "the window was never drawn";
        Title = X.Title(Window);
    }

    // From the window shown to the bells sounding, then closing.
    void RingAndClose(bool ExpectNoReceiver) {
        MeetTheWindow(ExpectNoReceiver);
        if (HasFatalFailure()) return;
        EXPECT_EQ(Title.rfind(kTitle + " v", 0), 0u) << Title;
        const bool detected =
            Title.size() < kNotDetected.size() ||
            Title.compare(Title.size() - kNotDetected.size(), kNotDetected.size(), kNotDetected) != 0;
        EXPECT_EQ(detected, !SawWarning) << "caption " << Title;
        if (ExpectNoReceiver) {
            EXPECT_FALSE(detected) << "caption " << Title;
        }
        EXPECT_EQ(Size.Width, 737);
        EXPECT_EQ(Size.Height, 233);

        const int panelTop = Size.Height - 47;
        if (!detected) {
            // The stored port was not loaded: the ringer types the receiver's
            // path into the empty selector, which stores it as it goes.
            ClickAt(25 + 97 / 2, panelTop + 12 + 21 / 2);
            Xdotool({"type", "--delay", "40", Receiver.SlavePath()});
            ASSERT_TRUE(XClient::Await(
                [&] {
                    return IniSection(ReadText(Path("config/QUORVEL/settings.ini")),
                                      "COMPORT")["FComPort1.DeviceName"] == Receiver.SlavePath();
                },
                kGenerous, std::chrono::milliseconds(20)))
                << "the typed port never reached the settings file:\n"
                << ReadText(Path("config/QUORVEL/settings.ini"));
        }
        EXPECT_FALSE(HoldsReceiver()) << "the line is open before START LISTENING";

        const int listenLeft =
            static_cast<int>(std::nearbyint(Size.Width / 2.0)) - static_cast<int>(std::nearbyint(169 / 2.0));
        ClickAt(listenLeft + 169 / 2, panelTop + 3 + 39 / 2);
        // Listening: the program asks the receiver whether it is there once
        // the line is open, purged and set up, so nothing written from the
        // moment that question arrives is thrown away. (The line's settings
        // change as it opens, before the purge: no sign of being ready.)
        ASSERT_TRUE(Receiver.AwaitByte(kAreYouThere, kGenerous))
            << "START LISTENING did not open the receiver's line";

        // The first stroke is heard: its LED lights.
        Strike("5");
        ASSERT_TRUE(AwaitLed(5, kLit)) << "the first stroke was not heard";
        EXPECT_EQ(LedColour(4), kGrey) << "another bell lit";
        ASSERT_TRUE(AwaitLed(5, kGrey)) << "the LED stayed lit after its sound";

        // Strokes far enough apart that each bell's sound ends before it is
        // struck again, except the deliberate restrike.
        for (const std::string& stroke :
             {std::string("1"), std::string("0"), std::string("Et"), std::string("Z"), std::string("x"),
              std::string("\r"), std::string("\x80"), std::string("Zx\r\x80"), std::string("a"),
              std::string("D"), std::string("te"), std::string("dA"), std::string("x0")}) {
            Strike(stroke);
            if (HasFatalFailure()) return;
            Sleep(700);
        }
        // A bell struck again while it sounds stops and sounds again after
        // its delay.
        Strike("1");
        Sleep(200);
        Strike("1");
        Sleep(700);

        // A close while a bell sounds waits for it. The click on bell 9
        // that follows the close request reaches the window after it and
        // still sounds; the window goes once both have ended.
        Strike("2");
        ASSERT_TRUE(AwaitLed(2, kLit)) << "bell 2 was not heard";
        X.AskToClose(Window);
        const XClient::Rect nine = Led(9);
        ClickAt(nine.X + 5, nine.Y + 5);
        ++Clicks;
        ASSERT_TRUE(AwaitLed(9, kLit)) << "the click on bell 9 was not heard";
        EXPECT_EQ(LedColour(2), kLit) << "bell 2 ended before the close request was answered";
        ASSERT_TRUE(App.Running()) << "the program ended on a close while a bell sounded";
        ASSERT_TRUE(X.Viewable(Window)) << "the window closed while a bell sounded";
        const std::optional<int> status = App.WaitExit(kGenerous);
        ASSERT_TRUE(status) << "the window did not close once every bell was silent";
        ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0);

        auto position = IniSection(ReadText(Path("config/QUORVEL/settings.ini")), "Position");
        EXPECT_EQ(position["Left"], std::to_string(Size.X));
        EXPECT_EQ(position["Top"], std::to_string(Size.Y));
        EXPECT_EQ(position["Width"], std::to_string(Size.Width));
        EXPECT_EQ(position["Height"], std::to_string(Size.Height));

        CheckWhatWasHeard();
    }

    // The captured mix against the strokes sent.
    void CheckWhatWasHeard() {
        Capture mix;
        ASSERT_TRUE(readCapture(Path("mix.wav"), mix)) << "no complete capture";
        ASSERT_EQ(mix.rate, static_cast<unsigned>(kRate));
        const std::vector<StartRecord> starts = ReadStarts(Path("mix.wav.starts"));

        // Every stroke of a bell started one sound, the clicks too, and
        // nothing else did (silent bells included).
        EXPECT_EQ(starts.size(), Sent.size() + static_cast<std::size_t>(Clicks))
            << "voices started against bell strokes and clicks";

        std::vector<Expected> heard;
        for (const Expected& e : Sent)
            if (e.Of->Code >= 0) heard.push_back(e);
        std::stable_sort(heard.begin(), heard.end(),
                         [](const Expected& a, const Expected& b) { return a.DueNs < b.DueNs; });
        const std::vector<Onset> onsets = Onsets(mix);

        // Which bells, how often, in what order.
        std::vector<int> expectedCodes, heardCodes;
        for (const Expected& e : heard) expectedCodes.push_back(e.Of->Code);
        for (const Onset& o : onsets) heardCodes.push_back(o.Code);
        ASSERT_EQ(heardCodes, expectedCodes) << "bells heard (codes in order of sounding)";

        // When: each onset against its neighbour's, from the test's own
        // write times.
        double worstRelative = 0;
        for (std::size_t i = 1; i < heard.size(); ++i) {
            const double dueMs = double(heard[i].DueNs - heard[i - 1].DueNs) / 1e6;
            const double onsetMs = double(onsets[i].Frame - onsets[i - 1].Frame) * 1000.0 / kRate;
            worstRelative = std::max(worstRelative, std::abs(onsetMs - dueMs));
            EXPECT_NEAR(onsetMs, dueMs, kToleranceMs + LineDelayMs(heard[i]) + LineDelayMs(heard[i - 1]))
                << "bell " << heard[i].Of->Number << " after bell " << heard[i - 1].Of->Number
                << " (the line's own delays " << LineDelayMs(heard[i]) << " and " << LineDelayMs(heard[i - 1])
                << " ms)";
        }

        // And against the output's own clock: frame 0's time and the fixed
        // latency from the start log.
        ASSERT_FALSE(starts.empty());
        std::vector<double> origins;
        double latency = 1e18;
        for (const StartRecord& s : starts) {
            origins.push_back(double(s.RequestNs) - s.RequestFrame * 1e9 / kRate);
            latency = std::min(latency, double(s.FirstFrame) - s.RequestFrame);
        }
        std::sort(origins.begin(), origins.end());
        const double origin = origins[origins.size() / 2];
        EXPECT_LT(origins.back() - origins.front(), 1e6) << "the output clock moved";
        double worstAbsolute = 0;
        for (std::size_t i = 0; i < heard.size(); ++i) {
            const double due = (double(heard[i].DueNs) - origin) * kRate / 1e9 + latency;
            const double errorMs = (double(onsets[i].Frame) - due) * 1000.0 / kRate;
            worstAbsolute = std::max(worstAbsolute, std::abs(errorMs));
            // Asked for late (the program's main thread) or placed late (the mixer)?
            double askedLateMs = 1e9;
            for (const StartRecord& s : starts)
                if (std::abs(double(s.RequestNs - heard[i].DueNs)) < std::abs(askedLateMs) * 1e6)
                    askedLateMs = double(s.RequestNs - heard[i].DueNs) / 1e6;
            const double lineMs = LineDelayMs(heard[i]);
            EXPECT_LE(std::abs(errorMs - std::clamp(errorMs, 0.0, lineMs)), kToleranceMs)
                << "bell " << heard[i].Of->Number << " stroke " << i << ": the program asked for it "
                << askedLateMs << " ms after it was due; the line's own delay " << lineMs << " ms";
        }

        // Each sound whole, unless its own bell cut it short.
        for (std::size_t i = 0; i < heard.size(); ++i) {
            bool restruck = false;
            for (std::size_t j = i + 1; j < heard.size(); ++j)
                restruck |=
                    heard[j].Of == heard[i].Of && heard[j].DueNs - heard[j].Of->DelayMs * 1000000LL <
                                                      heard[i].DueNs + heard[i].Of->LengthMs * 1000000LL;
            if (restruck) continue;
            const std::int64_t length = std::int64_t(heard[i].Of->LengthMs) * kRate / 1000;
            EXPECT_TRUE(
                Sounds(mix, heard[i].Of->Code, onsets[i].Frame + length - 2, onsets[i].Frame + length - 1))
                << "bell " << heard[i].Of->Number << " cut short";
            EXPECT_FALSE(
                Sounds(mix, heard[i].Of->Code, onsets[i].Frame + length + 1, onsets[i].Frame + length + 2))
                << "bell " << heard[i].Of->Number << " sounded too long";
        }
        std::cout << heard.size() << " sounds heard; worst timing error " << worstRelative
                  << " ms between strokes, " << worstAbsolute
                  << " ms against the output clock (fixed latency " << latency * 1000.0 / kRate << " ms)\n";
    }

    QTemporaryDir Root;
    PseudoTerminal Receiver;
    VirtualDisplay Display;
    XClient X;
    ChildProcess App;
    std::vector<std::string> Env;

    xcb_window_t Window = 0;
    std::string Title;
    XClient::Rect Size;
    bool SawWarning = false;
    std::vector<Expected> Sent;
    // The line's own delay at each stroke, watched beside it: a stroke the
    // kernel hands over late on a busy machine is forgiven that much.
    LineWitness Witness;
    double LineDelayMs(const Expected& E) const { return double(Witness.DelayNs(E.Mark)) / 1e6; }
    int Clicks = 0;
};

// With whatever serial ports this machine lists: none shows the warning
// first and an empty selector; some load the stored receiver port.
TEST_F(RingerAtTheConsole, RingsTheBellsStruckAndClosesOnlyWhenSilent) {
    Prepare();
    StartDesktop();
    ASSERT_FALSE(HasFatalFailure());
    StartProgram({});
    ASSERT_FALSE(HasFatalFailure());
    RingAndClose(false);
}

// A machine without serial ports, as a laptop before its adapter is in.
TEST_F(RingerAtTheConsole, WithoutAReceiverTheRingerTypesItsPort) {
    Prepare();
    StartDesktop();
    ASSERT_FALSE(HasFatalFailure());
    const std::string hiding = HidingFlags();
    if (hiding.empty()) GTEST_SKIP() << "cannot hide this machine's serial ports (no mount namespace)";
    StartProgram(hiding);
    ASSERT_FALSE(HasFatalFailure());
    RingAndClose(true);
}

// Shift and a click on a bell opens the wave file chooser, centred on the
// screen with its panel; the ringer types another file's name and presses
// Return: the bell now sounds that file, and the settings keep it.
TEST_F(RingerAtTheConsole, ShiftClickChoosesABellsSound) {
    Prepare();
    StartDesktop();
    ASSERT_FALSE(HasFatalFailure());
    StartProgram({});
    ASSERT_FALSE(HasFatalFailure());
    MeetTheWindow(false);
    ASSERT_FALSE(HasFatalFailure());
    constexpr int kNewCode = 2;  // bell 1 itself is code 0
    const QString chosen = MakeCodedBell(QString::fromStdString(Path("bells/chosen.wav")), kNewCode, 250);

    const XClient::Rect one = Led(1);
    Xdotool({"mousemove", "--window", std::to_string(Window), std::to_string(one.X + 5),
             std::to_string(one.Y + 5), "keydown", "shift", "click", "1", "keyup", "shift"});
    std::optional<XClient::Window> dialog;
    ASSERT_TRUE(XClient::Await([&] { return (dialog = X.Find("Open Wave File")).has_value(); }, kGenerous,
                               std::chrono::milliseconds(20)))
        << "Shift and a click opened no file dialog";
    // Where the dialog settles (mapped is no sign of placed).
    std::optional<XClient::Rect> at;
    const bool centred = XClient::Await(
        [&] {
            at = X.Geometry(dialog->Id);
            return at && at->X == (1280 - at->Width) / 2 && at->Y == (800 - at->Height) / 3;
        },
        std::chrono::seconds(20), std::chrono::milliseconds(20));
    ASSERT_TRUE(at);
    EXPECT_TRUE(centred) << "the dialog " << at->Width << "x" << at->Height << " is at " << at->X << ","
                         << at->Y;
    // The panel's idle waveform area: a grey line at half height.
    ASSERT_TRUE(XClient::Await(
        [&] {
            std::vector<std::uint32_t> pixels;
            if (!X.Grab(dialog->Id, {0, 0, at->Width, at->Height}, pixels)) return false;
            for (int y = 0; y < at->Height; ++y) {
                int run = 0;
                for (int x = 0; x < at->Width; ++x) {
                    run = pixels[static_cast<std::size_t>(y * at->Width + x)] == Rgb(128, 128, 128) ? run + 1
                                                                                                    : 0;
                    if (run >= 200) return true;
                }
            }
            return false;
        },
        kGenerous, std::chrono::milliseconds(50)))
        << "no waveform area in the dialog";

    // The name box has the keyboard once the pointer is on the dialog.
    Xdotool({"mousemove", "--window", std::to_string(dialog->Id), "10", "10"});
    Xdotool({"key", "ctrl+a"});
    Xdotool({"type", "--delay", "20", "chosen.wav"});
    Xdotool({"key", "Return"});
    // A first Return may only take the completion the name box offered.
    if (!XClient::Await([&] { return !X.Find("Open Wave File"); }, std::chrono::seconds(2),
                        std::chrono::milliseconds(20)))
        Xdotool({"key", "Return"});
    ASSERT_TRUE(
        XClient::Await([&] { return !X.Find("Open Wave File"); }, kGenerous, std::chrono::milliseconds(20)))
        << "the dialog stayed after Return";
    ASSERT_TRUE(XClient::Await(
        [&] {
            return IniSection(ReadText(Path("config/QUORVEL/settings.ini")), "SOUNDFILES")["BELL1"] ==
                   chosen.toStdString();
        },
        kGenerous, std::chrono::milliseconds(20)))
        << "the chosen file was not stored:\n"
        << ReadText(Path("config/QUORVEL/settings.ini"));

    // A plain click now sounds the chosen file.
    ClickAt(one.X + 5, one.Y + 5);
    ASSERT_TRUE(AwaitLed(1, kLit)) << "the click on bell 1 was not heard";
    ASSERT_TRUE(AwaitLed(1, kGrey));
    X.AskToClose(Window);
    const std::optional<int> status = App.WaitExit(kGenerous);
    ASSERT_TRUE(status) << "the window did not close";
    Capture mix;
    ASSERT_TRUE(readCapture(Path("mix.wav"), mix)) << "no complete capture";
    std::vector<int> codes;
    for (const Onset& o : Onsets(mix)) codes.push_back(o.Code);
    EXPECT_EQ(codes, std::vector<int>({kNewCode}));
}

// A first start: settings that name no sound. The program rings the demo
// ring that lies beside it, and remembers none of it.
TEST_F(RingerAtTheConsole, AFirstStartRingsTheDemoRing) {
    Prepare();
    const std::string settings = "[AUDIO]\nOutput=capture:" + Path("mix.wav") + "\nPeriodFrames=128\n";
    {
        QFile f(QString::fromStdString(Path("config/QUORVEL/settings.ini")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(settings.data(), static_cast<qint64>(settings.size()));
    }
    StartDesktop();
    ASSERT_FALSE(HasFatalFailure());
    StartProgram({});
    ASSERT_FALSE(HasFatalFailure());
    MeetTheWindow(false);
    ASSERT_FALSE(HasFatalFailure());

    const XClient::Rect three = Led(3);
    ClickAt(three.X + 5, three.Y + 5);
    ASSERT_TRUE(AwaitLed(3, kLit)) << "the click on bell 3 was not heard";
    ASSERT_TRUE(AwaitLed(3, kGrey));
    const std::int64_t asked = MonotonicNs();
    X.AskToClose(Window);
    const std::optional<int> status = App.WaitExit(kGenerous);
    ASSERT_TRUE(status) << "the window did not close";
    std::cout << "silent window: close button to the program ended in " << double(MonotonicNs() - asked) / 1e6
              << " ms\n";

    Capture mix;
    ASSERT_TRUE(readCapture(Path("mix.wav"), mix)) << "no complete capture";
    const std::vector<StartRecord> starts = ReadStarts(Path("mix.wav.starts"));
    ASSERT_EQ(starts.size(), 1u) << "one click, one sound";
    const auto first = static_cast<std::size_t>(starts[0].FirstFrame);
    ASSERT_LT(first + kRate / 2, mix.frames());
    int before = 0, after = 0;
    for (std::size_t f = first > 4800 ? first - 4800 : 0; f < first; ++f)
        before = std::max(before, std::abs(int(mix.at(f, 0))));
    for (std::size_t f = first; f < first + kRate / 2; ++f)
        after = std::max(after, std::abs(int(mix.at(f, 0))));
    EXPECT_EQ(before, 0) << "sound before the click";
    EXPECT_GT(after, 1000) << "the demo bell was not heard";
    EXPECT_EQ(ReadText(Path("config/QUORVEL/settings.ini")).find("SOUNDFILES"), std::string::npos)
        << ReadText(Path("config/QUORVEL/settings.ini"));
}

}  // namespace
