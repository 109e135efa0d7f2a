#include "platform/comm/Handles.h"

#include "platform/base/Clock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace comm_detail {
namespace {

std::mutex tableLock;
std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> table;
std::uintptr_t nextHandle = 0x1000;

// One lock and one condition for every event: waits on several events at
// once stay simple, and event traffic is light.
std::mutex waitLock;
std::condition_variable waitChanged;

}  // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(tableLock);
    const std::uintptr_t value = nextHandle;
    nextHandle += 4;
    table.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) {
    std::lock_guard lock(tableLock);
    auto it = table.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == table.end() ? nullptr : it->second;
}

void Event::Set() {
    {
        std::lock_guard lock(waitLock);
        FSignalled = true;
    }
    waitChanged.notify_all();
}

void Event::Reset() {
    std::lock_guard lock(waitLock);
    FSignalled = false;
}

DWORD WaitForEvents(const std::shared_ptr<Event>* events, DWORD count, bool all, DWORD timeout) {
    const std::int64_t deadline = MonotonicNs() + std::int64_t(timeout) * 1'000'000;
    std::unique_lock lock(waitLock);
    for (;;) {
        if (all) {
            bool every = true;
            for (DWORD i = 0; i < count; ++i) every = every && events[i]->FSignalled;
            if (every) {
                for (DWORD i = 0; i < count; ++i)
                    if (!events[i]->FManualReset) events[i]->FSignalled = false;
                return WAIT_OBJECT_0;
            }
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (events[i]->FSignalled) {
                    if (!events[i]->FManualReset) events[i]->FSignalled = false;
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (timeout == INFINITE)
            waitChanged.wait(lock);
        else if (waitChanged.wait_for(lock, std::chrono::nanoseconds(std::max<std::int64_t>(
                                                0, deadline - MonotonicNs()))) == std::cv_status::timeout &&
                 MonotonicNs() >= deadline)
            timeout = 0;
        if (timeout == 0) {
            // One last look, then give up.
            for (DWORD i = 0; i < count && !all; ++i)
                if (events[i]->FSignalled) {
                    if (!events[i]->FManualReset) events[i]->FSignalled = false;
                    return WAIT_OBJECT_0 + i;
                }
            return WAIT_TIMEOUT;
        }
    }
}

}  // namespace comm_detail

using namespace comm_detail;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    if (lpName) {
        SetLastError(ERROR_NOT_SUPPORTED);  // named events are shared between processes: not needed here
        return nullptr;
    }
    return AddHandle(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL SetEvent(HANDLE hEvent) {
    auto event = Find<Event>(hEvent);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto event = Find<Event>(hEvent);
    if (!event) return Fail(ERROR_INVALID_HANDLE);
    event->Reset();
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Event>> events;
    for (DWORD i = 0; i < nCount; ++i) {
        events.push_back(Find<Event>(lpHandles[i]));
        if (!events.back()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    return WaitForEvents(events.data(), nCount, bWaitAll != FALSE, dwMilliseconds);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

BOOL CloseHandle(HANDLE hObject) {
    std::shared_ptr<KernelObject> object;
    {
        std::lock_guard lock(tableLock);
        auto it = table.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (it == table.end()) return Fail(ERROR_INVALID_HANDLE);
        object = std::move(it->second);
        table.erase(it);
    }
    object->Closed();
    return TRUE;
}
