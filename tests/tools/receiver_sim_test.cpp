// quorvel-receiver-sim as the console meets it: the program started as a
// captain starts it, its pseudo-terminal opened as the console opens a
// port, its answers read by the console's own parser.

#include "app/ReceiverQuery.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#ifndef QUORVEL_RECEIVER_SIM
#error "QUORVEL_RECEIVER_SIM must name the program under test"
#endif

namespace {

constexpr auto kGenerous = std::chrono::seconds(30);
constexpr unsigned char kAreYouThere = TReceiverQuery::kAreYouThere;
constexpr unsigned char kSendDelays = TReceiverQuery::kSendDelays;
constexpr unsigned char kEnd = TReceiverQuery::kEnd;

using Clock = std::chrono::steady_clock;

// The simulator running in the background, its stdout and stderr read as
// they come; killed with the test.
class Simulator {
public:
    explicit Simulator(const std::vector<std::string>& Args) {
        std::vector<std::string> strings{QUORVEL_RECEIVER_SIM};
        strings.insert(strings.end(), Args.begin(), Args.end());
        const SpawnedChild child = SpawnChild(std::move(strings), true);
        FPid = child.pid;
        FOut = child.out;
        FErr = child.err;
    }
    ~Simulator() {
        if (FPid > 0 && !FExited) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        if (FOut >= 0) ::close(FOut);
        if (FErr >= 0) ::close(FErr);
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The first line of its output: the path the console opens.
    std::string LinePath() {
        while (FOutText.find('\n') == std::string::npos)
            if (!ReadSome(FOut, FOutText)) return {};
        return FOutText.substr(0, FOutText.find('\n'));
    }

    // Waits until its stderr holds Text.
    bool AwaitLog(const std::string& Text) {
        while (FErrText.find(Text) == std::string::npos)
            if (!ReadSome(FErr, FErrText)) return false;
        return true;
    }
    const std::string& Log() const { return FErrText; }

    // Its exit code once it has ended, -1 if it did not end in time.
    int ExitCode() {
        const auto until = Clock::now() + kGenerous;
        int status = 0;
        while (Clock::now() < until) {
            const pid_t r = ::waitpid(FPid, &status, WNOHANG);
            if (r == FPid) {
                FExited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            pollfd p{FErr, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) ReadSome(FErr, FErrText);
        }
        return -1;
    }

private:
    static bool ReadSome(int Fd, std::string& Into) {
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kGenerous).count())) <= 0) return false;
        char buffer[512];
        const ssize_t n = ::read(Fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        Into.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t FPid = -1;
    bool FExited = false;
    int FOut = -1, FErr = -1;
    std::string FOutText, FErrText;
};

// The console's end of the line: opened and set raw as the console sets
// up a receiver's port.
class ConsoleEnd {
public:
    explicit ConsoleEnd(const std::string& Path) {
        FFd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FFd < 0) return;
        termios t{};
        ::tcgetattr(FFd, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B2400);
        ::tcsetattr(FFd, TCSANOW, &t);
    }
    ~ConsoleEnd() {
        if (FFd >= 0) ::close(FFd);
    }
    ConsoleEnd(const ConsoleEnd&) = delete;
    ConsoleEnd& operator=(const ConsoleEnd&) = delete;

    bool Open() const { return FFd >= 0; }

    bool Send(unsigned char Byte) { return ::write(FFd, &Byte, 1) == 1; }

    // What is in the line now, without waiting.
    std::vector<unsigned char> ReadAvailable() {
        std::vector<unsigned char> bytes;
        unsigned char chunk[256];
        for (;;) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) break;
            const ssize_t n = ::read(FFd, chunk, sizeof chunk);
            if (n <= 0) break;
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return bytes;
    }

    // Bytes until Done says the answer is whole, or the limit passes.
    std::vector<unsigned char> ReadUntil(const std::function<bool(const std::vector<unsigned char>&)>& Done) {
        std::vector<unsigned char> bytes;
        const auto until = Clock::now() + kGenerous;
        while (!Done(bytes) && Clock::now() < until) {
            pollfd p{FFd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            unsigned char c;
            if (::read(FFd, &c, 1) == 1) bytes.push_back(c);
        }
        return bytes;
    }

private:
    int FFd = -1;
};

std::string Hex(const std::vector<unsigned char>& Bytes) {
    std::string text;
    char b[4];
    for (unsigned char c : Bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        text += b;
    }
    return text;
}

struct HeldDelays {
    const char* Name;
    std::vector<std::string> Args;  // nothing: the default
    std::array<int, 12> Ms;
};

// The default, an ordinary set, and delays whose bytes are the line's own
// control characters (XON 0x11, XOFF 0x13) or the questions themselves
// (0xFD, 0xFE): a receiver's answer carries them like any other byte.
const HeldDelays kHeld[] = {
    {"none given", {}, {}},
    {"ordinary",
     {"-d", "250,250,300,300,350,400,450,500,600,700,800,900"},
     {250, 250, 300, 300, 350, 400, 450, 500, 600, 700, 800, 900}},
    {"fewer than twelve", {"-d", "490,0,120"}, {490, 0, 120}},
    {"control bytes and the largest", {"-d", "170,190,2530,2540,10"}, {170, 190, 2530, 2540, 10}},
};

void PrintTo(const HeldDelays& Held, std::ostream* Out) {
    *Out << Held.Name;
}

class ReceiverSimAnswers : public ::testing::TestWithParam<HeldDelays> {};

