// The bells' layout as the window grows and shrinks, and the mouse on the
// bells: play, choose a sound file, or open the delay dialog.

#include "app/DelayForm.h"
#include "app/MainForm.h"

#include "app/Widgets.h"
#include "chooser/MMWaveOpenDialog.h"
#include "controls/MMLED.h"
#include "platform/base/Clock.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWavePlayer.h"
#include "ringing/RingingEngine.h"

#include <QCheckBox>
#include <QCursor>
#include <QGuiApplication>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <algorithm>
#include <cmath>

namespace {

// Nearest integer, halfway to the even neighbour (66.5 gives 66).
int Round(double value) {
    return static_cast<int>(std::nearbyint(value));
}

}  // namespace

void TfMainform::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The button panel is docked to the bottom before the bells are laid out.
    FButtons->setGeometry(0, height() - FButtons->height(), width(), FButtons->height());
    FormResize();
}

void TfMainform::FormResize() {
    // On Linux the window manager's frame lies outside the window, so the
    // window's own size is its outer size.
    const int FormWidth = width();
    const int FormHeight = height();
    const double LED_TotalWidth = FormWidth - FImage1->width() - 4;
    const double LED_TotalHeight = FormHeight - FButtons->height();
    constexpr int NumInRow = 8, NumRows = 2, Spacer = 8, HSpacer = 5, VSpacer = 5;
    const int LEDWidth = Round(LED_TotalWidth / NumInRow - Spacer);
    const int LEDHeight = Round(LED_TotalHeight / NumRows - 20 - Spacer);

    FLEDs[1]->resize(LEDWidth, LEDHeight);
    for (int k = 2; k <= 8; ++k)
        FLEDs[k]->setGeometry(FLEDs[k - 1]->x() + LEDWidth + HSpacer, FLEDs[k]->y(), LEDWidth, LEDHeight);
    FLEDs[9]->setGeometry(FLEDs[9]->x(), FLEDs[1]->y() + FLEDs[1]->height() + VSpacer, LEDWidth, LEDHeight);
    for (int k = 10; k <= 16; ++k)
        FLEDs[k]->setGeometry(FLEDs[k - 9]->x() + LEDWidth + HSpacer, FLEDs[9]->y(), LEDWidth, LEDHeight);
    for (int n = 1; n <= kBellCount; ++n) {
        const TMMLED* led = FLEDs[n];
        TLabel* label = FLabels[n];
        label->move(led->x() + Round(led->width() / 2.0) - Round(label->width() / 2.0),
                    led->y() + Round(led->height() / 2.0) - Round(label->height() / 2.0));
    }
}

void TfMainform::pButtonsResize() {
    // Centred, but never over "Delays Active" on a narrow window.
    const int clear = FDelaysActive->x() + FDelaysActive->sizeHint().width() + 6;
    FListen->move(std::max(clear, Round(FButtons->width() / 2.0) - Round(FListen->width() / 2.0)),
                  FListen->y());
}

void TfMainform::MMLED1MouseDown(QObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y) {
    FSetDelay = Button == mbRight;
    FSetFile = (Shift & ssShift) != 0;
    FSetSound = !FSetFile && Button == mbLeft && (Shift & ssCtrl) != 0;
    if (FSetDelay) SetUpDelay(BellOf(Sender), X, Y);
}

void TfMainform::MMLED1Click(QObject* Sender) {
    const int n = BellOf(Sender);
    if (FSetFile) {
        DoSetFile(n);
        return;
    }
    if (FSetSound) {
        SetUpBellSound(n);
        return;
    }
    if (n) PlayBell(n, MonotonicNs(), TStrokeSource::Click);
}

void TfMainform::SetUpDelay(int aPlayer, int, int) {
    auto* dialog = new TfDelay(this);
    dialog->SetBellNum(aPlayer);
    dialog->seDelay()->SetValue(
        FInifile->ReadInteger(QStringLiteral("DELAY"), QStringLiteral("BELL%1").arg(aPlayer), 300));
    dialog->move(DelayDialogPlace(*dialog, aPlayer));
    dialog->show();
}

QPoint TfMainform::DelayDialogPlace(const QWidget& Dialog, int aPlayer) const {
    // Near the bell the ringer clicked, and clear of every bell's LED, so
    // that the bells can be watched while the delay is set.
    const auto global = [this](const QRect& r) { return QRect(mapToGlobal(r.topLeft()), r.size()); };
    QRect bells;
    for (int n = 1; n <= kBellCount; ++n) bells |= global(FLEDs[n]->geometry());
    const QRect bell = aPlayer >= 1 && aPlayer <= kBellCount ? global(FLEDs[aPlayer]->geometry()) : bells;
    const QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) screen = this->screen();
    // Before it is shown the dialog has no frame yet: allow for a title bar.
    const QMargins frame(4, 30, 4, 4);
    const QRect area = screen->availableGeometry();
    const QSize outer = Dialog.size().grownBy(frame);
    QPoint at = TfDelay::Place(bells, bell, frameGeometry(), area, outer, QCursor::pos());
    // A further dialog for the same bell steps aside, so both show.
    for (bool taken = true; taken;) {
        taken = false;
        for (const TfDelay* other : findChildren<TfDelay*>(Qt::FindDirectChildrenOnly))
            if (other != &Dialog && other->isVisible() && other->pos() == at) taken = true;
        if (taken && !area.contains(QRect(at + QPoint(24, 0), outer))) break;
        if (taken) at += QPoint(24, 0);
    }
    return at;
}

void TfMainform::DoSetFile(int aPlayer) {
    if (aPlayer < 1 || aPlayer > kBellCount) return;
    TMMWavePlayer* player = FPlayers[aPlayer];
    // A bell without a file opens the chooser on the demo ring; the chooser
    // keeps its "Preview" in our settings file.
    SetWaveOpenDialogDefaults(DemoRing(), FInifile->FileName());
    if (!player->SelectFile()) return;
    ShowSound(aPlayer);
    PublishRinging();
    FInifile->WriteString(QStringLiteral("SOUNDFILES"), QStringLiteral("BELL%1").arg(aPlayer),
                          player->FileName());
}
