#include "wavedata/MMWave.h"

#include "mmcore/MMStrings.h"
#include "wavedata/MMFade.h"
#include "wavedata/MMPCMSup.h"
#include "wavedata/MMWaveFormat.h"
#include "wavedata/RiffMeta.h"

#include <sys/stat.h>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

QString FullPath(const QString& name) {
    return name.isEmpty() ? name : QFileInfo(name).absoluteFilePath();
}

FOURCC WaveForm() {
    return mmioFourCC('W', 'A', 'V', 'E');
}

// Frees a block that has not been handed over yet.
struct BlockGuard {
    TWAVEIOCB* cb = nullptr;
    ~BlockGuard() {
        if (cb) {
            wioWaveClose(cb);
            wioFreeFileInfo(cb);
        }
    }
    TWAVEIOCB* release() { return std::exchange(cb, nullptr); }
};

// Room for the bytes about to be written plus the file buffer and a margin.
bool DiskHasRoom(const QString& folder, int64_t bytes) {
    QStorageInfo storage(folder);
    if (!storage.isValid()) return true;  // unknown: let the write tell
    return storage.bytesAvailable() >= bytes;
}

}  // namespace

TMMWave::TMMWave(QObject* parent) : TMMObject(parent) {
    FRegions = new TMMCutList(this);
    FObservable = new TMMObservable(this);
}

TMMWave::~TMMWave() {
    FNoChange = true;  // nobody is told any more
    ClearWave();
    FPlayFadeList.reset();
}

void TMMWave::Fail(int Ident) const {
    throw EMMWaveError(LoadResStr(Ident));
}

// ---- Loading ------------------------------------------------------------------

void TMMWave::SetFileName(const QString& Name) {
    const QString value = FullPath(Name);

    if (FMemoryWave) {
        if (value.isEmpty()) return;
        QFile file(value);
        if (!file.open(QIODevice::ReadOnly)) Fail(IDS_WAVEREADERROR);
        LoadFromStream(file);
        return;
    }

    if (!value.isEmpty() && value == FFileName && FPWaveIOCB && !FileChanged()) return;

    if (value.isEmpty()) {
        FreeWave();
        return;
    }

    const bool exists = wioFileExists(value);
    // Taken first: a change while the file is being read shows next time.
    const TFileStamp stamp = StampOf(value);
    TWAVEIOCB* cb = nullptr;
    if (exists && wioReadFileInfo(cb, value, WaveForm(), wioFlagFile) == wioErrNone && cb) {
        ClearWave();
        FPWaveIOCB = cb;
        FFileStamp = stamp;
        FStartPos = LONG(cb->dwFirstSample);
        FEndPos = LONG(cb->dwLastSample);
        FPosition = LONG(cb->dwPosition);
        FBytesLeft = LONG(cb->dwBytesLeft);
        FFileName = value;
        InitRegionList();
        Changed();
        return;
    }
    if (cb) wioFreeFileInfo(cb);

    if (!exists && !FFileMustExist) {
        ClearWave();
        FFileName = value;
        Changed();
        return;
    }
    Fail(exists && !wioIsWaveFile(value, wioFlagFile) ? IDS_INVALIDWAVE : IDS_WAVEREADERROR);
}

TMMWave::TFileStamp TMMWave::StampOf(const QString& Path) {
    struct stat st {};
    TFileStamp stamp;
    if (::stat(QFile::encodeName(Path).constData(), &st) != 0) return stamp;
    auto ns = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
    stamp.Valid = true;
    stamp.Device = st.st_dev;
    stamp.Inode = st.st_ino;
    stamp.Size = st.st_size;
    stamp.Modified = ns(st.st_mtim);
    stamp.Changed = ns(st.st_ctim);
    return stamp;
}

bool TMMWave::FileChanged() const {
    if (!FFileStamp.Valid || FMemoryWave || FFileName.isEmpty()) return false;
    return !(StampOf(FFileName) == FFileStamp);
}

