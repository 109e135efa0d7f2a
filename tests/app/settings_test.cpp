// What the console remembers: no file, a full file, values that are odd or
// corrupt, sound files that are gone, the port selector, listening, and a
// settings folder that cannot be written.

#include "app/DelayForm.h"
#include "app/MainForm.h"
#include "app/Widgets.h"
#include "comport/ComConfigDialog.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/gui/Timer.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QTest>
#include <functional>
#include <memory>

namespace {

class Settings : public ConsoleTest {
protected:
    // Makes the settings folder impossible to create or write, even for
    // root: a plain file stands where the configuration folder should be.
    void BlockSettingsFolder() {
        QFile blocker(Sandbox->ConfigHome());
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }
};

TEST_F(Settings, WithoutAFileTheDefaultsApplyAndNoFileIsWritten) {
    TfMainform& form = Open(QByteArray());
    TFComPort* port = form.FComPort1();
    EXPECT_EQ(port->DeviceName(), "/dev/ttyS0") << "the first port found";
    EXPECT_EQ(form.cbPort()->currentText(), "/dev/ttyS0");
    EXPECT_EQ(port->BaudRate(), br2400);
    EXPECT_EQ(port->DataBits(), db8);
    EXPECT_EQ(port->Parity(), paNone);
    EXPECT_EQ(port->StopBits(), sb1);
    for (int n = 1; n <= kBellCount; ++n) {
        EXPECT_EQ(form.Timer(n)->Interval(), 300u) << n;
        EXPECT_TRUE(form.Player(n)->FileName().isEmpty()) << n;
    }
    // 100, 100 on a screen wide enough for it.
    const QRect screen = form.screen()->availableGeometry();
    EXPECT_EQ(form.geometry().x(),
              std::min(100, screen.right() - (form.frameGeometry().right() - form.geometry().x())));
    EXPECT_EQ(form.geometry().y(), 100);
    EXPECT_EQ(form.size(), QSize(737, 233));
    EXPECT_TRUE(form.cbDelaysActive()->isChecked());
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
    EXPECT_FALSE(Sandbox->SettingsExist()) << "nothing is written until something changes";
    EXPECT_EQ(form.AppDataPath(), Sandbox->SettingsFolder() + "/");
}

TEST_F(Settings, AFullFileIsReadIntoPortBellsDelaysAndWindow) {
    const QString treble = Bell("treble.wav"), tenor = Bell("tenor.wav");
    TfMainform& form = Open(
        "[COMPORT]\n"
        "FComPort1.DeviceName=/dev/ttyUSB3\n"
        "FComPort1.BaudRate=br9600\n"
        "FComPort1.DataBits=db7\n"
        "FComPort1.StopBits=sb2\n"
        "FComPort1.Parity=paEven\n"
        "FComPort1.CustomBaudRate=9600\n"
        "[SOUNDFILES]\n"
        "BELL1=" +
        treble.toUtf8() +
        "\n"
        "BELL16=" +
        tenor.toUtf8() +
        "\n"
        "[DELAY]\n"
        "BELL1=250\n"
        "BELL16=1200\n"
        "[Position]\n"
        "Left=20\nTop=80\nWidth=760\nHeight=260\n");
    TFComPort* port = form.FComPort1();
    EXPECT_EQ(port->DeviceName(), "/dev/ttyUSB3");
    EXPECT_EQ(form.cbPort()->currentText(), "/dev/ttyUSB3");
    EXPECT_EQ(port->DataBits(), db7);
    EXPECT_EQ(port->StopBits(), sb2);
    EXPECT_EQ(port->Parity(), paEven);
    // The stored speed agrees with the stored rate: the rate stays standard.
    EXPECT_EQ(port->BaudRate(), br9600);
    EXPECT_EQ(port->GetCustomBaudRate(), 9600);
    EXPECT_EQ(form.Player(1)->FileName(), treble);
    EXPECT_EQ(form.Player(16)->FileName(), tenor);
    EXPECT_TRUE(form.Player(2)->FileName().isEmpty());
    EXPECT_EQ(form.Timer(1)->Interval(), 250u);
    EXPECT_EQ(form.Timer(16)->Interval(), 1200u);
    EXPECT_EQ(form.Timer(2)->Interval(), 300u);
    EXPECT_EQ(form.geometry(), QRect(20, 80, 760, 260));
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
}

TEST_F(Settings, PortSettingsComeBackAsTheyWereWritten) {
    TfMainform& form = Open(
        "[COMPORT]\nFComPort1.DeviceName=COM3\nFComPort1.BaudRate=br2400\n"
        "FComPort1.DataBits=db8\nFComPort1.StopBits=sb1\nFComPort1.Parity=paNone\n"
        "FComPort1.CustomBaudRate=2400\n");
    EXPECT_EQ(form.FComPort1()->BaudRate(), br2400);
    form.SaveComSettings(*form.Inifile());
    EXPECT_EQ(Sandbox->ReadSettings(),
              "[COMPORT]\nFComPort1.DeviceName=COM3\nFComPort1.BaudRate=br2400\n"
              "FComPort1.DataBits=db8\nFComPort1.StopBits=sb1\nFComPort1.Parity=paNone\n"
              "FComPort1.CustomBaudRate=2400\n");
}

TEST_F(Settings, StoredSpeedThatDiffersFromTheRateWins) {
    TfMainform& form = Open("[COMPORT]\nFComPort1.BaudRate=br2400\nFComPort1.CustomBaudRate=1000\n");
    EXPECT_EQ(form.FComPort1()->BaudRate(), brCustom);
    EXPECT_EQ(form.FComPort1()->GetCustomBaudRate(), 1000);
}

// ---- Files that are corrupt ------------------------------------------------------

struct CorruptFile {
    const char* Name;
    QByteArray Text;
};

void PrintTo(const CorruptFile& c, std::ostream* os) {
    *os << c.Name;
}

QByteArray RandomBytes(int size) {
    QByteArray bytes(size, '\0');
    QRandomGenerator generator(1234);
    for (char& c : bytes) c = static_cast<char>(generator.bounded(256));
    return bytes;
}

class Corrupt : public Settings, public ::testing::WithParamInterface<CorruptFile> {};

TEST_P(Corrupt, StartsWithTheDefaultsAndKeepsWhatCanBeRead) {
    // The readable section after the damage must still count.
    TfMainform& form = Open(GetParam().Text + "\n[DELAY]\nBELL2=450\n");
    EXPECT_EQ(form.Timer(2)->Interval(), 450u);
    EXPECT_EQ(form.Timer(3)->Interval(), 300u);
    EXPECT_EQ(form.FComPort1()->BaudRate(), br2400);
    EXPECT_TRUE(form.isVisible());
    // The file is still the console's to write.
    form.SaveDelay(5, 700);
    EXPECT_TRUE(Sandbox->ReadSettings().endsWith("BELL5=700\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, Corrupt,
    ::testing::Values(
        CorruptFile{"Garbage", "<<<>>> ]]][[ = == ===\n\t\t\n[\n]\n=value\n"},
        CorruptFile{"Binary", RandomBytes(64 * 1024)},
        CorruptFile{"KeyWithoutEquals",
                    "[COMPORT]\nFComPort1.BaudRate\nFComPort1.Parity paOdd\n[SOUNDFILES]\nBELL1\n"},
        CorruptFile{"TenMegabyteLine", "[SOUNDFILES]\nBELL1=" + QByteArray(10 * 1024 * 1024, 'x')}),
    [](const ::testing::TestParamInfo<CorruptFile>& info) { return std::string(info.param.Name); });

TEST_F(Settings, BadPortValueIsReportedAndTheBellsStillLoad) {
    const QString file = Bell("b.wav");
    TfMainform& form = Open(
        "[COMPORT]\nFComPort1.DeviceName=/dev/ttyUSB1\nFComPort1.BaudRate=br9601\n"
        "[SOUNDFILES]\nBELL2=" +
        file.toUtf8() + "\n[DELAY]\nBELL2=450\n");
    ASSERT_EQ(Sandbox->Boxes.Boxes.size(), 1u);
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Type, mtError);
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Caption, "Quorvel 16");
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Text, "Invalid property element: br9601.");
    EXPECT_EQ(form.FComPort1()->DeviceName(), "/dev/ttyUSB1") << "values before the bad one applied";
    EXPECT_EQ(form.Player(2)->FileName(), file);
    EXPECT_EQ(form.Timer(2)->Interval(), 450u);
}

