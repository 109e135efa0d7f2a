// Strokes from the receiver, each bell's play routine with its delay,
// listening, the port selector and the sequence.

#include "app/MainForm.h"

#include "app/PortList.h"
#include "app/ReceiverQuery.h"
#include "app/StrikingRecord.h"
#include "app/Widgets.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/base/Clock.h"
#include "platform/base/Exception.h"
#include "platform/gui/Dialogs.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "ringing/BellBytes.h"
#include "ringing/RingingEngine.h"

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTimer>

namespace {

const QString kNotDetected = QStringLiteral("   [RECEIVER NOT DETECTED]");

bool IsBell(int n) {
    return n >= 1 && n <= kBellCount;
}

}  // namespace

int TfMainform::BellOf(QObject* Sender) {
    const int n = Sender ? Sender->property("Tag").toInt() : 0;
    return IsBell(n) ? n : 0;
}

int TfMainform::BellOfChar(unsigned char Byte) {
    return BellOfByte(Byte);
}

// The engine took the byte as it came off the line and decided it there;
// here it is only taken off the port's queue (the read never waits).
void TfMainform::FComPort1RxChar(QObject*) {
    try {
        FComPort->ReadByte();
    } catch (const EComError& e) {
        // Nothing was waiting: another event's read took it.
        if (e.ErrorCode() == 0 && e.Message() == QStringLiteral("Timeout")) return;
        throw;
    }
}

void TfMainform::Play(int Bell) {
    if (IsBell(Bell)) StrikeNow(Bell, MonotonicNs(), TStrokeSource::Key);
}

void TfMainform::PlayBell(int Bell, std::int64_t TimeNs, TStrokeSource Source) {
    if (IsBell(Bell)) StrikeNow(Bell, TimeNs, Source);
}

void TfMainform::Timer1Timer(QObject* Sender) {
    // The engine started the bell at its due time; the timer only showed
    // the delay running, and now shows the bell sounding.
    static_cast<TTimer*>(Sender)->SetEnabled(false);
    const int n = BellOf(Sender);
    if (n && FDelayedBlow[n]) {
        const std::uint64_t blow = FDelayedBlow[n];
        FDelayedBlow[n] = 0;
        ShowBlow(n, blow);
    }
    // A delay that ended may have been all a close waited for.
    CloseIfSilent();
}

void TfMainform::Player1Start(QObject* Sender) {
    const int n = BellOf(Sender);
    if (!n) return;
    FLEDs[n]->SetEnabled(true);
    // A flash runs from here: the bell is heard one stroke latency later,
    // a few milliseconds, less than one frame of the screen.
    if (FStrikeFlash) FFlashTimers[n]->start();
    // A bell sounds: the output runs again.
    if (FOutputProblem) UpdateOutputStatus();
}

void TfMainform::Player1Stop(QObject* Sender) {
    const int n = BellOf(Sender);
    if (!n) return;
    FFlashTimers[n]->stop();
    FLEDs[n]->SetEnabled(false);
    // The LED drew over the number; show it again on the grey LED.
    FLabels[n]->repaint();
    if (!AllStopped()) return;
    // The last bell has ended: an output chosen meanwhile takes over, or
    // one that was lost says so.
    SwitchOutputIfSilent();
    UpdateOutputStatus();
    CloseIfSilent();
}

void TfMainform::bListenClick(QObject* Sender) {
    const QScopedValueRollback byHand(FPortByHand, true);
    try {
        // A name typed but not yet taken (the selector is the port's only source).
        if (!FComPort->GetActive() && FPort->currentText() != FComPort->DeviceName()) cbPortChange();
        FComPort->SetActive(!FComPort->GetActive());
    } catch (...) {
        // A user who may not open the port is told how to get access.
        MessageDlg(ListenErrorText(std::current_exception(), FComPort->DeviceName()), mtError);
    }
    const bool open = FComPort->GetActive();
    ListeningChanged(open);
    if (open) {
        FStrikingRecord->ListeningStarted();
        // A receiver on this port was found after all.
        QString title = windowTitle();
        if (title.endsWith(kNotDetected)) setWindowTitle(title.chopped(kNotDetected.size()));
    }
    if (auto* button = qobject_cast<QPushButton*>(Sender))
        button->setText(open ? QStringLiteral("STOP LISTENING") : QStringLiteral("START LISTENING"));
    if (open) CheckReceiver();
}

void TfMainform::ListeningChanged(bool Listening) {
    FSequence->setEnabled(!Listening);
    // The port listened on stays until listening stops: a key in the
    // selector must not drop the receiver in the middle of a touch.
    // Keys then go to the window, where they strike bells, not to whatever
    // comes next in the tab order.
    const bool typing = FPort->hasFocus() || FPort->isAncestorOf(focusWidget());
    FPort->setEnabled(!Listening);
    if (Listening && typing) setFocus();
}

void TfMainform::cbPortChange() {
    const QString text = FPort->currentText();
    if (text.isEmpty() || FComPort->GetActive()) return;
    const QScopedValueRollback byHand(FPortByHand, true);
    FComPort->SetDeviceName(text);
    SaveComSettings(*FInifile);
}

void TfMainform::FComPort1AfterClose(TFComPort*) {
    // However the port closed, the touch being rung has ended, and a
    // question still waiting has no answer coming: a port opened later
    // must not hand its strokes to it.
    FStrikingRecord->ListeningStopped();
    FReceiverQuery->Abandon();
    FEngine->SetAnswersAwaited(false);
    FReceiverStatus->clear();
    ListeningChanged(false);
    // The button sets its own caption.
    if (FPortByHand) return;
    // Nothing listens any more: the button offers to listen again, and the
    // sequence may run, as after "STOP LISTENING".
    FListen->setText(QStringLiteral("START LISTENING"));
    // Its adapter may be gone from the list now.
    RefreshPorts();
}

void TfMainform::bSequenceClick(QObject* Sender) {
    FCurrent = 0;
    FTimer20->SetEnabled(!FTimer20->Enabled());
    if (auto* button = qobject_cast<QPushButton*>(Sender))
        button->setText(FTimer20->Enabled() ? QStringLiteral("STOP") : QStringLiteral("Sequence"));
}

void TfMainform::Timer20Timer(QObject*) {
    const int bell = FCurrent + 1;
    FCurrent = (FCurrent + 1) % kBellCount;
    // Heard from when the tick was due, however late this runs.
    PlayBell(bell, FTimer20->DueNs(), TStrokeSource::Sequence);
}

// A captain tests the ring without the sensor: a key of the receiver's map
// is a stroke, heard from when its key was handled.
void TfMainform::keyPressEvent(QKeyEvent* event) {
    // Typing in the port selector edits the port's name; a shortcut is no stroke.
    QWidget* focus = focusWidget();
    const bool typing = focus && (focus == FPort || FPort->isAncestorOf(focus));
    const bool plain = !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    const QString text = event->text();
    const int bell =
        !typing && plain && text.size() == 1 ? BellOfChar(static_cast<unsigned char>(text[0].toLatin1())) : 0;
    if (!bell) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    // A held key is one stroke: the keyboard's repeats strike nothing.
    if (event->isAutoRepeat()) return;
    Play(bell);
}