void TMMWave::SetFileMustExist(bool Value) {
    if (!FMemoryWave) FFileMustExist = Value;
}

void TMMWave::FreeWave() {
    if (!FFileName.isEmpty() || FPWaveIOCB || (FMemoryWave && !FMemoryWave->isEmpty())) {
        ClearWave();
        Changed();
    }
}

void TMMWave::ClearWave() {
    StopSound();
    CloseFile();
    FFileName.clear();
    FFileStamp = TFileStamp{};
    if (FPWaveIOCB) wioFreeFileInfo(FPWaveIOCB);
    FPWaveIOCB = nullptr;
    FRegions->Clear();
    FStartPos = FEndPos = FPosition = FBytesLeft = FTotalBytes = 0;
    FCurRegion = FRegionLeft = -1;
    if (FMemoryWave) FMemoryWave->clear();
}

void TMMWave::OpenFile() {
    if (!FPWaveIOCB) return;
    if (wioWaveOpen(FPWaveIOCB) != wioErrNone) {
        wioWaveClose(FPWaveIOCB);
        Fail(IDS_WAVEOPENERROR);
    }
    if (wioSetIOBufferSize(FPWaveIOCB, FIOBufSize) != wioErrNone) {
        wioWaveClose(FPWaveIOCB);
        Fail(IDS_IOBUFFERERROR);
    }
    InitRegionList();
    InitPlayFadeList(false);
    FOpen = true;
    SetPosition(Position());
}

void TMMWave::CloseFile() {
    if (FPWaveIOCB) wioWaveClose(FPWaveIOCB);
    FOpen = false;
    FPosition = 0;
    FBytesLeft = 0;
}

// ---- Description --------------------------------------------------------------

WAVEFORMATEX* TMMWave::PWaveFormat() const {
    return FPWaveIOCB ? &FPWaveIOCB->wfx : nullptr;
}

int TMMWave::BitLength() const {
    return PWaveFormat() ? PWaveFormat()->wBitsPerSample : 0;
}

TMMMode TMMWave::Mode() const {
    const int channels = PWaveFormat() ? PWaveFormat()->nChannels : 1;
    return channels == 2 ? mStereo : channels > 2 ? mMultiChannel : mMono;
}

int TMMWave::FormatTag() const {
    return PWaveFormat() ? PWaveFormat()->wFormatTag : 0;
}

QString TMMWave::FormatString() const {
    return PWaveFormat() ? wioGetFormatName(PWaveFormat()) : LoadResStr(IDS_UNKNOWN);
}

DWORD TMMWave::SampleRate() const {
    return PWaveFormat() ? PWaveFormat()->nSamplesPerSec : 11025;
}

DWORD TMMWave::FileSize() const {
    return FPWaveIOCB ? FPWaveIOCB->dwFileSize : 0;
}

LONG TMMWave::DataSize() const {
    return FPWaveIOCB ? SamplesToTimeFormat(LONG(FPWaveIOCB->dwDataSamples)) : 0;
}

DWORD TMMWave::DataOffset() const {
    return FPWaveIOCB ? FPWaveIOCB->dwDataOffset : 0;
}

const char* TMMWave::PWaveData() const {
    if (!FMemoryWave) Fail(IDS_NOMEMORYWAVE);
    return FMemoryWave->constData() + DataOffset();
}

void TMMWave::SetPWaveFormat(const WAVEFORMATEX* pwfx) {
    if (!pwfx) return;
    BlockGuard block;
    if (wioCreateFileInfo(block.cb, pwfx) != wioErrNone || !block.cb) return;
    SetPWaveIOCB(block.cb);
    block.release();
}

