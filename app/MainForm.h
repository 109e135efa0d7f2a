#pragma once

// The bell console's main window: it owns the receiver's port, one player,
// one delay timer, one LED and one number label per bell, the sequence
// timer, the settings file and the controls along the bottom. Strokes,
// settings, layout and mouse handling are members of this class too; each
// group lives in its own source file (MainFormStrokes, MainFormSettings,
// MainFormLayout).

#include "controls/MouseEvents.h"
#include "ringing/StrokeGuard.h"

#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QComboBox;
class QMenu;
class QAction;
class QPushButton;
class QTimer;
class TFComPort;
class TIniFile;
class TImage;
class TLabel;
class TMMLED;
class TMMWavePlayer;
class TRingingEngine;
struct TBellSound;
struct TRingingReport;
struct WaveOutStrikeReport;
enum class TStrokeSource;
class QSocketNotifier;
class TReceiverQuery;
struct TDelaysAnswer;
class TStrikingRecord;
class TfRingingOptions;
class TTimer;

inline constexpr int kBellCount = 16;

class TfMainform : public QWidget {
    Q_OBJECT

public:
    // Runs FormCreate.
    explicit TfMainform(QWidget* parent = nullptr);
    ~TfMainform() override;

    // How the serial ports of the machine are listed. Tests install their
    // own; returns the previous lister. An empty one puts the system's back.
    using TPortLister = std::function<void(QStringList& Ports)>;
    static TPortLister SetPortLister(TPortLister Lister);

    // ---- Life cycle
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    bool AllStopped() const;
    void StopPlayers();
    void PopupMenu1Popup();
    void SetCOMPORT1Click();
    void SoundOutput1Click();
    void QuorvelWebsite1Click();
    void Close1Click();

    // ---- Strokes
    void FComPort1RxChar(QObject* Sender);
    // The play routine of bell n (1 to 16).
    void Play(int Bell);
    void Timer1Timer(QObject* Sender);
    void Player1Start(QObject* Sender);
    void Player1Stop(QObject* Sender);
    void bListenClick(QObject* Sender);
    void cbPortChange();
    // The controls that follow whether the port is open.
    void ListeningChanged(bool Listening);
    // The port closed without the window asking: its receiver was lost.
    void FComPort1AfterClose(TFComPort* ComPort);
    // Lists the ports again, as an adapter comes or goes (MainFormDevices).
    void RefreshPorts();
    void bSequenceClick(QObject* Sender);
    void Timer20Timer(QObject* Sender);
    // The bell a received byte names, 0 for none.
    static int BellOfChar(unsigned char Byte);
    // The bell of a per-bell component (its Tag), 0 for none.
    static int BellOf(QObject* Sender);

    // ---- The ringing engine below the window (MainFormEngine)
    // Every stroke is decided and scheduled there; the window hears after.
    TRingingEngine* RingingEngine() const { return FEngine.get(); }
    // Hands the engine the bells' sounds, delays, "Delays Active" and the
    // guard as they are now (a sound whose file changed is decoded again).
    void PublishRinging();
    // Takes what the engine and the mixer have reported.
    void TakeRingingReports();

    // ---- The receiver's questions and the double-strike guard (MainFormReceiver)
    // Asks the receiver whether it is there, once listening has started.
    void CheckReceiver();
    void ReceiverDelays1Click();
    // Strokes of a bell within this many ms of its last heard one are
    // bounces (0 off, up to 500); stored in the settings file.
    int GuardMs() const;
    void SetGuardMs(int Ms);
    // Strokes the guard dropped since the program started.
    int IgnoredStrokes() const;
    void LoadGuard();

    // ---- Settings file
    void LoadComSettings(TIniFile& FromInifile);
    void SaveComSettings(TIniFile& ToInifile);
    void LoadDelays();
    void SaveDelay(int aPlayer, int aDelayMilli);
    // Loads every bell's file; the messages of the files that failed.
    QStringList LoadSoundFiles();
    void LoadPosition();
    void SavePosition();
    // "Delays Active", remembered between runs ([OPTIONS] DelaysActive).
    void LoadDelaysActive();
    void SaveDelaysActive();
    // Where a window whose client area was Client goes: wholly on the screen
    // it overlaps most (or the nearest), its least size lowered to fit there.
    QRect FitOnScreen(const QRect& Client);
    static constexpr int kMinWidth = 737, kMinHeight = 233;

