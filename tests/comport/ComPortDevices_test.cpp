// Port lists, device notices, the configuration dialogs.

#include "PtyPair.h"
#include "comport/ComConfigDialog.h"
#include "comport/FComPort.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <QFileInfo>

namespace {

// Each test keeps its default configurations in a folder of its own.
class ComPortDevices : public ::testing::Test {
protected:
    void SetUp() override {
        FOldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", Config.path().toLocal8Bit());
        ASSERT_TRUE(Pty.Valid());
        Port.SetDeviceName(Pty.SlavePath());
    }
    void TearDown() override {
        TComConfigDialog::SetRunner(nullptr);
        qputenv("XDG_CONFIG_HOME", FOldConfig);
    }

    // The dialog answers as a person would: it is shown, filled and confirmed
    // (or cancelled) without waiting.
    void Answer(std::function<void(TComConfigDialog&)> fill, bool confirm = true) {
        TComConfigDialog::SetRunner([fill, confirm, this](TComConfigDialog& dialog) {
            dialog.open();
            Shown.Speed = dialog.Speed()->currentText();
            Shown.Parity = dialog.Parity()->currentText();
            Shown.Flow = dialog.FlowControl()->currentText();
            if (fill) fill(dialog);
            if (confirm)
                dialog.accept();
            else
                dialog.reject();
            return dialog.result() == QDialog::Accepted;
        });
    }

    struct {
        QString Speed, Parity, Flow;
    } Shown;
    TempDir Config;
    PtyPair Pty;
    TFComPort Port;

private:
    QByteArray FOldConfig;
};

void Choose(QComboBox* box, const QString& text) {
    const int index = box->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    box->setCurrentIndex(index);
}

}  // namespace

