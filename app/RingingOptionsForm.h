#pragma once

// "Ringing Options...": whether practices are recorded and where the files
// go, the double-strike guard, the strike flash, and a chart of the last
// touch with its striking figures beside it (per bell and stroke). "OK"
// hands the
// values to OnApply; the chart follows each touch as it ends.

#include <QDialog>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QTableWidget;
class TStrikingRecord;
struct TTouch;
class TTouchChart;

class TfRingingOptions : public QDialog {
    Q_OBJECT

public:
    TfRingingOptions(QWidget* Owner, TStrikingRecord* Record);

    // Fills the controls (the record's own state and the guard given).
    void Load(int GuardMs, bool StrikeFlash = false);
    void bFolderClick();
    void bOkClick();

    // Called by "OK" with the values chosen.
    std::function<void(bool Record, const QString& Folder, int GuardMs, bool StrikeFlash)> OnApply;

    // How a folder is chosen: the current one in, the choice (empty for none)
    // out. Tests install their own; returns the previous. Empty: the system's.
    using TFolderChooser = std::function<QString(QWidget* Parent, const QString& Current)>;
    static TFolderChooser SetFolderChooser(TFolderChooser Chooser);

    QCheckBox* cbRecord() const { return FRecord; }
    QLineEdit* eFolder() const { return FFolder; }
    QPushButton* bFolder() const { return FChoose; }
    QSpinBox* seGuard() const { return FGuard; }
    QCheckBox* cbStrikeFlash() const { return FFlash; }
    QLabel* lLastTouch() const { return FLast; }
    TTouchChart* Chart() const { return FChart; }
    // The band's figure, and a row per bell and stroke: blows, mean, SD, RMS.
    QLabel* lFigure() const { return FFigure; }
    QTableWidget* tFigures() const { return FFigures; }
    QPushButton* bOk() const { return FOk; }
    QPushButton* bCancel() const { return FCancel; }

private:
    void ShowLastTouch();
    void ShowFigures(const TTouch& Touch);

    TStrikingRecord* FRecordOf;
    QCheckBox* FRecord;
    QLineEdit* FFolder;
    QPushButton* FChoose;
    QSpinBox* FGuard;
    QCheckBox* FFlash;
    QLabel* FLast;
    QScrollArea* FScroll;
    TTouchChart* FChart;
    QLabel* FFigure;
    QTableWidget* FFigures;
    QPushButton* FOk;
    QPushButton* FCancel;
};
