#include "app/ReceiverDelaysForm.h"

#include "app/Guarded.h"
#include "app/Widgets.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

TfReceiverDelays::TfReceiverDelays(QWidget* Owner, const std::array<int, 12>& DelaysMs, bool DelaysActive)
    : QWidget(Owner, Qt::Tool | Qt::WindowStaysOnTopHint),
      FDelaysMs(DelaysMs),
      FTwice(new QLabel(this)),
      FClearDelaysActive(new QPushButton(QStringLiteral("Clear \"Delays Active\""), this)),
      FCopy(new QPushButton(QStringLiteral("Copy into the Program's Delays"), this)),
      FCopied(new QLabel(this)),
      FClose(new QPushButton(QStringLiteral("Close"), this)) {
    setObjectName(QStringLiteral("fReceiverDelays"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Receiver Delays"));
    setFont(Tahoma(11));

    auto* heading = new QLabel(QStringLiteral("Delays held by the receiver:"), this);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(16);
    // Two columns of six, as the bells stand on the main window's rows.
    for (int i = 0; i < 12; ++i) {
        auto* name = new QLabel(QStringLiteral("Bell %1").arg(i + 1), this);
        auto* value = new QLabel(QStringLiteral("%1 ms").arg(DelaysMs[i]), this);
        value->setObjectName(QStringLiteral("lBell%1").arg(i + 1));
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        FBells[i] = value;
        grid->addWidget(name, i % 6, (i / 6) * 2);
        grid->addWidget(value, i % 6, (i / 6) * 2 + 1);
    }

    FTwice->setObjectName(QStringLiteral("lTwice"));
    FTwice->setWordWrap(true);
    FTwice->setText(
        QStringLiteral("The receiver delays the bells itself: with \"Delays Active\" checked, "
                       "every bell would be delayed twice."));
    FClearDelaysActive->setObjectName(QStringLiteral("bClearDelaysActive"));
    const bool twice =
        DelaysActive && std::any_of(DelaysMs.begin(), DelaysMs.end(), [](int ms) { return ms; });
    FTwice->setVisible(twice);
    FClearDelaysActive->setVisible(twice);

    FCopy->setObjectName(QStringLiteral("bCopy"));
    FCopy->setToolTip(
        QStringLiteral("For a receiver set up to leave the delays to this program: "
                       "bells 1 to 12 take these delays, stored as any other."));
    FCopied->setObjectName(QStringLiteral("lCopied"));
    FCopied->setWordWrap(true);
    FCopied->hide();
    FClose->setObjectName(QStringLiteral("bClose"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(FCopy);
    buttons->addStretch();
    buttons->addWidget(FClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addLayout(grid);
    layout->addWidget(FTwice);
    layout->addWidget(FClearDelaysActive, 0, Qt::AlignLeft);
    layout->addWidget(FCopied);
    layout->addLayout(buttons);
    setFixedWidth(320);
    // Never less than what the rows need: a text shown later makes the
    // window taller instead of squeezing the delays.
    layout->setSizeConstraint(QLayout::SetMinimumSize);

    connect(FClearDelaysActive, &QPushButton::clicked, this,
            Guarded([this](bool) { bClearDelaysActiveClick(); }));
    connect(FCopy, &QPushButton::clicked, this, Guarded([this](bool) { bCopyClick(); }));
    connect(FClose, &QPushButton::clicked, this, [this](bool) { close(); });
}

void TfReceiverDelays::bClearDelaysActiveClick() {
    if (OnClearDelaysActive) OnClearDelaysActive();
    FTwice->setText(QStringLiteral("\"Delays Active\" is cleared: the receiver's delays alone apply."));
    FClearDelaysActive->hide();
    Fit();
}

void TfReceiverDelays::bCopyClick() {
    if (OnCopy) OnCopy(FDelaysMs);
    FCopied->setText(QStringLiteral("Bells 1 to 12 now have these delays in the program too."));
    FCopied->show();
    FCopy->setEnabled(false);
    Fit();
}

void TfReceiverDelays::Fit() {
    layout()->activate();
    resize(width(), std::max(height(), heightForWidth(width())));
}
