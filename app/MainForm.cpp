// The main window's components and its life cycle: creation, start-up,
// showing, closing and the popup menu on the logo.

#include "app/MainForm.h"

#include "platform/base/Clock.h"
#include "ringing/RingingEngine.h"

#include "app/Documentation.h"
#include "app/Guarded.h"
#include "app/PortList.h"
#include "app/Program.h"
#include "app/StrikingRecord.h"
#include "app/Widgets.h"
#include "comport/FComPort.h"
#include "controls/MMLED.h"
#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Dialogs.h"
#include "platform/gui/Timer.h"
#include "platform/profile/IniFile.h"
#include "platform/shell/shell.h"
#include "playback/MMWavePlayer.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

TfMainform* fMainform = nullptr;

namespace {

const QString kVersion = QLatin1Char('v') + QLatin1String(kProductVersion);
const QString kBellTip = QStringLiteral(
    "Click: ring, Shift+click: choose its sound, right click: its delay, Ctrl+click: its volume and muffle");

TfMainform::TPortLister& PortLister() {
    static TfMainform::TPortLister lister;
    return lister;
}

}  // namespace

TfMainform::TPortLister TfMainform::SetPortLister(TPortLister Lister) {
    TPortLister previous = std::move(PortLister());
    PortLister() = std::move(Lister);
    return previous;
}

QStringList TfMainform::SystemPorts() {
    QStringList ports;
    if (PortLister())
        PortLister()(ports);
    else
        TFComPort::EnumComDevicesFromRegistry(ports);
    return ports;
}

TfMainform::TfMainform(QWidget* parent) : QWidget(parent) {
    fMainform = this;
    CreateComponents();
    FormCreate();
}

TfMainform::~TfMainform() {
    // The port is destroyed after this window, with its children: its close
    // must not reach back into it. Closed before the engine goes: its
    // service thread hands every byte to the engine.
    FComPort->AfterClose = nullptr;
    try {
        FComPort->SetActive(false);
    } catch (...) {
        // a port that fails to close has stopped reading all the same
    }
    DestroyEngine();
    // A touch being rung is written now, while the settings it names are here.
    delete FStrikingRecord;
    FStrikingRecord = nullptr;
    if (fMainform == this) fMainform = nullptr;
}

