#pragma once

// One bell's sound (Ctrl+click on the bell): its backstroke delay, its
// volume, how it is muffled, and the master volume over every bell. "Set"
// stores them and closes; Escape closes without storing. Freed on close.

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class TSpinEdit;

class TfBellOptions : public QWidget {
    Q_OBJECT

public:
    explicit TfBellOptions(QWidget* Owner);

    int BellNum() const { return FBellNum; }
    // Shows the bell's values: BackDelayMs below 0 is the handstroke's.
    void Load(int Bell, int HandDelayMs, int BackDelayMs, int VolumeDb, int Muffle, int MasterDb);

    // Stores through the main window and closes.
    void bSetClick();

    QLabel* lBell() const { return FBell; }
    QCheckBox* cbSameDelay() const { return FSameDelay; }
    TSpinEdit* seBackDelay() const { return FBackDelay; }
    TSpinEdit* seVolume() const { return FVolume; }
    QComboBox* cbMuffle() const { return FMuffle; }
    TSpinEdit* seMaster() const { return FMaster; }
    QPushButton* bSet() const { return FSet; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QLabel* FBell;
    QCheckBox* FSameDelay;
    TSpinEdit* FBackDelay;
    TSpinEdit* FVolume;
    QComboBox* FMuffle;
    TSpinEdit* FMaster;
    QPushButton* FSet;
    int FBellNum = 0;
    int FHandDelayMs = 0;
};