TEST_F(Settings, SpeedThatIsNotANumberIsReported) {
    Open("[COMPORT]\nFComPort1.CustomBaudRate=fast\n");
    EXPECT_EQ(BoxTexts(), std::vector<QString>({"'fast' is not a valid integer value."}));
}

TEST_F(Settings, MissingSoundFileSilencesOnlyItsOwnBell) {
    const QString two = Bell("two.wav"), five = Bell("five.wav");
    const QString gone = Sandbox->Dir.file("gone.wav");
    const QString notWave = Sandbox->Dir.file("notes.wav");
    QFile f(notWave);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("shopping list: bell ropes, stays, sliders");
    f.close();
    TfMainform& form = Open("[SOUNDFILES]\nBELL2=" + two.toUtf8() + "\nBELL3=" + gone.toUtf8() +
                            "\nBELL4=" + notWave.toUtf8() + "\nBELL5=" + five.toUtf8() +
                            "\n[DELAY]\nBELL7=450\nBELL16=900\n");
    // One report at start-up naming every file that failed.
    ASSERT_EQ(Sandbox->Boxes.Boxes.size(), 1u);
    const QString text = Sandbox->Boxes.Boxes[0].Text;
    EXPECT_EQ(text, QStringLiteral("Error reading wave file (bell 3: %1)\nInvalid wave file... (bell 4: %2)")
                        .arg(gone, notWave));
    EXPECT_EQ(form.Player(2)->FileName(), two);
    EXPECT_EQ(form.Player(5)->FileName(), five);
    EXPECT_EQ(form.Timer(7)->Interval(), 450u);
    EXPECT_EQ(form.Timer(16)->Interval(), 900u);
    form.Player(3)->Play();
    EXPECT_FALSE(form.Player(3)->IsOpen()) << "the failed bell is silent";
    form.Player(5)->Play();
    EXPECT_TRUE(form.Player(5)->IsOpen());
    form.Player(5)->Stop();
    EXPECT_FALSE(form.Loading());
    form.SaveDelay(3, 350);
    EXPECT_EQ(form.Timer(3)->Interval(), 350u) << "a delay set afterwards still applies";
}

