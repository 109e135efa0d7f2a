// The receiver's port as a tower finds it: the stable names of USB adapters
// beside the machine's ports, an adapter plugged in or pulled out while the
// window runs, and a port the user may not open. A folder of links to
// pseudo-terminals stands in for /dev/serial/by-id.

#include "app/MainForm.h"
#include "app/PortList.h"
#include "comport/FComPort.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kFtdi = QStringLiteral("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
const QString kProlific = QStringLiteral("usb-Prolific_Technology_Inc._USB-Serial_Controller_D-if00-port0");

class Ports : public ConsoleTest {
protected:
    // A stable name in the window's by-id folder for Target.
    QString Link(const QString& Name, const std::string& Target) {
        QDir().mkpath(Sandbox->ByIdFolder());
        const QString link = Sandbox->ByIdFolder() + QLatin1Char('/') + Name;
        EXPECT_TRUE(QFile::link(QString::fromStdString(Target), link)) << link.toStdString();
        return link;
    }

    QStringList Listed() const {
        QStringList names;
        for (int i = 0; i < Form->cbPort()->count(); ++i) names << Form->cbPort()->itemText(i);
        return names;
    }

    // Chooses entry Row from the selector's drop-down list with the mouse.
    void Choose(int Row) {
        QComboBox* box = Form->cbPort();
        box->showPopup();
        QAbstractItemView* view = box->view();
        ASSERT_TRUE(PumpUntil([&] { return view->isVisible(); }, 5)) << "the list did not drop down";
        const QRect rect = view->visualRect(box->model()->index(Row, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
        ASSERT_TRUE(PumpUntil([&] { return !view->isVisible(); }, 5)) << "the list stayed";
    }

    // A stroke on the line sounds bell 1.
    void StrikeHeard(PseudoTerminal& Pty) {
        ASSERT_TRUE(Pty.Send(std::string("1")));
        ASSERT_TRUE(PumpUntil([&] { return Form->Player(1)->IsOpen(); }, 10)) << "no bell sounded";
        ASSERT_TRUE(PumpUntil([&] { return Form->AllStopped(); }, 10)) << "the bell never ended";
    }

    QByteArray Ring(const QByteArray& ComPort = QByteArray()) {
        return ComPort + "[SOUNDFILES]\nBELL1=" + Bell(QStringLiteral("bell1.wav"), 100).toUtf8() + "\n";
    }

    QString Stored(const char* Key) {
        TIniFile ini(Sandbox->SettingsFile());
        return ini.ReadString(QStringLiteral("COMPORT"), QString::fromLatin1(Key), QString());
    }
};

TEST(StableNames, FriendlyNameIsMakerModelAndSerial) {
    const struct {
        QString Name;
        QString Friendly;
    } cases[] = {
        {kFtdi, "FTDI FT232R USB UART A50285BI"},
        {kProlific, "Prolific Technology Inc. USB-Serial Controller D"},
        {"usb-1a86_USB_Serial-if00-port0", "1a86 USB Serial"},
        {"usb-Arduino__www.arduino.cc__0043_7583-if00", "Arduino www.arduino.cc 0043 7583"},
        {"pci-Quorvel_Receiver_16", "Quorvel Receiver 16"},
    };
    for (const auto& c : cases) EXPECT_EQ(FriendlyOfStableName(c.Name), c.Friendly) << c.Name.toStdString();
}

TEST_F(Ports, StableNamesAreListedChosenStoredAndListenedOnAfterReplugging) {
    PseudoTerminal ftdi, prolific;
    const QString ftdiLink = Link(kFtdi, ftdi.SlavePath());
    const QString prolificLink = Link(kProlific, prolific.SlavePath());
    // Left behind by an adapter that is gone.
    Link(QStringLiteral("usb-Gone_Adapter_77-if00-port0"), "/dev/quorvel-no-such-tty");
    TfMainform& form = Open(Ring());
    form.cbDelaysActive()->setChecked(false);

    // The machine's port, then the stable names in name order; nothing gone.
    ASSERT_EQ(Listed(), QStringList({"/dev/ttyS0", ftdiLink, prolificLink}));
    EXPECT_EQ(
        FriendlyOfEntry(form.cbPort(), 1),
        QStringLiteral("FTDI FT232R USB UART A50285BI (%1)").arg(QString::fromStdString(ftdi.SlavePath())));
    EXPECT_EQ(FriendlyOfEntry(form.cbPort(), 2),
              QStringLiteral("Prolific Technology Inc. USB-Serial Controller D (%1)")
                  .arg(QString::fromStdString(prolific.SlavePath())));
    EXPECT_FALSE(FriendlyOfEntry(form.cbPort(), 0).isEmpty());
    // The drop-down list is wide enough for a name with its maker beside it.
    const QFontMetrics metrics(form.cbPort()->view()->font());
    EXPECT_GT(form.cbPort()->view()->minimumWidth(),
              metrics.horizontalAdvance(ftdiLink + "   " + FriendlyOfEntry(form.cbPort(), 1)));

    // Chosen from the list: the selector holds the stable name, and so does the file.
    Choose(1);
    if (HasFatalFailure()) return;
    EXPECT_EQ(form.cbPort()->currentText(), ftdiLink);
    EXPECT_EQ(form.FComPort1()->DeviceName(), ftdiLink);
    EXPECT_EQ(Stored("FComPort1.DeviceName"), ftdiLink);

    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive()) << "no listening on the stable name";
    StrikeHeard(ftdi);
    if (HasFatalFailure()) return;
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_FALSE(form.FComPort1()->GetActive());
    Form.reset();

    // Replugged into another socket: another tty behind the same name. The
    // next start listens there without anyone choosing again.
    PseudoTerminal replugged;
    ASSERT_TRUE(QFile::remove(ftdiLink));
    Link(kFtdi, replugged.SlavePath());
    TfMainform& again = Open();
    again.cbDelaysActive()->setChecked(false);
    EXPECT_EQ(again.cbPort()->currentText(), ftdiLink);
    QTest::mouseClick(again.bListen(), Qt::LeftButton);
    ASSERT_TRUE(again.FComPort1()->GetActive());
    StrikeHeard(replugged);
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
}

TEST_F(Ports, WithoutAStoredPortTheFirstStableNameIsTaken) {
    PseudoTerminal ftdi, prolific;
    const QString ftdiLink = Link(kFtdi, ftdi.SlavePath());
    Link(kProlific, prolific.SlavePath());
    TfMainform& form = Open(Ring());
    form.cbDelaysActive()->setChecked(false);
    EXPECT_EQ(form.FComPort1()->DeviceName(), ftdiLink);
    EXPECT_EQ(form.cbPort()->currentText(), ftdiLink);
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());
    StrikeHeard(ftdi);
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
}

