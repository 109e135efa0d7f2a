#include "app/PortList.h"

#include "comport/ComConfigDialog.h"
#include "comport/FComPort.h"

#include <grp.h>
#include <libudev.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <cerrno>

namespace {

const QString kStableFolder = QStringLiteral("/dev/serial/by-id");
constexpr int kFriendlyRole = Qt::UserRole + 1;

QString& ByIdFolder() {
    static QString folder;
    return folder;
}

// Maker and model as udev knows them, for a tty such as /dev/ttyUSB0.
QString UdevFriendly(const QString& Node) {
    udev* context = udev_new();
    if (!context) return QString();
    QString friendly;
    const QByteArray sysName = QFile::encodeName(QFileInfo(Node).fileName());
    if (udev_device* device = udev_device_new_from_subsystem_sysname(context, "tty", sysName.constData())) {
        auto value = [&](std::initializer_list<const char*> keys) {
            for (const char* key : keys)
                if (const char* v = udev_device_get_property_value(device, key))
                    return QString::fromUtf8(v).replace(QLatin1Char('_'), QLatin1Char(' ')).trimmed();
            return QString();
        };
        const QString vendor = value({"ID_VENDOR_FROM_DATABASE", "ID_VENDOR"});
        const QString model = value({"ID_MODEL_FROM_DATABASE", "ID_MODEL"});
        friendly = model.startsWith(vendor) ? model : (vendor + QLatin1Char(' ') + model).trimmed();
        udev_device_unref(device);
    }
    udev_unref(context);
    return friendly;
}

// Shows "name   friendly" in the drop-down list; the selector's own text,
// and so the setting, stays the bare name.
class TPortDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString friendly = index.data(kFriendlyRole).toString();
        if (!friendly.isEmpty()) option->text += QStringLiteral("   ") + friendly;
    }
};

}  // namespace

QString SetPortByIdFolder(const QString& Folder) {
    QString previous = PortByIdFolder();
    ByIdFolder() = Folder;
    return previous;
}

QString PortByIdFolder() {
    return ByIdFolder().isEmpty() ? kStableFolder : ByIdFolder();
}

QString FriendlyOfStableName(const QString& FileName) {
    QString name = FileName;
    // The bus comes first ("usb-", "pci-"), the interface and port last.
    const int bus = name.indexOf(QLatin1Char('-'));
    if (bus > 0) name = name.mid(bus + 1);
    static const QRegularExpression tail(QStringLiteral("(-if[0-9A-Fa-f]+)?(-port[0-9]+)?$"));
    name.remove(tail);
    return name.replace(QLatin1Char('_'), QLatin1Char(' ')).simplified();
}

QList<TPortEntry> ListPorts(const QStringList& Devices) {
    QList<TPortEntry> ports;
    for (const QString& device : Devices) {
        const QString friendly = UdevFriendly(device);
        ports.append({device, friendly.isEmpty() ? QStringLiteral("Serial port") : friendly});
    }
    const QDir folder(PortByIdFolder());
    for (const QFileInfo& link :
         folder.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        // A link left behind by an adapter that is gone names nothing.
        if (!link.exists()) continue;
        const QString device = link.canonicalFilePath();
        QString friendly = UdevFriendly(device);
        if (friendly.isEmpty()) friendly = FriendlyOfStableName(link.fileName());
        ports.append({link.absoluteFilePath(), QStringLiteral("%1 (%2)").arg(friendly, device)});
    }
    return ports;
}

QString DefaultPort(const QList<TPortEntry>& Ports) {
    const QString folder = QDir(PortByIdFolder()).absolutePath() + QLatin1Char('/');
    for (const TPortEntry& port : Ports)
        if (port.Name.startsWith(folder)) return port.Name;
    return Ports.isEmpty() ? QString() : Ports.first().Name;
}

void FillPortSelector(QComboBox* Box, const QList<TPortEntry>& Ports) {
    if (!dynamic_cast<TPortDelegate*>(Box->itemDelegate())) Box->setItemDelegate(new TPortDelegate(Box));
    QLineEdit* edit = Box->lineEdit();
    const QString text = Box->currentText();
    const int cursor = edit ? edit->cursorPosition() : 0;
    {
        // Only the user's changes count as a change of port.
        const QSignalBlocker blockBox(Box);
        const QSignalBlocker blockEdit(edit);
        Box->clear();
        for (const TPortEntry& port : Ports) {
            Box->addItem(port.Name);
            Box->setItemData(Box->count() - 1, port.Friendly, kFriendlyRole);
            Box->setItemData(Box->count() - 1, port.Friendly, Qt::ToolTipRole);
        }
        Box->setEditText(text);
        if (edit) edit->setCursorPosition(cursor);
    }
    // The list is wider than the selector: names and makers shown whole.
    QAbstractItemView* view = Box->view();
    int widest = 0;
    for (int i = 0; i < Box->count(); ++i) {
        QStyleOptionViewItem option;
        option.initFrom(view);
        widest = std::max(widest, Box->itemDelegate()->sizeHint(option, Box->model()->index(i, 0)).width());
    }
    view->setMinimumWidth(widest + 8);
}

QString FriendlyOfEntry(const QComboBox* Box, int Index) {
    return Box->itemData(Index, kFriendlyRole).toString();
}

QString ListenErrorText(const std::exception_ptr& Error, const QString& Device) {
    QString text = QStringLiteral("Cannot Start Communications with Receiver\rCheck COM Port Settings");
    bool denied = false;
    try {
        if (Error) std::rethrow_exception(Error);
    } catch (const EComError& e) {
        denied = e.ErrorCode() == EACCES;
    } catch (...) {
    }
    if (!denied) return text;

    // The node itself: "COM1" stands for /dev/ttyS0, a stable name links to one.
    const QString path = ComDevicePath(Device);
    const QString real = QFileInfo(path).canonicalFilePath();
    const QString shown = real.isEmpty() || real == path ? path : QStringLiteral("%1 (%2)").arg(path, real);
    const passwd* user = ::getpwuid(::getuid());
    const QString who = user ? QString::fromLocal8Bit(user->pw_name) : QStringLiteral("$USER");
    struct stat st {};
    const bool known = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    const group* owners = known ? ::getgrgid(st.st_gid) : nullptr;
    // Joining the device's group helps only when the group may read and write it.
    const bool groupMay =
        known && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0;
    if (!owners) {
        text += QStringLiteral(
                    "\rNo permission to open %1: find its group with \"ls -l %2\", make %3 a member "
                    "of that group (sudo adduser %3 <group>), then log out and in again")
                    .arg(shown, real.isEmpty() ? path : real, who);
    } else if (groupMay) {
        const QString name = QString::fromLocal8Bit(owners->gr_name);
        text += QStringLiteral(
                    "\rNo permission to open %1: make %2 a member of the group \"%3\" "
                    "(sudo adduser %2 %3), then log out and in again")
                    .arg(shown, who, name);
    } else {
        text += QStringLiteral(
                    "\rNo permission to open %1: its group may not use it either; ask the "
                    "administrator for a udev rule that gives it to the dialout group")
                    .arg(shown);
    }
    return text;
}
