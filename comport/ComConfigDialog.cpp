#include "comport/ComConfigDialog.h"

#include "platform/profile/profile.h"
#include "platform/shell/shell.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QIntValidator>
#include <QRegularExpression>

namespace {

constexpr DWORD DtrMask = 0x30, RtsMask = 0x3000, XMask = 0x300, CtsFlow = 0x4, DsrFlow = 0x8;
constexpr DWORD DtrEnable = 0x10, RtsEnable = 0x1000, RtsHandshake = 0x2000;

enum Flow { FlowXOnXOff, FlowHardware, FlowNone };

QString Text(LPCWSTR name) {
    return name ? QString::fromUtf16(name) : QString();
}

QString NameKey(const QString& name) {
    return QFileInfo(ComDevicePath(name)).fileName();
}

// A port that has never been configured: 9600 bits per second, 8 data bits,
// no parity, one stop bit, no flow control, DTR and RTS on.
DCB FactoryDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    SetDcbFlags(dcb, 0x1 | DtrEnable | RtsEnable);
    return dcb;
}

}  // namespace

QString ComDevicePath(const QString& Name) {
    static const QRegularExpression com(QStringLiteral("^(?:\\\\\\\\\\.\\\\)?COM([0-9]+)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = com.match(Name);
    if (m.hasMatch()) return QStringLiteral("/dev/ttyS%1").arg(m.captured(1).toInt() - 1);
    if (Name.startsWith(QLatin1Char('/'))) return Name;
    return QStringLiteral("/dev/") + Name;
}

QString DefaultCommConfigFile() {
    return GetSpecialFolderPath(CSIDL_COMMON_APPDATA) + QStringLiteral("/QUORVEL/commconfig.ini");
}

BOOL GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpCC || !lpdwSize || *lpdwSize < sizeof(COMMCONFIG)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const QString name = Text(lpszName);
    if (name.isEmpty() || !QFileInfo::exists(ComDevicePath(name))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    *lpCC = COMMCONFIG{};
    lpCC->dwSize = sizeof(COMMCONFIG);
    lpCC->wVersion = 1;
    lpCC->dcb = FactoryDcb();
    const QString file = DefaultCommConfigFile();
    const QString section = NameKey(name);
    auto get = [&](const char* key, int fallback) {
        return GetPrivateProfileInt(section, QLatin1String(key), fallback, file);
    };
    DCB& dcb = lpCC->dcb;
    dcb.BaudRate = static_cast<DWORD>(get("BaudRate", static_cast<int>(dcb.BaudRate)));
    dcb.ByteSize = static_cast<BYTE>(get("ByteSize", dcb.ByteSize));
    dcb.Parity = static_cast<BYTE>(get("Parity", dcb.Parity));
    dcb.StopBits = static_cast<BYTE>(get("StopBits", dcb.StopBits));
    SetDcbFlags(dcb, static_cast<DWORD>(get("Flags", static_cast<int>(DcbFlags(dcb)))));
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL SetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!lpCC || dwSize < sizeof(COMMCONFIG)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const QString name = Text(lpszName);
    if (name.isEmpty() || !QFileInfo::exists(ComDevicePath(name))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    const QString file = DefaultCommConfigFile();
    QDir().mkpath(QFileInfo(file).absolutePath());
    const QString section = NameKey(name);
    const DCB& dcb = lpCC->dcb;
    const std::pair<const char*, qint64> values[] = {{"BaudRate", dcb.BaudRate},
                                                     {"ByteSize", dcb.ByteSize},
                                                     {"Parity", dcb.Parity},
                                                     {"StopBits", dcb.StopBits},
                                                     {"Flags", static_cast<int>(DcbFlags(dcb))}};
    for (const auto& [key, value] : values)
        if (!WritePrivateProfileString(section, QLatin1String(key), QString::number(value), file)) {
            SetLastError(EACCES);
            return FALSE;
        }
    return TRUE;
}

// ---- The dialog ---------------------------------------------------------------

TComConfigDialog::TComConfigDialog(const QString& DeviceName, const COMMCONFIG& Config, QWidget* Parent)
    : QDialog(Parent), FConfig(Config) {
    setWindowTitle(QStringLiteral("%1 Properties").arg(DeviceName));
    const DCB& dcb = Config.dcb;

    FSpeed = new QComboBox(this);
    FSpeed->setEditable(true);
    FSpeed->setValidator(new QIntValidator(1, 4000000, FSpeed));
    for (int rate :
         {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800, 921600})
        FSpeed->addItem(QString::number(rate));
    FSpeed->setCurrentText(QString::number(dcb.BaudRate));

    FDataBits = new QComboBox(this);
    for (int bits = 5; bits <= 8; ++bits) FDataBits->addItem(QString::number(bits), bits);
    FDataBits->setCurrentIndex(std::max(0, FDataBits->findData(int(dcb.ByteSize))));

    FParity = new QComboBox(this);
    const char* parities[] = {"None", "Odd", "Even", "Mark", "Space"};
    for (int p = 0; p < 5; ++p) FParity->addItem(QLatin1String(parities[p]), p);
    FParity->setCurrentIndex(std::max(0, FParity->findData(int(dcb.Parity))));

    FStopBits = new QComboBox(this);
    FStopBits->addItem(QStringLiteral("1"), int(ONESTOPBIT));
    FStopBits->addItem(QStringLiteral("1.5"), int(ONE5STOPBITS));
    FStopBits->addItem(QStringLiteral("2"), int(TWOSTOPBITS));
    FStopBits->setCurrentIndex(std::max(0, FStopBits->findData(int(dcb.StopBits))));

    FFlowControl = new QComboBox(this);
    FFlowControl->addItem(QStringLiteral("Xon / Xoff"), int(FlowXOnXOff));
    FFlowControl->addItem(QStringLiteral("Hardware"), int(FlowHardware));
    FFlowControl->addItem(QStringLiteral("None"), int(FlowNone));
    const DWORD flags = DcbFlags(dcb);
    const Flow flow = (flags & XMask)                                            ? FlowXOnXOff
                      : ((flags & CtsFlow) || (flags & RtsMask) == RtsHandshake) ? FlowHardware
                                                                                 : FlowNone;
    FFlowControl->setCurrentIndex(FFlowControl->findData(int(flow)));
    FShown = {FDataBits->currentIndex(), FParity->currentIndex(), FStopBits->currentIndex(),
              FFlowControl->currentIndex()};

    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("&Bits per second:"), FSpeed);
    form->addRow(QStringLiteral("&Data bits:"), FDataBits);
    form->addRow(QStringLiteral("&Parity:"), FParity);
    form->addRow(QStringLiteral("&Stop bits:"), FStopBits);
    form->addRow(QStringLiteral("&Flow control:"), FFlowControl);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons);
}

COMMCONFIG TComConfigDialog::Config() const {
    // Only what the user changed is written: a field the dialog cannot show
    // as it is (an odd byte size, DTR handshaking) stays as it was.
    COMMCONFIG config = FConfig;
    DCB& dcb = config.dcb;
    bool ok = false;
    const uint rate = FSpeed->currentText().trimmed().toUInt(&ok);
    if (ok && rate > 0) dcb.BaudRate = rate;
    if (FDataBits->currentIndex() != FShown[0])
        dcb.ByteSize = static_cast<BYTE>(FDataBits->currentData().toInt());
    if (FParity->currentIndex() != FShown[1]) dcb.Parity = static_cast<BYTE>(FParity->currentData().toInt());
    if (FStopBits->currentIndex() != FShown[2])
        dcb.StopBits = static_cast<BYTE>(FStopBits->currentData().toInt());
    if (FFlowControl->currentIndex() == FShown[3]) return config;
    DWORD flags = DcbFlags(dcb) & ~(DtrMask | RtsMask | XMask | CtsFlow | DsrFlow);
    switch (static_cast<Flow>(FFlowControl->currentData().toInt())) {
        case FlowXOnXOff:
            flags |= XMask | DtrEnable | RtsEnable;
            break;
        case FlowHardware:
            flags |= CtsFlow | DtrEnable | RtsHandshake;
            break;
        case FlowNone:
            flags |= DtrEnable | RtsEnable;
            break;
    }
    SetDcbFlags(dcb, flags | 0x1);
    return config;
}

namespace {
TComConfigDialog::TRunner& Runner() {
    static TComConfigDialog::TRunner runner;
    return runner;
}
}  // namespace

TComConfigDialog::TRunner TComConfigDialog::SetRunner(TRunner Runner) {
    TRunner previous = std::move(::Runner());
    ::Runner() = std::move(Runner);
    return previous;
}

bool TComConfigDialog::Execute(const QString& DeviceName, COMMCONFIG& Config) {
    TComConfigDialog dialog(DeviceName, Config);
    const bool confirmed = Runner() ? Runner()(dialog) : dialog.exec() == QDialog::Accepted;
    if (confirmed) Config = dialog.Config();
    return confirmed;
}

BOOL CommConfigDialogW(LPCWSTR lpszName, HWND, LPCOMMCONFIG lpCC) {
    if (!lpCC) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TComConfigDialog::Execute(Text(lpszName), *lpCC) ? TRUE : FALSE;
}
