#include "mmcore/MMDSPComponent.h"

#include "mmcore/MMUtils.h"
#include "mmcore/WaveFormatRecord.h"

#include <QMetaProperty>
#include <QVariant>
#include <algorithm>
#include <cstring>
#include <memory>

// ---- The list of chain members ---------------------------------------------
namespace {

std::unique_ptr<QList<TMMDSPComponent*>> Members;

}  // namespace

const QList<TMMDSPComponent*>* DSPList() {
    return Members.get();
}

void GlobalDeconnectNotification(TMMDSPComponent* Peer, TMMPort Port, const QString& PropName) {
    if (!Members) return;
    // By index: the list does not change here, but a member may be removed
    // by a notification in a derived class.
    for (qsizetype i = 0; Members && i < Members->size(); ++i)
        (*Members)[i]->DeconnectNotification(Peer, Port, PropName);
}

// ---- Construction -----------------------------------------------------------

TMMDSPComponent::TMMDSPComponent(QObject* AOwner) : TMMCustomDSPComponent(AOwner) {
    if (!Members) Members = std::make_unique<QList<TMMDSPComponent*>>();
    Members->append(this);
}

TMMDSPComponent::~TMMDSPComponent() {
    Destroying();
    SetInput(nullptr);
    SetOutput(nullptr);
    SetPWaveFormat(nullptr);
    wioFreeWaveFormat(FPWaveFormat);
    if (Members) {
        Members->removeOne(this);
        // The peers may still hold a link here: one that does not publish
        // the port pointing back is never cleared above, and while we are
        // being destroyed our own published ports are already gone. Every
        // member drops its links to the dying one.
        for (qsizetype i = 0; Members && i < Members->size(); ++i)
            (*Members)[i]->Notification(this, opRemove);
        if (Members && Members->isEmpty()) Members.reset();
    }
}

void TMMDSPComponent::Loaded() {
    TMMCustomDSPComponent::Loaded();
    SetPWaveFormat(FPWaveFormat);
}

void TMMDSPComponent::Notification(TMMComponent* AComponent, TOperation Operation) {
    TMMCustomDSPComponent::Notification(AComponent, Operation);
    if (Operation != opRemove || !AComponent) return;
    if (AComponent == GetInput())
        SetInput(nullptr);
    else if (AComponent == GetOutput())
        SetOutput(nullptr);
}

// ---- Ports ------------------------------------------------------------------

bool TMMDSPComponent::PublishesPort(const TMMDSPComponent* Component, const QString& PropName) {
    return Component && Component->metaObject()->indexOfProperty(PropName.toLatin1().constData()) >= 0;
}

TMMDSPComponent* TMMDSPComponent::PublishedPort(const TMMDSPComponent* Component, const QString& PropName) {
    if (!Component) return nullptr;
    const QMetaObject* meta = Component->metaObject();
    const int index = meta->indexOfProperty(PropName.toLatin1().constData());
    if (index < 0) return nullptr;
    const QVariant value = meta->property(index).read(Component);
    return qobject_cast<TMMDSPComponent*>(value.value<QObject*>());
}

bool TMMDSPComponent::CanConnectInput(TMMDSPComponent* Other) {
    if (!Other || Other == this) return false;
    if (!PublishesPort(Other, QStringLiteral("Output")) && !Other->OutputValid()) return false;
    TMMDSPComponent* output = GetOutput();
    if (!output) return true;
    return output->CanConnectInput(Other);
}

bool TMMDSPComponent::CanConnectOutput(TMMDSPComponent* Other) {
    if (!Other || Other == this) return false;
    if (!PublishesPort(Other, QStringLiteral("Input")) && !Other->InputValid()) return false;
    TMMDSPComponent* input = GetInput();
    if (!input) return true;
    return input->CanConnectOutput(Other);
}

void TMMDSPComponent::SetInputPort(TMMDSPComponent* Value, const QString& PropName) {
    FInput = Value;
    FInpPropName = PropName.left(MAX_PORTNAME);
}

void TMMDSPComponent::SetOutputPort(TMMDSPComponent* Value, const QString& PropName) {
    FOutput = Value;
    FOutPropName = PropName.left(MAX_PORTNAME);
}

void TMMDSPComponent::SetInput(TMMDSPComponent* Value) {
    if (Value == GetInput() || (Value && !CanConnectInput(Value))) return;
    Stopped();
    FInputStored = true;
    if (GetInput()) {
        GlobalDeconnectNotification(this, poInput, QStringLiteral("Input"));
        SetInputPort(nullptr, QString());
        ChangePWaveFormat(nullptr);
    }
    if (!Value) return;
    GlobalDeconnectNotification(Value, poOutput, QStringLiteral("Output"));
    SetInputPort(Value, QStringLiteral("Output"));
    Value->SetOutputPort(this, QStringLiteral("Input"));
    UpdateParams();
}

