#include "wavedata/MMWaveFile.h"

#include "mmcore/MMStrings.h"
#include "mmcore/MMThread.h"
#include "wavedata/MMFade.h"
#include "wavedata/MMWaveFormat.h"

#include <QFileInfo>
#include <QStorageInfo>
#include <cstring>

namespace {

class TWaveFileClassInfo final : public TMMCustomFileClassInfo {
public:
    QString ClassName() const override { return QStringLiteral("TMMWaveFile"); }
    TMMAudioFileType GetFileType() const override { return ftWave; }
    bool IsValidFile(const QString& FileName) const override {
        return TMMCustomWaveFile::IsValidFile(FileName);
    }
    bool GetFileInfo(const QString& FileName, TMMAudioFileInfo& Info, bool ScanFile) const override {
        return TMMCustomWaveFile::GetFileInfo(FileName, Info, ScanFile);
    }
    QString GetFilter() const override { return TMMCustomWaveFile::GetFilter(); }
    QString GetExtensions() const override { return TMMCustomWaveFile::GetExtensions(); }
    TMMCustomFile* Create(QObject* AOwner) const override { return new TMMWaveFile(AOwner); }
};

const TWaveFileClassInfo WaveFileClass;

// The wave file source takes its place among the file classes at start-up.
const bool Registered = [] {
    DoRegisterCustomAudioFile(&WaveFileClass, 10);
    return true;
}();

FOURCC WaveForm() {
    return mmioFourCC('W', 'A', 'V', 'E');
}

}  // namespace

TMMCustomFileClass TMMCustomWaveFile::ClassInfo() {
    (void)Registered;
    return &WaveFileClass;
}

// ---- Class operations ---------------------------------------------------------

bool TMMCustomWaveFile::IsValidFile(const QString& FileName) {
    const QString suffix = QFileInfo(FileName).suffix();
    if (!suffix.isEmpty() && !GetExtensions().toUpper().contains(u'.' + suffix.toUpper())) return false;
    return wioIsWaveFile(FileName, wioFlagFile);
}

bool TMMCustomWaveFile::GetFileInfo(const QString& FileName, TMMAudioFileInfo& Info, bool) {
    if (FileName.isEmpty() || !wioFileExists(FileName)) return false;
    TWAVEIOCB* raw = nullptr;
    const int result = wioReadFileInfo(raw, FileName, WaveForm(), wioFlagFile);
    TWaveIOCBPtr cb(raw);
    if (result != wioErrNone || !cb) return false;
    Info = TMMAudioFileInfo{};
    Info.FileType = ftWave;
    Info.FileLength = wioSamplesToTime(&cb->wfx, LONG(cb->dwDataSamples));
    Info.ID3Tag.SongName = QFileInfo(FileName).fileName();
    return true;
}

QString TMMCustomWaveFile::GetFilter() {
    return LoadResStr(IDS_WAVEFILTER);
}

// ---- Life -------------------------------------------------------------------

TMMCustomWaveFile::TMMCustomWaveFile(QObject* AOwner) : TMMCustomFile(AOwner) {
    FObserver = new TMMObserver(this);
    FObserver->OnNotify = [this](QObject* Sender, void* Data) { WaveChanged(Sender, Data); };
    SetWaveEx(new TMMWave(this));
}

TMMCustomWaveFile::~TMMCustomWaveFile() {
    Destroying();
    Closed();
    SetWaveEx(nullptr);
    delete FObserver;
    FObserver = nullptr;
}

void TMMCustomWaveFile::SetWave(TMMWave* Value) {
    if (Value && Value != FWave && FWave) FWave->Assign(Value);
}

void TMMCustomWaveFile::SetWaveEx(TMMWave* Value) {
    if (Value == FWave) return;
    if (FWave) {
        FWave->RemoveObserver(FObserver);
        delete FWave;
    }
    FWave = Value;
    if (FWave) {
        FWave->setParent(this);
        FWave->AddObserver(FObserver);
    }
}

