#pragma once

// The delays a receiver holds, bell by bell in milliseconds, with what a
// ringer may want to do about them: clear "Delays Active" when the receiver
// already delays (else every bell is delayed twice), or copy them into the
// program's own delays once the receiver no longer delays. Freed on close.

#include <QWidget>
#include <array>
#include <functional>

class QLabel;
class QPushButton;

class TfReceiverDelays : public QWidget {
    Q_OBJECT

public:
    // A tool window on top of the others, owned by Owner. DelaysActive: the
    // program delays too, so the warning is shown when the receiver does.
    TfReceiverDelays(QWidget* Owner, const std::array<int, 12>& DelaysMs, bool DelaysActive);

    std::function<void()> OnClearDelaysActive;
    std::function<void(const std::array<int, 12>& DelaysMs)> OnCopy;

    void bClearDelaysActiveClick();
    void bCopyClick();

    QLabel* lBell(int Bell) const { return FBells[Bell - 1]; }
    QLabel* lTwice() const { return FTwice; }
    QPushButton* bClearDelaysActive() const { return FClearDelaysActive; }
    QPushButton* bCopy() const { return FCopy; }
    QLabel* lCopied() const { return FCopied; }
    QPushButton* bClose() const { return FClose; }

private:
    // Tall enough for every row and the texts shown now.
    void Fit();

    std::array<int, 12> FDelaysMs;
    std::array<QLabel*, 12> FBells{};
    QLabel* FTwice;
    QPushButton* FClearDelaysActive;
    QPushButton* FCopy;
    QLabel* FCopied;
    QPushButton* FClose;
};
