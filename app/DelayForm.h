#pragma once

// The small dialog in which one bell's delay is set: a number box with
// +10/-10 buttons, and "Set", which stores the value and closes. Several may
// be open at once; each is freed when it closes.

#include <QRect>
#include <QWidget>

class QLabel;
class QPushButton;
class TSpinEdit;

class TfDelay : public QWidget {
    Q_OBJECT

public:
    // A tool window on top of the others, owned by Owner.
    explicit TfDelay(QWidget* Owner);

    int BellNum() const { return FBellNum; }
    void SetBellNum(int Value);

    void FormCreate();
    void bPlus10Click();
    void bMinus10Click();
    void bSetClick();

    QPushButton* bSet() const { return FSet; }
    TSpinEdit* seDelay() const { return FDelay; }
    QPushButton* bPlus10() const { return FPlus10; }
    QPushButton* bMinus10() const { return FMinus10; }
    QLabel* Label1() const { return FLabel1; }

    // Where a dialog of Outer size (its frame included) goes on Screen:
    // near the bell at Bell, clear of the Bells' area of the main window
    // (Window, frame included): below the bells, else above the window,
    // else beside it; else beside the Cursor as far as the screen allows.
    static QPoint Place(const QRect& Bells, const QRect& Bell, const QRect& Window, const QRect& Screen,
                        const QSize& Outer, const QPoint& Cursor);

protected:
    void showEvent(QShowEvent* event) override;
    // Enter presses "Set"; Escape closes without storing.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void StepBy(int Step);

    QPushButton* FSet;
    TSpinEdit* FDelay;
    QPushButton* FPlus10;
    QPushButton* FMinus10;
    QLabel* FLabel1;
    int FBellNum = 0;
};