    // ---- Ringing options: the striking record and its chart (MainFormRinging)
    void RingingOptions1Click();
    // The tower's settings for a record's comment line, with the bells it struck.
    QString TowerSettings(const QList<int>& Bells) const;
    QAction* RingingOptions1() const { return FRingingOptions1; }
    TStrikingRecord* StrikingRecord() const { return FStrikingRecord; }
    TfRingingOptions* RingingOptionsForm() const { return FRingingOptionsForm; }
    // Strike flash: a bell's LED lights for kStrikeFlashMs from its strike
    // instead of all the while it sounds; stored in the settings file.
    static constexpr int kStrikeFlashMs = 150;
    bool StrikeFlash() const { return FStrikeFlash; }
    void SetStrikeFlash(bool On);

    // ---- The sound output as the window shows it (MainFormOutput)
    // The output's state, a close that waits for the bells, or the demo
    // ring, along the status line; empty while all is well.
    QLabel* lOutput() const { return FOutputStatus; }
    void UpdateOutputStatus();
    // Where the demo ring is taken from instead of beside the program (an
    // empty folder: beside it again); returns the previous one.
    static QString SetDemoRingFolder(const QString& Folder);
    // The demo ring's folder: the one tests set, else the installed or built one.
    static QString DemoRing();
    // The settings named no sound, so the bells play the demo ring.
    bool PlayingDemoRing() const { return FDemoRing; }
    // The window's close button was pressed while bells sounded.
    bool ClosingWhenSilent() const { return FCloseWhenSilent; }
    // Bell n has a sound to play.
    bool HasSound(int Bell) const;

    // ---- A ring's sound (MainFormSound): each bell's volume, backstroke
    // delay and muffle, the master volume, and a ring from a folder
    void CreateSoundComponents();
    void LoadRingSound();  // [VOLUME], [BACKDELAYS], [MUFFLES]
    int VolumeDb(int Bell) const { return FVolumeDb[Bell]; }
    int MasterDb() const { return FMasterDb; }
    int BackDelayMs(int Bell) const { return FBackDelayMs[Bell]; }  // below 0: the handstroke's
    int Muffle(int Bell) const { return FMuffle[Bell]; }            // 0 open, 1 half, 2 full
    void SaveBellSound(int Bell, int BackDelayMs, int VolumeDb, int Muffle);
    void SaveMasterVolume(int Db);
    void SetAllMuffles(int Muffle);
    // The bell's sound dialog (Ctrl+click on a bell).
    void SetUpBellSound(int Bell);
    void ChooseRing1Click();
    // Gives the folder's files to their bells after the ringer's OK; false
    // when nothing was taken.
    bool ChooseRing(const QString& Folder);
    // How "Choose Ring..." asks for a folder and for the OK; tests install
    // their own. Empty ones put the dialogs back.
    using TFolderAsk = std::function<QString()>;
    using TConfirmAsk = std::function<bool(const QString& Text)>;
    static void SetRingDialogs(TFolderAsk Folder, TConfirmAsk Confirm);
    QAction* ChooseRing1() const { return FChooseRing1; }
    QMenu* Muffles1() const { return FMuffles1; }

    // ---- Layout and bell controls
    void FormResize();
    void pButtonsResize();
    void MMLED1MouseDown(QObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y);
    void MMLED1Click(QObject* Sender);
    void SetUpDelay(int aPlayer, int X, int Y);
    // Where a delay dialog for bell aPlayer opens on the screen.
    QPoint DelayDialogPlace(const QWidget& Dialog, int aPlayer) const;
    void DoSetFile(int aPlayer);

