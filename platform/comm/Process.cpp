#include "platform/comm/Handles.h"

#include <dirent.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<DWORD> priorityClass{NORMAL_PRIORITY_CLASS};

int NiceValue(DWORD priority) {
    switch (priority) {
        case IDLE_PRIORITY_CLASS:
            return 19;
        case BELOW_NORMAL_PRIORITY_CLASS:
            return 10;
        case NORMAL_PRIORITY_CLASS:
            return 0;
        case ABOVE_NORMAL_PRIORITY_CLASS:
            return -5;
        case HIGH_PRIORITY_CLASS:
            return -10;
        case REALTIME_PRIORITY_CLASS:
            return -20;
        default:
            return 1000;
    }
}

// Linux keeps a nice value per thread: apply it to every thread there is.
void SetNiceEverywhere(int nice) {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) {
        setpriority(PRIO_PROCESS, 0, nice);
        return;
    }
    while (dirent* entry = readdir(tasks)) {
        const int tid = std::atoi(entry->d_name);
        if (tid > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);  // refusals ignored
    }
    closedir(tasks);
}

}  // namespace

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

DWORD GetPriorityClass(HANDLE) {
    return priorityClass.load();
}

BOOL SetPriorityClass(HANDLE, DWORD dwPriorityClass) {
    const int nice = NiceValue(dwPriorityClass);
    if (nice == 1000) return comm_detail::Fail(ERROR_INVALID_PARAMETER);
    priorityClass.store(dwPriorityClass);
    SetNiceEverywhere(nice);
    return TRUE;
}
