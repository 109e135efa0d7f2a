#pragma once

// The wave object: one wave (normally a WAV file on disk), presented as
// samples between a start and an end position, with an optional cut list
// and fade list, delivered in playing order. Positions are exchanged in a
// selectable time format; observers are told of every change.

#include "mmcore/MMObject.h"
#include "platform/base/Exception.h"
#include "platform/base/wintypes.h"
#include "wavedata/MMCutList.h"
#include "wavedata/RiffWave.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

namespace MMWaveTypes {
Q_NAMESPACE
enum TMMTimeFormats { tfMillisecond, tfByte, tfSample };
Q_ENUM_NS(TMMTimeFormats)
enum TMMMode { mMono, mStereo, mMultiChannel };
Q_ENUM_NS(TMMMode)
enum TMMPlayMode { pmSync, pmAsync, pmLoop };
Q_ENUM_NS(TMMPlayMode)
}  // namespace MMWaveTypes

using MMWaveTypes::TMMMode;
using MMWaveTypes::TMMPlayMode;
using MMWaveTypes::TMMTimeFormats;
using enum MMWaveTypes::TMMTimeFormats;
using enum MMWaveTypes::TMMMode;
using enum MMWaveTypes::TMMPlayMode;

class TMMFadeList;

class EMMWaveError : public Exception {
public:
    using Exception::Exception;
};

// Sender, bytes done, bytes in all, cancel.
using TMMWaveProgress = std::function<void(QObject* Sender, LONG CurByte, LONG NumBytes, bool& Cancel)>;

class TMMWave : public TMMObject {
    Q_OBJECT

public:
    explicit TMMWave(QObject* parent = nullptr);
    ~TMMWave() override;

    // ---- Loading and the file ---------------------------------------------
    QString FileName() const { return FFileName; }
    virtual void SetFileName(const QString& Value);
    void LoadFromFile(const QString& FileName) { SetFileName(FileName); }
    bool FileMustExist() const { return FFileMustExist; }
    void SetFileMustExist(bool Value);
    void FreeWave();
    void ClearWave();

    virtual void OpenFile();
    virtual void CloseFile();
    virtual void ResetFile() {}
    bool IsOpen() const { return FOpen; }
    // Whether the file loaded by name is no longer the one described: written
    // to, replaced or removed since (one stat; never true for other waves).
    // Loading the same name again then describes it afresh.
    bool FileChanged() const;

    // ---- Description -------------------------------------------------------
    int BitLength() const;
    TMMMode Mode() const;
    int FormatTag() const;
    QString FormatString() const;
    DWORD SampleRate() const;
    DWORD FileSize() const;
    LONG DataSize() const;
    bool Empty() const { return DataSize() == 0; }
    virtual WAVEFORMATEX* PWaveFormat() const;
    void SetPWaveFormat(const WAVEFORMATEX* pwfx);
    TWAVEIOCB* PWaveIOInfo() const { return FPWaveIOCB; }
    // Takes ownership of Value.
    void SetPWaveIOCB(TWAVEIOCB* Value);
    const char* PWaveData() const;
    DWORD DataOffset() const;
    LONG IOBufferSize() const { return FIOBufSize; }
    void SetIOBufferSize(LONG Value);

    // ---- Positions, in the time format ---------------------------------------
    TMMTimeFormats TimeFormat() const { return FTimeFormat; }
    void SetTimeFormat(TMMTimeFormats Value);
    LONG StartPos() const;
    void SetStartPos(LONG Value);
    LONG EndPos() const;
    void SetEndPos(LONG Value);
    LONG Position() const;
    virtual void SetPosition(LONG Value);
    LONG Length() const;
    LONG LengthBytes() const;
    LONG LengthSamples() const;
    LONG BytesLeft() const { return FBytesLeft; }

    virtual LONG SamplesToBytes(LONG Samples) const;
    virtual LONG BytesToSamples(LONG Bytes) const;
    virtual LONG RealSamplesToSamples(LONG Samples) const { return Samples; }
    virtual LONG SamplesToRealSamples(LONG Samples) const { return Samples; }
    virtual LONG SamplesToTimeFormat(LONG Samples) const;
    virtual LONG TimeFormatToSamples(LONG Value) const;

