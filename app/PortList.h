#pragma once

// The receiver's ports as the port selector lists them: the machine's
// serial ports, then the stable names of its USB adapters (a folder of links
// named after maker, model and serial number, /dev/serial/by-id), each with
// a name a person recognises beside it. A stable name survives replugging
// into another socket, so a tower that stores it keeps its receiver.

#include <QList>
#include <QString>
#include <QStringList>
#include <exception>

class QComboBox;

struct TPortEntry {
    QString Name;      // what the selector shows and the settings file stores
    QString Friendly;  // maker and model, or what kind of port
};

// The folder of stable names. Tests use a folder of their own; an empty
// text puts /dev/serial/by-id back. Returns the previous folder.
QString SetPortByIdFolder(const QString& Folder);
QString PortByIdFolder();

// Devices (the machine's serial ports) with their friendly names, then the
// stable names of the by-id folder whose device is present, in name order.
QList<TPortEntry> ListPorts(const QStringList& Devices);

// "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" -> "FTDI FT232R USB UART A50285BI"
QString FriendlyOfStableName(const QString& FileName);

// The port a tower without a stored one starts with: the first stable name
// (it survives replugging), else the first port, else none.
QString DefaultPort(const QList<TPortEntry>& Ports);

// Replaces the selector's list; the text in its edit field, and where the
// user is typing in it, stay as they are. Each entry's friendly name shows
// beside it in the drop-down list.
void FillPortSelector(QComboBox* Box, const QList<TPortEntry>& Ports);
// The friendly name of the selector's entry Index.
QString FriendlyOfEntry(const QComboBox* Box, int Index);

// The message for a port that could not be opened: the two lines always
// shown, and a third saying how to get access when the user may not open
// Device.
QString ListenErrorText(const std::exception_ptr& Error, const QString& Device);