void TMMWave::SetPWaveIOCB(TWAVEIOCB* Value) {
    if (FMemoryWave) Fail(IDS_MEMORYWAVEWRITE);
    if (Value == FPWaveIOCB) return;
    ClearWave();
    FPWaveIOCB = Value;
    if (Value) {
        FStartPos = LONG(Value->dwFirstSample);
        FEndPos = LONG(Value->dwLastSample);
        FBytesLeft = LONG(Value->dwBytesLeft);
        FPosition = LONG(Value->dwPosition);
        if (Value->dwFlags == wioFlagRawFile) FFileName = Value->lpFilePath;
    }
    InitRegionList();
    Changed();
}

void TMMWave::SetIOBufferSize(LONG Value) {
    if (Value == FIOBufSize) return;
    FIOBufSize = std::max<LONG>(Value, 8192);
    if (FOpen && wioSetIOBufferSize(FPWaveIOCB, FIOBufSize) != wioErrNone) Fail(IDS_IOBUFFERERROR);
}

void TMMWave::SetIgnoreFades(bool Value) {
    if (Value == FIgnoreFades) return;
    if (FOpen) throw EMMWaveError(QStringLiteral("Change to property while file was open"));
    FIgnoreFades = Value;
}

// ---- Time formats and positions -------------------------------------------------

LONG TMMWave::SamplesToBytes(LONG Samples) const {
    return wioSamplesToBytes(PWaveFormat(), Samples);
}

LONG TMMWave::BytesToSamples(LONG Bytes) const {
    return wioBytesToSamples(PWaveFormat(), Bytes);
}

LONG TMMWave::SamplesToTimeFormat(LONG Samples) const {
    const WAVEFORMATEX* f = PWaveFormat();
    if (!f) return 0;
    switch (FTimeFormat) {
        case tfMillisecond:
            return wioSamplesToTime(f, Samples);
        case tfByte:
            return wioSamplesToBytes(f, Samples);
        case tfSample:
            break;
    }
    return Samples;
}

LONG TMMWave::TimeFormatToSamples(LONG Value) const {
    const WAVEFORMATEX* f = PWaveFormat();
    if (!f) return 0;
    switch (FTimeFormat) {
        case tfMillisecond:
            return wioTimeToSamples(f, Value);
        case tfByte:
            return wioBytesToSamples(f, Value);
        case tfSample:
            break;
    }
    return Value;
}

void TMMWave::SetTimeFormat(TMMTimeFormats Value) {
    if (Value == FTimeFormat) return;
    FTimeFormat = Value;
    InitRegionList();
}

LONG TMMWave::StartPos() const {
    return FPWaveIOCB ? SamplesToTimeFormat(FStartPos) : -1;
}
LONG TMMWave::EndPos() const {
    return FPWaveIOCB ? SamplesToTimeFormat(FEndPos) : -1;
}
LONG TMMWave::Position() const {
    return FPWaveIOCB ? SamplesToTimeFormat(FPosition) : -1;
}

void TMMWave::SetStartPos(LONG Value) {
    if (!FPWaveIOCB) return;
    FStartPos = std::clamp(TimeFormatToSamples(Value), 0, FEndPos);
    InitRegionList();
}

void TMMWave::SetEndPos(LONG Value) {
    if (!FPWaveIOCB) return;
    FEndPos = std::clamp(TimeFormatToSamples(Value), FStartPos,
                         std::max(FStartPos, LONG(FPWaveIOCB->dwDataSamples)));
    InitRegionList();
}

LONG TMMWave::LengthSamples() const {
    if (!FPWaveIOCB) return 0;
    if (FRegions->Count() == 0) return FEndPos - FStartPos;
    int64_t sum = 0;
    for (int i = 0; i < FRegions->Count(); ++i) sum += FRegions->List()[i].dwLength;
    return LONG(sum);
}

LONG TMMWave::LengthBytes() const {
    return FPWaveIOCB ? SamplesToBytes(LengthSamples()) : 0;
}
LONG TMMWave::Length() const {
    return FPWaveIOCB ? SamplesToTimeFormat(LengthSamples()) : 0;
}