// ---- The port selector and listening ----------------------------------------------

TEST_F(Settings, PortSelectorStoresTheNameAfterEveryKeystroke) {
    TfMainform& form = Open("[COMPORT]\nFComPort1.Parity=paOdd\n");
    QLineEdit* edit = form.cbPort()->lineEdit();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    EXPECT_FALSE(Sandbox->ReadSettings().contains("DeviceName")) << "an empty text stores nothing";
    QStringList stored;
    for (const QChar c : QStringLiteral("COM12")) {
        QTest::keyClick(edit, c.toLatin1());
        const QByteArray settings = Sandbox->ReadSettings();
        const qsizetype at = settings.indexOf("FComPort1.DeviceName=");
        stored << QString::fromUtf8(settings.mid(at + 21, settings.indexOf('\n', at) - at - 21));
        // Every port key, with the port's current values.
        EXPECT_TRUE(settings.contains("FComPort1.Parity=paOdd\n"));
        EXPECT_TRUE(settings.contains("FComPort1.BaudRate=br2400\n"));
        EXPECT_TRUE(settings.contains("FComPort1.CustomBaudRate=2400\n"));
    }
    EXPECT_EQ(stored, QStringList({"C", "CO", "COM", "COM1", "COM12"}));
    EXPECT_EQ(form.FComPort1()->DeviceName(), "COM12");

    // Choosing from the list counts as a change too.
    form.cbPort()->addItem("/dev/ttyUSB0");
    QTest::keyClick(form.cbPort(), Qt::Key_Down);
    EXPECT_EQ(form.FComPort1()->DeviceName(), "/dev/ttyUSB0");
}

TEST_F(Settings, PortSelectorRestsWhileListeningAndTakesANewPortAfter) {
    PseudoTerminal first, second;
    const QString firstPath = QString::fromStdString(first.SlavePath());
    const QString secondPath = QString::fromStdString(second.SlavePath());
    TfMainform& form = Open("[COMPORT]\nFComPort1.DeviceName=" + firstPath.toUtf8() + "\n");
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_TRUE(form.FComPort1()->GetActive());
    EXPECT_FALSE(form.cbPort()->isEnabled());
    const QByteArray stored = Sandbox->ReadSettings();

    QLineEdit* edit = form.cbPort()->lineEdit();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, secondPath);
    QTest::keyClick(form.cbPort(), Qt::Key_Down);
    EXPECT_TRUE(form.FComPort1()->GetActive()) << "a key in the selector dropped the receiver";
    EXPECT_EQ(form.FComPort1()->DeviceName(), firstPath);
    EXPECT_EQ(form.cbPort()->currentText(), firstPath);
    EXPECT_EQ(form.bListen()->text(), "STOP LISTENING");
    EXPECT_EQ(Sandbox->ReadSettings(), stored) << "nothing stored while listening";

    // Stopped, the selector takes the next port, which START then opens.
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_FALSE(form.FComPort1()->GetActive());
    EXPECT_TRUE(form.cbPort()->isEnabled());
    edit->selectAll();
    QTest::keyClicks(edit, secondPath);
    EXPECT_EQ(form.FComPort1()->DeviceName(), secondPath);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("FComPort1.DeviceName=" + secondPath.toUtf8() + "\n"));
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_TRUE(form.FComPort1()->GetActive());
    EXPECT_EQ(form.bListen()->text(), "STOP LISTENING");
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_FALSE(form.FComPort1()->GetActive());
}

