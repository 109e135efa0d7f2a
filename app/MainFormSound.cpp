// A ring's sound: each bell's volume, backstroke delay and muffle, the
// master volume over them all, and a whole ring chosen from a folder.

#include "app/MainForm.h"

#include "app/SettingsKeys.h"

#include "app/BellOptionsForm.h"
#include "app/Guarded.h"
#include "app/RingFolder.h"
#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWavePlayer.h"
#include "ringing/Muffle.h"
#include "ringing/RingingEngine.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <algorithm>

namespace {

const QString kVolume = QStringLiteral("VOLUME");
const QString kMaster = QStringLiteral("Master");
const QString kBackDelays = QStringLiteral("BACKDELAYS");
const QString kMuffles = QStringLiteral("MUFFLES");

TfMainform::TFolderAsk& FolderAsk() {
    static TfMainform::TFolderAsk ask;
    return ask;
}
TfMainform::TConfirmAsk& ConfirmAsk() {
    static TfMainform::TConfirmAsk ask;
    return ask;
}

}  // namespace

void TfMainform::SetRingDialogs(TFolderAsk Folder, TConfirmAsk Confirm) {
    FolderAsk() = std::move(Folder);
    ConfirmAsk() = std::move(Confirm);
}

void TfMainform::CreateSoundComponents() {
    QAction* before = FPopupMenu1->findChild<QAction*>(QStringLiteral("N1"));
    FChooseRing1 = new QAction(QStringLiteral("Choose Ring..."), FPopupMenu1);
    FChooseRing1->setObjectName(QStringLiteral("ChooseRing1"));
    FPopupMenu1->insertAction(before, FChooseRing1);
    connect(FChooseRing1, &QAction::triggered, this, Guarded([this](bool) { ChooseRing1Click(); }));

    FMuffles1 = new QMenu(QStringLiteral("Muffles"), FPopupMenu1);
    FMuffles1->setObjectName(QStringLiteral("Muffles1"));
    const QString names[] = {QStringLiteral("All Open"), QStringLiteral("All Half-Muffled"),
                             QStringLiteral("All Fully Muffled")};
    for (int muffle = 0; muffle < 3; ++muffle) {
        QAction* all = FMuffles1->addAction(names[muffle]);
        all->setObjectName(QStringLiteral("AllMuffles%1").arg(muffle));
        connect(all, &QAction::triggered, this, Guarded([this, muffle](bool) { SetAllMuffles(muffle); }));
    }
    FPopupMenu1->insertMenu(before, FMuffles1);
}

void TfMainform::LoadRingSound() {
    // Clamped as the dialog allows: a corrupt value cannot deafen a bell
    // or wrap a delay.
    for (int n = 1; n <= kBellCount; ++n) {
        FVolumeDb[n] = std::clamp(FInifile->ReadInteger(kVolume, BellKey(n), 0), kMinVolumeDb, kMaxVolumeDb);
        const int back = FInifile->ReadInteger(kBackDelays, BellKey(n), -1);
        FBackDelayMs[n] = back < 0 ? -1 : std::min(back, kMaxDelayMs);
        FMuffle[n] = std::clamp(FInifile->ReadInteger(kMuffles, BellKey(n), 0), 0, 2);
    }
    FMasterDb = std::clamp(FInifile->ReadInteger(kVolume, kMaster, 0), kMinVolumeDb, kMaxVolumeDb);
}

void TfMainform::SaveBellSound(int Bell, int BackDelayMs, int VolumeDb, int Muffle) {
    if (Bell < 1 || Bell > kBellCount || !FInifile) return;
    FBackDelayMs[Bell] = BackDelayMs < 0 ? -1 : std::min(BackDelayMs, kMaxDelayMs);
    FVolumeDb[Bell] = std::clamp(VolumeDb, kMinVolumeDb, kMaxVolumeDb);
    FMuffle[Bell] = std::clamp(Muffle, 0, 2);
    // A backstroke delay as the handstroke's is stored empty.
    if (FBackDelayMs[Bell] < 0)
        FInifile->WriteString(kBackDelays, BellKey(Bell), QString());
    else
        FInifile->WriteInteger(kBackDelays, BellKey(Bell), FBackDelayMs[Bell]);
    FInifile->WriteInteger(kVolume, BellKey(Bell), FVolumeDb[Bell]);
    FInifile->WriteInteger(kMuffles, BellKey(Bell), FMuffle[Bell]);
    PublishRinging();
}

