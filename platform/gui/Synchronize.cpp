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

}  // namespace

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
    const bool queued = QMetaObject::invokeMethod(
        app,
        [call, &method] {
            std::exception_ptr error;
            try {
                method();
            } catch (...) {
                error = std::current_exception();
            }
            call->Request->Finish(error);
        },
        Qt::QueuedConnection);
    call.reset();
    if (!queued) throw Exception(QStringLiteral("Cannot synchronize with the main thread"));

    std::unique_lock lock(request->Lock);
    request->Done.wait(lock, [&] { return request->Finished; });
    if (request->Error) std::rethrow_exception(request->Error);
}

void CheckSynchronize() {
    if (IsMainThread()) QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
}
