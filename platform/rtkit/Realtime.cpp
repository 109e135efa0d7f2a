#include "platform/rtkit/Realtime.h"

#include "platform/rtkit/Bus.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

const char* const kService = "org.freedesktop.RealtimeKit1";
const char* const kPath = "/org/freedesktop/RealtimeKit1";
const char* const kInterface = "org.freedesktop.RealtimeKit1";

// One short conversation on a connection of its own, closed at the end: the
// program asks a handful of times in its life and keeps nothing open. Our own
// small client rather than a D-Bus library, so that every step, connecting
// included, ends by one deadline.
class Conversation {
public:
    Conversation() : FDeadline(dbus_lite::Clock::now() + std::chrono::milliseconds(kRealtimeKitTimeoutMs)) {}

    bool open(std::string& why) {
        std::string address = "unix:path=/run/dbus/system_bus_socket";
        std::string where = "no system bus";
        if (const char* seam = std::getenv(kRealtimeKitBusVariable); seam && *seam) {
            address = seam;
            where = "no bus at " + address;
        } else if (const char* system = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"); system && *system) {
            address = system;
        }
        if (FBus.open(address, FDeadline, why)) return true;
        why = FBus.timedOut() ? timedOut() : where + " (" + why + ")";
        return false;
    }

    std::optional<std::int64_t> property(const char* name, std::string& why) {
        const dbus_lite::Reply reply =
            FBus.call(kService, kPath, "org.freedesktop.DBus.Properties", "Get",
                      {dbus_lite::Arg::String(kInterface), dbus_lite::Arg::String(name)}, FDeadline);
        if (!reply.ok) {
            why = FBus.timedOut() ? timedOut() : reply.error;
            return std::nullopt;
        }
        if (!reply.number) {
            why = std::string("its ") + name + " is not a number";
            return std::nullopt;
        }
        return reply.number;
    }

    bool makeThreadRealtime(pid_t tid, int priority, std::string& why) {
        const dbus_lite::Reply reply =
            FBus.call(kService, kPath, kInterface, "MakeThreadRealtime",
                      {dbus_lite::Arg::Uint64(static_cast<std::uint64_t>(tid)),
                       dbus_lite::Arg::Uint32(static_cast<std::uint32_t>(priority))},
                      FDeadline);
        if (!reply.ok) why = FBus.timedOut() ? timedOut() : reply.error;
        return reply.ok;
    }

private:
    static std::string timedOut() {
        return "no answer within " + std::to_string(kRealtimeKitTimeoutMs) + " ms";
    }

    dbus_lite::Connection FBus;
    dbus_lite::Clock::time_point FDeadline;
};

// RealtimeKit serves only processes whose real-time threads cannot run away
// with the CPU: both limits at most what it allows.
bool limitRealtimeCpu(std::int64_t maxMicroseconds, std::string& why) {
    rlimit current{};
    if (getrlimit(RLIMIT_RTTIME, &current) != 0) {
        why = std::string("cannot read RLIMIT_RTTIME: ") + std::strerror(errno);
        return false;
    }
    const rlim_t ceiling = std::min(static_cast<rlim_t>(maxMicroseconds), current.rlim_max);
    const rlimit wanted{std::min(current.rlim_cur, ceiling), ceiling};
    if (wanted.rlim_cur == current.rlim_cur && wanted.rlim_max == current.rlim_max) return true;
    if (setrlimit(RLIMIT_RTTIME, &wanted) != 0) {
        why = std::string("cannot set RLIMIT_RTTIME: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

pid_t currentThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

RealtimeKitAnswer realtimeKitMakeThreadRealtime(pid_t tid, int wanted, int below) {
    RealtimeKitAnswer answer;
    Conversation bus;
    if (!bus.open(answer.reason)) return answer;
    const auto maxPriority = bus.property("MaxRealtimePriority", answer.reason);
    if (!maxPriority) return answer;
    const auto maxRtTime = bus.property("RTTimeUSecMax", answer.reason);
    if (!maxRtTime) return answer;
    if (*maxPriority < 1) {
        answer.reason = "it grants no real-time priority";
        return answer;
    }
    if (*maxRtTime < 1) {
        answer.reason = "it grants no real-time CPU time";
        return answer;
    }
    if (!limitRealtimeCpu(*maxRtTime, answer.reason)) return answer;

    const std::int64_t ceiling = std::max<std::int64_t>(1, *maxPriority - std::max(0, below));
    answer.priority = static_cast<int>(std::clamp<std::int64_t>(wanted, 1, ceiling));
    if (!bus.makeThreadRealtime(tid, answer.priority, answer.reason)) return answer;

    // Believe the thread, not the answer.
    sched_param param{};
    const int policy = sched_getscheduler(tid);
    if (policy < 0 || (policy & ~SCHED_RESET_ON_FORK) != SCHED_FIFO || sched_getparam(tid, &param) != 0 ||
        param.sched_priority != answer.priority) {
        answer.reason =
            "it answered, but the thread is not at SCHED_FIFO priority " + std::to_string(answer.priority);
        return answer;
    }
    answer.granted = true;
    return answer;
}

RealtimeOutcome requestRealtime(pthread_t thread, pid_t tid, int wanted, int below) {
    RealtimeOutcome outcome;
    sched_param param{};
    param.sched_priority = wanted;
    const int direct = pthread_setschedparam(thread, SCHED_FIFO, &param);
    if (direct == 0) {
        outcome.realtime = true;
        outcome.priority = wanted;
        outcome.note = "SCHED_FIFO priority " + std::to_string(wanted);
        return outcome;
    }
    outcome.note = std::string("not granted: ") + std::strerror(direct);
    if (direct != EPERM) return outcome;
    const RealtimeKitAnswer kit = realtimeKitMakeThreadRealtime(tid, wanted, below);
    if (!kit.granted) {
        outcome.note += "; RealtimeKit: " + kit.reason;
        return outcome;
    }
    outcome.realtime = true;
    outcome.priority = kit.priority;
    outcome.byRealtimeKit = true;
    outcome.note = "SCHED_FIFO priority " + std::to_string(kit.priority) + ", granted by RealtimeKit";
    return outcome;
}
