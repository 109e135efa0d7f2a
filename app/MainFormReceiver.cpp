// What the program asks the receiver (is it there? which delays does it
// hold?) and the double-strike guard on its strokes.

#include "app/MainForm.h"

#include "platform/base/Clock.h"
#include "ringing/RingingEngine.h"

#include "app/Guarded.h"
#include "app/ReceiverDelaysForm.h"
#include "app/ReceiverQuery.h"
#include "app/Widgets.h"
#include "comport/FComPort.h"
#include "platform/gui/Dialogs.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWavePlayer.h"

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QMenu>
#include <cerrno>

namespace {

const QString kOptions = QStringLiteral("OPTIONS");
const QString kGuardMs = QStringLiteral("GuardMs");

// Keeps the receiver's status line along the bottom of the bells, right
// of the logo, just above the button panel.
class TStatusPlacer : public QObject {
public:
    TStatusPlacer(QWidget* Window, QLabel* Label, QWidget* Panel)
        : QObject(Label), FWindow(Window), FLabel(Label), FPanel(Panel) {
        Window->installEventFilter(this);
        Place();
    }
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Watched == FWindow && Event->type() == QEvent::Resize) Place();
        return false;
    }

private:
    void Place() {
        constexpr int kLeft = 152, kHeight = 16;
        FLabel->setGeometry(kLeft, FWindow->height() - FPanel->height() - kHeight - 2,
                            std::max(0, FWindow->width() - kLeft - 8), kHeight);
    }
    QWidget* FWindow;
    QLabel* FLabel;
    QWidget* FPanel;
};

QString Hex(const QByteArray& Bytes) {
    return QString::fromLatin1(Bytes.toHex(' ').toUpper());
}

}  // namespace

void TfMainform::CreateReceiverComponents() {
    FReceiverQuery = new TReceiverQuery(this);

    FReceiverDelays1 = new QAction(QStringLiteral("Receiver Delays..."), FPopupMenu1);
    FReceiverDelays1->setObjectName(QStringLiteral("ReceiverDelays1"));
    // Beside the port's own item.
    const QList<QAction*> actions = FPopupMenu1->actions();
    const qsizetype port = actions.indexOf(FSetCOMPORT1);
    FPopupMenu1->insertAction(port + 1 < actions.size() ? actions[port + 1] : nullptr, FReceiverDelays1);
    connect(FReceiverDelays1, &QAction::triggered, this, Guarded([this](bool) { ReceiverDelays1Click(); }));

    FReceiverStatus = new QLabel(this);
    FReceiverStatus->setObjectName(QStringLiteral("lReceiver"));
    FReceiverStatus->setFont(Tahoma(11));
    FReceiverStatus->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    FReceiverStatus->setForegroundRole(QPalette::PlaceholderText);
    new TStatusPlacer(this, FReceiverStatus, FButtons);

    // Remembered for the next start, whether the ringer or the receiver's
    // delays dialog changes it.
    connect(FDelaysActive, &QCheckBox::toggled, this, Guarded([this](bool) {
                SaveDelaysActive();
                PublishRinging();
            }));

    // A port that stops working names itself and what brings it back.
    FComPort->OnError = [this](TFComPort*, EComError& E, TComAction&) {
        const int code = E.ErrorCode();
        if (code != EIO && code != ENXIO && code != ENODEV) return;
        E = EComError(
            code, QStringLiteral("The receiver's port %1 stopped working (%2). Plug the receiver "
                                 "back in and press START LISTENING.")
                      .arg(FComPort->DeviceName(),
                           E.Message().endsWith(QLatin1Char('.')) ? E.Message().chopped(1) : E.Message()));
    };
}

// ---- Is the receiver there? ----------------------------------------------------------

void TfMainform::CheckReceiver() {
    FReceiverStatus->clear();
    try {
        FComPort->WriteByte(TReceiverQuery::kAreYouThere);
    } catch (...) {
        // A receiver that cannot be asked is one that does not answer; the
        // strokes still come as before.
        FReceiverStatus->setText(QStringLiteral("no answer (older receivers do not answer)"));
        return;
    }
    FReceiverQuery->ExpectEcho([this](bool Answered) {
        // Listening stopped before the wait was over: nothing to say.
        if (!FComPort->GetActive()) return;
        FReceiverStatus->setText(Answered ? QStringLiteral("receiver answers")
                                          : QStringLiteral("no answer (older receivers do not answer)"));
    });
}

