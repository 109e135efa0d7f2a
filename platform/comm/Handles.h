#pragma once

// The process-wide handle table behind HANDLE values. Handles are never
// reused, so a stale one is reported as invalid instead of reaching another
// object; holders of a looked-up object keep it alive past CloseHandle.

#include "platform/comm/comm.h"

#include <memory>

namespace comm_detail {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once when the last handle is closed.
    virtual void Closed() {}
};

class Event : public KernelObject {
public:
    Event(bool manualReset, bool signalled) : FManualReset(manualReset), FSignalled(signalled) {}
    void Set();
    void Reset();

private:
    friend DWORD WaitForEvents(const std::shared_ptr<Event>* events, DWORD count, bool all, DWORD timeout);
    bool FManualReset;
    bool FSignalled;  // guarded by the wait lock in Handles.cpp
};

HANDLE AddHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> Find(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

// BOOL FALSE with the last error set.
inline BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace comm_detail
