#pragma once

// Real-time priority for a thread: asked of the kernel directly, and where
// the kernel refuses for want of permission (no rtprio limit, as on most
// desktops), asked of RealtimeKit over the system D-Bus.

#include <pthread.h>
#include <sys/types.h>

#include <string>

// Test seam: when set, RealtimeKit is looked for on the bus at this D-Bus
// address instead of the system bus, so tests can run a stand-in service on a
// private bus.
inline constexpr const char* kRealtimeKitBusVariable = "QUORVEL_REALTIMEKIT_BUS";
// How long one conversation with RealtimeKit may take; only ever spent where
// a thread is started, never on the sound or stroke path.
inline constexpr int kRealtimeKitTimeoutMs = 300;

struct RealtimeKitAnswer {
    bool granted = false;
    int priority = 0;    // the SCHED_FIFO priority asked for (and granted)
    std::string reason;  // why not, when not granted
};

// Asks RealtimeKit to make thread `tid` (the kernel's thread id) SCHED_FIFO at
// `wanted`, or lower where RealtimeKit allows less: then `below` under its
// maximum, so that threads keep their order. Sets RLIMIT_RTTIME first, as
// RealtimeKit requires. Takes no longer than about kRealtimeKitTimeoutMs,
// whatever the bus does; no bus or no service is a quick refusal.
RealtimeKitAnswer realtimeKitMakeThreadRealtime(pid_t tid, int wanted, int below = 0);

struct RealtimeOutcome {
    bool realtime = false;
    int priority = 0;
    bool byRealtimeKit = false;
    // "SCHED_FIFO priority 70", "SCHED_FIFO priority 20, granted by
    // RealtimeKit", or why neither, e.g. "not granted: Operation not
    // permitted; RealtimeKit: <reason>".
    std::string note;
};

// SCHED_FIFO at `wanted` for `thread` (kernel id `tid`): directly, or when
// that is refused with EPERM, through RealtimeKit as above.
RealtimeOutcome requestRealtime(pthread_t thread, pid_t tid, int wanted, int below = 0);

// The kernel's id of the calling thread.
pid_t currentThreadId();
