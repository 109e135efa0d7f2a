#include "platform/gui/Application.h"

#include "platform/base/Exception.h"
#include "platform/gui/Dialogs.h"
#include "platform/gui/Messages.h"
#include "platform/gui/Synchronize.h"

#include <QCursor>
#include <QGuiApplication>
#include <new>

TApplication Application;
TScreen Screen;

QString ErrorReportText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
    return message;
}

namespace {

QString MessageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::bad_alloc&) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

bool IsAbort(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const EAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

QString TApplication::Title() const {
    if (!FTitle.isEmpty() || !QCoreApplication::instance()) return FTitle;
    return QCoreApplication::applicationName();
}

void TApplication::SetTitle(const QString& value) {
    FTitle = value;
}

HWND TApplication::Handle() {
    if (const HWND existing = FHandle; IsWindow(existing)) return existing;
    if (!IsMainThread()) return nullptr;
    const HWND handle = AllocateHWnd(TWndMethod());
    // The window goes with the application object.
    QObject::connect(QCoreApplication::instance(), &QObject::destroyed, [handle] { DeallocateHWnd(handle); });
    FHandle = handle;
    return handle;
}

void TApplication::HandleException(std::exception_ptr error) noexcept {
    if (!error || IsAbort(error)) return;
    try {
        // The report belongs to the main thread; a worker hands it over and
        // goes on (waiting for it could deadlock a main thread that waits
        // for the worker).
        if (QCoreApplication::instance() && !IsMainThread()) {
            PostToMainThread([this, error] { HandleException(error); });
            return;
        }
        if (OnException)
            OnException(error);
        else
            ShowException(MessageOf(error));
    } catch (...) {
        // The report itself failed; there is nobody left to tell.
    }
}

void TApplication::ShowException(const QString& message) {
    ShowMessageBox(mtError, Title(), ErrorReportText(message));
}

int TApplication::MessageBox(const QString& text, const QString& caption) {
    ShowMessageBox(mtCustom, caption, text);
    return IDOK;
}

void TApplication::ProcessMessages() {
    if (!IsMainThread()) return;
    // Posted messages explicitly: inside the handler of a posted message the
    // event dispatcher would hold back the ones posted before.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

int TApplication::Run() {
    FTerminated = false;
    QCoreApplication* app = QCoreApplication::instance();
    if (auto* gui = qobject_cast<QGuiApplication*>(app); gui && gui->quitOnLastWindowClosed())
        QObject::connect(gui, &QGuiApplication::lastWindowClosed, gui, [this] { FTerminated = true; });
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [this] { FTerminated = true; });
    return QCoreApplication::exec();
}

void TApplication::Terminate() {
    FTerminated = true;
    QCoreApplication::quit();
}

bool TApplication::Terminated() const {
    return FTerminated || !QCoreApplication::instance() || QCoreApplication::closingDown();
}

TGuiApplication::TGuiApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TGuiApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        Application.HandleException(std::current_exception());
        return false;
    }
}

void TScreen::SetCursor(TCursor value) {
    if (value == FCursor) return;
    if (IsMainThread() && qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        if (FCursor != crDefault) QGuiApplication::restoreOverrideCursor();
        if (value != crDefault)
            QGuiApplication::setOverrideCursor(
                QCursor(value == crHourGlass ? Qt::WaitCursor : Qt::ArrowCursor));
    }
    FCursor = value;
}
