// Real-time priority for the mixer and the serial service thread, directly
// or through RealtimeKit: a private dbus-daemon, a stand-in RealtimeKit that
// really applies SCHED_FIFO, and a probe process that starts the sound
// output and opens a serial line as the program does.

#include "platform/rtkit/Realtime.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTextStream>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A program that keeps running until the test ends; it says on stdout when it
// is ready.
class Service {
public:
    Service(const std::vector<std::string>& args) {
        const SpawnedChild child = SpawnChild(args, false);
        FPid = child.pid;
        FOut = child.out;
    }
    ~Service() {
        if (FPid > 0) {
            ::kill(FPid, SIGTERM);
            int status = 0;
            while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (FOut >= 0) ::close(FOut);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // The first line it prints; empty when it ends or says nothing for long.
    std::string firstLine() {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (FPid > 0 && FOut >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return {};
            pollfd p{FOut, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char c;
            const ssize_t n = ::read(FOut, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return {};
            if (c == '\n') return line;
            line += c;
        }
        return {};
    }

private:
    pid_t FPid = -1;
    int FOut = -1;
};

struct ProbeReport {
    std::string error;
    bool realtime = false;
    std::string note;
    int pid = 0;
    std::map<int, int> fifo;  // tid -> priority
    long long rttimeSoft = 0, rttimeHard = 0;
};

ProbeReport RunProbe(const QStringList& args) {
    ProbeReport report;
    const ChildResult run = RunChild(QStringLiteral(PROBE_PROGRAM), args, 60000);
    if (!run.ok()) {
        report.error =
            "probe failed: " + run.error.toStdString() + " " + run.out.toStdString() + run.err.toStdString();
        return report;
    }
    std::istringstream in(run.out.toStdString());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string what;
        words >> what;
        if (what == "mixer") {
            int realtime = 0;
            words >> realtime;
            words.get();
            std::getline(words, report.note);
            report.realtime = realtime == 1;
        } else if (what == "fifo") {
            int tid = 0, priority = 0;
            words >> tid >> priority;
            report.fifo[tid] = priority;
        } else if (what == "rttime") {
            words >> report.rttimeSoft >> report.rttimeHard;
        } else if (what == "pid") {
            words >> report.pid;
        }
    }
    return report;
}

struct Call {
    int pid, tid, priority;
    long long rttimeSoft, rttimeHard;
};

std::vector<Call> ReadCalls(const QString& path) {
    std::vector<Call> calls;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return calls;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QStringList w = in.readLine().split(' ');
        if (w.size() == 6 && w[0] == QLatin1String("call"))
            calls.push_back({w[1].toInt(), w[2].toInt(), w[3].toInt(), w[4].toLongLong(), w[5].toLongLong()});
    }
    return calls;
}

std::vector<int> Priorities(const std::map<int, int>& fifo) {
    std::vector<int> p;
    for (const auto& [tid, priority] : fifo) p.push_back(priority);
    std::sort(p.begin(), p.end());
    return p;
}

// A session bus of the test's own, open to everyone.
QString WriteBusConfig(const TempDir& dir) {
    const QString path = dir.file(QStringLiteral("bus.conf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return {};
    QTextStream(&file)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>custom</type>\n"
           "  <listen>unix:path="
        << dir.file(QStringLiteral("bus")) << "</listen>\n"
        << "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    return path;
}

// None: nothing listens at the address; Hung: a socket that takes the
// connection and never says a word, as a bus that hangs.
enum class Bus { WithService, WithoutService, None, Hung };

struct Case {
    const char* name;
    bool unprivileged;
    Bus bus;
    int maxPriority;
    long long rttimeMax;
    const char* mode;                  // the stand-in's: "", "refuse", "silent"
    const char* rttime;                // the probe's RLIMIT_RTTIME to start with, or nullptr
    std::string note;                  // the mixer's note; a trailing '*' means "starts with"
    std::vector<int> fifo;             // priorities of the process's SCHED_FIFO threads
    int calls;                         // MakeThreadRealtime calls the stand-in saw
    long long rttimeSoft, rttimeHard;  // RLIMIT_RTTIME after; 0: as the test's own
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class RealtimeRequest : public ::testing::TestWithParam<Case> {};

TEST_P(RealtimeRequest, GrantsOrSaysWhyNot) {
    const Case& c = GetParam();
    TempDir dir;
    const QString record = dir.file(QStringLiteral("calls"));

    std::unique_ptr<Service> daemon, standin;
    std::string address = "unix:path=" + dir.file(QStringLiteral("no-bus")).toStdString();
    int hung = -1;
    if (c.bus == Bus::Hung) {
        hung = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        const std::string path = dir.file(QStringLiteral("hung")).toStdString();
        std::strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
        ASSERT_EQ(::bind(hung, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
        ASSERT_EQ(::listen(hung, 8), 0);
        address = "unix:path=" + path;
    }
    if (c.bus == Bus::WithService || c.bus == Bus::WithoutService) {
        daemon = std::make_unique<Service>(
            std::vector<std::string>{"dbus-daemon", "--nofork", "--print-address=1",
                                     "--config-file=" + WriteBusConfig(dir).toStdString()});
        address = daemon->firstLine();
        ASSERT_FALSE(address.empty()) << "dbus-daemon did not start";
    }
    if (c.bus == Bus::WithService) {
        standin = std::make_unique<Service>(
            std::vector<std::string>{STANDIN_PROGRAM, address, record.toStdString(),
                                     std::to_string(c.maxPriority), std::to_string(c.rttimeMax), c.mode});
        ASSERT_EQ(standin->firstLine(), "ready");
    }

    ::setenv(kRealtimeKitBusVariable, address.c_str(), 1);
    QStringList args;
    if (c.unprivileged) args << QStringLiteral("--unprivileged");
    if (c.rttime) args << QStringLiteral("--rttime") << QString::fromLatin1(c.rttime);
    const ProbeReport report = RunProbe(args);
    ::unsetenv(kRealtimeKitBusVariable);
    if (hung >= 0) ::close(hung);
    ASSERT_TRUE(report.error.empty()) << report.error;

    const std::string& note = c.note;
    if (note.back() == '*')
        EXPECT_EQ(report.note.rfind(note.substr(0, note.size() - 1), 0), 0u) << report.note;
    else
        EXPECT_EQ(report.note, note);
    EXPECT_EQ(report.realtime, !c.fifo.empty());
    EXPECT_EQ(Priorities(report.fifo), c.fifo);

    // Every thread the stand-in was asked about is the probe's own, asked for
    // at the priority it now really runs at, with RLIMIT_RTTIME already set.
    const std::vector<Call> calls = ReadCalls(record);
    EXPECT_EQ(static_cast<int>(calls.size()), c.calls);
    for (const Call& call : calls) {
        EXPECT_EQ(call.pid, report.pid);
        EXPECT_GE(call.rttimeHard, 0) << "RLIMIT_RTTIME not set before asking";
        EXPECT_LE(call.rttimeHard, c.rttimeMax);
        EXPECT_LE(call.rttimeSoft, call.rttimeHard);
        EXPECT_GE(call.rttimeSoft, 0);
        if (c.fifo.empty()) continue;
        ASSERT_TRUE(report.fifo.count(call.tid)) << "thread " << call.tid << " is not SCHED_FIFO";
        EXPECT_EQ(report.fifo.at(call.tid), call.priority);
    }

    rlimit own{};
    getrlimit(RLIMIT_RTTIME, &own);
    const auto value = [](rlim_t v) { return v == RLIM_INFINITY ? -1LL : static_cast<long long>(v); };
    EXPECT_EQ(report.rttimeSoft, c.rttimeSoft ? c.rttimeSoft : value(own.rlim_cur));
    EXPECT_EQ(report.rttimeHard, c.rttimeHard ? c.rttimeHard : value(own.rlim_max));
}

const std::string kRefused = "not granted: Operation not permitted; RealtimeKit: ";
const std::string kGranted = ", granted by RealtimeKit";

// Threads: the mixer (70 when the kernel grants it), the line's service
// thread (65) and the port's event thread (10).
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, RealtimeRequest,
    ::testing::Values(
        // name, unprivileged, bus, stand-in's maximum priority and RTTimeUSecMax, its mode,
        // the probe's RLIMIT_RTTIME, the mixer's note, FIFO priorities, calls, RLIMIT_RTTIME after.
        // Root asks the kernel itself; RealtimeKit is never troubled.
        Case{"DirectGrant", false, Bus::WithService, 20, 200000, "", nullptr,
             "SCHED_FIFO priority 70", {10, 65, 70}, 0, 0, 0},
        // Refused by the kernel: RealtimeKit's maximum for the mixer, the
        // other threads as far under it as under 70, but at least 1.
        Case{"RealtimeKitGrants", true, Bus::WithService, 20, 200000, "", nullptr,
             "SCHED_FIFO priority 20" + kGranted, {1, 15, 20}, 3, 200000, 200000},
        Case{"LowCeilingKeepsTheOrder", true, Bus::WithService, 3, 50000, "", nullptr,
             "SCHED_FIFO priority 3" + kGranted, {1, 1, 3}, 3, 50000, 50000},
        // A tighter limit of the process's own stays.
        Case{"KeepsATighterRttimeLimit", true, Bus::WithService, 20, 200000, "", "40000,100000",
             "SCHED_FIFO priority 20" + kGranted, {1, 15, 20}, 3, 40000, 100000},
        Case{"RealtimeKitRefuses", true, Bus::WithService, 20, 200000, "refuse", nullptr,
             kRefused + "the stand-in refuses", {}, 3, 200000, 200000},
        Case{"RealtimeKitNeverAnswers", true, Bus::WithService, 20, 200000, "silent", nullptr,
             kRefused + "no answer within 300 ms", {}, 3, 200000, 200000},
        Case{"NoServiceOnTheBus", true, Bus::WithoutService, 20, 200000, "", nullptr,
             kRefused + "The name org.freedesktop.RealtimeKit1 was not provided by any .service files", {}, 0, 0, 0},
        Case{"BusNeverAnswers", true, Bus::Hung, 20, 200000, "", nullptr,
             kRefused + "no answer within 300 ms", {}, 0, 0, 0},
        Case{"NoBus", true, Bus::None, 20, 200000, "", nullptr,
             kRefused + "no bus at unix:path=*", {}, 0, 0, 0}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
