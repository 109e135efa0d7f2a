#include "platform/gui/Messages.h"

#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace {

// Each message number travels as its own Qt event type, so that the waiting
// messages of one number can be dropped without touching the others; Qt
// delivers the posted events of one receiver in the order they were posted.
class TMessageEvent : public QEvent {
public:
    TMessageEvent(int type, const TMessage& message)
        : QEvent(static_cast<QEvent::Type>(type)), Message(message) {}
    TMessage Message;
};

class TWindowObject : public QObject {
public:
    TWindowObject(HWND handle, TWndMethod method)
        : FHandle(handle), FMethod(std::make_shared<TWndMethod>(std::move(method))) {}

    void Dispatch(TMessage& message);
    TWndMethod Replace(TWndMethod method) {
        TWndMethod previous = *FMethod;
        FMethod = std::make_shared<TWndMethod>(std::move(method));
        return previous;
    }
    // Destroyed now, or after the handler that is running has returned.
    void Release() {
        if (FDepth > 0)
            FReleased = true;
        else
            delete this;
    }

    // Guarded by gMutex: messages posted and not yet delivered or removed.
    std::unordered_map<UINT, int> FWaiting;
    int FWaitingTotal = 0;

protected:
    bool event(QEvent* event) override;

private:
    HWND FHandle;
    std::shared_ptr<TWndMethod> FMethod;
    int FDepth = 0;
    bool FReleased = false;
};

std::mutex gMutex;  // guards everything below
std::unordered_map<HWND, TWindowObject*> gWindows;
std::unordered_map<UINT, int> gEventTypes;
std::uintptr_t gLastHandle = 0;
// Set once under gMutex; also read without it, as each event arrives.
std::atomic<int> gNudgeType{-1};

int EventTypeFor(UINT msg, bool create) {
    auto found = gEventTypes.find(msg);
    if (found != gEventTypes.end()) return found->second;
    if (!create) return -1;
    const int type = QEvent::registerEventType();
    if (type >= 0) gEventTypes.emplace(msg, type);
    return type;
}

TWindowObject* FindWindow(HWND wnd) {
    std::lock_guard lock(gMutex);
    auto found = gWindows.find(wnd);
    return found == gWindows.end() ? nullptr : found->second;
}

bool TWindowObject::event(QEvent* event) {
    auto* message = dynamic_cast<TMessageEvent*>(event);
    if (!message) return event->type() == gNudgeType.load() || QObject::event(event);
    {
        std::lock_guard lock(gMutex);
        int& waiting = FWaiting[message->Message.Msg];
        if (waiting > 0) {
            --waiting;
            --FWaitingTotal;
        }
        // A handler may open a modal loop (a message box, a wait). Qt's glib
        // event dispatcher runs posted events in a nested loop only once
        // something new has been posted; the nudge is that something, so the
        // messages behind this one still arrive meanwhile, as they would on
        // the window system this stands in for.
        if (FWaitingTotal > 0 && gNudgeType.load() >= 0)
            QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(gNudgeType.load())));
    }
    Dispatch(message->Message);
    return true;
}

void TWindowObject::Dispatch(TMessage& message) {
    // A handler may replace itself or destroy its window while it runs.
    std::shared_ptr<TWndMethod> method = FMethod;
    ++FDepth;
    try {
        if (*method)
            (*method)(message);
        else
            message.Result = DefWindowProc(FHandle, message.Msg, message.WParam, message.LParam);
    } catch (...) {
        Application.HandleException(std::current_exception());
    }
    if (--FDepth == 0 && FReleased) delete this;
}

}  // namespace

HWND AllocateHWnd(TWndMethod method) {
    if (!IsMainThread()) throw Exception(QStringLiteral("Cannot create a window outside the main thread"));
    std::lock_guard lock(gMutex);
    HWND handle = reinterpret_cast<HWND>(++gLastHandle);
    gWindows.emplace(handle, new TWindowObject(handle, std::move(method)));
    return handle;
}

void DeallocateHWnd(HWND wnd) {
    TWindowObject* window = nullptr;
    {
        std::lock_guard lock(gMutex);
        auto found = gWindows.find(wnd);
        if (found == gWindows.end()) return;
        window = found->second;
        gWindows.erase(found);
    }
    // No post can reach it any more; QObject drops the events still waiting.
    window->Release();
}

BOOL PostMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(gMutex);
    auto found = gWindows.find(wnd);
    if (found == gWindows.end() || !QCoreApplication::instance()) return FALSE;
    const int type = EventTypeFor(msg, true);
    if (type < 0) return FALSE;
    if (gNudgeType.load() < 0) gNudgeType.store(QEvent::registerEventType());
    // Posting under the lock: the window cannot be destroyed meanwhile.
    TWindowObject* window = found->second;
    QCoreApplication::postEvent(window, new TMessageEvent(type, TMessage{msg, wParam, lParam, 0}));
    ++window->FWaiting[msg];
    ++window->FWaitingTotal;
    return TRUE;
}

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    TMessage message{msg, wParam, lParam, 0};
    auto deliver = [&] {
        if (TWindowObject* window = FindWindow(wnd)) window->Dispatch(message);
    };
    if (IsMainThread())
        deliver();
    else
        Synchronize(deliver);
    return message.Result;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

void RemoveWaitingMessages(HWND wnd, UINT msg) {
    std::lock_guard lock(gMutex);
    auto found = gWindows.find(wnd);
    const int type = EventTypeFor(msg, false);
    if (found == gWindows.end() || type < 0) return;  // never posted: nothing waits
    TWindowObject* window = found->second;
    QCoreApplication::removePostedEvents(window, type);
    window->FWaitingTotal -= std::exchange(window->FWaiting[msg], 0);
}

TWndMethod SetWindowProc(HWND wnd, TWndMethod method) {
    TWindowObject* window = FindWindow(wnd);
    return window ? window->Replace(std::move(method)) : TWndMethod();
}

BOOL IsWindow(HWND wnd) {
    return FindWindow(wnd) ? TRUE : FALSE;
}