    // ---- Regions and cuts ----------------------------------------------------
    TMMCutList* Regions() const { return FRegions; }
    TMMCutList* CutList() const { return FCutList; }
    // Not owned; must outlive the wave or be reset first.
    virtual void SetCutList(TMMCutList* Value);

    // ---- Fades ---------------------------------------------------------------
    TMMFadeList* PlayFadeList() const { return FPlayFadeList.get(); }
    bool IgnoreFades() const { return FIgnoreFades; }
    void SetIgnoreFades(bool Value);

    // ---- Data ----------------------------------------------------------------
    // The next bytes in playing order; -1 when nothing is left or no wave.
    LONG ReadDataBytes(char* Buffer, LONG NumBytes);
    LONG ReadDataSamples(char* Buffer, LONG NumSamples);
    LONG WriteDataBytes(const char* Buffer, LONG NumBytes);
    LONG WriteDataSamples(const char* Buffer, LONG NumSamples);

    // ---- Whole files ---------------------------------------------------------
    void CreateFile(const QString& FileName, const WAVEFORMATEX* pwfx);
    void SaveToFile(const QString& FileName);
    void ConvertFile(const QString& FileName, const WAVEFORMATEX* pwfxDst);
    void ImportFromRaw(const QString& FileName, int BitLength, int Channels, DWORD SampleRate);
    virtual void LoadFromStream(QIODevice& Stream);
    virtual void SaveToStream(QIODevice& Stream);

    // ---- Metadata ------------------------------------------------------------
    QString GetInfoChunk(const QString& fcc) const;
    void SetInfoChunk(const QString& fcc, const QString& Text);
    // A non-null bitmap marks the bitmap entry changed without payload.
    void SetDispChunk(const QString& Text, const void* aBitmap);

    // ---- Observers and notification -------------------------------------------
    void AddObserver(TMMObserver* O);
    void RemoveObserver(TMMObserver* O);
    void Changed() override;

    bool PlaySound(TMMPlayMode aValue);
    void StopSound() {}

    void Assign(const QObject* Source);

    TMMWaveProgress OnProgress;

protected:
    // The wave file source positions the play fade list when playback starts.
    friend class TMMCustomWaveFile;

    virtual LONG ReadInternal(char* Buffer, LONG NumBytes);
    virtual void InitPlayFadeList(bool Reset) {}
    virtual void Progress(LONG CurByte, LONG NumBytes, bool& Cancel);
    void InitRegionList();
    [[noreturn]] void Fail(int Ident) const;
    // Copies the played time line into Target (converted when pwfxDst is
    // given), through a temporary file in the target's folder.
    enum TCopyResult { crDone, crCancelled, crFailed };
    TCopyResult CopyTo(const QString& Target, const WAVEFORMATEX* pwfxDst);
    void SetNoChange(bool Value);

    std::unique_ptr<QByteArray> FMemoryWave;
    TWAVEIOCB* FPWaveIOCB = nullptr;
    QString FFileName;
    bool FFileMustExist = true;
    LONG FIOBufSize = 32768;
    TMMTimeFormats FTimeFormat = tfSample;
    LONG FStartPos = 0;
    LONG FEndPos = 0;
    LONG FPosition = 0;
    LONG FBytesLeft = 0;
    LONG FTotalBytes = 0;
    TMMCutList* FCutList = nullptr;
    TMMCutList* FRegions = nullptr;
    LONG FCurRegion = -1;
    LONG FRegionLeft = -1;
    bool FOpen = false;
    // The file as it was when described: which one, its size and times.
    struct TFileStamp {
        bool Valid = false;
        std::uint64_t Device = 0, Inode = 0;
        std::int64_t Size = 0, Modified = 0, Changed = 0;  // times in ns
        bool operator==(const TFileStamp&) const = default;
    };
    static TFileStamp StampOf(const QString& Path);
    TFileStamp FFileStamp;
    bool FNoChange = false;
    bool FNeedChange = false;
    std::unique_ptr<TMMFadeList> FPlayFadeList;
    bool FIgnoreFades = false;
    TMMObservable* FObservable = nullptr;
};