TEST_P(ReceiverSimAnswers, BothQuestionsAsTheConsoleReadsThem) {
    const HeldDelays& held = GetParam();
    std::vector<std::string> args = held.Args;
    args.push_back("");  // no strokes: the bells are silent, as the console asks only then
    Simulator sim(args);
    const std::string path = sim.LinePath();
    ASSERT_FALSE(path.empty()) << "no line path printed; stderr: " << sim.Log();
    ConsoleEnd line(path);
    ASSERT_TRUE(line.Open()) << path;

    ASSERT_TRUE(line.Send(kAreYouThere));
    const auto echo = line.ReadUntil([](const auto& b) { return !b.empty(); });
    EXPECT_EQ(echo, std::vector<unsigned char>{kAreYouThere}) << Hex(echo);

    ASSERT_TRUE(line.Send(kSendDelays));
    const auto bytes = line.ReadUntil([](const auto& b) { return !b.empty() && b.back() == kEnd; });
    ASSERT_FALSE(bytes.empty() || bytes.back() != kEnd) << "no end byte: " << Hex(bytes);
    const TDelaysAnswer answer = ParseDelaysAnswer(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())), true);
    ASSERT_EQ(answer.Kind, TDelaysAnswer::Read) << Hex(bytes);
    EXPECT_EQ(answer.DelaysMs, held.Ms) << Hex(bytes);

    // Asked again, it answers again: the console asks each time the dialog opens.
    ASSERT_TRUE(line.Send(kSendDelays));
    const auto again = line.ReadUntil([](const auto& b) { return !b.empty() && b.back() == kEnd; });
    EXPECT_EQ(again, bytes);
}

INSTANTIATE_TEST_SUITE_P(Held, ReceiverSimAnswers, ::testing::ValuesIn(kHeld), [](const auto& info) {
    std::string name = info.param.Name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

// An older receiver keeps striking and answers nothing. Each of its log
// lines is written after the answer to what it shows, so the strokes read
// after the log (a few more than could have been under way then) come
// after any answer: everything up to them must be strokes.
TEST(ReceiverSim, OlderReceiverAnswersNeitherQuestion) {
    Simulator sim({"-o", "-i", "20", "5"});
    const std::string path = sim.LinePath();
    ASSERT_FALSE(path.empty()) << sim.Log();
    ConsoleEnd line(path);
    ASSERT_TRUE(line.Open()) << path;
    ASSERT_TRUE(line.Send(kAreYouThere));
    ASSERT_TRUE(line.Send(kSendDelays));
    ASSERT_TRUE(sim.AwaitLog("FD")) << sim.Log();
    ASSERT_TRUE(sim.AwaitLog("FE")) << sim.Log();
    std::vector<unsigned char> bytes = line.ReadAvailable();
    const auto after = line.ReadUntil([](const auto& b) { return std::count(b.begin(), b.end(), '5') >= 5; });
    ASSERT_EQ(std::count(after.begin(), after.end(), '5'), 5) << Hex(after);
    bytes.insert(bytes.end(), after.begin(), after.end());
    for (unsigned char c : bytes) EXPECT_EQ(c, '5') << Hex(bytes);
}

// Strokes go out in order, round after round; those sent before the
// console opened the line wait in it, as on a serial line held open.
TEST(ReceiverSim, SendsItsStrokesInOrder) {
    Simulator sim({"-i", "5", "1E0TaD"});
    const std::string path = sim.LinePath();
    ASSERT_FALSE(path.empty()) << sim.Log();
    ConsoleEnd line(path);
    ASSERT_TRUE(line.Open()) << path;
    const std::string expected = "1E0TaD1E0TaD1E0TaD";
    const auto bytes = line.ReadUntil([&](const auto& b) { return b.size() >= expected.size(); });
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), expected);
}

// With a count it ends by itself once the rounds are sent.
TEST(ReceiverSim, EndsAfterItsRounds) {
    const ChildResult r = RunChild(QStringLiteral(QUORVEL_RECEIVER_SIM), {"-i", "1", "-n", "3", "12"}, 30000);
    EXPECT_TRUE(r.ok()) << r.code << " " << r.error.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("/dev/")) << r.out.toStdString();
}

// A command line it cannot follow is refused before any line is opened,
// with what is wrong.
struct BadLine {
    std::vector<std::string> Args;
    const char* Says;
};
const BadLine kBadLines[] = {
    {{"-d", "255"}, "not a multiple of 10"},
    {{"-d", "2550"}, "bell 1"},
    {{"-d", "250,,250"}, "bell 2"},
    {{"-d", "-10"}, "bell 1"},
    {{"-d", "250x"}, "bell 1"},
    {{"-d", "0,0,0,0,0,0,0,0,0,0,0,0,0"}, "more than 12"},
    {{"-i", "0"}, "-i"},
    {{"-i", "fast"}, "-i"},
    {{"-n", "-1"}, "-n"},
    {{"-d"}, "-d wants a value"},
    {{"-x"}, "unknown option -x"},
    {{"123", "456"}, "one strokes argument"},
};

TEST(ReceiverSim, RefusesWhatItCannotFollow) {
    for (const BadLine& bad : kBadLines) {
        QStringList args;
        std::string shown;
        for (const std::string& a : bad.Args) {
            args << QString::fromStdString(a);
            shown += a + " ";
        }
        const ChildResult r = RunChild(QStringLiteral(QUORVEL_RECEIVER_SIM), args, 30000);
        ASSERT_TRUE(r.finished) << shown << r.error.toStdString();
        EXPECT_EQ(r.code, 2) << shown;
        EXPECT_TRUE(r.out.isEmpty()) << shown << "opened a line: " << r.out.toStdString();
        EXPECT_TRUE(r.err.contains(bad.Says)) << shown << r.err.toStdString();
    }
}

}  // namespace
