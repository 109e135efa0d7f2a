#include "app/DelayForm.h"

#include "app/Guarded.h"
#include "app/MainForm.h"
#include "app/Widgets.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

TfDelay::TfDelay(QWidget* Owner)
    : QWidget(Owner, Qt::Tool | Qt::WindowStaysOnTopHint),
      FSet(new QPushButton(QStringLiteral("Set"), this)),
      FDelay(new TSpinEdit(this)),
      FPlus10(new QPushButton(QStringLiteral("+10"), this)),
      FMinus10(new QPushButton(QStringLiteral("-10"), this)),
      FLabel1(new QLabel(this)) {
    setObjectName(QStringLiteral("fDelay"));
    setAttribute(Qt::WA_DeleteOnClose);  // freed on close
    setWindowTitle(QStringLiteral("Delay Setup"));
    setFont(Tahoma(11));
    setFixedSize(163, 115);

    FSet->setObjectName(QStringLiteral("bSet"));
    FSet->setGeometry(8, 72, 151, 41);
    FDelay->setObjectName(QStringLiteral("seDelay"));
    FDelay->setGeometry(47, 37, 73, 29);
    FDelay->setFont(Tahoma(16));
    FDelay->SetMinValue(0);
    FDelay->SetMaxValue(50000);
    FDelay->SetValue(300);
    FDelay->setSingleStep(1);
    FPlus10->setObjectName(QStringLiteral("bPlus10"));
    FPlus10->setGeometry(126, 39, 33, 25);
    FMinus10->setObjectName(QStringLiteral("bMinus10"));
    FMinus10->setGeometry(8, 39, 33, 25);
    FLabel1->setObjectName(QStringLiteral("Label1"));
    FLabel1->setGeometry(0, 0, 163, 25);
    FLabel1->setAlignment(Qt::AlignCenter);
    FLabel1->setFont(Tahoma(21));

    connect(FSet, &QPushButton::clicked, this, Guarded([this](bool) { bSetClick(); }));
    connect(FPlus10, &QPushButton::clicked, this, Guarded([this](bool) { bPlus10Click(); }));
    connect(FMinus10, &QPushButton::clicked, this, Guarded([this](bool) { bMinus10Click(); }));
    FormCreate();
}

void TfDelay::FormCreate() {
    FLabel1->setText(QStringLiteral("BELL %1").arg(FBellNum));
}

void TfDelay::SetBellNum(int Value) {
    FBellNum = Value;
    FLabel1->setText(QStringLiteral("BELL %1").arg(Value));
}

void TfDelay::bPlus10Click() {
    StepBy(10);
}

void TfDelay::bMinus10Click() {
    StepBy(-10);
}

void TfDelay::StepBy(int Step) {
    // Wide arithmetic: the box may hold any number until it is left.
    const long long value = std::clamp<long long>(static_cast<long long>(FDelay->Value()) + Step,
                                                  FDelay->MinValue(), FDelay->MaxValue());
    FDelay->SetValue(static_cast<int>(value));
}

void TfDelay::bSetClick() {
    // Leaving the box clamps its text; "Set" reads the value after that.
    FDelay->ClampText();
    fMainform->SaveDelay(FBellNum, FDelay->Value());
    close();
}