TEST(DefaultPort, IsTheFirstStableNameElseTheFirstPortElseNone) {
    const QString folder = SetPortByIdFolder(QStringLiteral("/tmp/quorvel-by-id"));
    EXPECT_EQ(
        DefaultPort({{"/dev/ttyS0", ""}, {"/tmp/quorvel-by-id/usb-A", ""}, {"/tmp/quorvel-by-id/usb-B", ""}}),
        "/tmp/quorvel-by-id/usb-A");
    EXPECT_EQ(DefaultPort({{"/dev/ttyS0", ""}, {"/dev/ttyUSB0", ""}}), "/dev/ttyS0");
    EXPECT_EQ(DefaultPort({}), "");
    SetPortByIdFolder(folder);
}

// The third line of the error for a port this user may not open.
QString DeniedLine(const QString& Device) {
    const QStringList lines =
        ListenErrorText(std::make_exception_ptr(EComError(EACCES, QStringLiteral("Permission denied"))),
                        Device)
            .split(QLatin1Char('\r'));
    return lines.size() == 3 ? lines[2] : QString();
}

TEST(DeniedPort, NamesTheRealDeviceAndItsRealGroup) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // "COM1" is the first serial port's node, named as such.
    const QString com = DeniedLine(QStringLiteral("COM1"));
    EXPECT_TRUE(com.startsWith("No permission to open /dev/ttyS0")) << com.toStdString();
    EXPECT_FALSE(com.contains("COM1"));

    // A group the system has no name for is not guessed: the ringer is told how to find it.
    const QString node = dir.filePath(QStringLiteral("ttyNoName"));
    QFile(node).open(QIODevice::WriteOnly);
    gid_t unnamed = 54321;
    while (::getgrgid(unnamed)) ++unnamed;
    if (::chown(QFile::encodeName(node).constData(), -1, unnamed) != 0)
        GTEST_SKIP() << "cannot set the group";
    ::chmod(QFile::encodeName(node).constData(), 0660);
    const QString nameless = DeniedLine(node);
    EXPECT_TRUE(nameless.startsWith("No permission to open " + node)) << nameless.toStdString();
    EXPECT_TRUE(nameless.contains("ls -l " + node)) << nameless.toStdString();
    EXPECT_FALSE(nameless.contains("dialout")) << nameless.toStdString();

    // A stable name is named with the node it stands for, and that node's group.
    const group* named = ::getgrnam("dialout");
    if (!named) GTEST_SKIP() << "no dialout group";
    ASSERT_EQ(::chown(QFile::encodeName(node).constData(), -1, named->gr_gid), 0);
    const QString link = dir.filePath(QStringLiteral("usb-Maker_Model-if00-port0"));
    ASSERT_TRUE(QFile::link(node, link));
    const QString linked = DeniedLine(link);
    EXPECT_TRUE(linked.startsWith(QStringLiteral("No permission to open %1 (%2)").arg(link, node)))
        << linked.toStdString();
    EXPECT_TRUE(linked.contains(QStringLiteral("\"%1\"").arg(QString::fromLocal8Bit(named->gr_name))))
        << linked.toStdString();
}