    // ---- Owned components, by bell number 1 to 16 (index 0 unused)
    TMMLED* MMLED(int Bell) const { return FLEDs[Bell]; }
    TLabel* Label(int Bell) const { return FLabels[Bell]; }
    TMMWavePlayer* Player(int Bell) const { return FPlayers[Bell]; }
    TTimer* Timer(int Bell) const { return FTimers[Bell]; }
    TTimer* Timer20() const { return FTimer20; }
    TFComPort* FComPort1() const { return FComPort; }
    TImage* Image1() const { return FImage1; }
    QMenu* PopupMenu1() const { return FPopupMenu1; }
    QAction* SetCOMPORT1() const { return FSetCOMPORT1; }
    QAction* SoundOutput1() const { return FSoundOutput1; }
    QAction* QuorvelWebsite1() const { return FQuorvelWebsite1; }
    QAction* Close1() const { return FClose1; }
    QAction* ReceiverDelays1() const { return FReceiverDelays1; }
    QLabel* lReceiver() const { return FReceiverStatus; }
    QWidget* pButtons() const { return FButtons; }
    QComboBox* cbPort() const { return FPort; }
    QCheckBox* cbDelaysActive() const { return FDelaysActive; }
    QPushButton* bSequence() const { return FSequence; }
    QPushButton* bListen() const { return FListen; }
    TIniFile* Inifile() const { return FInifile.get(); }

