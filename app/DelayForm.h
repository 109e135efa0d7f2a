#pragma once

// The small dialog in which one bell's delay is set: a number box with
// +10/-10 buttons, and "Set", which stores the value and closes. Several may
// be open at once; each is freed when it closes.

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

private:
    void StepBy(int Step);

    QPushButton* FSet;
    TSpinEdit* FDelay;
    QPushButton* FPlus10;
    QPushButton* FMinus10;
    QLabel* FLabel1;
    int FBellNum = 0;
};