void TMMWave::SetCutList(TMMCutList* Value) {
    FCutList = Value;
    InitRegionList();
}

void TMMWave::InitRegionList() {
    FRegions->BeginUpdate();
    FRegions->Clear();
    if (!PWaveFormat()) {
        FRegions->EndUpdate();
        return;
    }
    LONG s = RealSamplesToSamples(FStartPos);
    const LONG e = RealSamplesToSamples(FEndPos);
    auto add = [this](LONG start, LONG length) {
        TMMCutRegion r;
        r.dwStartPos = start;
        r.dwStartPosBytes = DWORD(SamplesToBytes(start));
        r.dwLength = length;
        r.dwLengthBytes = DWORD(SamplesToBytes(length));
        FRegions->AddRegion(r);
    };
    if (!FCutList || FCutList->Count() == 0) {
        add(s, e - s);
        FRegions->EndUpdate();
        return;
    }
    const TMMCutRegion* cuts = FCutList->List();
    const int count = FCutList->Count();
    int i = 0;
    while (i < count && int64_t(cuts[i].dwStartPos) + cuts[i].dwLength < s) ++i;
    if (i < count && cuts[i].dwStartPos <= s) s = std::max<LONG>(s, cuts[i].dwStartPos + cuts[i].dwLength);
    bool added = false;
    for (;; ++i) {
        const bool last = i >= count || cuts[i].dwStartPos >= e;
        const LONG length = last ? e - s : cuts[i].dwStartPos - s;
        if (length > 0) {
            add(s, length);
            added = true;
        }
        if (last) break;
        s = std::max<LONG>(s, cuts[i].dwStartPos + cuts[i].dwLength);
    }
    if (!added) add(s, 0);
    FRegions->EndUpdate();
}

void TMMWave::SetPosition(LONG Value) {
    if (!FPWaveIOCB) return;
    FPosition = TimeFormatToSamples(Value);
    if (!FOpen) return;
    const LONG p = std::clamp(RealSamplesToSamples(FPosition), 0, std::max<LONG>(LengthSamples(), 0));
    FTotalBytes = LengthBytes();
    FBytesLeft = FTotalBytes - SamplesToBytes(p);
    FCurRegion = -1;
    FRegionLeft = -1;
    InitPlayFadeList(true);

    int64_t sum = 0;
    int found = -1;
    for (int i = 0; i < FRegions->Count(); ++i) {
        sum += FRegions->List()[i].dwLength;
        if (sum >= p) {
            found = i;
            break;
        }
    }
    if (found < 0) Fail(IDS_SEEKERROR);
    const TMMCutRegion& region = FRegions->List()[found];
    const LONG filePos = LONG(region.dwStartPos + region.dwLength - (sum - p));
    if (wioWaveSetPosition(FPWaveIOCB, SamplesToRealSamples(filePos)) != wioErrNone &&
        wioWaveSetPosition(FPWaveIOCB, SamplesToRealSamples(filePos)) != wioErrNone)
        Fail(IDS_SEEKERROR);
    FRegionLeft = SamplesToBytes(LONG(sum - p));
    FCurRegion = found;
}

// ---- Data -------------------------------------------------------------------

LONG TMMWave::ReadInternal(char* Buffer, LONG NumBytes) {
    return wioWaveReadData(FPWaveIOCB, Buffer, NumBytes);
}