    const QString& AppDataPath() const { return FAppDataPath; }
    bool SetFile() const { return FSetFile; }
    bool SetDelay() const { return FSetDelay; }
    bool Loading() const { return FLoading; }
    int Current() const { return FCurrent; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The keys of the receiver's map strike their bells (MainFormStrokes).
    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateComponents();
    void CreateEngine();
    void DestroyEngine();
    void TakeEngineReport(const TRingingReport& Report);
    void TakeSoundReport(const WaveOutStrikeReport& Report);
    // The window's own stroke, handed to the engine and shown in the same
    // handler, as a click always was.
    void StrikeNow(int Bell, std::int64_t TimeNs, TStrokeSource Source);
    // Bell's LED and player show Blow sounding, or stop showing it.
    void ShowBlow(int Bell, std::uint64_t Blow);
    void EndBlow(int Bell, std::uint64_t Blow);
    // The output runs (started again where it was lost or switched), and
    // the bells' sounds are decoded for its rate; false when none runs.
    bool EnsureOutput();
    // An output chosen while bells sounded takes over once they are silent.
    void SwitchOutputIfSilent();
    // The loss of the output, said once for as long as it lasts.
    void ReportOutputLoss();
    // Reads bell n's file again and hands the engine its sound; false (said
    // once) when it cannot play.
    bool ReloadBellSound(int Bell);
    // The standard error report, after the handler running now returns.
    void ReportLater(const QString& Message);
    // The output's rate, which the engine's sounds are decoded for.
    static unsigned OutputRate();
    void CreateRingingOptions();
    void LoadRingingOptions();
    // The machine's serial ports, through the lister tests may install.
    static QStringList SystemPorts();
    // Plays bell n (1 to 16) from TimeNs, unless it sounds already (a click
    // on a bell, a sequence tick).
    void PlayBell(int Bell, std::int64_t TimeNs, TStrokeSource Source);
    void ReportOnce(const std::exception_ptr& Error);
    void CreateReceiverComponents();
    void CreateOutputComponents();
    // No bell's sound file is named in the settings.
    bool SettingsNameNoSound() const;
    // Loads the demo ring into every bell; the messages of the files that failed.
    QStringList LoadDemoRing();
    // Draws bell n's number as it is: dimmed while it has no sound.
    void ShowSound(int Bell);
    // A bell that failed to play: false when it has been said already, or
    // the output is gone (the status line says so).
    bool ReportPlayFailure(int Bell, const QString& Message, bool OfTheDevice);
    void CloseWhenSilent();
    // Closes once no bell sounds and no delay runs, when a close waits for that.
    void CloseIfSilent();
    bool BellsSilent() const;
    void ReceiverDelaysAnswered(const TDelaysAnswer& Answer);

    std::array<TMMLED*, kBellCount + 1> FLEDs{};
    std::array<TLabel*, kBellCount + 1> FLabels{};
    std::array<TMMWavePlayer*, kBellCount + 1> FPlayers{};
    std::array<TTimer*, kBellCount + 1> FTimers{};
    TTimer* FTimer20 = nullptr;
    TFComPort* FComPort = nullptr;
    TImage* FImage1 = nullptr;
    QMenu* FPopupMenu1 = nullptr;
    QAction* FSetCOMPORT1 = nullptr;
    QAction* FSoundOutput1 = nullptr;
    QAction* FQuorvelWebsite1 = nullptr;
    QAction* FClose1 = nullptr;
    QAction* FRingingOptions1 = nullptr;
    TStrikingRecord* FStrikingRecord = nullptr;
    TfRingingOptions* FRingingOptionsForm = nullptr;
    bool FStrikeFlash = false;
    std::array<QTimer*, kBellCount + 1> FFlashTimers{};
    QWidget* FButtons = nullptr;
    QComboBox* FPort = nullptr;
    QCheckBox* FDelaysActive = nullptr;
    QPushButton* FSequence = nullptr;
    QPushButton* FListen = nullptr;

    std::unique_ptr<TIniFile> FInifile;
    QString FAppDataPath;
    bool FSetFile = false;
    bool FSetDelay = false;
    bool FLoading = false;
    int FCurrent = 0;

    bool FShown = false;
    // A close that has already reported its failed position write.
    bool FCloseReported = false;
    // While the listen button or the port selector opens or closes the port.
    bool FPortByHand = false;

    TReceiverQuery* FReceiverQuery = nullptr;
    QAction* FReceiverDelays1 = nullptr;
    QLabel* FReceiverStatus = nullptr;
    // The guard time handed to the engine, which keeps the guard itself.
    int FGuardMs = 0;
    // The stored port settings are in the port (there was a port to apply them to).
    bool FPortSettingsLoaded = false;

    QLabel* FOutputStatus = nullptr;
    bool FDemoRing = false;
    bool FCloseWhenSilent = false;
    // The status line shows an output that does not run.
    bool FOutputProblem = false;
    // Per bell, the file and failure last reported, so that it is said once.
    std::array<QString, kBellCount + 1> FPlayFailure{};

    std::unique_ptr<TRingingEngine> FEngine;
    // The engine's "reports wait": an eventfd its threads write, read here.
    int FEngineWake = -1;
    QSocketNotifier* FEngineNotifier = nullptr;
    // Each bell's decoded sound, as last handed to the engine.
    std::array<std::shared_ptr<TBellSound>, kBellCount + 1> FSounds{};
    // The blow each bell's LED shows (0: none).
    std::array<std::uint64_t, kBellCount + 1> FShownBlow{};
    // The blow each bell's running delay will start (0: none).
    std::array<std::uint64_t, kBellCount + 1> FDelayedBlow{};
    // The rate the sounds handed to the engine were decoded for.
    unsigned FSoundsRate = 0;
    // An output chosen while bells sounded (empty: none waits).
    QString FOutputChosen;
    bool FOutputLossReported = false;

    // A ring's sound, as stored; each bell's muffled sound, made from the
    // sound it was last made from.
    std::array<int, kBellCount + 1> FVolumeDb{};
    std::array<int, kBellCount + 1> FBackDelayMs = [] {
        std::array<int, kBellCount + 1> same{};
        same.fill(-1);
        return same;
    }();
    std::array<int, kBellCount + 1> FMuffle{};
    int FMasterDb = 0;
    std::array<std::shared_ptr<TBellSound>, kBellCount + 1> FMuffled{};
    std::array<std::weak_ptr<TBellSound>, kBellCount + 1> FMuffledFrom{};
    QAction* FChooseRing1 = nullptr;
    QMenu* FMuffles1 = nullptr;
    bool FSetSound = false;
};

// The one main window, set while it exists (the delay dialog reaches it here).
extern TfMainform* fMainform;
