#include "app/BellOptionsForm.h"

#include "app/Guarded.h"
#include "app/MainForm.h"
#include "app/SettingsKeys.h"
#include "app/Widgets.h"
#include "ringing/RingingEngine.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TfBellOptions::TfBellOptions(QWidget* Owner)
    : QWidget(Owner, Qt::Tool | Qt::WindowStaysOnTopHint),
      FBell(new QLabel(this)),
      FSameDelay(new QCheckBox(QStringLiteral("Backstroke delay as the handstroke's"), this)),
      FBackDelay(new TSpinEdit(this)),
      FVolume(new TSpinEdit(this)),
      FMuffle(new QComboBox(this)),
      FMaster(new TSpinEdit(this)),
      FSet(new QPushButton(QStringLiteral("Set"), this)) {
    setObjectName(QStringLiteral("fBellOptions"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Bell Sound"));
    setFont(Tahoma(11));
    FBell->setObjectName(QStringLiteral("lBell"));
    FBell->setAlignment(Qt::AlignCenter);
    FBell->setFont(Tahoma(16));
    FSameDelay->setObjectName(QStringLiteral("cbSameDelay"));
    FBackDelay->setObjectName(QStringLiteral("seBackDelay"));
    FBackDelay->SetMinValue(0);
    FBackDelay->SetMaxValue(kMaxDelayMs);
    FBackDelay->setSuffix(QStringLiteral(" ms"));
    FVolume->setObjectName(QStringLiteral("seVolume"));
    FVolume->SetMinValue(kMinVolumeDb);
    FVolume->SetMaxValue(kMaxVolumeDb);
    FVolume->setSuffix(QStringLiteral(" dB"));
    FMaster->setObjectName(QStringLiteral("seMaster"));
    FMaster->SetMinValue(kMinVolumeDb);
    FMaster->SetMaxValue(kMaxVolumeDb);
    FMaster->setSuffix(QStringLiteral(" dB"));
    FMuffle->setObjectName(QStringLiteral("cbMuffle"));
    FMuffle->addItems({QStringLiteral("Open"), QStringLiteral("Half-muffled (backstrokes)"),
                       QStringLiteral("Fully muffled")});
    FSet->setObjectName(QStringLiteral("bSet"));

    auto* form = new QFormLayout;
    form->addRow(FSameDelay);
    form->addRow(QStringLiteral("Backstroke delay"), FBackDelay);
    form->addRow(QStringLiteral("Volume"), FVolume);
    form->addRow(QStringLiteral("Muffled"), FMuffle);
    form->addRow(QStringLiteral("Master volume (all bells)"), FMaster);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FBell);
    layout->addLayout(form);
    layout->addWidget(FSet);

    connect(FSameDelay, &QCheckBox::toggled, this, [this](bool Same) {
        FBackDelay->setEnabled(!Same);
        if (Same) FBackDelay->SetValue(FHandDelayMs);
    });
    connect(FSet, &QPushButton::clicked, this, Guarded([this](bool) { bSetClick(); }));
}

void TfBellOptions::Load(int Bell, int HandDelayMs, int BackDelayMs, int VolumeDb, int Muffle, int MasterDb) {
    FBellNum = Bell;
    FHandDelayMs = HandDelayMs;
    FBell->setText(QStringLiteral("BELL %1").arg(Bell));
    FSameDelay->setChecked(BackDelayMs < 0);
    FBackDelay->setEnabled(BackDelayMs >= 0);
    FBackDelay->SetValue(BackDelayMs < 0 ? HandDelayMs : BackDelayMs);
    FVolume->SetValue(VolumeDb);
    FMuffle->setCurrentIndex(std::clamp(Muffle, 0, 2));
    FMaster->SetValue(MasterDb);
}

void TfBellOptions::bSetClick() {
    FBackDelay->ClampText();
    FVolume->ClampText();
    FMaster->ClampText();
    fMainform->SaveBellSound(FBellNum, FSameDelay->isChecked() ? -1 : FBackDelay->Value(), FVolume->Value(),
                             FMuffle->currentIndex());
    fMainform->SaveMasterVolume(FMaster->Value());
    close();
}

void TfBellOptions::keyPressEvent(QKeyEvent* event) {
    if (!SetOrCloseOnKey(event, FSet, this)) QWidget::keyPressEvent(event);
}