void TMMDSPComponent::SetOutput(TMMDSPComponent* Value) {
    if (Value == GetOutput() || (Value && !CanConnectOutput(Value))) return;
    Stopped();
    FOutputStored = true;
    if (TMMDSPComponent* old = GetOutput()) {
        GlobalDeconnectNotification(this, poOutput, QStringLiteral("Output"));
        old->ChangePWaveFormat(nullptr);
        SetOutputPort(nullptr, QString());
    }
    if (!Value) return;
    GlobalDeconnectNotification(Value, poInput, QStringLiteral("Input"));
    SetOutputPort(Value, QStringLiteral("Input"));
    Value->SetInputPort(this, QStringLiteral("Output"));
    UpdateParams();
}

void TMMDSPComponent::DeconnectNotification(TMMDSPComponent* Peer, TMMPort Port, const QString& PropName) {
    if (Port == poInput) {
        if (GetOutput() == Peer && FOutPropName == PropName && PublishesPort(Peer, PropName) &&
            PublishedPort(Peer, PropName) == this)
            SetOutputPort(nullptr, QString());
    } else {
        if (GetInput() == Peer && FInpPropName == PropName && PublishesPort(Peer, PropName) &&
            PublishedPort(Peer, PropName) == this)
            SetInputPort(nullptr, QString());
    }
}

void TMMDSPComponent::UpdateParams() {
    if (Quiet()) return;
    if (TMMDSPComponent* input = GetInput())
        ChangePWaveFormat(input->GetPWaveFormat());
    else if (TMMDSPComponent* output = GetOutput())
        output->ChangePWaveFormat(GetPWaveFormat());
}

// ---- Format and buffer size -------------------------------------------------

void TMMDSPComponent::SetPWaveFormat(const WAVEFORMATEX* Value) {
    if (Value != FPWaveFormat) {
        if (FStarted) Stopped();
        WAVEFORMATEX* copy = wioCopyWaveFormat(Value);  // before the old one goes: Value may be ours
        wioFreeWaveFormat(FPWaveFormat);
        FPWaveFormat = copy;
    }
    if (Quiet()) return;
    if (TMMDSPComponent* output = GetOutput()) output->ChangePWaveFormat(GetPWaveFormat());
}

void TMMDSPComponent::ChangePWaveFormat(const WAVEFORMATEX* Value) {
    SetPWaveFormat(Value);
}

DWORD TMMDSPComponent::GetBufferSize() const {
    return FOpen ? FBufferSize : static_cast<DWORD>(FOrigBufferSize);
}

void TMMDSPComponent::SetBufferSize(LONG Value) {
    Value = std::max<LONG>(Value, 0);
    if (Value == FOrigBufferSize) return;
    if (FStarted) Stopped();
    FOrigBufferSize = Value;
}

// ---- Notifications ----------------------------------------------------------

bool TMMDSPComponent::Initialize() {
    return true;
}

void TMMDSPComponent::Opened() {
    if (FOpen) return;
    if (const WAVEFORMATEX* format = GetPWaveFormat()) {
        // Whole samples only, and at least one.
        const LONG align = std::max<LONG>(format->nBlockAlign, 1);
        FBufferSize = static_cast<DWORD>(std::max<LONG>(FOrigBufferSize / align * align, align));
    } else {
        FBufferSize = static_cast<DWORD>(FOrigBufferSize);
    }
    FOpen = true;
    FStarted = false;
    FPaused = false;
}

void TMMDSPComponent::Closed() {
    FOpen = false;
}

void TMMDSPComponent::Started() {
    if (FOpen) FStarted = true;
}

void TMMDSPComponent::Paused() {
    FPaused = true;
}

void TMMDSPComponent::Restarted() {
    FPaused = false;
}

void TMMDSPComponent::Stopped() {
    if (!FStarted) return;
    FStarted = false;
    FPaused = false;
}

void TMMDSPComponent::Reseting() {}

void TMMDSPComponent::Looped() {}

// ---- Data -------------------------------------------------------------------

void TMMDSPComponent::BufferReady(TMMWaveHdr* lpwh) {
    if (OnBufferReady) OnBufferReady(this, lpwh);
    if (TMMDSPComponent* output = GetOutput()) output->BufferReady(lpwh);
}

void TMMDSPComponent::BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) {
    if (OnBufferLoad) OnBufferLoad(this, lpwh, MoreBuffers);
    if (TMMDSPComponent* input = GetInput()) input->BufferLoad(lpwh, MoreBuffers);
    if (OnBufferFilled && lpwh->dwBytesRecorded != 0) OnBufferFilled(this, lpwh);
}

