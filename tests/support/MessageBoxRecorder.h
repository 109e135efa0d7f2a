#pragma once

#include "platform/gui/Dialogs.h"
#include "platform/gui/Synchronize.h"

#include <QString>
#include <vector>

// Needs platform_gui. Replaces the message-box service for the life of the object and records
// every box instead of showing it, so that no test blocks on a modal box.
class MessageBoxRecorder {
public:
    struct Box {
        TMsgDlgType Type;
        QString Caption;
        QString Text;
        bool MainThread = true;  // shown on the main thread
    };

    MessageBoxRecorder() {
        FPrevious =
            SetMessageBoxService([this](TMsgDlgType type, const QString& caption, const QString& text) {
                Boxes.push_back(Box{type, caption, text, IsMainThread()});
            });
    }
    ~MessageBoxRecorder() { SetMessageBoxService(FPrevious); }
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    std::vector<Box> Boxes;  // only touched on the main thread

private:
    TMessageBoxService FPrevious;
};