void TMMCustomWaveFile::SetPWaveFormat(const WAVEFORMATEX* Value) {
    TMMCustomFile::SetPWaveFormat(Value);
    const WAVEFORMATEX* f = GetPWaveFormat();
    FSilence = (!f || (f->wFormatTag == WAVE_FORMAT_PCM && f->wBitsPerSample == 8)) ? 128 : 0;
}

void TMMCustomWaveFile::WaveChanged(QObject*, void*) {
    DoChanged();
}

void TMMCustomWaveFile::DoChanged() {
    // OnChanged is owed even when the change cannot be taken over.
    try {
        if (OnChange) OnChange(this);
        if (FWave && (FWave->FileMustExist() || FWave->PWaveFormat())) SetPWaveFormat(FWave->PWaveFormat());
    } catch (...) {
        if (OnChanged) OnChanged(this);
        throw;
    }
    if (OnChanged) OnChanged(this);
}

void TMMCustomWaveFile::DoOpen() {
    if (OnOpen) OnOpen(this);
}

void TMMCustomWaveFile::DoClose() {
    if (OnClose) OnClose(this);
}

// ---- Properties -----------------------------------------------------------------

LONG TMMCustomWaveFile::GetOptimalReadSize() const {
    const WAVEFORMATEX* f = GetPWaveFormat();
    return f ? f->nBlockAlign : 0;
}

bool TMMCustomWaveFile::GetEmpty() const {
    return !FWave || FWave->Empty();
}

LONG TMMCustomWaveFile::GetPlayTime() const {
    if (!FWave || !FWave->PWaveFormat()) return 0;
    return wioSamplesToTime(FWave->PWaveFormat(), FWave->TimeFormatToSamples(FWave->DataSize()));
}

QString TMMCustomWaveFile::GetFileName() const {
    return FWave ? FWave->FileName() : QString();
}

void TMMCustomWaveFile::SetFileName(const QString& Value) {
    if (FWave) FWave->LoadFromFile(Value);
}

LONG TMMCustomWaveFile::GetPosition() const {
    return FWave ? FWave->Position() : 0;
}

void TMMCustomWaveFile::SetPosition(LONG Value) {
    if (FWave) FWave->SetPosition(Value);
}

LONG TMMCustomWaveFile::GetPositionMs() const {
    if (!FWave || !FWave->PWaveFormat()) return 0;
    return wioSamplesToTime(FWave->PWaveFormat(), FWave->TimeFormatToSamples(FWave->Position()));
}

void TMMCustomWaveFile::SetPositionMs(LONG Value) {
    if (!FWave || !FWave->PWaveFormat()) return;
    FWave->SetPosition(FWave->SamplesToTimeFormat(wioTimeToSamples(FWave->PWaveFormat(), Value)));
}

void TMMCustomWaveFile::SaveToFile(const QString& FileName) {
    if (FWave) FWave->SaveToFile(FileName);
}

bool TMMCustomWaveFile::PlaySound(TMMPlayMode aValue) {
    return FWave && FWave->PlaySound(aValue);
}

void TMMCustomWaveFile::StopSound() {
    if (FWave) FWave->StopSound();
}

// ---- Chain notifications ---------------------------------------------------------

void TMMCustomWaveFile::Opened() {
    TMMCustomFile::Opened();
    if (FFileOpen || !FWave) return;
    if (!GetInput()) {
        if (!FWave->Empty()) {
            FWave->OpenFile();
            FOldStart = FWave->Position();
            FFileOpen = true;
        }
    } else {
        SetPWaveFormat(GetInput()->GetPWaveFormat());
        const WAVEFORMATEX* f = GetPWaveFormat();
        const QString name = FWave->FileName();
        if (f && !name.isEmpty()) {
            if (FOverwrite || FWave->Empty())
                FWave->CreateFile(name, f);
            else
                FWave->OpenFile();
            FFileOpen = true;
        }
    }
    if (FFileOpen && OnOpen) GlobalSynchronize([this] { DoOpen(); });
}