LONG TMMWave::ReadDataBytes(char* Buffer, LONG NumBytes) {
    if (!FPWaveIOCB || FBytesLeft <= 0) return -1;
    if (NumBytes <= 0 || !Buffer) return 0;  // an empty request must not end the wave
    LONG n = std::min(NumBytes, FBytesLeft);
    LONG delivered = 0;
    bool ended = false;
    while (n > 0) {
        if (FRegionLeft > 0) {
            const LONG got = ReadInternal(Buffer + delivered, std::min(n, FRegionLeft));
            if (got <= 0) break;
            n -= got;
            FRegionLeft -= got;
            delivered += got;
        }
        if (FRegionLeft <= 0) {
            if (FCurRegion + 1 >= FRegions->Count()) {
                ended = true;
                break;
            }
            ++FCurRegion;
            const TMMCutRegion& region = FRegions->List()[FCurRegion];
            FRegionLeft = LONG(region.dwLengthBytes);
            wioWaveSetPosition(FPWaveIOCB, SamplesToRealSamples(region.dwStartPos));
        }
    }
    if (delivered == 0) {
        // One last short silent buffer tells the caller the data ended early.
        const LONG silent = std::min<LONG>(NumBytes, 4);
        std::memset(Buffer, 0, size_t(silent));
        FBytesLeft = 0;
        FRegionLeft = 0;
        FPosition = LengthSamples();
        return silent;
    }
    const WAVEFORMATEX* f = PWaveFormat();
    if (FPlayFadeList && FPlayFadeList->Count() > 1 && !FIgnoreFades && f->wFormatTag == WAVE_FORMAT_PCM)
        pcmVolumeFade(f, Buffer, delivered, FPlayFadeList.get());
    FBytesLeft = ended ? 0 : std::max<LONG>(FBytesLeft - delivered, 0);
    FPosition = SamplesToRealSamples(BytesToSamples(FTotalBytes - FBytesLeft));
    return delivered;
}

LONG TMMWave::ReadDataSamples(char* Buffer, LONG NumSamples) {
    const LONG bytes = ReadDataBytes(Buffer, SamplesToBytes(NumSamples));
    return bytes > 0 ? BytesToSamples(bytes) : -1;
}

LONG TMMWave::WriteDataBytes(const char* Buffer, LONG NumBytes) {
    if (FMemoryWave) Fail(IDS_MEMORYWAVEWRITE);
    if (!FPWaveIOCB) return -1;
    const LONG result = wioWaveWriteData(FPWaveIOCB, Buffer, NumBytes);
    FEndPos = LONG(FPWaveIOCB->dwLastSample);
    InitRegionList();
    return result;
}

LONG TMMWave::WriteDataSamples(const char* Buffer, LONG NumSamples) {
    if (FMemoryWave) Fail(IDS_MEMORYWAVEWRITE);
    if (!FPWaveIOCB) return -1;
    const LONG result = wioWaveWriteSamples(FPWaveIOCB, Buffer, NumSamples);
    FEndPos = LONG(FPWaveIOCB->dwLastSample);
    InitRegionList();
    return result;
}

// ---- Whole files --------------------------------------------------------------

void TMMWave::CreateFile(const QString& FileName, const WAVEFORMATEX* pwfx) {
    if (FMemoryWave) Fail(IDS_MEMORYWAVEWRITE);
    if (!pwfx || FileName.isEmpty()) return;
    const QString path = FullPath(FileName);
    if (wioFileExists(path)) wioFileDelete(path);
    BlockGuard block;
    if (wioCreateFileInfo(block.cb, pwfx) != wioErrNone || !block.cb ||
        wioWriteFileInfo(block.cb, path) != wioErrNone)
        Fail(IDS_WAVECREATEERROR);
    SetPWaveIOCB(block.release());
    FFileName = path;
    if (wioSetIOBufferSize(FPWaveIOCB, FIOBufSize) != wioErrNone) Fail(IDS_IOBUFFERERROR);
}

void TMMWave::Progress(LONG CurByte, LONG NumBytes, bool& Cancel) {
    if (OnProgress) OnProgress(this, CurByte, NumBytes, Cancel);
}

