#pragma once

#include "platform/base/wintypes.h"

#include <QApplication>
#include <QString>
#include <atomic>
#include <exception>
#include <functional>

// The standard error report's text: a full stop is appended when the last
// character sorts after the full stop.
QString ErrorReportText(const QString& message);

// The application's services: its title, its hidden window, the message
// loop and the standard error report. One instance, Application.
class TApplication {
public:
    // The caption of the standard error report; the application name until set.
    QString Title() const;
    void SetTitle(const QString& value);

    // The application's own hidden window, created on first use; null when
    // it does not exist yet and cannot be created here (not the main thread,
    // no application object).
    HWND Handle();

    // The standard error report: EAbort is silent; every other exception is
    // shown through OnException if assigned, else by ShowException. Called on
    // another thread, the report is handed to the main thread and the call
    // returns at once. Never raises.
    void HandleException(std::exception_ptr error = std::current_exception()) noexcept;
    // An error box: caption Title, error icon, one OK button, the message
    // after the full-stop rule.
    void ShowException(const QString& message);
    std::function<void(std::exception_ptr)> OnException;

    // A plain box with a caption and one OK button; returns IDOK.
    int MessageBox(const QString& text, const QString& caption);

    // Handles every waiting message, then returns (main thread).
    void ProcessMessages();
    // Runs the message loop until Terminate or the last window closes.
    int Run();
    // Ends the message loop; waits in Delay end at once.
    void Terminate();
    // True once Terminate was called, the last window closed, or the
    // application object is going away.
    bool Terminated() const;

private:
    QString FTitle;
    std::atomic<HWND> FHandle{nullptr};
    std::atomic<bool> FTerminated{false};
};

extern TApplication Application;

inline constexpr int IDOK = 1;

// The program's QApplication: no exception ever crosses Qt's event delivery;
// one that reaches it goes to Application.HandleException.
class TGuiApplication : public QApplication {
    Q_OBJECT
public:
    TGuiApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The screen cursor.
using TCursor = int;
inline constexpr TCursor crDefault = 0;
inline constexpr TCursor crArrow = -2;
inline constexpr TCursor crHourGlass = -11;

class TScreen {
public:
    TCursor Cursor() const { return FCursor; }
    // Main thread; crDefault restores the normal cursor.
    void SetCursor(TCursor value);

private:
    TCursor FCursor = crDefault;
};

extern TScreen Screen;