void TfMainform::CreateComponents() {
    InitProgramResources();
    setObjectName(QStringLiteral("fMainform"));
    setFont(Tahoma(11));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    setMinimumSize(737, 233);
    resize(737, 233);
    // The window itself has the keyboard, so that keys strike bells; a click
    // on it takes the keyboard back from the port selector.
    setFocusPolicy(Qt::ClickFocus);
    setFocus();

    FPopupMenu1 = new QMenu(this);
    FPopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    FSetCOMPORT1 = FPopupMenu1->addAction(QStringLiteral("Setup Selected COM Port"));
    FSetCOMPORT1->setObjectName(QStringLiteral("SetCOMPORT1"));
    FSoundOutput1 = FPopupMenu1->addAction(QStringLiteral("Sound Output..."));
    FSoundOutput1->setObjectName(QStringLiteral("SoundOutput1"));
    FPopupMenu1->addSeparator()->setObjectName(QStringLiteral("N1"));
    FQuorvelWebsite1 = FPopupMenu1->addAction(QStringLiteral("Quorvel Website"));
    FQuorvelWebsite1->setObjectName(QStringLiteral("QuorvelWebsite1"));
    FPopupMenu1->addSeparator()->setObjectName(QStringLiteral("N2"));
    FClose1 = FPopupMenu1->addAction(QStringLiteral("Close"));
    FClose1->setObjectName(QStringLiteral("Close1"));
    connect(FPopupMenu1, &QMenu::aboutToShow, this, Guarded([this] { PopupMenu1Popup(); }));
    connect(FSetCOMPORT1, &QAction::triggered, this, Guarded([this](bool) { SetCOMPORT1Click(); }));
    connect(FSoundOutput1, &QAction::triggered, this, Guarded([this](bool) { SoundOutput1Click(); }));
    connect(FQuorvelWebsite1, &QAction::triggered, this, Guarded([this](bool) { QuorvelWebsite1Click(); }));
    connect(FClose1, &QAction::triggered, this, Guarded([this](bool) { Close1Click(); }));

    FImage1 = new TImage(this);
    FImage1->setObjectName(QStringLiteral("Image1"));
    FImage1->setGeometry(8, 8, 138, 138);
    FImage1->SetPicture(QPixmap(QStringLiteral(":/quorvel/logo.png")));
    FImage1->SetPopupMenu(FPopupMenu1);
    FImage1->setToolTip(QStringLiteral("Right click (or Shift+F10, or the Menu key): the menu"));
    // The logo's menu from the keyboard opens beside the logo.
    auto* menuKeys = new QAction(this);
    menuKeys->setObjectName(QStringLiteral("MenuKeys"));
    menuKeys->setShortcuts({QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)});
    addAction(menuKeys);
    connect(menuKeys, &QAction::triggered, this,
            [this] { FPopupMenu1->popup(FImage1->mapToGlobal(QPoint(FImage1->width(), 0))); });
    // Ctrl+Q asks to close, as the window's close button does.
    auto* quit = new QAction(this);
    quit->setObjectName(QStringLiteral("Quit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    addAction(quit);
    connect(quit, &QAction::triggered, this, [this] { close(); });

    auto mouseDown = Guarded([this](QObject* sender, TMouseButton button, TShiftState shift, int x, int y) {
        MMLED1MouseDown(sender, button, shift, x, y);
    });
    auto click = Guarded([this](QObject* sender) { MMLED1Click(sender); });

    for (int n = 1; n <= kBellCount; ++n) {
        auto* led = new TMMLED(this);
        led->setObjectName(QStringLiteral("MMLED%1").arg(n));
        led->SetTag(n);
        const int row = (n - 1) / 8, column = (n - 1) % 8;
        led->setGeometry(152 + column * 71, 8 + row * 70, 65, 65);
        led->SetColor(QColor(128, 128, 128));
        led->SetEnabled(false);
        led->Bevel()->SetBevelOuter(bvNone);
        led->Bevel()->SetBevelInner(bvNone);
        led->OnClick = click;
        led->OnMouseDown = mouseDown;
        led->setToolTip(kBellTip);
        FLEDs[n] = led;
    }
    // Created after the LEDs, so they lie above them.
    for (int n = 1; n <= kBellCount; ++n) {
        auto* label = new TLabel(QString::number(n), this);
        label->setObjectName(QStringLiteral("Label%1").arg(n));
        label->SetTag(n);
        label->setFont(Tahoma(27, true));
        label->setForegroundRole(QPalette::WindowText);
        label->adjustSize();
        label->OnClick = click;
        label->OnMouseDown = mouseDown;
        label->setToolTip(kBellTip);
        FLabels[n] = label;
    }

    for (int n = 1; n <= kBellCount; ++n) {
        auto* player = new TMMWavePlayer(this);
        player->setObjectName(QStringLiteral("Player%1").arg(n));
        player->SetTag(n);
        player->SetBufferSize(2048);
        player->SetNumBuffers(10);
        player->SetDeviceID(0);
        player->SetTimeFormat(tfByte);
        player->SetCallBackMode(cmWindow);
        player->SetLooping(false);
        player->SetLoopCount(0);
        player->OnStart = [this](QObject* sender) { Player1Start(sender); };
        player->OnStop = [this](QObject* sender) { Player1Stop(sender); };
        // Stopped from here (a close, a test): the engine silences the bell.
        player->OnStopShown = [this](TMMWavePlayer* stopped) {
            const int bell = BellOf(stopped);
            if (!bell || !FEngine) return;
            FShownBlow[bell] = 0;
            FEngine->Silence(bell, MonotonicNs());
        };
        FPlayers[n] = player;

        auto* timer = new TTimer(this);
        timer->setObjectName(QStringLiteral("Timer%1").arg(n));
        timer->SetTag(n);
        timer->SetEnabled(false);
        timer->SetInterval(300);
        timer->OnTimer = [this](QObject* sender) { Timer1Timer(sender); };
        FTimers[n] = timer;
    }
    FTimer20 = new TTimer(this);
    FTimer20->setObjectName(QStringLiteral("Timer20"));
    FTimer20->SetTag(0);
    FTimer20->SetEnabled(false);
    FTimer20->SetInterval(750);
    FTimer20->OnTimer = [this](QObject* sender) { Timer20Timer(sender); };

    FComPort = new TFComPort(this);
    FComPort->setObjectName(QStringLiteral("FComPort1"));
    // No port until one is found or stored: "COM1" names nothing on Linux.
    FComPort->SetDeviceName(QString());
    FComPort->SetBaudRate(br2400);
    FComPort->SetDataBits(db8);
    FComPort->SetParity(paNone);
    FComPort->SetStopBits(sb1);
    FComPort->SetOptions({});
    FComPort->SetPriorityClass(pcRealTime);
    // Reads on the main thread never wait: they take what is there.
    FComPort->Timeouts().SetReadInterval(-1);
    FComPort->SetActive(false);
    FComPort->OnRxChar = [this](QObject* sender) { FComPort1RxChar(sender); };
    CreateEngine();
    FComPort->AfterClose = [this](TFComPort* port) { FComPort1AfterClose(port); };
    // An adapter plugged in or pulled out shows in the port selector at once.
    FComPort->OnDeviceArrival = Guarded([this](QObject*, const QString&) { RefreshPorts(); });
    FComPort->OnDeviceRemoved = Guarded([this](QObject*, const QString&) { RefreshPorts(); });

    auto* panel = new TPanel(this);
    FButtons = panel;
    FButtons->setObjectName(QStringLiteral("pButtons"));
    FButtons->setGeometry(0, height() - 47, width(), 47);

    FPort = new QComboBox(FButtons);
    FPort->setObjectName(QStringLiteral("cbPort"));
    FPort->setEditable(true);
    FPort->setInsertPolicy(QComboBox::NoInsert);
    FPort->setGeometry(25, 12, 97, 21);
    // Only the user's changes count: typing, or choosing from the list.
    connect(FPort->lineEdit(), &QLineEdit::textEdited, this,
            Guarded([this](const QString&) { cbPortChange(); }));
    connect(FPort, &QComboBox::activated, this, Guarded([this](int) { cbPortChange(); }));

    FDelaysActive = new QCheckBox(QStringLiteral("Delays Active"), FButtons);
    FDelaysActive->setObjectName(QStringLiteral("cbDelaysActive"));
    FDelaysActive->setGeometry(136, 14, 136, 17);
    FDelaysActive->setChecked(true);

    FSequence = new QPushButton(QStringLiteral("Sequence"), FButtons);
    FSequence->setObjectName(QStringLiteral("bSequence"));
    FSequence->setGeometry(FButtons->width() - 6 - 92, 10, 92, 25);
    connect(FSequence, &QPushButton::clicked, this, Guarded([this](bool) { bSequenceClick(FSequence); }));

    FListen = new QPushButton(QStringLiteral("START LISTENING"), FButtons);
    FListen->setObjectName(QStringLiteral("bListen"));
    FListen->setGeometry(0, 3, 169, 39);
    FListen->setFont(Tahoma(13));
    connect(FListen, &QPushButton::clicked, this, Guarded([this](bool) { bListenClick(FListen); }));

    CreateRingingOptions();

    panel->OnResize = [this] {
        FSequence->move(FButtons->width() - 6 - FSequence->width(), FSequence->y());
        pButtonsResize();
    };
    pButtonsResize();
    CreateReceiverComponents();
    CreateOutputComponents();
    CreateSoundComponents();
}

void TfMainform::FormCreate() {
    QString base = GetSpecialFolderPath(CSIDL_COMMON_APPDATA);
    if (!base.endsWith(QLatin1Char('/'))) base += QLatin1Char('/');
    FAppDataPath = base + QStringLiteral("QUORVEL/");
    QDir().mkpath(FAppDataPath);  // a failure shows at the first write
    FInifile = std::make_unique<TIniFile>(FAppDataPath + QStringLiteral("settings.ini"));
    setWindowTitle(Application.Title() + QLatin1Char(' ') + kVersion);

    const QList<TPortEntry> ports = ListPorts(SystemPorts());
    FillPortSelector(FPort, ports);

    // Whatever fails to load is reported once, at the end, and the rest
    // still loads: one bad value or moved file silences only itself.
    QStringList failures;
    FLoading = true;
    if (!ports.isEmpty()) {
        try {
            LoadComSettings(*FInifile);
        } catch (const Exception& e) {
            failures << e.Message();
        }
        if (FComPort->DeviceName().isEmpty()) FComPort->SetDeviceName(DefaultPort(ports));
        FPort->setEditText(FComPort->DeviceName());
        FPortSettingsLoaded = true;
    } else {
        MessageDlg(QStringLiteral("QUORVEL Receiver Not Detected"), mtWarning);
        setWindowTitle(windowTitle() + QStringLiteral("   [RECEIVER NOT DETECTED]"));
    }
    // Settings that name no sound at all get the demo ring that came with
    // the program; one bell named and only the named bells sound.
    failures << (SettingsNameNoSound() ? LoadDemoRing() : LoadSoundFiles());
    LoadDelays();
    LoadDelaysActive();
    LoadGuard();
    LoadRingingOptions();
    LoadRingSound();
    FLoading = false;
    PublishRinging();
    for (int n = 1; n <= kBellCount; ++n) ShowSound(n);
    UpdateOutputStatus();
    if (!failures.isEmpty())
        Application.HandleException(std::make_exception_ptr(Exception(failures.join(QLatin1Char('\n')))));
}

void TfMainform::FormShow() {
    LoadPosition();
}

bool TfMainform::FormCloseQuery() {
    return AllStopped();
}

void TfMainform::FormClose() {
    try {
        SavePosition();
    } catch (...) {
        ReportOnce(std::current_exception());
    }
    FInifile.reset();
}

bool TfMainform::AllStopped() const {
    for (int n = 1; n <= kBellCount; ++n)
        if (FPlayers[n]->IsOpen()) return false;
    // A stroke handed to the engine sounds (or is told of) a little later.
    return !FEngine || FEngine->Idle();
}

void TfMainform::StopPlayers() {
    FEngine->SilenceAll(MonotonicNs());
    for (int n = kBellCount; n >= 1; --n) {
        // Silent now, whatever the mixer's reports still say.
        FShownBlow[n] = 0;
        FPlayers[n]->ShowSounding(false);
        FPlayers[n]->Stop();
    }
}

void TfMainform::PopupMenu1Popup() {
    FSetCOMPORT1->setEnabled(!FPort->currentText().isEmpty());
}

void TfMainform::SetCOMPORT1Click() {
    if (!FComPort->ConfigDialog()) return;
    SaveComSettings(*FInifile);
    LoadComSettings(*FInifile);
}

void TfMainform::QuorvelWebsite1Click() {
    // Without a web site, the documentation that came with the program.
    QString target = ProductWebsite();
    if (target.isEmpty()) target = ReadmeHtml();
    if (target.isEmpty()) {
        MessageDlg(QStringLiteral("There is no web site, and the documentation (README.html) is not in %1.")
                       .arg(QDir::toNativeSeparators(DocumentationFolder())),
                   mtWarning);
        return;
    }
    if (ShellExecute(nullptr, QStringLiteral("open"), target, QString(), QString(), SW_SHOWNORMAL) <= 32)
        MessageDlg(QStringLiteral("No web browser could be started to show %1")
                           .arg(QDir::toNativeSeparators(target)) +
                       QLatin1Char('\r') + QStringLiteral("Open it in a web browser by hand."),
                   mtWarning);
}

void TfMainform::Close1Click() {
    StopPlayers();
    // A settings folder that cannot be written must not keep the window
    // open: the error is reported once and the window closes all the same.
    try {
        SavePosition();
    } catch (...) {
        ReportOnce(std::current_exception());
    }
    close();
}

void TfMainform::ReportOnce(const std::exception_ptr& Error) {
    if (FCloseReported) return;
    FCloseReported = true;
    Application.HandleException(Error);
}

void TfMainform::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (FShown || event->spontaneous()) return;
    FShown = true;
    try {
        FormShow();
    } catch (...) {
        Application.HandleException(std::current_exception());
    }
}

void TfMainform::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        // Nothing is cut off: the window goes when the last bell has ended.
        CloseWhenSilent();
        return;
    }
    FormClose();
    event->accept();
}
