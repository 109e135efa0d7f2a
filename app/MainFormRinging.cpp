// "Ringing Options..." on the logo's menu: the striking record of each
// practice, the double-strike guard, the strike flash of the LEDs, and the
// chart of the last touch.

#include "app/MainForm.h"

#include "app/Guarded.h"
#include "app/RingingOptionsForm.h"
#include "app/StrikingRecord.h"
#include "app/Widgets.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWaveOut.h"
#include "playback/MMWavePlayer.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QMenu>
#include <QTimer>

namespace {

const QString kRinging = QStringLiteral("RINGING");
const QString kRecord = QStringLiteral("Record");
const QString kFolder = QStringLiteral("Folder");
const QString kOptions = QStringLiteral("OPTIONS");
const QString kStrikeFlash = QStringLiteral("StrikeFlash");

}  // namespace

void TfMainform::CreateRingingOptions() {
    FStrikingRecord = new TStrikingRecord(this);
    FStrikingRecord->setObjectName(QStringLiteral("StrikingRecord"));
    FStrikingRecord->OnSettings = [this](const QList<int>& Bells) { return TowerSettings(Bells); };

    for (int n = 1; n <= kBellCount; ++n) {
        auto* flash = new QTimer(this);
        flash->setObjectName(QStringLiteral("Flash%1").arg(n));
        flash->setSingleShot(true);
        flash->setTimerType(Qt::PreciseTimer);
        flash->setInterval(kStrikeFlashMs);
        connect(flash, &QTimer::timeout, this, [this, n] {
            FLEDs[n]->SetEnabled(false);
            FLabels[n]->repaint();  // the number shows again, as when the bell stops
        });
        FFlashTimers[n] = flash;
    }

    FRingingOptions1 = new QAction(QStringLiteral("Ringing Options..."), FPopupMenu1);
    FRingingOptions1->setObjectName(QStringLiteral("RingingOptions1"));
    // With the other settings, above the first separator.
    QAction* before = FPopupMenu1->findChild<QAction*>(QStringLiteral("N1"));
    FPopupMenu1->insertAction(before, FRingingOptions1);
    connect(FRingingOptions1, &QAction::triggered, this, Guarded([this](bool) { RingingOptions1Click(); }));
}

void TfMainform::LoadRingingOptions() {
    FStrikingRecord->SetFolder(FInifile->ReadString(kRinging, kFolder, QString()));
    FStrikingRecord->SetActive(FInifile->ReadInteger(kRinging, kRecord, 0) != 0);
    SetStrikeFlash(FInifile->ReadInteger(kOptions, kStrikeFlash, 0) != 0);
}

void TfMainform::SetStrikeFlash(bool On) {
    if (On == FStrikeFlash) return;
    FStrikeFlash = On;
    if (On) return;  // sounding bells stay lit until they stop
    // Switched off: every LED shows again whether its bell sounds.
    for (int n = 1; n <= kBellCount; ++n) {
        FFlashTimers[n]->stop();
        FLEDs[n]->SetEnabled(FPlayers[n]->IsOpen());
        FLabels[n]->repaint();
    }
}

void TfMainform::RingingOptions1Click() {
    if (!FRingingOptionsForm) {
        FRingingOptionsForm = new TfRingingOptions(this, FStrikingRecord);
        FRingingOptionsForm->setWindowFlag(Qt::Window);
        FRingingOptionsForm->OnApply = [this](bool Record, const QString& Folder, int GuardMs, bool Flash) {
            // The default folder is stored as none, so that it follows the user's documents.
            const QString folder =
                QDir::cleanPath(Folder) == QDir::cleanPath(TStrikingRecord::DefaultFolder()) ? QString()
                                                                                             : Folder;
            FInifile->WriteInteger(kRinging, kRecord, Record ? 1 : 0);
            FInifile->WriteString(kRinging, kFolder, folder);
            FStrikingRecord->SetFolder(folder);
            FStrikingRecord->SetActive(Record);
            SetGuardMs(GuardMs);
            FInifile->WriteInteger(kOptions, kStrikeFlash, Flash ? 1 : 0);
            SetStrikeFlash(Flash);
        };
    }
    FRingingOptionsForm->Load(GuardMs(), FStrikeFlash);
    FRingingOptionsForm->show();
    FRingingOptionsForm->raise();
    FRingingOptionsForm->activateWindow();
}

QString TfMainform::TowerSettings(const QList<int>& Bells) const {
    QStringList delays;
    for (int bell : Bells)
        if (bell >= 1 && bell <= kBellCount)
            delays
                << QStringLiteral("%1=%2").arg(QLatin1Char(LowndesBell(bell))).arg(FTimers[bell]->Interval());
    const int guard = GuardMs();
    return QStringLiteral("receiver %1; delays %2, in ms %3; double-strike guard %4")
        .arg(FComPort->DeviceName(),
             FDelaysActive->isChecked() ? QStringLiteral("active") : QStringLiteral("off"),
             delays.join(QLatin1Char(' ')),
             guard > 0 ? QStringLiteral("%1 ms").arg(guard) : QStringLiteral("off"));
}
