#pragma once

// The wave file source: the head of a playing chain. It owns a wave object,
// follows the chain's life cycle and fills every buffer the device pulls
// with the wave's next bytes; the buffer that takes the last bytes is the
// last one asked for. With an input connected it records what passes
// through into its wave file instead.

#include "mmcore/MMObject.h"
#include "wavedata/MMAudioFile.h"
#include "wavedata/MMWave.h"

class TMMCustomWaveFile : public TMMCustomFile {
    Q_OBJECT
    Q_PROPERTY(TMMWave* Wave READ Wave WRITE SetWave)
    Q_PROPERTY(bool Empty READ GetEmpty)
    Q_PROPERTY(QString FileName READ GetFileName WRITE SetFileName)
    Q_PROPERTY(int PlayTime READ GetPlayTime)

public:
    explicit TMMCustomWaveFile(QObject* AOwner = nullptr);
    ~TMMCustomWaveFile() override;

    static TMMCustomFileClass ClassInfo();
    TMMCustomFileClass FileClass() const override { return ClassInfo(); }

    // The class operations, also callable without an instance.
    static bool IsValidFile(const QString& FileName);
    static bool GetFileInfo(const QString& FileName, TMMAudioFileInfo& Info, bool ScanFile);
    static QString GetFilter();
    static QString GetExtensions() { return QStringLiteral("*.wav"); }

    TMMWave* Wave() const { return FWave; }
    // Copies Value into the owned wave; the owned object stays.
    void SetWave(TMMWave* Value);
    // Replaces the owned wave (takes ownership; nullptr leaves none).
    void SetWaveEx(TMMWave* Value);

    void SetPWaveFormat(const WAVEFORMATEX* Value) override;

    LONG GetOptimalReadSize() const override;
    bool GetEmpty() const override;
    LONG GetPlayTime() const override;
    QString GetFileName() const override;
    void SetFileName(const QString& Value) override;
    LONG GetPosition() const override;
    void SetPosition(LONG Value) override;
    // Without a loaded wave there is nothing to convert: 0, and a set is ignored.
    LONG GetPositionMs() const override;
    void SetPositionMs(LONG Value) override;

    void SaveToFile(const QString& FileName);
    bool PlaySound(TMMPlayMode aValue);
    void StopSound();

    bool OverwriteExisting() const { return FOverwrite; }
    void SetOverwriteExisting(bool Value) { FOverwrite = Value; }
    BYTE Silence() const { return static_cast<BYTE>(FSilence); }
    bool FileOpen() const { return FFileOpen; }
    bool FileStarted() const { return FFileStarted; }

    void Opened() override;
    void Closed() override;
    void Started() override;
    void Stopped() override;
    void Reseting() override;
    void BufferReady(TMMWaveHdr* lpwh) override;
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override;

    TNotifyEvent OnOpen;
    TNotifyEvent OnClose;
    TNotifyEvent OnLooping;

protected:
    void DoChanged() override;
    virtual void DoOpen();
    virtual void DoClose();

private:
    void WaveChanged(QObject* Sender, void* Data);
    // Appends the header's data to the wave; closes the source when the
    // disk is full or the write fails.
    void Record(TMMWaveHdr* lpwh);

    TMMWave* FWave = nullptr;  // owned
    LONG FOldStart = 0;
    WORD FSilence = 128;
    bool FFileOpen = false;
    bool FFileStarted = false;
    bool FOverwrite = true;
    TMMObserver* FObserver = nullptr;  // owned
};

class TMMWaveFile : public TMMCustomWaveFile {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(bool Enabled READ GetEnabled WRITE SetEnabled)
    Q_PROPERTY(bool OverwriteExisting READ OverwriteExisting WRITE SetOverwriteExisting)

public:
    using TMMCustomWaveFile::TMMCustomWaveFile;
};