TEST_F(Settings, PortThatCannotOpenGivesTheTwoLineError) {
    TfMainform& form = Open("[COMPORT]\nFComPort1.DeviceName=/dev/quorvel-no-such-port\n");
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_EQ(Sandbox->Boxes.Boxes.size(), 1u);
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Type, mtError);
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Text,
              "Cannot Start Communications with Receiver\rCheck COM Port Settings");
    EXPECT_EQ(form.bListen()->text(), "START LISTENING");
    EXPECT_TRUE(form.bSequence()->isEnabled());
    EXPECT_FALSE(form.FComPort1()->GetActive());
}

TEST_F(Settings, AcceptedPortDialogStoresAndReadsBackThePortSettings) {
    PseudoTerminal pty;
    TfMainform& form = Open("[COMPORT]\nFComPort1.DeviceName=" + QByteArray(pty.SlavePath().c_str()) + "\n");
    TComConfigDialog::TRunner previous = TComConfigDialog::SetRunner([](TComConfigDialog& d) {
        d.Speed()->setCurrentText(QStringLiteral("9600"));
        return true;
    });
    form.SetCOMPORT1()->trigger();
    TComConfigDialog::SetRunner(previous);
    const QByteArray saved = Sandbox->ReadSettings();
    // A speed typed in is a custom speed; what was not touched stays.
    EXPECT_TRUE(saved.contains("FComPort1.BaudRate=brCustom\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("FComPort1.CustomBaudRate=9600\n"));
    EXPECT_TRUE(saved.contains("FComPort1.Parity=paNone\n"));
    EXPECT_TRUE(saved.contains("FComPort1.StopBits=sb1\n"));
    EXPECT_EQ(form.FComPort1()->GetCustomBaudRate(), 9600) << "read back into the port";
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
}

struct DialogChoice {
    const char* Name;
    std::function<void(TComConfigDialog&)> Choose;
    const char* Stored;  // the port's keys after the dialog
};

void PrintTo(const DialogChoice& c, std::ostream* os) {
    *os << c.Name;
}

class PortDialog : public Settings, public ::testing::WithParamInterface<DialogChoice> {};

TEST_P(PortDialog, StoresWhatWasThereAndWhatWasChosen) {
    PseudoTerminal pty;
    const QByteArray device = "FComPort1.DeviceName=" + QByteArray(pty.SlavePath().c_str()) + "\n";
    TfMainform& form = Open("[COMPORT]\n" + device +
                            "FComPort1.BaudRate=br2400\nFComPort1.DataBits=db8\nFComPort1.StopBits=sb1\n"
                            "FComPort1.Parity=paOdd\nFComPort1.CustomBaudRate=2400\n");
    // Open or closed, the dialog shows the port's own settings.
    for (bool listening : {false, true}) {
        if (listening) QTest::mouseClick(form.bListen(), Qt::LeftButton);
        ASSERT_EQ(form.FComPort1()->GetActive(), listening);
        TComConfigDialog::TRunner previous = TComConfigDialog::SetRunner([](TComConfigDialog& d) {
            GetParam().Choose(d);
            return true;
        });
        form.SetCOMPORT1()->trigger();
        TComConfigDialog::SetRunner(previous);
        EXPECT_EQ(Sandbox->ReadSettings(), "[COMPORT]\n" + device + GetParam().Stored)
            << "listening " << listening;
    }
    if (form.FComPort1()->GetActive()) QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Choices, PortDialog,
    ::testing::Values(
        DialogChoice{"NoChange", [](TComConfigDialog&) {},
                     "FComPort1.BaudRate=br2400\nFComPort1.DataBits=db8\nFComPort1.StopBits=sb1\n"
                     "FComPort1.Parity=paOdd\nFComPort1.CustomBaudRate=2400\n"},
        DialogChoice{"NoParityChosen",
                     [](TComConfigDialog& d) { d.Parity()->setCurrentIndex(d.Parity()->findText("None")); },
                     "FComPort1.BaudRate=br2400\nFComPort1.DataBits=db8\nFComPort1.StopBits=sb1\n"
                     "FComPort1.Parity=paNone\nFComPort1.CustomBaudRate=2400\n"},
        DialogChoice{"TwoStopBitsChosen",
                     [](TComConfigDialog& d) { d.StopBits()->setCurrentIndex(d.StopBits()->findText("2")); },
                     "FComPort1.BaudRate=br2400\nFComPort1.DataBits=db8\nFComPort1.StopBits=sb2\n"
                     "FComPort1.Parity=paOdd\nFComPort1.CustomBaudRate=2400\n"}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- "Delays Active" ---------------------------------------------------------------------

TEST_F(Settings, DelaysActiveIsRememberedBetweenStarts) {
    struct Start {
        QByteArray Stored;  // the [OPTIONS] key, or none
        bool Checked;
    };
    for (const Start& start : {Start{"", true}, Start{"DelaysActive=0\n", false},
                               Start{"DelaysActive=1\n", true}, Start{"DelaysActive=junk\n", true}}) {
        TfMainform& form = Open("[OPTIONS]\n" + start.Stored);
        EXPECT_EQ(form.cbDelaysActive()->isChecked(), start.Checked) << start.Stored.constData();
        Form.reset();
    }
    // Cleared by the ringer, it stays cleared at the next start, and set again, set.
    for (bool checked : {false, true}) {
        TfMainform& form = Open();
        form.cbDelaysActive()->setChecked(checked);
        EXPECT_TRUE(form.close());
        Form.reset();
        EXPECT_EQ(Open().cbDelaysActive()->isChecked(), checked);
        Form.reset();
    }
}

// ---- A settings folder that cannot be written ---------------------------------------

TEST_F(Settings, UnwritableFolderStartsNormally) {
    BlockSettingsFolder();
    TfMainform& form = Open(QByteArray());
    EXPECT_TRUE(Sandbox->Boxes.Boxes.empty());
    EXPECT_EQ(form.Timer(1)->Interval(), 300u);
    EXPECT_TRUE(form.isVisible());
}

TEST_F(Settings, UnwritableFolderReportsEachFailedWriteAndStopsThatHandler) {
    BlockSettingsFolder();
    TfMainform& form = Open(QByteArray());
    const QString error = "Unable to write to " + Sandbox->SettingsFile() + ".";

    // The port selector: the name is taken, the store fails once per key.
    QLineEdit* edit = form.cbPort()->lineEdit();
    edit->selectAll();
    QTest::keyClick(edit, 'X');
    EXPECT_EQ(BoxTexts(), std::vector<QString>({error}));
    EXPECT_EQ(form.FComPort1()->DeviceName(), "X");
    Sandbox->Boxes.Boxes.clear();

    // "Set": reported, the dialog stays open, the delay is unchanged.
    QTest::mouseClick(form.MMLED(2), Qt::RightButton);
    TfDelay* dialog = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<TfDelay*>(w); d && d->isVisible()) dialog = d;
    ASSERT_NE(dialog, nullptr);
    dialog->seDelay()->SetValue(480);
    QTest::mouseClick(dialog->bSet(), Qt::LeftButton);
    EXPECT_EQ(BoxTexts(), std::vector<QString>({error}));
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(form.Timer(2)->Interval(), 300u);
    dialog->close();
    Sandbox->Boxes.Boxes.clear();

    // A chosen sound file: reported, nothing stored.
    const QString file = Bell("b.wav");
    TWaveFileChooser previous = TMMWavePlayer::SetWaveFileChooser([&](QString& name) {
        name = file;
        return true;
    });
    QTest::mouseClick(form.MMLED(6), Qt::LeftButton, Qt::ShiftModifier);
    TMMWavePlayer::SetWaveFileChooser(previous);
    EXPECT_EQ(BoxTexts(), std::vector<QString>({error}));
}

TEST_F(Settings, UnwritableFolderStillLetsTheWindowCloseWithOneReport) {
    BlockSettingsFolder();
    TfMainform& form = Open(QByteArray());
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(BoxTexts(), std::vector<QString>({"Unable to write to " + Sandbox->SettingsFile() + "."}));
}

TEST_F(Settings, UnwritableFolderStillLetsTheMenuCloseWithOneReport) {
    BlockSettingsFolder();
    const QString file = Bell("b.wav");
    Form = std::make_unique<TfMainform>();
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
    Form->Player(1)->LoadFromFile(file);
    Form->Player(1)->Play();
    Form->Close1()->trigger();
    EXPECT_FALSE(Form->isVisible());
    EXPECT_FALSE(Form->Player(1)->IsOpen());
    EXPECT_EQ(BoxTexts(), std::vector<QString>({"Unable to write to " + Sandbox->SettingsFile() + "."}));
}

}  // namespace
