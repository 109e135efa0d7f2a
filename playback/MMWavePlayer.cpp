#include "playback/MMWavePlayer.h"

#include "mmcore/MMStrings.h"
#include "wavedata/MMADPCMConverter.h"
#include "wavedata/MMPCMConverter.h"
#include "wavedata/MMWaveFile.h"

#include <utility>

namespace {

TWaveFileChooser& Chooser() {
    static TWaveFileChooser chooser;
    return chooser;
}

}  // namespace

TWaveFileChooser TMMWavePlayer::SetWaveFileChooser(TWaveFileChooser Value) {
    return std::exchange(Chooser(), std::move(Value));
}

TMMWavePlayer::TMMWavePlayer(QObject* AOwner) : TMMDSPComponent(AOwner) {
    FWaveFile = new TMMWaveFile(this);
    FWaveFile->OnChange = [this](QObject* s) { DoChange(s); };
    FWaveFile->OnChanged = [this](QObject* s) { DoChanged(s); };

    FADPCMConvert = new TMMADPCMConverter(this);
    FADPCMConvert->SetInput(FWaveFile);
    FPCMConvert = new TMMPCMConverter(this);
    FPCMConvert->SetInput(FADPCMConvert);
    FWaveOut = new TMMWaveOut(this);
    FWaveOut->SetInput(FPCMConvert);

    FWaveOut->OnOpen = [this](QObject* s) { DoStart(s); };
    FWaveOut->OnStop = [this](QObject* s) { DoStop(s); };
    FWaveOut->OnClose = [this](QObject* s) { DoClose(s); };
    FWaveOut->OnPause = [this](QObject* s) { DoPause(s); };
    FWaveOut->OnRestart = [this](QObject* s) { DoRestart(s); };
    FWaveOut->OnBufferReady = [this](QObject* s, TMMWaveHdr* h) { DoData(s, h); };

    // The player publishes no input: this is the only way it gets one, so
    // that the device's walks and played buffers reach it.
    SetInputValid(true);
    FWaveOut->SetOutput(this);
    SetInputValid(false);
}

TMMWavePlayer::~TMMWavePlayer() {
    Destroying();  // the close below raises no OnStop
    try {
        Stop();
    } catch (...) {
        // closing never raises; nothing can be reported from here anyway
    }
    delete FWaveFile;
    FWaveFile = nullptr;
    delete FADPCMConvert;
    FADPCMConvert = nullptr;
    delete FPCMConvert;
    FPCMConvert = nullptr;
    delete FWaveOut;
    FWaveOut = nullptr;
}

// ---- Playing ----------------------------------------------------------------------

void TMMWavePlayer::Play() {
    TMMWave* wave = Wave();
    if (FWaveOut->State().Contains(wosPlay) || !wave) return;
    // A file written to, replaced or removed since it was loaded is read
    // again (or refused) before it plays: its old description would play
    // whatever now lies at the old places.
    if (wave->FileChanged()) SetFileName(FileName());
    if (wave->Empty()) return;
    if (wave->Position() >= wave->DataSize()) wave->SetPosition(0);
    FStartPos = wave->Position();
    FStopPos = -1;
    FWaveOut->Start();
}

void TMMWavePlayer::Stop() {
    if (FShownSounding) {
        if (OnStopShown) OnStopShown(this);
        ShowSounding(false);
    }
    FStopPos = Position();
    FWaveOut->Stop();
    FWaveOut->Close();
}

void TMMWavePlayer::ShowSounding(bool Sounding) {
    if (Sounding == FShownSounding || FWaveOut->IsOpen()) return;
    FShownSounding = Sounding;
    FOpen = Sounding;
    if (Sounding) {
        if (OnStart) OnStart(this);
    } else if (OnStop && !IsDestroying()) {
        OnStop(this);
    }
}

void TMMWavePlayer::Pause() {
    if (FWaveOut->State().Contains(wosPause) || !Wave() || Wave()->Empty()) return;
    FWaveOut->Pause();
}

void TMMWavePlayer::Restart() {
    FWaveOut->Restart();
}

bool TMMWavePlayer::SelectFile() {
    if (!Chooser()) return false;
    QString name = FileName();
    if (!Chooser()(name)) return false;
    SetFileName(name);
    return true;
}

QString TMMWavePlayer::FileName() const {
    return FWaveFile->GetFileName();
}

void TMMWavePlayer::SetFileName(const QString& Value) {
    Stop();  // the wave must not change under a playing device
    FWaveFile->SetFileName(Value);
    UpdateDecoder();
}

TMMWaveOutStates TMMWavePlayer::State() const {
    return FWaveOut->State();
}

LONG TMMWavePlayer::Position() {
    if (FWaveOut->State().Contains(wosPlay)) return static_cast<LONG>(FWaveOut->GetPosition()) + FStartPos;
    return Wave() ? Wave()->Position() : 0;
}

