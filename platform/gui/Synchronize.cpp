#include "platform/gui/Synchronize.h"

#include "platform/base/Exception.h"

#include <QCoreApplication>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

struct TSyncRequest {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::exception_ptr Error;

    void Finish(std::exception_ptr error) {
        std::lock_guard lock(Lock);
        if (Finished) return;
        Error = std::move(error);
        Finished = true;
        Done.notify_all();
    }
};

// Travels inside the queued call. When Qt drops the call unrun (the
// application went away), the last copy's destructor releases the waiter.
struct TSyncCall {
    std::shared_ptr<TSyncRequest> Request;
    ~TSyncCall() {
        if (Request)
            Request->Finish(std::make_exception_ptr(
                Exception(QStringLiteral("The application ended before a synchronized call could run"))));
    }
};

// Qt hands a queued call to the main thread under a lock of its own (a
// futex inside QtCore) that ThreadSanitizer cannot see, so it would take
// everything the call carries for a race. The hand-over is therefore also
// made under gHandOver: the poster holds it while the call is built and
// queued, and the main thread takes it before touching the call.
std::mutex gHandOver;
thread_local bool tPosting = false;  // this thread holds gHandOver to queue a call

class TQueuedCall {
public:
    explicit TQueuedCall(std::function<void()> method) : FMethod(std::move(method)) {}
    TQueuedCall(TQueuedCall&&) = default;
    TQueuedCall(const TQueuedCall&) = delete;
    TQueuedCall& operator=(const TQueuedCall&) = delete;
    ~TQueuedCall() {
        if (tPosting) return;  // the poster's own moved-from copies
        std::lock_guard lock(gHandOver);
        FMethod = nullptr;  // dropped unrun (the application went away), or already taken
    }

    void operator()() {
        std::function<void()> method;
        {
            std::lock_guard lock(gHandOver);
            method = std::move(FMethod);
        }
        if (method) method();
    }

private:
    std::function<void()> FMethod;
};

}  // namespace

bool PostToMainThread(std::function<void()> method) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return false;
    std::lock_guard lock(gHandOver);
    struct TPosting {
        TPosting() { tPosting = true; }
        ~TPosting() { tPosting = false; }
    } posting;
    return QMetaObject::invokeMethod(app, TQueuedCall(std::move(method)), Qt::QueuedConnection);
}

bool IsMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void Synchronize(const std::function<void()>& method) {
    if (IsMainThread()) {
        method();
        return;
    }
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) throw Exception(QStringLiteral("Cannot synchronize without an application"));

    auto request = std::make_shared<TSyncRequest>();
    auto call = std::make_shared<TSyncCall>();
    call->Request = request;
    const bool queued = PostToMainThread([call, &method] {
        std::exception_ptr error;
        try {
            method();
        } catch (...) {
            error = std::current_exception();
        }
        call->Request->Finish(error);
    });
    call.reset();
    if (!queued) throw Exception(QStringLiteral("Cannot synchronize with the main thread"));

    std::unique_lock lock(request->Lock);
    request->Done.wait(lock, [&] { return request->Finished; });
    if (request->Error) std::rethrow_exception(request->Error);
}

void CheckSynchronize() {
    if (IsMainThread()) QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
}