TEST(ComPortNames, ShortDeviceNameDropsTheDevicePrefixOnly) {
    const std::pair<const char*, const char*> cases[] = {
        {"\\\\.\\COM12", "COM12"}, {"COM3", "COM3"}, {"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"\\\\.\\", ""}};
    for (const auto& [name, expected] : cases) {
        TFComPort port;
        port.SetDeviceName(QString::fromLatin1(name));
        EXPECT_EQ(port.ShortDeviceName(), QString::fromLatin1(expected)) << name;
    }
}

TEST(ComPortNames, PortNamesStandForDeviceNodes) {
    EXPECT_EQ(ComDevicePath(QStringLiteral("COM1")), QStringLiteral("/dev/ttyS0"));
    EXPECT_EQ(ComDevicePath(QStringLiteral("\\\\.\\COM12")), QStringLiteral("/dev/ttyS11"));
    EXPECT_EQ(ComDevicePath(QStringLiteral("ttyUSB0")), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(ComDevicePath(QStringLiteral("/dev/pts/3")), QStringLiteral("/dev/pts/3"));
}

TEST(ComPortLists, SerialPortsAreAppendedInNaturalOrderEveryTime) {
    QStringList once;
    TFComPort::EnumComDevicesFromRegistry(once);
    for (const QString& name : once) {
        EXPECT_TRUE(name.startsWith(QStringLiteral("/dev/"))) << name.toStdString();
        EXPECT_TRUE(
            QFileInfo::exists(QStringLiteral("/sys/class/tty/") + name.mid(5) + QStringLiteral("/device")));
    }
    QStringList list{QStringLiteral("kept")};
    TFComPort::EnumComDevicesFromRegistry(list);
    TFComPort::EnumComDevicesFromRegistry(list);
    EXPECT_EQ(list, QStringList{QStringLiteral("kept")} + once + once);

    QStringList friendly;
    TFComPort::EnumComFriendlyNames(friendly);
    ASSERT_EQ(friendly.size(), once.size());
    for (int i = 0; i < once.size(); ++i)
        EXPECT_TRUE(friendly[i].endsWith(QStringLiteral("(%1)").arg(once[i])));
}

TEST(ComPortLists, DeviceNodesAndSerialNodes) {
    QStringList all;
    TFComPort::EnumDevices(all);
    EXPECT_TRUE(all.contains(QStringLiteral("/dev/null")));
    QStringList serial;
    TFComPort::EnumComDevices(serial);
    for (const QString& name : serial) {
        EXPECT_TRUE(all.contains(name));
        EXPECT_TRUE(name.startsWith(QStringLiteral("/dev/tty")) ||
                    name.startsWith(QStringLiteral("/dev/rfcomm")));
    }
    EXPECT_FALSE(serial.contains(QStringLiteral("/dev/null")));
}

TEST_F(ComPortDevices, ConfigDialogShowsThePortsSettingsAndReadsTheChoicesBack) {
    Port.SetBaudRate(br19200);
    Port.FlowControl().SetXOnXOff(xcInputOutput);
    Answer([](TComConfigDialog& d) {
        d.Speed()->setCurrentText(QStringLiteral("9600"));
        Choose(d.Parity(), QStringLiteral("None"));
        Choose(d.DataBits(), QStringLiteral("7"));
        Choose(d.StopBits(), QStringLiteral("2"));
        Choose(d.FlowControl(), QStringLiteral("None"));
    });
    ASSERT_TRUE(Port.ConfigDialog());
    EXPECT_EQ(Shown.Speed, QStringLiteral("19200"));
    EXPECT_EQ(Shown.Flow, QStringLiteral("Xon / Xoff"));
    EXPECT_EQ(Port.BaudRate(), brCustom);
    EXPECT_EQ(Port.GetCustomBaudRate(), 9600);
    EXPECT_EQ(Port.Parity(), paDefault);  // no parity reads back as "keep"
    EXPECT_EQ(Port.DataBits(), db7);
    EXPECT_EQ(Port.StopBits(), sb2);
    EXPECT_EQ(Port.FlowControl().XOnXOff(), xcDefault);
}

TEST_F(ComPortDevices, ConfigDialogConfirmedUnchangedKeepsEverySetting) {
    // Settings the dialog cannot show as they are among them (DTR handshaking,
    // RTS toggling, which a pseudo-terminal refuses, so on a closed port), and
    // lines held low, which no flow choice of the dialog gives.
    struct Lines {
        bool Open;
        TDTRControl Dtr;
        TRTSControl Rts;
    };
    for (const Lines& lines : {Lines{false, dcHandshake, rcToggle}, Lines{true, dcDisable, rcDisable}}) {
        const bool open = lines.Open;
        TFComPort port;
        port.SetDeviceName(Pty.SlavePath());
        port.SetBaudRate(br2400);
        port.SetDataBits(db8);
        port.SetStopBits(sb1);
        port.SetParity(paNone);
        port.FlowControl().SetDTR(lines.Dtr);
        port.FlowControl().SetRTS(lines.Rts);
        if (open) port.Open();
        Answer(nullptr);
        ASSERT_TRUE(port.ConfigDialog());
        EXPECT_EQ(port.BaudRate(), br2400) << "open " << open;
        EXPECT_EQ(port.GetCustomBaudRate(), 2400);
        EXPECT_EQ(port.DataBits(), db8);
        EXPECT_EQ(port.StopBits(), sb1);
        EXPECT_EQ(port.Parity(), paNone);
        EXPECT_EQ(port.FlowControl().DTR(), lines.Dtr);
        EXPECT_EQ(port.FlowControl().RTS(), lines.Rts);
    }
}

TEST_F(ComPortDevices, ConfigDialogTakesNoParityAndOneStopBitAsChosen) {
    Port.SetParity(paOdd);
    Port.SetStopBits(sb2);
    Answer([](TComConfigDialog& d) {
        Choose(d.Parity(), QStringLiteral("None"));
        Choose(d.StopBits(), QStringLiteral("1"));
    });
    ASSERT_TRUE(Port.ConfigDialog());
    EXPECT_EQ(Port.Parity(), paNone);
    EXPECT_EQ(Port.StopBits(), sb1);
}

TEST_F(ComPortDevices, ConfigDialogWithTheStoredCustomRateKeepsTheBaudRate) {
    Port.SetCustomBaudRate(9600);
    Port.SetBaudRate(br2400);
    Answer([](TComConfigDialog& d) { d.Speed()->setCurrentText(QStringLiteral("9600")); });
    ASSERT_TRUE(Port.ConfigDialog());
    EXPECT_EQ(Port.BaudRate(), br2400);
}

TEST_F(ComPortDevices, ConfigDialogOnAnOpenPortSetsTheLine) {
    Port.Open();
    Answer([](TComConfigDialog& d) { d.Speed()->setCurrentText(QStringLiteral("38400")); });
    ASSERT_TRUE(Port.ConfigDialog());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(Port.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 38400u);
}

TEST_F(ComPortDevices, ACancelledDialogChangesNothing) {
    Port.SetBaudRate(br4800);
    Answer([](TComConfigDialog& d) { d.Speed()->setCurrentText(QStringLiteral("9600")); }, false);
    EXPECT_FALSE(Port.ConfigDialog());
    EXPECT_EQ(Port.BaudRate(), br4800);
    EXPECT_FALSE(Port.DefaultConfigDialog());
}

TEST_F(ComPortDevices, DefaultConfigDialogStoresTheDevicesDefaultOnly) {
    Answer([](TComConfigDialog& d) {
        d.Speed()->setCurrentText(QStringLiteral("57600"));
        Choose(d.Parity(), QStringLiteral("Even"));
    });
    ASSERT_TRUE(Port.DefaultConfigDialog());
    EXPECT_EQ(Port.BaudRate(), brDefault);
    EXPECT_EQ(Port.Parity(), paDefault);

    COMMCONFIG config{};
    DWORD size = sizeof config;
    const QString name = Pty.SlavePath();
    ASSERT_TRUE(GetDefaultCommConfigW(reinterpret_cast<LPCWSTR>(name.utf16()), &config, &size));
    EXPECT_EQ(config.dcb.BaudRate, 57600u);
    EXPECT_EQ(config.dcb.Parity, EVENPARITY);
    EXPECT_TRUE(QFileInfo::exists(DefaultCommConfigFile()));

    // The next dialog starts from the stored default.
    Answer(nullptr, false);
    Port.ConfigDialog();
    EXPECT_EQ(Shown.Speed, QStringLiteral("57600"));
    EXPECT_EQ(Shown.Parity, QStringLiteral("Even"));
}

TEST_F(ComPortDevices, ADeviceTheSystemDoesNotKnowHasNoConfiguration) {
    Port.SetDeviceName(QStringLiteral("/dev/quorvel-no-such-port"));
    bool shown = false;
    TComConfigDialog::SetRunner([&](TComConfigDialog&) { return shown = true; });
    int reported = 0;
    Port.OnError = [&](TFComPort*, EComError& e, TComAction&) {
        ++reported;
        EXPECT_EQ(e.ErrorCode(), static_cast<int>(ERROR_FILE_NOT_FOUND));
    };
    EXPECT_THROW(Port.ConfigDialog(), EComError);
    EXPECT_THROW(Port.DefaultConfigDialog(), EComError);
    EXPECT_FALSE(shown);
    EXPECT_EQ(reported, 2);
}

// ---- Device notices ----------------------------------------------------------------

TEST(ComPortNotices, NoticesAreWatchedWhileAHandlerIsAssigned) {
    TFComPort port;
    EXPECT_FALSE(port.Notifying());
    QStringList seen;
    port.OnDeviceArrival = [&](QObject*, const QString& name) { seen << QStringLiteral("+") + name; };
    const bool watching = port.Notifying();
    port.OnDeviceRemoved = [&](QObject*, const QString& name) { seen << QStringLiteral("-") + name; };
    EXPECT_EQ(port.Notifying(), watching);
    port.DeviceNotice(QStringLiteral("add"), QStringLiteral("/dev/ttyUSB0"));
    port.DeviceNotice(QStringLiteral("change"), QStringLiteral("/dev/ttyUSB0"));
    port.DeviceNotice(QStringLiteral("remove"), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(seen, QStringList({"+/dev/ttyUSB0", "-/dev/ttyUSB0"}));
    port.OnDeviceArrival = nullptr;
    EXPECT_EQ(port.Notifying(), watching);
    port.OnDeviceRemoved = nullptr;
    EXPECT_FALSE(port.Notifying());
}
