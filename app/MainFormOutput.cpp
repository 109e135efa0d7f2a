// The sound output as the window shows it: where the bells' sounds come
// from when none is chosen (the demo ring), what the output is doing, bells
// without a sound, failures said once, and a close that waits for the bells.

#include "app/DemoRing.h"
#include "app/MainForm.h"

#include "app/Widgets.h"
#include "controls/MMLED.h"
#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

namespace {

const QString kSoundFiles = QStringLiteral("SOUNDFILES");
const QColor kProblem(160, 0, 0);
// A bell's number while the bell has no sound: faint on the grey LED.
const QColor kSoundless(176, 176, 176);

QString& DemoRingOverride() {
    static QString folder;
    return folder;
}

// The output's line shares the receiver's: it keeps to the left of the
// receiver's text (right-aligned there) and is cut short before it.
class TOutputStatus : public QLabel {
public:
    TOutputStatus(QWidget* Parent, QLabel* Receiver) : QLabel(Parent), FReceiver(Receiver) {
        Receiver->installEventFilter(this);
        setGeometry(Receiver->geometry());
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Watched == FReceiver && (Event->type() == QEvent::Move || Event->type() == QEvent::Resize))
            setGeometry(FReceiver->geometry());
        return false;
    }
    void paintEvent(QPaintEvent*) override {
        const QString receiver = FReceiver->text();
        const int taken = receiver.isEmpty() ? 0 : FReceiver->fontMetrics().horizontalAdvance(receiver) + 16;
        const int room = std::max(0, width() - taken);
        QPainter painter(this);
        painter.setFont(font());
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(QRect(0, 0, room, height()), Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideRight, room));
    }

private:
    QLabel* FReceiver;
};

QString BellKey(int Bell) {
    return QStringLiteral("BELL%1").arg(Bell);
}

}  // namespace

// ---- The demo ring ---------------------------------------------------------------------

QString DemoRingFile(const QString& Folder, int Bell) {
    return QDir(Folder).filePath(QStringLiteral("bell%1.wav").arg(Bell, 2, 10, QLatin1Char('0')));
}

QString DemoRingFolder(const QString& ProgramFolder) {
    const QString bin = ProgramFolder.isEmpty() ? QCoreApplication::applicationDirPath() : ProgramFolder;
    for (const char* below : {"../share/quorvel16/bells", "../resources/bells"}) {
        const QString folder = QDir::cleanPath(QDir(bin).filePath(QString::fromLatin1(below)));
        if (QFileInfo(DemoRingFile(folder, 1)).isFile()) return folder;
    }
    return {};
}

QString TfMainform::SetDemoRingFolder(const QString& Folder) {
    return std::exchange(DemoRingOverride(), Folder);
}

bool TfMainform::SettingsNameNoSound() const {
    for (int n = 1; n <= kBellCount; ++n)
        if (!FInifile->ReadString(kSoundFiles, BellKey(n), QString()).trimmed().isEmpty()) return false;
    return true;
}

QString TfMainform::DemoRing() {
    return DemoRingOverride().isEmpty() ? DemoRingFolder() : DemoRingOverride();
}

QStringList TfMainform::LoadDemoRing() {
    const QString folder = DemoRing();
    QStringList failures;
    if (folder.isEmpty()) return failures;
    FDemoRing = true;
    // Played, not remembered: the settings name only the sounds chosen.
    for (int n = 1; n <= kBellCount; ++n) {
        const QString file = DemoRingFile(folder, n);
        try {
            FPlayers[n]->LoadFromFile(file);
        } catch (const Exception& e) {
            failures << QStringLiteral("%1 (bell %2: %3)").arg(e.Message()).arg(n).arg(file);
        }
    }
    return failures;
}

// ---- Bells with and without a sound ----------------------------------------------------

bool TfMainform::HasSound(int Bell) const {
    const TMMWave* wave = FPlayers[Bell]->Wave();
    return wave && !wave->Empty();
}

