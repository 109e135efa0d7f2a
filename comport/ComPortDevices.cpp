// Beyond one open port: the ports of the machine, devices that come and go,
// the configuration dialogs and what an open port can do.

#include "comport/ComConfigDialog.h"
#include "comport/DeviceMonitor.h"
#include "comport/FComPort.h"
#include "platform/gui/Synchronize.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

namespace {

void NaturalSort(QStringList& names) {
    QCollator collator(QLocale::c());
    collator.setNumericMode(true);
    std::sort(names.begin(), names.end(),
              [&](const QString& a, const QString& b) { return collator.compare(a, b) < 0; });
}

// The legacy UART driver lists ports whether or not a UART answers there;
// a port of unknown type has no hardware behind it.
bool PhantomUart(const QString& node) {
    const int fd = ::open(QFile::encodeName(node).constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ENXIO || errno == EIO || errno == ENODEV;
    serial_struct info{};
    const bool phantom = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type == PORT_UNKNOWN;
    ::close(fd);
    return phantom;
}

// The serial ports of the machine: ttys with a device behind them.
QStringList SerialPorts() {
    QStringList names;
    const QDir ttys(QStringLiteral("/sys/class/tty"));
    for (const QString& name : ttys.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        const QFileInfo device(ttys.filePath(name) + QStringLiteral("/device"));
        if (!device.exists()) continue;
        const QString driver = QFileInfo(device.filePath() + QStringLiteral("/driver")).symLinkTarget();
        const QString node = QStringLiteral("/dev/") + name;
        if (QFileInfo(driver).fileName() == QLatin1String("serial8250") && PhantomUart(node)) continue;
        names << name;
    }
    NaturalSort(names);
    for (QString& name : names) name.prepend(QStringLiteral("/dev/"));
    return names;
}

bool SerialNodeName(const QString& name) {
    static const char* prefixes[] = {"ttyS",     "ttyUSB", "ttyACM", "ttyAMA",
                                     "ttyXRUSB", "ttySC",  "ttyMFD", "rfcomm"};
    for (const char* p : prefixes)
        if (name.startsWith(QLatin1String(p)) && name.size() > int(strlen(p)) &&
            name[int(strlen(p))].isDigit())
            return true;
    return false;
}

}  // namespace

// ---- Port lists --------------------------------------------------------------

void TFComPort::EnumDevices(QStringList& List) {
    QStringList names;
    const QDir dev(QStringLiteral("/dev"));
    for (const QFileInfo& entry : dev.entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
        struct stat st {};
        if (::lstat(QFile::encodeName(entry.filePath()).constData(), &st) == 0 && S_ISCHR(st.st_mode))
            names << entry.fileName();
    }
    NaturalSort(names);
    for (const QString& name : names) List << QStringLiteral("/dev/") + name;
}

void TFComPort::EnumComDevices(QStringList& List) {
    QStringList all;
    EnumDevices(all);
    for (const QString& path : all)
        if (SerialNodeName(QFileInfo(path).fileName())) List << path;
}

void TFComPort::EnumComDevicesFromRegistry(QStringList& List) {
    List << SerialPorts();
}

void TFComPort::EnumComFriendlyNames(QStringList& List) {
    udev* context = udev_new();
    if (!context) return;
    for (const QString& node : SerialPorts()) {
        const QString sysName = QFileInfo(node).fileName();
        udev_device* device =
            udev_device_new_from_subsystem_sysname(context, "tty", QFile::encodeName(sysName).constData());
        if (!device) continue;
        QString product;
        for (const char* key : {"ID_MODEL_FROM_DATABASE", "ID_MODEL"}) {
            if (const char* value = udev_device_get_property_value(device, key)) {
                product = QString::fromUtf8(value).replace(QLatin1Char('_'), QLatin1Char(' '));
                break;
            }
        }
        if (product.isEmpty())
            if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device"))
                if (const char* value = udev_device_get_sysattr_value(usb, "product"))
                    product = QString::fromUtf8(value);
        if (product.isEmpty()) product = QStringLiteral("Communications Port");
        List << QStringLiteral("%1 (%2)").arg(product.trimmed(), node);
        udev_device_unref(device);
    }
    udev_unref(context);
}

QString TFComPort::ShortDeviceName() const {
    if (FDeviceName.startsWith(QLatin1String("\\\\.\\"))) return FDeviceName.mid(4);
    return FDeviceName;
}

// ---- Configuration dialogs ---------------------------------------------------

bool TFComPort::ConfigDialog() {
    const QString name = ShortDeviceName();
    COMMCONFIG config{};
    config.dwSize = sizeof(COMMCONFIG);
    DWORD size = sizeof(COMMCONFIG);
    Check(GetDefaultCommConfigW(reinterpret_cast<LPCWSTR>(name.utf16()), &config, &size));
    CopyDCB(config.dcb, true);
    const DCB shown = config.dcb;
    if (!CommConfigDialogW(reinterpret_cast<LPCWSTR>(name.utf16()), nullptr, &config)) return false;
    // What the dialog left as it showed it keeps its setting: confirming
    // without a change must not turn 2400 into a custom speed or one stop
    // bit into the device's default.
    const TBaudRate baudRate = FBaudRate;
    const int customBaudRate = FCustomBaudRate;
    const TDataBits dataBits = FDataBits;
    const TParity parity = FParity;
    const TStopBits stopBits = FStopBits;
    const TDTRControl dtr = FFlowControl->FDTRControl;
    const TRTSControl rts = FFlowControl->FRTSControl;
    const TXOnXOffControl xOnXOff = FFlowControl->FXOnXOffControl;
    const TOptions options = FOptions;
    CopyDCB(config.dcb, false);
    if (DcbFlags(config.dcb) == DcbFlags(shown)) {
        FFlowControl->FDTRControl = dtr;
        FFlowControl->FRTSControl = rts;
        FFlowControl->FXOnXOffControl = xOnXOff;
        FOptions = options;
    }
    if (config.dcb.BaudRate == shown.BaudRate) {
        FBaudRate = baudRate;
        FCustomBaudRate = customBaudRate;
    }
    if (config.dcb.ByteSize == shown.ByteSize) FDataBits = dataBits;
    // A choice made is that choice, not "whatever the device has".
    if (config.dcb.Parity == shown.Parity)
        FParity = parity;
    else if (FParity == paDefault)
        FParity = paNone;
    if (config.dcb.StopBits == shown.StopBits)
        FStopBits = stopBits;
    else if (FStopBits == sbDefault)
        FStopBits = sb1;
    SetComDCB();
    return true;
}

bool TFComPort::DefaultConfigDialog() {
    const QString name = ShortDeviceName();
    COMMCONFIG config{};
    config.dwSize = sizeof(COMMCONFIG);
    DWORD size = sizeof(COMMCONFIG);
    Check(GetDefaultCommConfigW(reinterpret_cast<LPCWSTR>(name.utf16()), &config, &size));
    if (!CommConfigDialogW(reinterpret_cast<LPCWSTR>(name.utf16()), nullptr, &config)) return false;
    Check(SetDefaultCommConfigW(reinterpret_cast<LPCWSTR>(name.utf16()), &config, size));
    return true;
}

// ---- Device notices ----------------------------------------------------------

TDeviceMonitor::TDeviceMonitor(THandler Handler) : FHandler(std::move(Handler)) {
    if (!IsMainThread()) return;
    FUdev = udev_new();
    if (!FUdev) return;
    FMonitor = udev_monitor_new_from_netlink(FUdev, "udev");
    if (!FMonitor || udev_monitor_filter_add_match_subsystem_devtype(FMonitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(FMonitor) < 0)
        return;
    const int fd = udev_monitor_get_fd(FMonitor);
    if (fd < 0) return;
    FNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TDeviceMonitor::Receive);
}

TDeviceMonitor::~TDeviceMonitor() {
    delete FNotifier;
    if (FMonitor) udev_monitor_unref(FMonitor);
    if (FUdev) udev_unref(FUdev);
}

void TDeviceMonitor::Receive() {
    while (udev_device* device = udev_monitor_receive_device(FMonitor)) {
        const char* action = udev_device_get_action(device);
        const char* node = udev_device_get_devnode(device);
        const QString a = QString::fromLatin1(action ? action : "");
        const QString n = QString::fromUtf8(node ? node : "");
        udev_device_unref(device);
        if (!n.isEmpty()) FHandler(a, n);
    }
}

bool TFComPort::StartNotification() {
    if (FNotification) return true;
    auto monitor = std::make_unique<TDeviceMonitor>(
        [this](const QString& action, const QString& node) { DeviceNotice(action, node); });
    if (!monitor->Valid()) return false;
    FNotification = std::move(monitor);
    return true;
}

bool TFComPort::StopNotification() {
    FNotification.reset();
    return true;
}

bool TFComPort::Notifying() const {
    return FNotification != nullptr;
}

void TFComPort::DeviceNotice(const QString& Action, const QString& DeviceNode) {
    if (Action == QLatin1String("add")) {
        if (OnDeviceArrival) OnDeviceArrival(this, DeviceNode);
    } else if (Action == QLatin1String("remove")) {
        if (OnDeviceRemoved) OnDeviceRemoved(this, DeviceNode);
    }
}

void TFComPort::DeviceEventsChanged() {
    if (FDesigning) return;
    if (OnDeviceArrival || OnDeviceRemoved)
        StartNotification();
    else
        StopNotification();
}

// ---- Capabilities ---------------------------------------------------------------

namespace {

struct BaudBit {
    DWORD Bit;
    TBaudRate Rate;
};
constexpr BaudBit BaudBits[] = {
    {BAUD_075, br75},      {BAUD_110, br110},       {BAUD_134_5, br134_5}, {BAUD_150, br150},
    {BAUD_300, br300},     {BAUD_600, br600},       {BAUD_1200, br1200},   {BAUD_1800, br1800},
    {BAUD_2400, br2400},   {BAUD_4800, br4800},     {BAUD_7200, br7200},   {BAUD_9600, br9600},
    {BAUD_14400, br14400}, {BAUD_19200, br19200},   {BAUD_38400, br38400}, {BAUD_56K, br56000},
    {BAUD_57600, br57600}, {BAUD_115200, br115200}, {BAUD_128K, br128000}, {BAUD_USER, brCustom}};

template <typename Set, typename E, std::size_t N>
Set BitsToSet(DWORD bits, const std::pair<DWORD, E> (&table)[N]) {
    Set result;
    for (const auto& [bit, value] : table)
        if (bits & bit) result.Include(value);
    return result;
}

}  // namespace

void TFComPort::GetCommProp(COMMPROP& CommProp) {
    CheckActive();
    CommProp = COMMPROP{};
    Check(GetCommProperties(FHandle, &CommProp));
}

TBaudRate TFComPort::MaxBaudRate() {
    COMMPROP prop;
    GetCommProp(prop);
    for (const BaudBit& b : BaudBits)
        if (prop.dwMaxBaud == b.Bit) return b.Rate;
    return brDefault;
}

TBaudRates TFComPort::SettableBaudRates() {
    COMMPROP prop;
    GetCommProp(prop);
    TBaudRates result;
    for (const BaudBit& b : BaudBits)
        if (prop.dwSettableBaud & b.Bit) result.Include(b.Rate);
    return result;
}

TSettableDataBits TFComPort::SettableDataBits() {
    COMMPROP prop;
    GetCommProp(prop);
    static constexpr std::pair<DWORD, TDataBits> table[] = {{DATABITS_5, db5},   {DATABITS_6, db6},
                                                            {DATABITS_7, db7},   {DATABITS_8, db8},
                                                            {DATABITS_16, db16}, {DATABITS_16X, db16x}};
    return BitsToSet<TSettableDataBits>(prop.wSettableData, table);
}

TSettableParity TFComPort::SettableParity() {
    COMMPROP prop;
    GetCommProp(prop);
    static constexpr std::pair<DWORD, TParity> table[] = {{PARITY_NONE, paNone},
                                                          {PARITY_ODD, paOdd},
                                                          {PARITY_EVEN, paEven},
                                                          {PARITY_MARK, paMark},
                                                          {PARITY_SPACE, paSpace}};
    return BitsToSet<TSettableParity>(prop.wSettableStopParity, table);
}

TSettableStopBits TFComPort::SettableStopBits() {
    COMMPROP prop;
    GetCommProp(prop);
    static constexpr std::pair<DWORD, TStopBits> table[] = {
        {STOPBITS_10, sb1}, {STOPBITS_15, sb1_5}, {STOPBITS_20, sb2}};
    return BitsToSet<TSettableStopBits>(prop.wSettableStopParity, table);
}

TSettableParameters TFComPort::SettableParameters() {
    COMMPROP prop;
    GetCommProp(prop);
    static constexpr std::pair<DWORD, TSettableParameter> table[] = {
        {SP_PARITY, spParity},     {SP_PARITY_CHECK, spParityCheck}, {SP_BAUD, spBaudRate},
        {SP_DATABITS, spDataBits}, {SP_STOPBITS, spStopBits},        {SP_HANDSHAKING, spHandShaking},
        {SP_RLSD, spRLSD}};
    return BitsToSet<TSettableParameters>(prop.dwSettableParams, table);
}

TCapabilities TFComPort::Capabilities() {
    COMMPROP prop;
    GetCommProp(prop);
    static constexpr std::pair<DWORD, TCapability> table[] = {{PCF_DTRDSR, caDtrDsr},
                                                              {PCF_RTSCTS, caRtsCts},
                                                              {PCF_RLSD, caRLSD},
                                                              {PCF_PARITY_CHECK, caParityCheck},
                                                              {PCF_XONXOFF, caXOnXOff},
                                                              {PCF_SETXCHAR, caSettableXChar},
                                                              {PCF_TOTALTIMEOUTS, caTotalTimeouts},
                                                              {PCF_INTTIMEOUTS, caIntervalTimeouts},
                                                              {PCF_SPECIALCHARS, caSpecialChars},
                                                              {PCF_16BITMODE, ca16BitMode}};
    return BitsToSet<TCapabilities>(prop.dwProvCapabilities, table);
}

namespace {
COMMPROP PropOf(TFComPort* port) {
    COMMPROP prop;
    port->GetCommProp(prop);
    return prop;
}
}  // namespace

int TBufferSizes::MaxInput() const {
    return static_cast<int>(PropOf(FComPort).dwMaxRxQueue);
}
int TBufferSizes::MaxOutput() const {
    return static_cast<int>(PropOf(FComPort).dwMaxTxQueue);
}
int TBufferSizes::CurrentInput() const {
    return static_cast<int>(PropOf(FComPort).dwCurrentRxQueue);
}
int TBufferSizes::CurrentOutput() const {
    return static_cast<int>(PropOf(FComPort).dwCurrentTxQueue);
}
