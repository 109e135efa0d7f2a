#pragma once

#include "platform/comm/comm.h"

#include <QComboBox>
#include <QDialog>
#include <QString>
#include <array>
#include <functional>

// The port configuration dialog: speed, data bits, parity, stop bits and
// flow control over the device control block of a COMMCONFIG.
class TComConfigDialog : public QDialog {
    Q_OBJECT
public:
    TComConfigDialog(const QString& DeviceName, const COMMCONFIG& Config, QWidget* Parent = nullptr);

    // The configuration with the dialog's choices written into its DCB.
    COMMCONFIG Config() const;

    QComboBox* Speed() const { return FSpeed; }
    QComboBox* DataBits() const { return FDataBits; }
    QComboBox* Parity() const { return FParity; }
    QComboBox* StopBits() const { return FStopBits; }
    QComboBox* FlowControl() const { return FFlowControl; }

    // How a dialog is shown and answered: by default modally, true when the
    // user confirms. Tests install their own (open, fill, accept) so that
    // nothing waits for a person. Returns the previous runner.
    using TRunner = std::function<bool(TComConfigDialog& Dialog)>;
    static TRunner SetRunner(TRunner Runner);
    // Shows the dialog for DeviceName over Config; on confirmation Config
    // takes the choices and the result is true.
    static bool Execute(const QString& DeviceName, COMMCONFIG& Config);

private:
    COMMCONFIG FConfig;
    // Data bits, parity, stop bits and flow control as first shown.
    std::array<int, 4> FShown{};
    QComboBox* FSpeed;
    QComboBox* FDataBits;
    QComboBox* FParity;
    QComboBox* FStopBits;
    QComboBox* FFlowControl;
};

// The default configuration of each port, kept in "commconfig.ini" beside
// the settings file. A device the system does not have fails with
// ERROR_FILE_NOT_FOUND; a store that cannot be written with the write's error.
BOOL GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
BOOL SetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, DWORD dwSize);
// Shows the configuration dialog; FALSE when cancelled.
BOOL CommConfigDialogW(LPCWSTR lpszName, HWND hWnd, LPCOMMCONFIG lpCC);
// The device node a port name stands for: "COMn" and "\\.\COMn" are
// /dev/ttyS{n-1}, a bare tty name is under /dev, a path stays as it is.
QString ComDevicePath(const QString& Name);
// Where the default configurations live.
QString DefaultCommConfigFile();