void TMMCustomWaveFile::Started() {
    TMMCustomFile::Started();
    if (!FFileOpen || FFileStarted) return;
    FFileStarted = true;
    if (!GetInput()) FWave->SetPosition(FOldStart);
    FWave->InitPlayFadeList(false);
}

void TMMCustomWaveFile::Stopped() {
    if (FFileOpen && FFileStarted) {
        FFileStarted = false;
        if (TMMFadeList* fades = FWave->PlayFadeList()) fades->Clear();
    }
    TMMCustomFile::Stopped();
}

void TMMCustomWaveFile::Reseting() {
    TMMCustomFile::Reseting();
    if (FFileStarted && FFileOpen) FWave->ResetFile();
}

void TMMCustomWaveFile::Closed() {
    if (FFileOpen) {
        Stopped();
        if (GetInput() && !FWave->FileName().isEmpty() && GetPWaveFormat() && FWave->DataSize() == 0) {
            // A recorded file is never left without data.
            const char zero[4] = {};
            FWave->WriteDataBytes(zero, sizeof zero);
        }
        FWave->CloseFile();
        FFileOpen = false;
        if (OnClose && !IsDestroying()) GlobalSynchronize([this] { DoClose(); });
    }
    TMMCustomFile::Closed();
}

// ---- Data ---------------------------------------------------------------------------

void TMMCustomWaveFile::Record(TMMWaveHdr* lpwh) {
    if (!FFileStarted || !GetEnabled() || FWave->FileName().isEmpty() || lpwh->dwBytesRecorded == 0) return;
    const QStorageInfo disk(QFileInfo(FWave->FileName()).absolutePath());
    const qint64 needed = qint64(lpwh->dwBytesRecorded) + FWave->IOBufferSize() + 10240;
    if ((disk.isValid() && disk.bytesAvailable() < needed) ||
        FWave->WriteDataBytes(lpwh->lpData, LONG(lpwh->dwBytesRecorded)) < 1)
        Closed();
}

void TMMCustomWaveFile::BufferReady(TMMWaveHdr* lpwh) {
    if (GetInput() && lpwh) Record(lpwh);
    TMMCustomFile::BufferReady(lpwh);
}

void TMMCustomWaveFile::BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) {
    if (GetInput()) {
        TMMCustomFile::BufferLoad(lpwh, MoreBuffers);
        Record(lpwh);
        return;
    }
    if (GetEmpty()) {
        lpwh->dwBytesRecorded = 0;
        return;
    }
    if (!FFileStarted || !GetEnabled()) {
        // A source that is not playing plays silence until the device stops.
        std::memset(lpwh->lpData, FSilence, lpwh->dwBufferLength);
        lpwh->dwBytesRecorded = lpwh->dwBufferLength;
        MoreBuffers = true;
        return;
    }
    const LONG read = FWave->ReadDataBytes(lpwh->lpData, LONG(lpwh->dwBufferLength));
    lpwh->dwBytesRecorded = DWORD(std::max<LONG>(read, 0));
    if (lpwh->dwBytesRecorded == 0) return;
    if (FWave->BytesLeft() > 0) {
        MoreBuffers = true;
        return;
    }
    TMMLoopRec& loop = lpwh->LoopRec;
    if (loop.dwLoop == 0) return;  // this was the last buffer
    if (LONG(loop.dwLoopCnt) > 0) --loop.dwLoopTmpCnt;
    if (loop.dwLoopCnt != 0 && LONG(loop.dwLoopTmpCnt) < 0) return;
    FWave->SetPosition(0);
    FWave->ResetFile();
    if (OnLooping) OnLooping(this);
    MoreBuffers = true;
    loop.dwLooping = DWORD(-1);
}
