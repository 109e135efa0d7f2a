#pragma once

// The wave player: one WAV file on demand. It owns a whole chain (file
// source -> ADPCM decoder -> PCM converter -> wave output device), forwards
// the device's settings as its own, and turns the device's open and close
// into OnStart and OnStop.
//
// IsOpen is true from the device's opening walk until its close has run,
// so it is already false inside OnStop. OnStop fires once per close of a
// device that was opened on the platform: at the end of the file, inside
// Stop, or after an error; never while the player is being destroyed.

#include "mmcore/MMDSPComponent.h"
#include "platform/gui/Timer.h"  // TNotifyEvent
#include "playback/MMWaveOut.h"
#include "wavedata/MMWave.h"

#include <QString>
#include <functional>

class TMMWaveFile;
class TMMADPCMConverter;
class TMMPCMConverter;

// Asks the user for a wave file: FileName comes in as the current choice
// and goes out as the new one; false when the user cancelled.
using TWaveFileChooser = std::function<bool(QString& FileName)>;

class TMMWavePlayer : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(int BufferSize READ BufferSizeProperty WRITE SetBufferSizeProperty)
    Q_PROPERTY(int NumBuffers READ NumBuffers WRITE SetNumBuffers)
    Q_PROPERTY(int DeviceID READ DeviceID WRITE SetDeviceID)
    Q_PROPERTY(QString ProductName READ ProductName STORED false)
    Q_PROPERTY(MMWaveTypes::TMMTimeFormats TimeFormat READ TimeFormat WRITE SetTimeFormat)
    Q_PROPERTY(MMTypes::TMMCBMode CallBackMode READ CallBackMode WRITE SetCallBackMode)
    Q_PROPERTY(bool Looping READ Looping WRITE SetLooping)
    Q_PROPERTY(int LoopCount READ LoopCount WRITE SetLoopCount)
    Q_PROPERTY(TMMWave* Wave READ Wave WRITE SetWave)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(bool ResetPosition READ ResetPosition WRITE SetResetPosition)
    Q_PROPERTY(bool AutoConvert READ AutoConvert WRITE SetAutoConvert)

public:
    explicit TMMWavePlayer(QObject* AOwner = nullptr);
    ~TMMWavePlayer() override;

    // ---- What the application uses ----
    // From the start of the file (see ResetPosition); nothing when playing
    // already or when the wave has no data. A file that changed on disk since
    // it was loaded is loaded again first, and its errors (a file that is no
    // longer a wave file, or is gone) reach the caller with nothing played.
    // Errors of the device reach the caller with the device closed again.
    void Play();
    // Stops and closes the device at once; OnStop fires inside when it was open.
    void Stop();
    void Pause();
    void Restart();
    // The bell's sound as something else plays it (a ringing engine strikes
    // it straight into the mixer): true when it is heard to start, false
    // when it ends. Meanwhile the player reads as open, and OnStart and
    // OnStop fire as for its own playing. Ignored while its own device plays.
    void ShowSounding(bool Sounding);
    // Called when Stop ends a sound shown sounding (one played elsewhere),
    // so that whoever plays it silences it.
    std::function<void(TMMWavePlayer*)> OnStopShown;
    bool ShowsSounding() const { return FShownSounding; }
    // Sets FileName through the installed chooser; false when none is
    // installed or the user cancelled.
    bool SelectFile();
    void LoadFromFile(const QString& FileName) { SetFileName(FileName); }

    QString FileName() const;
    // Loads the file (errors of the wave object pass out) and lets the
    // decoder in when AutoConvert is set and it can take the format.
    void SetFileName(const QString& Value);

    TMMWaveOutStates State() const;
    // While playing: where the device is, plus where the run began;
    // otherwise the wave's position. TimeFormat units.
    LONG Position();
    void SetPosition(LONG Value);

    // The chooser SelectFile calls; the file dialog installs it. Returns
    // the previous one.
    static TWaveFileChooser SetWaveFileChooser(TWaveFileChooser Chooser);

    // ---- Forwarded settings ----
    DWORD GetBufferSize() const override;
    void SetBufferSize(LONG Value) override;
    int NumBuffers() const;
    void SetNumBuffers(int Value);
    int DeviceID() const;
    void SetDeviceID(int Value);
    QString ProductName() const;
    TMMTimeFormats TimeFormat() const;
    void SetTimeFormat(TMMTimeFormats Value);
    TMMCBMode CallBackMode() const;
    void SetCallBackMode(TMMCBMode Value);
    bool Looping() const;
    void SetLooping(bool Value);
    int LoopCount() const;
    void SetLoopCount(int Value);
    TMMWave* Wave() const;
    void SetWave(TMMWave* Value);

    bool ResetPosition() const { return FResetPos; }
    void SetResetPosition(bool Value) { FResetPos = Value; }
    bool AutoConvert() const { return FAutoConvert; }
    // Refused while the device is open.
    void SetAutoConvert(bool Value);

    TNotifyEvent OnStart;
    TNotifyEvent OnStop;
    TNotifyEvent OnPause;
    TNotifyEvent OnRestart;
    TNotifyEvent OnChange;
    TMMBufferEvent OnData;

private:
    void DoStart(QObject* Sender);
    void DoStop(QObject* Sender);
    void DoClose(QObject* Sender);
    void DoPause(QObject* Sender);
    void DoRestart(QObject* Sender);
    void DoData(QObject* Sender, TMMWaveHdr* lpwh);
    void DoChange(QObject* Sender);
    void DoChanged(QObject* Sender);
    // Lets the decoder in when AutoConvert is set and it takes the format.
    void UpdateDecoder();

    int BufferSizeProperty() const { return static_cast<int>(GetBufferSize()); }
    void SetBufferSizeProperty(int Value) { SetBufferSize(Value); }

    LONG FStartPos = 0;
    LONG FStopPos = -1;
    bool FSeeking = false;
    bool FResetPos = true;
    bool FAutoConvert = true;
    bool FShownSounding = false;
    TMMWaveFile* FWaveFile = nullptr;
    TMMADPCMConverter* FADPCMConvert = nullptr;
    TMMPCMConverter* FPCMConvert = nullptr;
    TMMWaveOut* FWaveOut = nullptr;
};
