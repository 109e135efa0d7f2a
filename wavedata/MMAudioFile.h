#pragma once

// The base of every file source at the head of a chain, and the process-wide
// registry of file source classes, kept in ascending priority so that a
// caller can pick the class that handles a file.

#include "mmcore/MMDSPComponent.h"
#include "platform/base/Exception.h"
#include "platform/base/wintypes.h"
#include "platform/gui/Timer.h"  // TNotifyEvent

#include <QList>
#include <QObject>
#include <QString>
#include <functional>

namespace MMAudioTypes {
Q_NAMESPACE
enum TMMAudioFileType { ftNone, ftWave, ftMpeg, ftCDA };
Q_ENUM_NS(TMMAudioFileType)
}  // namespace MMAudioTypes

using MMAudioTypes::TMMAudioFileType;
using enum MMAudioTypes::TMMAudioFileType;

struct TTAGInfo {
    QString SongName;
    QString Interpret;
    QString Album;
    QString Year;
    QString Comment;
    int TrackNo = 0;
    int GenreId = 0;
    QString GenreStr;
    bool Modified = false;
};

struct TMMAudioFileInfo {
    TMMAudioFileType FileType = ftNone;
    LONG FileLength = 0;  // milliseconds
    int Layer = 0;
    int Bitrate = 0;
    bool VBR = false;
    int TPF = 0;
    TTAGInfo ID3Tag;
};

class EMMAudioError : public Exception {
public:
    using Exception::Exception;
};

class TMMCustomFile;

// What a class of file source can say about files without an instance, and
// how to make one: the class reference of the registry.
class TMMCustomFileClassInfo {
public:
    virtual ~TMMCustomFileClassInfo() = default;
    virtual QString ClassName() const = 0;
    virtual TMMAudioFileType GetFileType() const { return ftNone; }
    virtual bool IsValidFile(const QString& FileName) const { return false; }
    virtual bool GetFileInfo(const QString& FileName, TMMAudioFileInfo& Info, bool ScanFile) const {
        return false;
    }
    virtual QString GetFilter() const { return {}; }
    virtual QString GetExtensions() const { return {}; }
    virtual QString GetValidExtensions() const { return GetExtensions(); }
    virtual TMMCustomFile* Create(QObject* AOwner) const = 0;
};
using TMMCustomFileClass = const TMMCustomFileClassInfo*;

class TMMCustomFile : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(MMAudioTypes::TMMAudioFileType FileType READ FileType)

public:
    explicit TMMCustomFile(QObject* AOwner = nullptr);

    virtual TMMCustomFileClass FileClass() const = 0;
    TMMAudioFileType FileType() const { return FileClass()->GetFileType(); }

    virtual LONG GetOptimalReadSize() const = 0;
    virtual void SetTrailingHeader(LONG Value) {}
    virtual LONG GetTrailingHeader() const { return 0; }
    virtual bool GetEmpty() const = 0;
    virtual LONG GetPlayTime() const = 0;
    virtual QString GetFileName() const = 0;
    virtual void SetFileName(const QString& Value) = 0;
    virtual bool GetEnabled() const { return FEnabled; }
    virtual void SetEnabled(bool Value) { FEnabled = Value; }
    virtual LONG GetPosition() const = 0;
    virtual void SetPosition(LONG Value) = 0;
    virtual LONG GetPositionMs() const = 0;
    virtual void SetPositionMs(LONG Value) = 0;
    virtual DWORD GetSampleRate() const;
    virtual int GetChannels() const;
    virtual int GetBitrate() const { return 0; }
    virtual bool GetVBR() const { return false; }
    virtual void AbortReading() {}
    virtual LONG FindExactPosition(LONG Pos, int Mode) { return Pos; }
    virtual bool ReadID3Tag(TTAGInfo& TagInfo) { return false; }
    virtual bool WriteID3Tag() { return false; }
    virtual void LoadFromFile(const QString& aFileName) { SetFileName(aFileName); }

    bool CanScanFile() const { return FCanScanFile; }
    bool EncryptedFile() const { return FEncryptedFile; }

    TNotifyEvent OnChange;
    TNotifyEvent OnChanged;

protected:
    // OnChange, then OnChanged.
    virtual void DoChanged();

    bool FEnabled = true;
    bool FCanScanFile = false;
    bool FEncryptedFile = false;
};

// ---- Registry -------------------------------------------------------------

struct TRegisterRec {
    TMMCustomFileClass Obj = nullptr;
    LONG Priority = 0;
};

// Enters a class once, by class name; equal priorities keep the order of
// registration.
void DoRegisterCustomAudioFile(TMMCustomFileClass aClass, LONG aPriority);
// Releases every entry and the list.
void FreeClassRegistry();
// The entries in ascending priority; empty before the first registration.
QList<TRegisterRec> RegisteredAudioFiles();