void TfMainform::SaveMasterVolume(int Db) {
    if (!FInifile) return;
    FMasterDb = std::clamp(Db, kMinVolumeDb, kMaxVolumeDb);
    FInifile->WriteInteger(kVolume, kMaster, FMasterDb);
    PublishRinging();
}

void TfMainform::SetAllMuffles(int Muffle) {
    if (!FInifile) return;
    for (int n = 1; n <= kBellCount; ++n) {
        FMuffle[n] = std::clamp(Muffle, 0, 2);
        FInifile->WriteInteger(kMuffles, BellKey(n), FMuffle[n]);
    }
    PublishRinging();
}

void TfMainform::SetUpBellSound(int Bell) {
    if (Bell < 1 || Bell > kBellCount) return;
    auto* dialog = new TfBellOptions(this);
    dialog->Load(Bell, static_cast<int>(FTimers[Bell]->Interval()), FBackDelayMs[Bell], FVolumeDb[Bell],
                 FMuffle[Bell], FMasterDb);
    dialog->adjustSize();
    dialog->move(DelayDialogPlace(*dialog, Bell));
    dialog->show();
}

void TfMainform::ChooseRing1Click() {
    const QString folder =
        FolderAsk() ? FolderAsk()()
                    : QFileDialog::getExistingDirectory(this, QStringLiteral("Choose Ring"), QString());
    if (!folder.isEmpty()) ChooseRing(folder);
}

bool TfMainform::ChooseRing(const QString& Folder) {
    const TRingMatch match = MatchRingFolder(Folder);
    if (match.Count() == 0) {
        Application.HandleException(std::make_exception_ptr(
            Exception(QStringLiteral("No bell's sound in %1: the files' names must end in the bell's number "
                                     "(1.wav, bell01.wav), or be treble.wav or tenor.wav.")
                          .arg(QDir::toNativeSeparators(Folder)))));
        return false;
    }
    const QString text =
        QStringLiteral("The ring in %1:\n%2").arg(QDir::toNativeSeparators(Folder), RingMatchText(match));
    const bool ok = ConfirmAsk() ? ConfirmAsk()(text)
                                 : QMessageBox::question(this, QStringLiteral("Choose Ring"), text,
                                                         QMessageBox::Ok | QMessageBox::Cancel,
                                                         QMessageBox::Ok) == QMessageBox::Ok;
    if (!ok) return false;
    // Every file is tried; one that fails leaves its bell with its own sound.
    QStringList failures;
    const QDir dir(Folder);
    for (int n = 1; n <= kBellCount; ++n) {
        if (match.Files[n].isEmpty()) continue;
        TMMWavePlayer* player = FPlayers[n];
        const QString previous = player->FileName();
        const QString file = dir.filePath(match.Files[n]);
        try {
            player->LoadFromFile(file);
        } catch (const Exception& e) {
            failures << QStringLiteral("%1 (bell %2: %3)").arg(e.Message()).arg(n).arg(file);
            try {
                if (!previous.isEmpty()) player->LoadFromFile(previous);
            } catch (const Exception&) {
                // it failed before too: the bell stays as silent as it was
            }
            continue;
        }
        FInifile->WriteString(kSoundFilesSection, BellKey(n), file);
        FPlayFailure[n].clear();
        ShowSound(n);
    }
    PublishRinging();
    UpdateOutputStatus();
    if (!failures.isEmpty())
        Application.HandleException(std::make_exception_ptr(Exception(failures.join(QLatin1Char('\n')))));
    return true;
}
