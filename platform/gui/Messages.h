#pragma once

// Hidden message windows: a handler on the main thread that receives the
// messages posted to its handle from any thread, one at a time, in the order
// they were posted.

#include "platform/base/wintypes.h"

#include <functional>

struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

// A window's handler. Messages it does not handle go to DefWindowProc.
using TWndMethod = std::function<void(TMessage& Message)>;

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;

// Creates a hidden window on the main thread; raises Exception when called on
// another thread or before the application object exists.
HWND AllocateHWnd(TWndMethod method);
// Destroys the window; messages still waiting for it are dropped. Main thread.
// A null or unknown handle is ignored.
void DeallocateHWnd(HWND wnd);

// From any thread. FALSE when the window does not exist (any more).
BOOL PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Runs the handler at once on the main thread (from another thread the caller
// waits, as with Synchronize) and returns the message's result; 0 for an
// unknown window.
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The default handling of a message nobody handles: nothing happens, result 0.
LRESULT DefWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Drops every message of number msg still waiting for wnd (any thread).
void RemoveWaitingMessages(HWND wnd, UINT msg);
// Replaces the window's handler and returns the previous one, so a hook can
// pass messages on. Main thread.
TWndMethod SetWindowProc(HWND wnd, TWndMethod method);
BOOL IsWindow(HWND wnd);

// Owns one hidden window for the lifetime of the object.
class TMessageWindow {
public:
    explicit TMessageWindow(TWndMethod method) : FHandle(AllocateHWnd(std::move(method))) {}
    ~TMessageWindow() { DeallocateHWnd(FHandle); }
    TMessageWindow(const TMessageWindow&) = delete;
    TMessageWindow& operator=(const TMessageWindow&) = delete;

    HWND Handle() const { return FHandle; }
    BOOL Post(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return PostMessage(FHandle, msg, wParam, lParam);
    }
    void RemoveWaiting(UINT msg) const { RemoveWaitingMessages(FHandle, msg); }

private:
    HWND FHandle;
};
