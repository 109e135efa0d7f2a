#include "app/RingingOptionsForm.h"

#include "app/Guarded.h"
#include "app/StrikingRecord.h"
#include "app/TouchChart.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

TfRingingOptions::TFolderChooser& FolderChooser() {
    static TfRingingOptions::TFolderChooser chooser;
    return chooser;
}

}  // namespace

TfRingingOptions::TFolderChooser TfRingingOptions::SetFolderChooser(TFolderChooser Chooser) {
    TFolderChooser previous = std::move(FolderChooser());
    FolderChooser() = std::move(Chooser);
    return previous;
}

TfRingingOptions::TfRingingOptions(QWidget* Owner, TStrikingRecord* Record)
    : QDialog(Owner), FRecordOf(Record) {
    setObjectName(QStringLiteral("fRingingOptions"));
    setWindowTitle(QStringLiteral("Ringing Options"));

    FRecord = new QCheckBox(QStringLiteral("Record striking while listening"), this);
    FRecord->setObjectName(QStringLiteral("cbRecord"));
    FFolder = new QLineEdit(this);
    FFolder->setObjectName(QStringLiteral("eFolder"));
    FChoose = new QPushButton(QStringLiteral("Choose..."), this);
    FChoose->setObjectName(QStringLiteral("bFolder"));
    FGuard = new QSpinBox(this);
    FGuard->setObjectName(QStringLiteral("seGuard"));
    FGuard->setRange(0, 500);
    FGuard->setSingleStep(10);
    FGuard->setSuffix(QStringLiteral(" ms"));
    FGuard->setSpecialValueText(QStringLiteral("off"));
    FGuard->setToolTip(
        QStringLiteral("A stroke of a bell within this time of its previous stroke is ignored (a sensor's "
                       "bounce); 0 is off."));
    FFlash = new QCheckBox(QStringLiteral("Flash each bell's light for 150 ms as it strikes"), this);
    FFlash->setObjectName(QStringLiteral("cbStrikeFlash"));
    FFlash->setToolTip(
        QStringLiteral("Off: a bell's light stays on while its sound lasts (2 to 4 s, so at peal speed every "
                       "light stays on). On: it lights briefly as the bell strikes."));
    FLast = new QLabel(this);
    FLast->setObjectName(QStringLiteral("lLastTouch"));
    FLast->setTextInteractionFlags(Qt::TextSelectableByMouse);
    FChart = new TTouchChart();
    FChart->setObjectName(QStringLiteral("Chart"));
    FScroll = new QScrollArea(this);
    FScroll->setWidget(FChart);
    FScroll->setWidgetResizable(true);
    FScroll->setMinimumSize(500, 220);
    FOk = new QPushButton(QStringLiteral("OK"), this);
    FOk->setObjectName(QStringLiteral("bOk"));
    FOk->setDefault(true);
    FCancel = new QPushButton(QStringLiteral("Cancel"), this);
    FCancel->setObjectName(QStringLiteral("bCancel"));

    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(FFolder, 1);
    folderRow->addWidget(FChoose);
    auto* form = new QFormLayout;
    form->addRow(FRecord);
    form->addRow(QStringLiteral("Folder:"), folderRow);
    form->addRow(QStringLiteral("Double-strike guard:"), FGuard);
    form->addRow(FFlash);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(FOk);
    buttons->addWidget(FCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(FLast);
    layout->addWidget(FScroll, 1);
    layout->addLayout(buttons);

    connect(FChoose, &QPushButton::clicked, this, Guarded([this](bool) { bFolderClick(); }));
    connect(FOk, &QPushButton::clicked, this, Guarded([this](bool) { bOkClick(); }));
    connect(FCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(FRecordOf, &TStrikingRecord::TouchEnded, this, [this] { ShowLastTouch(); });
}

void TfRingingOptions::Load(int GuardMs, bool StrikeFlash) {
    FRecord->setChecked(FRecordOf->Active());
    FFolder->setText(QDir::toNativeSeparators(FRecordOf->Folder()));
    FGuard->setValue(GuardMs);
    FFlash->setChecked(StrikeFlash);
    ShowLastTouch();
}

void TfRingingOptions::ShowLastTouch() {
    const TTouch& touch = FRecordOf->LastTouch();
    if (touch.Empty()) {
        FLast->setText(QStringLiteral("Last touch: none yet"));
    } else {
        const QString file = FRecordOf->LastFile();
        FLast->setText(QStringLiteral("Last touch: %1, %2 blows on %3 bells%4")
                           .arg(touch.Started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                           .arg(touch.Blows.size())
                           .arg(touch.BellsStruck())
                           .arg(FRecordOf->Pending() ? QStringLiteral(" (not yet written)")
                                : file.isEmpty()     ? QString()
                                                     : QStringLiteral(", ") + QFileInfo(file).fileName()));
    }
    FChart->SetTouch(touch);
}

void TfRingingOptions::bFolderClick() {
    const QString current = FFolder->text();
    const QString chosen = FolderChooser()
                               ? FolderChooser()(this, current)
                               : QFileDialog::getExistingDirectory(
                                     this, QStringLiteral("Folder for the striking record"), current);
    if (!chosen.isEmpty()) FFolder->setText(QDir::toNativeSeparators(chosen));
}

void TfRingingOptions::bOkClick() {
    if (OnApply)
        OnApply(FRecord->isChecked(), QDir::fromNativeSeparators(FFolder->text().trimmed()), FGuard->value(),
                FFlash->isChecked());
    accept();
}
