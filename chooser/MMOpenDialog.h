#pragma once

// The file-open dialog component: Qt's own (non-native) file dialog, run
// modally by Execute, with room for an extra panel beside the file list.
// The running dialog reports through overridable steps; in this base each
// only raises its event:
//   DoCreate      the dialog window and its panel exist (before it shows)
//   DoSelChanged  the selection in the file list changed
//   DoFileOK      the user confirms a file; refusing keeps the dialog open
//   DoCommand     a control of the panel was used
//   DoDestroy     the window is going (after the user closed it)
// The dialog centres itself on the screen when it first shows: halfway
// across, and a third of the free height down. The columns of its detail
// view keep to the width of their texts.

#include "platform/gui/Timer.h"  // TNotifyEvent

#include <QFlags>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QAbstractButton;
class QFileDialog;
class QWidget;

namespace MMOpenDialogTypes {
Q_NAMESPACE

// The open options that mean something here. Without ofFileMustExist a
// name that does not exist may be typed and confirmed (DoFileOK judges it).
enum TOpenOption : unsigned {
    ofReadOnly = 0x1,  // no read-only box is shown; kept as given
    ofHideReadOnly = 0x2,
    ofNoChangeDir = 0x4,  // the working folder never changes anyway
    ofAllowMultiSelect = 0x8,
    ofFileMustExist = 0x10,
    ofNoNetworkButton = 0x20,  // there is none
    ofNoDereferenceLinks = 0x40,
    ofEnableSizing = 0x80,
    ofForceShowHidden = 0x100,
};
Q_DECLARE_FLAGS(TOpenOptions, TOpenOption)
Q_FLAG_NS(TOpenOptions)

enum TOpenOptionEx : unsigned {
    ofExNoPlacesBar = 0x1,  // no list of places beside the files
};
Q_DECLARE_FLAGS(TOpenOptionsEx, TOpenOptionEx)
Q_FLAG_NS(TOpenOptionsEx)

}  // namespace MMOpenDialogTypes

Q_DECLARE_OPERATORS_FOR_FLAGS(MMOpenDialogTypes::TOpenOptions)
Q_DECLARE_OPERATORS_FOR_FLAGS(MMOpenDialogTypes::TOpenOptionsEx)

using MMOpenDialogTypes::TOpenOption;
using MMOpenDialogTypes::TOpenOptionEx;
using MMOpenDialogTypes::TOpenOptions;
using MMOpenDialogTypes::TOpenOptionsEx;
using enum MMOpenDialogTypes::TOpenOption;
using enum MMOpenDialogTypes::TOpenOptionEx;

// Sender, the file confirmed, whether the dialog may close.
using TMMFileOKEvent = std::function<void(QObject* Sender, const QString& FileName, bool& CanClose)>;
// Sender, the file now selected.
using TMMSelChangeEvent = std::function<void(QObject* Sender, const QString& FileName)>;
// Sender, the dialog window, the control used, its identifier.
using TMMCommandEvent = std::function<void(QObject* Sender, QWidget* Dialog, QWidget* Control, int Id)>;

class TMMCustomOpenDialog : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList HistoryList READ HistoryList WRITE SetHistoryList)
    Q_PROPERTY(MMOpenDialogTypes::TOpenOptions Options READ Options WRITE SetOptions)
    Q_PROPERTY(MMOpenDialogTypes::TOpenOptionsEx OptionsEx READ OptionsEx WRITE SetOptionsEx)
    Q_PROPERTY(int FilterIndex READ FilterIndex WRITE SetFilterIndex)
    Q_PROPERTY(QString Filter READ Filter WRITE SetFilter)
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
    Q_PROPERTY(QString DefaultExt READ DefaultExt WRITE SetDefaultExt)
    Q_PROPERTY(QString InitialDir READ InitialDir WRITE SetInitialDir)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
    Q_PROPERTY(QString TemplateName READ TemplateName WRITE SetTemplateName)
    Q_PROPERTY(bool Ctl3D READ Ctl3D WRITE SetCtl3D)

public:
    explicit TMMCustomOpenDialog(QObject* AOwner = nullptr);
    ~TMMCustomOpenDialog() override;

    // Runs the dialog modally; true when the user confirmed. Then FileName
    // is the chosen file (the first of Files with multi-selection) and
    // FilterIndex the chosen filter.
    virtual bool Execute();

    // The running dialog window; nullptr outside Execute.
    QFileDialog* Handle() const { return FHandle; }
    // The files chosen by the last confirmed Execute.
    const QStringList& Files() const { return FFiles; }

    const QStringList& HistoryList() const { return FHistoryList; }
    void SetHistoryList(const QStringList& Value) { FHistoryList = Value; }
    TOpenOptions Options() const { return FOptions; }
    void SetOptions(TOpenOptions Value) { FOptions = Value; }
    TOpenOptionsEx OptionsEx() const { return FOptionsEx; }
    void SetOptionsEx(TOpenOptionsEx Value) { FOptionsEx = Value; }
    // 1 is the first filter.
    int FilterIndex() const { return FFilterIndex; }
    void SetFilterIndex(int Value) { FFilterIndex = Value; }
    // Display names and patterns alternating, separated by "|"; several
    // patterns of one entry are separated by ";".
    const QString& Filter() const { return FFilter; }
    void SetFilter(const QString& Value) { FFilter = Value; }
    const QString& Title() const { return FTitle; }
    void SetTitle(const QString& Value) { FTitle = Value; }
    const QString& DefaultExt() const { return FDefaultExt; }
    void SetDefaultExt(const QString& Value) { FDefaultExt = Value; }
    // Where Execute opens when FileName names no folder that exists.
    const QString& InitialDir() const { return FInitialDir; }
    // Stored without a trailing "/", except the root folder itself.
    void SetInitialDir(const QString& Value);
    const QString& FileName() const { return FFileName; }
    void SetFileName(const QString& Value) { FFileName = Value; }
    const QString& TemplateName() const { return FTemplateName; }
    void SetTemplateName(const QString& Value) { FTemplateName = Value; }
    // Qt draws its own frames; kept with the other published settings.
    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool Value) { FCtl3D = Value; }

    TNotifyEvent OnCreate;
    TNotifyEvent OnDestroy;
    TMMFileOKEvent OnFileOK;
    TMMSelChangeEvent OnSelChange;
    TMMCommandEvent OnCommand;

protected:
    virtual void DoCreate();
    virtual void DoDestroy();
    virtual void DoFileOK(const QString& FileName, bool& CanClose);
    virtual void DoSelChanged(const QString& FileName);
    virtual void DoCommand(QWidget* Dialog, QWidget* Control, int Id);
    // The extra panel named by TemplateName, built inside Dialog; the base
    // has none.
    virtual QWidget* CreateTemplate(QWidget* Dialog);
    // Hands every click of Control to DoCommand with Id.
    void ConnectCommand(QAbstractButton* Control, int Id);

    QStringList FHistoryList;
    QStringList FFiles;
    QStringList FTempFiles;  // the files being confirmed
    TOpenOptions FOptions = {ofHideReadOnly, ofEnableSizing};
    TOpenOptionsEx FOptionsEx;
    int FFilterIndex = 1;
    QString FFilter;
    QString FTitle;
    QString FDefaultExt;
    QString FInitialDir;
    QString FFileName;
    QString FTemplateName;
    bool FCtl3D = true;

private:
    friend class TMMOpenDialogWindow;

    void Centre();
    void SelectionChanged();
    // False when some file was refused.
    bool ConfirmFiles(const QStringList& Files);

    QFileDialog* FHandle = nullptr;
    QString FLastSelected;
};