void TfMainform::ShowSound(int Bell) {
    TLabel* label = FLabels[Bell];
    QPalette palette = label->palette();
    const QColor colour = HasSound(Bell) ? this->palette().color(QPalette::WindowText) : kSoundless;
    if (palette.color(QPalette::WindowText) == colour) return;
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

// ---- The output's state ----------------------------------------------------------------

void TfMainform::CreateOutputComponents() {
    FOutputStatus = new TOutputStatus(this, FReceiverStatus);
    FOutputStatus->setObjectName(QStringLiteral("lOutput"));
    FOutputStatus->setFont(Tahoma(11));
    FOutputStatus->setForegroundRole(QPalette::PlaceholderText);
    FOutputStatus->setAttribute(Qt::WA_TransparentForMouseEvents);
}

void TfMainform::UpdateOutputStatus() {
    if (!FOutputStatus) return;
    QString text;
    bool problem = false;
    const WaveOutStatus status = waveOutGetStatus();
    const QString output = QString::fromStdString(status.outputName);
    const QString error = QString::fromStdString(status.error);
    if (FCloseWhenSilent) {
        text = QStringLiteral("closing when the bells have finished");
    } else if (status.running && status.failed) {
        text = QStringLiteral("no sound: the output was lost: %1").arg(error);
        problem = true;
    } else if (!status.running && !error.isEmpty()) {
        text = QStringLiteral("no sound: cannot open %1").arg(error);
        problem = true;
    } else if (status.running && output.trimmed().compare(QStringLiteral("null"), Qt::CaseInsensitive) == 0) {
        text = QStringLiteral("no sound (null output)");
    }
    if (FDemoRing && !FCloseWhenSilent)
        text += (text.isEmpty() ? QString() : QStringLiteral("; ")) +
                QStringLiteral("the demo ring (Shift + click a bell to choose its sound)");
    FOutputProblem = problem;
    // Between strokes: only what changed is touched (a new palette polishes
    // the label again, which the main thread cannot spare on the stroke path).
    const QColor colour = problem ? kProblem : this->palette().color(QPalette::PlaceholderText);
    if (FOutputStatus->palette().color(QPalette::PlaceholderText) != colour) {
        QPalette palette = FOutputStatus->palette();
        palette.setColor(QPalette::PlaceholderText, colour);
        FOutputStatus->setPalette(palette);
    }
    if (FOutputStatus->text() != text) FOutputStatus->setText(text);
}

bool TfMainform::ReportPlayFailure(int Bell, const QString& Message, bool OfTheDevice) {
    // A bell struck with no output: the status line says why, once, for
    // as long as there is none.
    if (OfTheDevice) {
        const WaveOutStatus status = waveOutGetStatus();
        if (!status.running || status.failed) {
            UpdateOutputStatus();
            return false;
        }
    }
    ShowSound(Bell);
    // The same failure of the same file is said once, not at every stroke.
    const QString failure = FPlayers[Bell]->FileName() + QLatin1Char('\n') + Message;
    if (FPlayFailure[Bell] == failure) return false;
    FPlayFailure[Bell] = failure;
    return true;
}

// ---- Closing ---------------------------------------------------------------------------

void TfMainform::CloseWhenSilent() {
    if (!FCloseWhenSilent) {
        FCloseWhenSilent = true;
        // The sequence would never fall silent; strokes still sound.
        if (FTimer20->Enabled()) bSequenceClick(FSequence);
        UpdateOutputStatus();
    }
}

void TfMainform::CloseIfSilent() {
    if (!FCloseWhenSilent) return;
    // Checked once the handler is over: a restrike stops its bell and plays
    // it again within one handler. A delay still running is a stroke about
    // to sound.
    QTimer::singleShot(0, this, [this] {
        for (int n = 1; n <= kBellCount; ++n)
            if (FTimers[n]->Enabled()) return;
        if (AllStopped()) close();
    });
}