TMMWave::TCopyResult TMMWave::CopyTo(const QString& Target, const WAVEFORMATEX* pwfxDst) {
    const WAVEFORMATEX* src = PWaveFormat();
    const WAVEFORMATEX* dstFormat = pwfxDst ? pwfxDst : src;
    SetPosition(0);
    OpenFile();
    const LONG amount = FBytesLeft;

    BlockGuard block;
    QString temp = Target;
    bool ok = false, cancelled = false;
    do {
        if (wioCreateFileInfo(block.cb, dstFormat) != wioErrNone || !block.cb) break;
        if (wioCopyFileInfo(block.cb, FPWaveIOCB) != wioErrNone) break;
        if (!wioFileCreateTemp(temp)) break;
        if (wioWriteFileInfo(block.cb, temp) != wioErrNone) break;

        const LONG align = std::max<LONG>(src->nBlockAlign, 1);
        const LONG size =
            std::max<LONG>(LONG(src->nAvgBytesPerSec) - LONG(src->nAvgBytesPerSec) % align, align);
        std::vector<char> buffer(static_cast<size_t>(size) + 4);
        std::vector<char> converted;
        if (pwfxDst) {
            const LONG out = PCMCONVERTSIZEOUTPUTDATA(pwfxDst, src, size);
            if (out < 0) break;
            converted.resize(size_t(out) + 4);
        }
        QString folder = temp;
        wioExtractPath(folder);
        LONG copied = 0;
        ok = true;
        while (copied < amount) {
            const LONG got = ReadDataBytes(buffer.data(), size);
            if (got <= 0) break;
            const char* out = buffer.data();
            LONG outBytes = got;
            if (pwfxDst) {
                outBytes = PCMCONVERT(pwfxDst, converted.data(), src, buffer.data(), got);
                if (outBytes <= 0) break;
                out = converted.data();
            }
            if (!DiskHasRoom(folder, int64_t(outBytes) + FIOBufSize + 10240) ||
                wioWaveWriteData(block.cb, out, outBytes) != outBytes) {
                ok = false;
                break;
            }
            QCoreApplication::processEvents();
            copied += got;
            Progress(copied, amount, cancelled);
            if (cancelled) {
                ok = false;
                break;
            }
        }
        if (!ok) break;
        CloseFile();
        if (wioWaveClose(block.cb) != wioErrNone) {
            ok = false;
            break;
        }
        if (QFile::exists(Target) && !QFile::remove(Target)) {
            ok = false;
            break;
        }
        ok = QFile::rename(temp, Target);
    } while (false);

    CloseFile();
    if (!ok && temp != Target && QFile::exists(temp)) QFile::remove(temp);
    if (ok) return crDone;
    return cancelled ? crCancelled : crFailed;
}

void TMMWave::SaveToFile(const QString& FileName) {
    if (!FPWaveIOCB || FileName.isEmpty()) Fail(IDS_INVALIDPARAM);
    TCopyResult result = crFailed;
    try {
        result = CopyTo(FullPath(FileName), nullptr);
    } catch (const EMMWaveError&) {
    }
    if (result != crDone) Fail(result == crCancelled ? IDS_SAVEABORTED : IDS_WAVESAVEERROR);
}

void TMMWave::ConvertFile(const QString& FileName, const WAVEFORMATEX* pwfxDst) {
    if (!FPWaveIOCB || FileName.isEmpty()) Fail(IDS_INVALIDPARAM);
    if (!pcmIsValidFormat(PWaveFormat()) || !pcmIsValidFormat(pwfxDst)) Fail(IDS_NOTCONVERTIBLE);
    TCopyResult result = crFailed;
    try {
        result = CopyTo(FullPath(FileName), pwfxDst);
    } catch (const EMMWaveError&) {
    }
    if (result != crDone) Fail(result == crCancelled ? IDS_CONVERTABORTED : IDS_WAVECONVERTERROR);
}

