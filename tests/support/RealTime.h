#pragma once

// Real-time scheduling for the calling thread while an object of this kind
// lives, when the system grants it (else nothing changes). A test that notes
// the time and then writes a stroke holds one around the two, so that no
// other task runs between them and the test never blames the program for a
// delay of its own.

#include <pthread.h>
#include <sched.h>

class RealTimeMoment {
public:
    RealTimeMoment() {
        FSaved = pthread_getschedparam(pthread_self(), &FPolicy, &FParam) == 0;
        sched_param param{};
        param.sched_priority = 20;
        FRaised = FSaved && pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    }
    ~RealTimeMoment() {
        if (FRaised) pthread_setschedparam(pthread_self(), FPolicy, &FParam);
    }
    RealTimeMoment(const RealTimeMoment&) = delete;
    RealTimeMoment& operator=(const RealTimeMoment&) = delete;

private:
    bool FSaved = false;
    bool FRaised = false;
    int FPolicy = SCHED_OTHER;
    sched_param FParam{};
};
