#pragma once

// Real-time scheduling for the calling thread while an object of this kind
// lives, when the system grants it (else nothing changes). A test that notes
// the time and then writes a stroke holds one around the two, so that no
// other task runs between them and the test never blames the program for a
// delay of its own.
//
// A test that judges sound timing also holds one, at the lowest real-time
// priority, for its whole run: the window's main thread is then not held up
// by a build running beside the tests. These tests judge when the rules put
// each bell; how late a busy window makes a stroke is the strokes
// benchmark's figure. Threads started meanwhile and child processes do not
// inherit it (SCHED_RESET_ON_FORK): the program's own threads keep the
// priorities they ask for.

#include <sched.h>

class RealTimeMoment {
public:
    explicit RealTimeMoment(int Priority = 20) {
        FPolicy = sched_getscheduler(0);
        FSaved = FPolicy >= 0 && sched_getparam(0, &FParam) == 0;
        sched_param param{};
        param.sched_priority = Priority;
        FRaised = FSaved && sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
    }
    ~RealTimeMoment() {
        if (FRaised) sched_setscheduler(0, FPolicy, &FParam);
    }
    RealTimeMoment(const RealTimeMoment&) = delete;
    RealTimeMoment& operator=(const RealTimeMoment&) = delete;

private:
    bool FSaved = false;
    bool FRaised = false;
    int FPolicy = SCHED_OTHER;
    sched_param FParam{};
};
