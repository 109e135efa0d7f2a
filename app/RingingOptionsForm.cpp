#include "app/RingingOptionsForm.h"

#include "analysis/Striking.h"
#include "app/Guarded.h"
#include "app/StrikingRecord.h"
#include "app/TouchChart.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

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
    FFigure = new QLabel(this);
    FFigure->setObjectName(QStringLiteral("lFigure"));
    FFigure->setWordWrap(true);
    FFigures = new QTableWidget(0, 6, this);
    FFigures->setObjectName(QStringLiteral("tFigures"));
    FFigures->setHorizontalHeaderLabels({QStringLiteral("Bell"), QStringLiteral("Stroke"),
                                         QStringLiteral("Blows"), QStringLiteral("Mean"),
                                         QStringLiteral("SD"), QStringLiteral("RMS")});
    FFigures->verticalHeader()->hide();
    FFigures->verticalHeader()->setDefaultSectionSize(FFigures->fontMetrics().height() + 6);
    FFigures->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FFigures->setSelectionMode(QAbstractItemView::NoSelection);
    FFigures->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    FFigures->setToolTip(
        QStringLiteral("Each bell's error at handstroke (H) and backstroke (B) in ms, late is +, against a "
                       "rhythm fitted to the touch; grey: fewer than 5 blows."));
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
    auto* figures = new QVBoxLayout;
    figures->addWidget(FFigure);
    figures->addWidget(FFigures, 1);
    auto* touchRow = new QHBoxLayout;
    touchRow->addWidget(FScroll, 3);
    touchRow->addLayout(figures, 2);
    layout->addLayout(touchRow, 1);
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
    ShowFigures(touch);
}

void TfRingingOptions::ShowFigures(const TTouch& Touch) {
    FFigures->setRowCount(0);
    if (Touch.Empty()) {
        FFigure->clear();
        return;
    }
    TStrikingAnalysis a;
    QString error;
    if (!AnalyseTouch(Touch, a, &error)) {
        FFigure->setText(QStringLiteral("Striking: nothing to measure (%1)").arg(error));
        return;
    }
    FFigure->setText(QStringLiteral("Striking: RMS error %1 ms (handstroke %2, backstroke %3); %4 ms a blow, "
                                    "handstroke gap %5 blows")
                         .arg(a.Band.Both.Rms, 0, 'f', 1)
                         .arg(a.Band.Hand.Rms, 0, 'f', 1)
                         .arg(a.Band.Back.Rms, 0, 'f', 1)
                         .arg(a.MeanIntervalMs, 0, 'f', 0)
                         .arg(a.MeanGapBlows, 0, 'f', 2));
    auto tenth = [](double V) { return std::round(V * 10) / 10 + 0.0; };
    for (int bell : a.BellsStruck) {
        for (int s = 0; s < 2; ++s) {
            const TStrikingFigure& f = s == 0 ? a.Bell[bell].Hand : a.Bell[bell].Back;
            if (!f.Blows) continue;
            const int row = FFigures->rowCount();
            FFigures->insertRow(row);
            const double mean = tenth(f.Mean);
            const QStringList cells = {
                QString(QLatin1Char(LowndesBell(bell))),
                s == 0 ? QStringLiteral("H") : QStringLiteral("B"),
                QString::number(f.Blows),
                (mean > 0 ? QStringLiteral("+") : QString()) + QString::number(mean, 'f', 1),
                QString::number(tenth(f.Sd), 'f', 1),
                QString::number(tenth(f.Rms), 'f', 1)};
            for (int c = 0; c < cells.size(); ++c) {
                auto* item = new QTableWidgetItem(cells[c]);
                item->setTextAlignment(c < 2 ? Qt::AlignCenter : Qt::AlignRight | Qt::AlignVCenter);
                // Too few blows to say much: greyed.
                if (f.Few(a.FewBlows)) item->setForeground(QColor(150, 150, 150));
                FFigures->setItem(row, c, item);
            }
        }
    }
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