void TMMWave::ImportFromRaw(const QString& FileName, int BitLength, int Channels, DWORD SampleRate) {
    if (FileName.isEmpty() || (BitLength != 8 && BitLength != 16) || (Channels != 1 && Channels != 2) ||
        SampleRate == 0)
        Fail(IDS_INVALIDPARAM);
    WAVEFORMATEX format{};
    pcmBuildWaveHeader(&format, WORD(BitLength), WORD(Channels), SampleRate);

    const QString source = FullPath(FileName);
    const QFileInfo info(source);
    const QString target = info.path() + u'/' + info.completeBaseName() + QStringLiteral(".WAV");
    QString temp = target;  // written aside, so that a raw file named .WAV is never overwritten while read
    bool ok = false, cancelled = false;
    {
        BlockGuard block;
        QFile raw(source);
        do {
            if (!raw.open(QIODevice::ReadOnly)) break;
            if (wioCreateFileInfo(block.cb, &format) != wioErrNone || !block.cb) break;
            if (!wioFileCreateTemp(temp) || wioWriteFileInfo(block.cb, temp) != wioErrNone) break;
            const LONG size = LONG(format.nAvgBytesPerSec - format.nAvgBytesPerSec % format.nBlockAlign);
            std::vector<char> buffer(static_cast<size_t>(size));
            QString folder = temp;
            wioExtractPath(folder);
            const int64_t amount = raw.size();
            int64_t copied = 0;
            ok = true;
            while (copied < amount) {
                const qint64 got = raw.read(buffer.data(), size);
                if (got < 0) ok = false;
                if (got <= 0) break;
                if (!DiskHasRoom(folder, got + FIOBufSize + 10240) ||
                    wioWaveWriteData(block.cb, buffer.data(), LONG(got)) != LONG(got)) {
                    ok = false;
                    break;
                }
                QCoreApplication::processEvents();
                copied += got;
                Progress(LONG(std::min<int64_t>(copied, INT32_MAX)),
                         LONG(std::min<int64_t>(amount, INT32_MAX)), cancelled);
                if (cancelled) {
                    ok = false;
                    break;
                }
            }
            if (!ok) break;
            raw.close();
            ok = wioWaveClose(block.cb) == wioErrNone;
            if (ok && QFile::exists(target)) ok = QFile::remove(target);
            if (ok) ok = QFile::rename(temp, target);
        } while (false);
    }
    if (!ok) {
        if (temp != target && QFile::exists(temp)) QFile::remove(temp);
        Fail(cancelled ? IDS_IMPORTABORTED : IDS_IMPORTERROR);
    }
    SetFileName(target);
}

void TMMWave::LoadFromStream(QIODevice& Stream) {
    if (!FMemoryWave) return;
    auto image = std::make_unique<QByteArray>(Stream.readAll());
    TWAVEIOCB* cb = nullptr;
    if (wioBuildFileInfoFromMem(cb, image->constData(), DWORD(image->size())) != wioErrNone || !cb) {
        if (cb) wioFreeFileInfo(cb);
        Fail(IDS_WAVEREADERROR);
    }
    ClearWave();
    FMemoryWave = std::move(image);
    FPWaveIOCB = cb;
    FStartPos = LONG(cb->dwFirstSample);
    FEndPos = LONG(cb->dwLastSample);
    FPosition = 0;
    InitRegionList();
    Changed();
}

void TMMWave::SaveToStream(QIODevice& Stream) {
    if (FMemoryWave) Stream.write(*FMemoryWave);
}

// ---- Metadata -----------------------------------------------------------------
namespace {

int InfoIndex(FOURCC id) {
    for (int i = 0; i < RiffInfoIdCount; ++i)
        if (RiffInfoIds[i].id == id) return i;
    return -1;
}

}  // namespace

QString TMMWave::GetInfoChunk(const QString& fcc) const {
    if (!FPWaveIOCB) return {};
    const FOURCC id = mmioStringToFOURCCW(fcc, 0);
    if (InfoIndex(id) < 0)
        throw EMMWaveError(LoadResStr(IDS_INFONOTFOUND).replace(QStringLiteral("%s"), fcc));
    TInfoChunk* info = FPWaveIOCB->lpInfo.get();
    if (!info) return {};
    return QString::fromLocal8Bit(RiffGetINFOText(info, RiffFindPIINFO(info, id)));
}

