#pragma once

#include <QString>
#include <functional>

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

inline constexpr int mrOk = 1;

// Every message box goes through one service: by default a modal Qt message
// box with one OK button. Tests install their own so that nothing blocks.
using TMessageBoxService = std::function<void(TMsgDlgType type, const QString& caption, const QString& text)>;

// Installs service and returns the previous one; an empty service puts the
// default back.
TMessageBoxService SetMessageBoxService(TMessageBoxService service);

// Shows one box through the service: the caption, the text, the icon of type
// (none for mtCustom) and one OK button. On the main thread it waits until
// the box is dismissed; from another thread the box is handed to the main
// thread and the call returns at once.
void ShowMessageBox(TMsgDlgType type, const QString& caption, const QString& text);

// A modal box with one OK button; the caption names the kind ("Warning",
// "Error", "Information", "Confirm"; the application title for mtCustom).
int MessageDlg(const QString& text, TMsgDlgType type);