// ---- The receiver's stored delays ------------------------------------------------------

bool TfMainform::BellsSilent() const {
    if (!AllStopped() || FTimer20->Enabled()) return false;
    // Struck but not yet heard of here.
    if (FEngine->BusyUntil() > MonotonicNs()) return false;
    for (int n = 1; n <= kBellCount; ++n)
        if (FTimers[n]->Enabled()) return false;
    return true;
}

void TfMainform::ReceiverDelays1Click() {
    if (!FComPort->GetActive()) {
        MessageDlg(QStringLiteral("Start listening first: the receiver is asked through its port."),
                   mtInformation);
        return;
    }
    if (FReceiverQuery->WaitingForEcho() || FReceiverQuery->WaitingForDelays()) {
        MessageDlg(QStringLiteral("The receiver is being asked already; try again in a moment."),
                   mtInformation);
        return;
    }
    // Its answer is bytes like any stroke: a stroke in the middle of it
    // would be lost and spoil the answer.
    if (!BellsSilent()) {
        MessageDlg(QStringLiteral("Ask the receiver for its delays while the bells are silent."),
                   mtInformation);
        return;
    }
    // Until the answer is over, no byte from the line strikes.
    FEngine->SetAnswersAwaited(true);
    try {
        FComPort->WriteByte(TReceiverQuery::kSendDelays);
    } catch (...) {
        FEngine->SetAnswersAwaited(false);
        throw;
    }
    FReceiverQuery->ExpectDelays(Guarded([this](const TDelaysAnswer& Answer) {
        FEngine->SetAnswersAwaited(false);
        ReceiverDelaysAnswered(Answer);
    }));
}

void TfMainform::ReceiverDelaysAnswered(const TDelaysAnswer& Answer) {
    if (!FComPort->GetActive()) {
        MessageDlg(QStringLiteral("Listening stopped before the receiver answered."), mtInformation);
        return;
    }
    switch (Answer.Kind) {
        case TDelaysAnswer::NoAnswer:
            MessageDlg(
                QStringLiteral("The receiver did not answer: older receivers hold no delays of their own."),
                mtInformation);
            return;
        case TDelaysAnswer::StrokeBetween:
            MessageDlg(
                QStringLiteral("A stroke came in while the receiver answered, so its delays could not be "
                               "read. The stroke was not sounded. Ask again while the bells are silent."),
                mtWarning);
            return;
        case TDelaysAnswer::Cut:
            MessageDlg(QStringLiteral("The receiver's answer stopped short (received: %1), so its delays "
                                      "could not be read. Ask again.")
                           .arg(Hex(Answer.Bytes)),
                       mtWarning);
            return;
        case TDelaysAnswer::Garbage:
            MessageDlg(QStringLiteral("The receiver's answer is not a list of delays (received: %1).")
                           .arg(Hex(Answer.Bytes)),
                       mtWarning);
            return;
        case TDelaysAnswer::Read:
            break;
    }
    auto* dialog = new TfReceiverDelays(this, Answer.DelaysMs, FDelaysActive->isChecked());
    dialog->OnClearDelaysActive = [this] { FDelaysActive->setChecked(false); };
    dialog->OnCopy = [this](const std::array<int, 12>& DelaysMs) {
        for (int n = 1; n <= int(DelaysMs.size()); ++n) SaveDelay(n, DelaysMs[n - 1]);
    };
    dialog->show();
}

// ---- The double-strike guard -------------------------------------------------------------

int TfMainform::GuardMs() const {
    return FGuardMs;
}

void TfMainform::SetGuardMs(int Ms) {
    const int ms = std::clamp(Ms, 0, TStrokeGuard::kMaxMs);
    if (!FLoading && FInifile) FInifile->WriteInteger(kOptions, kGuardMs, ms);
    FGuardMs = ms;
    PublishRinging();
}

int TfMainform::IgnoredStrokes() const {
    return FEngine->Ignored();
}

void TfMainform::LoadGuard() {
    FGuardMs = std::clamp(FInifile->ReadInteger(kOptions, kGuardMs, 0), 0, TStrokeGuard::kMaxMs);
}