void TMMWave::SetInfoChunk(const QString& fcc, const QString& Text) {
    if (!FPWaveIOCB) return;
    const FOURCC id = mmioStringToFOURCCW(fcc, 0);
    const int index = InfoIndex(id);
    if (index < 0) throw EMMWaveError(LoadResStr(IDS_INFONOTFOUND).replace(QStringLiteral("%s"), fcc));
    if (!FPWaveIOCB->lpInfo) RiffInitINFO(FPWaveIOCB->lpInfo);
    TInfoChunk* info = FPWaveIOCB->lpInfo.get();
    const QByteArray text = Text.toLocal8Bit();
    TInfoData* entry = RiffFindPIINFO(info, id);
    if (!entry) entry = RiffInsertINFO(info, RiffCreateINFO(0, WORD(index), 0, std::nullopt));
    RiffModifyINFO(info, entry, riffFlagChanged, text, 0);
}

void TMMWave::SetDispChunk(const QString& Text, const void* aBitmap) {
    if (!FPWaveIOCB) return;
    if (!FPWaveIOCB->lpDisp) RiffInitDISP(FPWaveIOCB->lpDisp);
    TDispList* list = FPWaveIOCB->lpDisp.get();
    auto find = [list](DWORD cfid) -> TDisp* {
        for (auto& entry : list->Entries)
            if (entry->cfid == cfid) return entry.get();
        return nullptr;
    };
    if (aBitmap) {
        if (TDisp* entry = find(CF_DIB))
            RiffModifyDISP(list, entry, riffFlagChanged, std::nullopt);
        else
            RiffInsertDISP(list, RiffCreateDISP(riffFlagChanged, CF_DIB, std::nullopt, std::nullopt));
    }
    if (!Text.isEmpty()) {
        const QByteArray text = Text.toLocal8Bit();
        if (TDisp* entry = find(CF_TEXT))
            RiffModifyDISP(list, entry, riffFlagChanged, text);
        else
            RiffInsertDISP(list, RiffCreateDISP(riffFlagChanged, CF_TEXT, std::nullopt, text));
    }
}

// ---- Observers, notification, copying ---------------------------------------------

void TMMWave::AddObserver(TMMObserver* O) {
    FObservable->AddObserver(O);
}
void TMMWave::RemoveObserver(TMMObserver* O) {
    FObservable->RemoveObserver(O);
}

void TMMWave::Changed() {
    if (FNoChange) {
        FNeedChange = true;
        return;
    }
    FNeedChange = false;
    TMMObject::Changed();
    FObservable->NotifyObservers(this);
}

void TMMWave::SetNoChange(bool Value) {
    FNoChange = Value;
    if (!Value && FNeedChange) Changed();
}

bool TMMWave::PlaySound(TMMPlayMode) {
    return false;
}

void TMMWave::Assign(const QObject* Source) {
    if (Source && !qobject_cast<const TMMWave*>(Source)) return;
    const auto* wave = static_cast<const TMMWave*>(Source);
    if (!wave) {
        FreeWave();
        SetCutList(nullptr);
        return;
    }
    if (wave == this) return;
    ClearWave();
    FFileMustExist = wave->FFileMustExist;
    SetNoChange(true);
    struct Resume {
        TMMWave* w;
        ~Resume() { w->SetNoChange(false); }
    } resume{this};
    if (!wave->FFileName.isEmpty())
        SetFileName(wave->FFileName);
    else if (wave->PWaveFormat())
        SetPWaveFormat(wave->PWaveFormat());
    else
        Changed();
    FTimeFormat = wave->FTimeFormat;
    FStartPos = wave->FStartPos;
    FEndPos = wave->FEndPos;
    FPosition = wave->FPosition;
    SetIOBufferSize(wave->FIOBufSize);
    SetCutList(wave->FCutList);
}