TEST_F(Ports, TypingAStableNameStoresItAtEveryKeystroke) {
    PseudoTerminal pty;
    const QString link = Link(QStringLiteral("usb-Q_R-if00-port0"), pty.SlavePath());
    TfMainform& form = Open(Ring());
    form.cbPort()->lineEdit()->selectAll();
    QTest::keyClick(form.cbPort()->lineEdit(), Qt::Key_Delete);
    QStringList stored;
    for (QChar c : link) {
        QTest::keyClick(form.cbPort()->lineEdit(), c.toLatin1());
        stored << Stored("FComPort1.DeviceName");
    }
    EXPECT_EQ(stored.last(), link);
    EXPECT_EQ(stored.first(), link.left(1));
    EXPECT_EQ(stored.size(), link.size());
}

TEST_F(Ports, AnAdapterPluggedInAppearsAndOnePulledOutDisappears) {
    QStringList machine = {QStringLiteral("/dev/ttyS0")};
    const auto previous = TfMainform::SetPortLister([&](QStringList& List) { List << machine; });
    PseudoTerminal pty;
    TfMainform& form = Open(Ring());
    form.cbDelaysActive()->setChecked(false);
    ASSERT_EQ(Listed(), QStringList({"/dev/ttyS0"}));
    // The user is half-way through typing a name: that stays as it is.
    form.cbPort()->setFocus();
    form.cbPort()->lineEdit()->setText(QStringLiteral("/dev/tty"));
    form.cbPort()->lineEdit()->setCursorPosition(5);
    const QByteArray settings = Sandbox->ReadSettings();

    // Plugged in: its tty and its stable name come, and udev says so.
    machine << QString::fromStdString(pty.SlavePath());
    const QString link = Link(QStringLiteral("usb-Quorvel_Receiver_Q16-if00-port0"), pty.SlavePath());
    form.FComPort1()->DeviceNotice(QStringLiteral("add"), QString::fromStdString(pty.SlavePath()));
    EXPECT_EQ(Listed(), QStringList({"/dev/ttyS0", QString::fromStdString(pty.SlavePath()), link}));
    EXPECT_EQ(form.cbPort()->currentText(), "/dev/tty");
    EXPECT_EQ(form.cbPort()->lineEdit()->cursorPosition(), 5);
    EXPECT_EQ(Sandbox->ReadSettings(), settings) << "a list that changes is no change of port";

    // Pulled out while not listening: gone from the list.
    machine.removeLast();
    ASSERT_TRUE(QFile::remove(link));
    form.FComPort1()->DeviceNotice(QStringLiteral("remove"), QString::fromStdString(pty.SlavePath()));
    EXPECT_EQ(Listed(), QStringList({"/dev/ttyS0"}));

    // Plugged in again and listened on; pulled out while listening, the
    // entry stays while the port is open, and goes once the loss ends listening.
    machine << QString::fromStdString(pty.SlavePath());
    Link(QStringLiteral("usb-Quorvel_Receiver_Q16-if00-port0"), pty.SlavePath());
    form.FComPort1()->DeviceNotice(QStringLiteral("add"), QString::fromStdString(pty.SlavePath()));
    ASSERT_EQ(Listed().size(), 3);
    Choose(2);
    if (HasFatalFailure()) return;
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());
    machine.removeLast();
    ASSERT_TRUE(QFile::remove(link));
    form.FComPort1()->DeviceNotice(QStringLiteral("remove"), QString::fromStdString(pty.SlavePath()));
    EXPECT_EQ(Listed(), QStringList({"/dev/ttyS0", link}));
    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !form.FComPort1()->GetActive(); }, 10)) << "the port stayed open";
    EXPECT_EQ(Listed(), QStringList({"/dev/ttyS0"}));
    EXPECT_EQ(form.cbPort()->currentText(), link) << "the chosen port is still the one to listen on";
    TfMainform::SetPortLister(previous);
}