void TMMDSPComponent::FillSilence(TMMWaveHdr* lpwh) {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (!format || !lpwh) return;
    pcmFillSilence(format, lpwh->lpData, lpwh->dwBufferLength);
    lpwh->dwBytesRecorded = lpwh->dwBufferLength;
}

// ---- Chain walks of a device ------------------------------------------------

bool TMMCustomSoundComponent::IsSoundComponent(const TMMDSPComponent* Component) {
    return qobject_cast<const TMMCustomSoundComponent*>(Component) != nullptr;
}

namespace {

// A chain is never longer than the number of members; a longer walk could
// only come from links set by hand into a loop.
qsizetype MaxHops() {
    return DSPList() ? DSPList()->size() + 1 : 1;
}

}  // namespace

TMMDSPComponent* TMMCustomSoundComponent::FindStart(bool StopAtPreloaded, bool* MetDevice) const {
    if (MetDevice) *MetDevice = false;
    TMMDSPComponent* start = const_cast<TMMCustomSoundComponent*>(this);
    TMMDSPComponent* member = GetInput();
    for (qsizetype hops = MaxHops(); member && member != this && hops > 0; --hops) {
        if (IsSoundComponent(member)) {
            if (MetDevice) *MetDevice = true;
            return const_cast<TMMCustomSoundComponent*>(this);
        }
        start = member;
        if (StopAtPreloaded && member->Preloaded()) break;
        member = member->GetInput();
    }
    return start;
}

TMMDSPComponent* TMMCustomSoundComponent::NextDevice() const {
    TMMDSPComponent* member = GetOutput();
    for (qsizetype hops = MaxHops(); member && member != this && hops > 0; --hops) {
        if (IsSoundComponent(member)) return member;
        member = member->GetOutput();
    }
    return nullptr;
}

void TMMCustomSoundComponent::NotifyDownstream(TMMDSPComponent* Start, bool NotifyNextDevice,
                                               const TNotify& Notify) {
    TMMDSPComponent* member = Start;
    bool passedSelf = false;
    for (qsizetype hops = MaxHops() + 1; member && hops > 0; --hops) {
        if (member == this) {
            if (passedSelf) break;  // looped back
            passedSelf = true;
        } else if (IsSoundComponent(member)) {
            if (NotifyNextDevice) Notify(member);
            break;
        } else {
            Notify(member);
        }
        member = member->GetOutput();
    }
}

void TMMCustomSoundComponent::Spread(bool StopAtPreloaded, bool NotifyNextDevice, const TNotify& Notify) {
    NotifyDownstream(FindStart(StopAtPreloaded, nullptr), NotifyNextDevice, Notify);
}

bool TMMCustomSoundComponent::Initialize() {
    bool result = true;
    Spread(true, true, [&](TMMDSPComponent* member) {
        if (!member->Initialize()) result = false;
    });
    return TMMDSPComponent::Initialize() && result;
}

void TMMCustomSoundComponent::Opened() {
    FFullDuplex = false;
    bool metDevice = false;
    TMMDSPComponent* start = FindStart(true, &metDevice);
    if (metDevice) FFullDuplex = true;
    // Not open yet: this is the size requested of the device.
    const LONG size = static_cast<LONG>(GetBufferSize());
    NotifyDownstream(start, true, [size](TMMDSPComponent* member) {
        member->SetBufferSize(size);
        member->Opened();
    });
    TMMDSPComponent::Opened();
}

void TMMCustomSoundComponent::Started() {
    Spread(true, true, [](TMMDSPComponent* member) { member->Started(); });
    TMMDSPComponent::Started();
}

void TMMCustomSoundComponent::Paused() {
    Spread(false, true, [](TMMDSPComponent* member) { member->Paused(); });
    TMMDSPComponent::Paused();
}

void TMMCustomSoundComponent::Restarted() {
    Spread(false, true, [](TMMDSPComponent* member) { member->Restarted(); });
    TMMDSPComponent::Restarted();
}

void TMMCustomSoundComponent::Reseting() {
    Spread(false, true, [](TMMDSPComponent* member) { member->Reseting(); });
    TMMDSPComponent::Reseting();
}

void TMMCustomSoundComponent::Looped() {
    Spread(false, true, [](TMMDSPComponent* member) { member->Looped(); });
    TMMDSPComponent::Looped();
}

// The next device hears of a close or stop before the sources do.
void TMMCustomSoundComponent::Closed() {
    if (TMMDSPComponent* next = NextDevice()) next->Closed();
    Spread(false, false, [](TMMDSPComponent* member) { member->Closed(); });
    TMMDSPComponent::Closed();
}

void TMMCustomSoundComponent::Stopped() {
    if (TMMDSPComponent* next = NextDevice()) next->Stopped();
    Spread(false, false, [](TMMDSPComponent* member) { member->Stopped(); });
    TMMDSPComponent::Stopped();
}
