#include "platform/gui/Dialogs.h"

#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <mutex>

namespace {

void QtMessageBox(TMsgDlgType type, const QString& caption, const QString& text) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(caption), qUtf8Printable(text));
        return;
    }
    static constexpr QMessageBox::Icon icons[] = {QMessageBox::Warning, QMessageBox::Critical,
                                                  QMessageBox::Information, QMessageBox::Question,
                                                  QMessageBox::NoIcon};
    // Texts written for the platform break lines with a lone carriage return.
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QMessageBox box(icons[type], caption, shown, QMessageBox::Ok);
    box.exec();
}

std::mutex gLock;
TMessageBoxService gService = QtMessageBox;

TMessageBoxService CurrentService() {
    std::lock_guard lock(gLock);
    return gService;
}

}  // namespace

TMessageBoxService SetMessageBoxService(TMessageBoxService service) {
    std::lock_guard lock(gLock);
    TMessageBoxService previous = std::move(gService);
    gService = service ? std::move(service) : TMessageBoxService(QtMessageBox);
    return previous;
}

void ShowMessageBox(TMsgDlgType type, const QString& caption, const QString& text) {
    TMessageBoxService service = CurrentService();
    if (IsMainThread()) {
        service(type, caption, text);
        return;
    }
    // Windows belong to the main thread; a waiting worker could deadlock a
    // main thread that waits for it, so the box is handed over.
    const bool queued = PostToMainThread([service, type, caption, text] {
        try {
            service(type, caption, text);
        } catch (...) {
        }
    });
    if (!queued) QtMessageBox(type, caption, text);
}

int MessageDlg(const QString& text, TMsgDlgType type) {
    static const char* const captions[] = {"Warning", "Error", "Information", "Confirm"};
    const QString caption = type == mtCustom ? Application.Title() : QString::fromLatin1(captions[type]);
    ShowMessageBox(type, caption, text);
    return mrOk;
}