void TMMWavePlayer::SetPosition(LONG Value) {
    TMMWave* wave = Wave();
    if (!FWaveOut->IsOpen()) {
        if (wave) wave->SetPosition(Value);
        return;
    }
    struct Seeking {
        bool& flag;
        explicit Seeking(bool& f) : flag(f) { flag = true; }
        ~Seeking() { flag = false; }
    } seeking(FSeeking);
    const bool paused = FWaveOut->State().Contains(wosPause);
    FWaveOut->Pause();
    wave->SetPosition(Value);
    FStartPos = Value;
    FWaveOut->Reset();
    if (!paused) FWaveOut->Restart();
}

// ---- Device reports ---------------------------------------------------------------

void TMMWavePlayer::DoStart(QObject*) {
    if (OnStart) OnStart(this);
}

void TMMWavePlayer::DoStop(QObject*) {
    if (FStopPos == -1) FStopPos = Position();  // ran to its end by itself
    FWaveOut->Close();
}

void TMMWavePlayer::DoClose(QObject*) {
    if (!FResetPos) SetPosition(FStopPos);
    if (OnStop && !IsDestroying()) OnStop(this);
}

void TMMWavePlayer::DoPause(QObject*) {
    if (OnPause && !FSeeking) OnPause(this);
}

void TMMWavePlayer::DoRestart(QObject*) {
    if (OnRestart && !FSeeking) OnRestart(this);
}

void TMMWavePlayer::DoData(QObject*, TMMWaveHdr* lpwh) {
    if (OnData) OnData(this, lpwh);
}

void TMMWavePlayer::DoChange(QObject*) {
    Stop();
    if (OnChange) OnChange(this);
}

void TMMWavePlayer::DoChanged(QObject*) {
    UpdateDecoder();
}

void TMMWavePlayer::UpdateDecoder() {
    // The decoder judges a format only when it arrives, and only while
    // enabled: let it judge the current one enabled, then keep it only if
    // it takes it. Otherwise an ADPCM file after one the decoder refused
    // would reach the device undecoded.
    if (FWaveOut->IsOpen()) {
        FADPCMConvert->SetEnabled(FAutoConvert && FADPCMConvert->CanConvert());
        return;
    }
    const auto repush = [this] { FWaveFile->SetPWaveFormat(FWaveFile->GetPWaveFormat()); };
    if (FADPCMConvert->Enabled() != FAutoConvert) {
        FADPCMConvert->SetEnabled(FAutoConvert);
        repush();
    }
    if (FAutoConvert && !FADPCMConvert->CanConvert()) {
        FADPCMConvert->SetEnabled(false);
        repush();
    }
}

// ---- Forwarded settings -------------------------------------------------------------

DWORD TMMWavePlayer::GetBufferSize() const {
    return FWaveOut ? FWaveOut->GetBufferSize() : TMMDSPComponent::GetBufferSize();
}
void TMMWavePlayer::SetBufferSize(LONG Value) {
    if (FWaveOut) FWaveOut->SetBufferSize(Value);
}
int TMMWavePlayer::NumBuffers() const {
    return FWaveOut->GetNumBuffers();
}
void TMMWavePlayer::SetNumBuffers(int Value) {
    FWaveOut->SetNumBuffers(Value);
}
int TMMWavePlayer::DeviceID() const {
    return FWaveOut->GetDeviceID();
}
void TMMWavePlayer::SetDeviceID(int Value) {
    FWaveOut->SetDeviceID(Value);
}
QString TMMWavePlayer::ProductName() const {
    return FWaveOut->GetProductName();
}
TMMTimeFormats TMMWavePlayer::TimeFormat() const {
    return FWaveOut->TimeFormat();
}
void TMMWavePlayer::SetTimeFormat(TMMTimeFormats Value) {
    FWaveOut->SetTimeFormat(Value);
    if (Wave()) Wave()->SetTimeFormat(Value);
}
TMMCBMode TMMWavePlayer::CallBackMode() const {
    return FWaveOut->GetCallBackMode();
}
void TMMWavePlayer::SetCallBackMode(TMMCBMode Value) {
    FWaveOut->SetCallBackMode(Value);
}
bool TMMWavePlayer::Looping() const {
    return FWaveOut->Looping();
}
void TMMWavePlayer::SetLooping(bool Value) {
    FWaveOut->SetLooping(Value);
}
int TMMWavePlayer::LoopCount() const {
    return FWaveOut->LoopCount();
}
void TMMWavePlayer::SetLoopCount(int Value) {
    FWaveOut->SetLoopCount(Value);
}
TMMWave* TMMWavePlayer::Wave() const {
    return FWaveFile ? FWaveFile->Wave() : nullptr;
}
void TMMWavePlayer::SetWave(TMMWave* Value) {
    FWaveFile->SetWave(Value);
}

void TMMWavePlayer::SetAutoConvert(bool Value) {
    if (Value == FAutoConvert) return;
    if (FWaveOut->IsOpen()) throw Exception(LoadResStr(IDS_PROPERTYOPEN));
    FAutoConvert = Value;
    FADPCMConvert->SetEnabled(Value);
    FPCMConvert->SetEnabled(Value);
    UpdateDecoder();
}