TEST_F(Ports, AReceiverPluggedInAfterStartTakesItsStoredSettings) {
    const auto previous = TfMainform::SetPortLister([](QStringList&) {});
    PseudoTerminal pty;
    const QString link = Sandbox->ByIdFolder() + QStringLiteral("/usb-Quorvel_Receiver_Q16-if00-port0");
    TfMainform& form = Open(Ring("[COMPORT]\nFComPort1.DeviceName=" + link.toUtf8() +
                                 "\nFComPort1.BaudRate=br9600\nFComPort1.CustomBaudRate=9600\n"));
    form.cbDelaysActive()->setChecked(false);
    ASSERT_EQ(BoxTexts(), std::vector<QString>({"QUORVEL Receiver Not Detected"}));
    ASSERT_TRUE(form.windowTitle().endsWith("   [RECEIVER NOT DETECTED]"));
    ASSERT_EQ(form.cbPort()->count(), 0);

    Link(QStringLiteral("usb-Quorvel_Receiver_Q16-if00-port0"), pty.SlavePath());
    form.FComPort1()->DeviceNotice(QStringLiteral("add"), QString::fromStdString(pty.SlavePath()));
    EXPECT_EQ(Listed(), QStringList({link}));
    EXPECT_EQ(form.windowTitle(), "Quorvel 16 v1.07");
    EXPECT_EQ(form.cbPort()->currentText(), link);
    EXPECT_EQ(form.FComPort1()->DeviceName(), link);
    EXPECT_EQ(form.FComPort1()->GetCustomBaudRate(), 9600);
    // Listening needs no choosing, and the stored speed is still there after.
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());
    StrikeHeard(pty);
    EXPECT_EQ(Stored("FComPort1.CustomBaudRate"), "9600");
    EXPECT_EQ(BoxTexts().size(), 1u);
    TfMainform::SetPortLister(previous);
}

// ---- A port the user may not open -------------------------------------------------------

// The calling thread checks file access as another user for its life (a
// root test run cannot otherwise be refused); nothing for a user test run.
class AsAnotherUser {
public:
    AsAnotherUser() {
        if (::geteuid() == 0) FOld = static_cast<int>(::setfsuid(65534));
    }
    ~AsAnotherUser() {
        if (FOld >= 0) ::setfsuid(static_cast<uid_t>(FOld));
    }

private:
    int FOld = -1;
};

struct Denial {
    const char* Name;
    mode_t Mode;        // of the device; 0 leaves it
    bool Missing;       // no such device at all
    const char* Third;  // what the third line begins with; null: no third line
    bool NamesGroup;    // the third line names the device's group
};

void PrintTo(const Denial& D, std::ostream* Os) {
    *Os << D.Name;
}

class PortDenied : public Ports, public ::testing::WithParamInterface<Denial> {};

TEST_P(PortDenied, TheErrorSaysHowToGetAccess) {
    const Denial& d = GetParam();
    PseudoTerminal pty;
    const std::string device = d.Missing ? "/dev/quorvel-no-such-tty" : pty.SlavePath();
    const QByteArray path = QByteArray::fromStdString(device);
    if (!d.Missing) {
        // The group a tower's adapter has on Debian, where this user may change it.
        // A user who may not change it leaves the terminal's own group.
        if (const group* dialout = ::getgrnam("dialout")) {
            [[maybe_unused]] const int changed = ::chown(path.constData(), -1, dialout->gr_gid);
        }
        ASSERT_EQ(::chmod(path.constData(), d.Mode), 0);
    }
    TfMainform& form = Open(Ring("[COMPORT]\nFComPort1.DeviceName=" + path + "\n"));
    {
        const AsAnotherUser other;
        QTest::mouseClick(form.bListen(), Qt::LeftButton);
    }
    EXPECT_FALSE(form.FComPort1()->GetActive());
    EXPECT_EQ(form.bListen()->text(), "START LISTENING");
    ASSERT_EQ(BoxTexts().size(), 1u);
    const QStringList lines = BoxTexts()[0].split(QLatin1Char('\r'));
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Type, mtError);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], "Cannot Start Communications with Receiver");
    EXPECT_EQ(lines[1], "Check COM Port Settings");
    if (!d.Third) {
        EXPECT_EQ(lines.size(), 2) << BoxTexts()[0].toStdString();
        return;
    }
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[2].startsWith(QString::fromLatin1(d.Third).arg(QString::fromStdString(device))))
        << lines[2].toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(path.constData(), &st), 0);
    const group* owners = ::getgrgid(st.st_gid);
    ASSERT_NE(owners, nullptr);
    const QString named = QStringLiteral("\"%1\"").arg(QString::fromLocal8Bit(owners->gr_name));
    if (d.NamesGroup && st.st_gid == 0) GTEST_SKIP() << "the device's group could not be set";
    EXPECT_EQ(lines[2].contains(named), d.NamesGroup) << lines[2].toStdString();
    EXPECT_EQ(lines[2].contains("adduser"), d.NamesGroup) << lines[2].toStdString();
}

INSTANTIATE_TEST_SUITE_P(Ports, PortDenied,
                         ::testing::Values(Denial{"GroupMayUseIt", 0060, false,
                                                  "No permission to open %1: make ", true},
                                           Denial{"NobodyMayUseIt", 0000, false,
                                                  "No permission to open %1: its group may not", false},
                                           Denial{"NoSuchDevice", 0, true, nullptr, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
