#pragma once

// The sound component chain. Each member has at most one input and one
// output; a device at the end pulls buffers through its inputs
// (BufferLoad), hands finished buffers on downstream (BufferReady) and
// spreads life-cycle notifications to the members it drives.
//
// Published ports: a class that takes part in stored settings declares the
// ports it publishes as Qt properties named "Input" and "Output":
//     Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
//     Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
// A peer that publishes no Output (Input) property can still be connected
// on that side while its OutputValid (InputValid) is set.
//
// Destruction: a derived destructor calls Destroying() first and closes
// what it opened; the base destructor then cuts both links, and every other
// member drops any link it still holds to the dying one.

#include "mmcore/MMComponent.h"
#include "mmcore/MMTypes.h"
#include "mmcore/MMWaveHdr.h"
#include "platform/base/wintypes.h"

#include <QList>
#include <QString>
#include <functional>

class TMMDSPComponent;

using TMMBufferEvent = std::function<void(QObject* Sender, TMMWaveHdr* lpwh)>;
using TMMBufferLoadEvent = std::function<void(QObject* Sender, TMMWaveHdr* lpwh, bool& MoreBuffers)>;

inline constexpr int MAX_PORTNAME = 20;

class TMMDSPComponent : public TMMCustomDSPComponent {
    Q_OBJECT

public:
    explicit TMMDSPComponent(QObject* AOwner = nullptr);
    ~TMMDSPComponent() override;

    bool IsOpen() const { return FOpen; }
    bool IsStarted() const { return FStarted; }
    bool IsPaused() const { return FPaused; }

    // ---- Connection ----
    virtual void SetInput(TMMDSPComponent* Value);
    virtual TMMDSPComponent* GetInput() const { return FInput; }
    virtual void SetOutput(TMMDSPComponent* Value);
    virtual TMMDSPComponent* GetOutput() const { return FOutput; }
    // Whether Other may become the input (output); refuses anything that
    // would close a loop.
    virtual bool CanConnectInput(TMMDSPComponent* Other);
    virtual bool CanConnectOutput(TMMDSPComponent* Other);
    // Low level: sets the link and the peer's port name, nothing else.
    virtual void SetInputPort(TMMDSPComponent* Value, const QString& PropName);
    virtual void SetOutputPort(TMMDSPComponent* Value, const QString& PropName);
    // Clears a stale half-link that still points at Peer (see
    // GlobalDeconnectNotification).
    virtual void DeconnectNotification(TMMDSPComponent* Peer, TMMPort Port, const QString& PropName);
    // Re-derives the format from the neighbours after a connection change.
    virtual void UpdateParams();

    // ---- Format and buffer size ----
    // Replaces the own copy (nullptr clears it) and passes it downstream.
    virtual void SetPWaveFormat(const WAVEFORMATEX* Value);
    virtual const WAVEFORMATEX* GetPWaveFormat() const { return FPWaveFormat; }
    // The input's format changed; the base takes it as its own.
    virtual void ChangePWaveFormat(const WAVEFORMATEX* Value);
    // The size in force while open, else the size requested.
    virtual DWORD GetBufferSize() const;
    // The requested size; a negative size counts as 0.
    virtual void SetBufferSize(LONG Value);

    // ---- Notifications ----
    virtual bool Initialize();
    virtual void Opened();
    virtual void Closed();
    virtual void Started();
    virtual void Paused();
    virtual void Restarted();
    virtual void Stopped();
    virtual void Reseting();
    virtual void Looped();

    // ---- Data ----
    virtual void BufferReady(TMMWaveHdr* lpwh);
    virtual void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers);
    // Fills the whole buffer with the format's silence; nothing without a format.
    void FillSilence(TMMWaveHdr* lpwh);

    void Notification(TMMComponent* AComponent, TOperation Operation) override;

    TMMBufferEvent OnBufferReady;
    TMMBufferLoadEvent OnBufferLoad;
    TMMBufferEvent OnBufferFilled;

    // ---- Flags ----
    bool InputValid() const { return FInputValid; }
    void SetInputValid(bool Value) { FInputValid = Value; }
    bool OutputValid() const { return FOutputValid; }
    void SetOutputValid(bool Value) { FOutputValid = Value; }
    bool Preloaded() const { return FPreloaded; }
    void SetPreloaded(bool Value) { FPreloaded = Value; }
    bool InputStored() const { return FInputStored; }
    bool OutputStored() const { return FOutputStored; }
    const QString& InpPropName() const { return FInpPropName; }
    const QString& OutPropName() const { return FOutPropName; }
    LONG OrigBufferSize() const { return FOrigBufferSize; }

    // Whether Component publishes a port property of that name ("Input",
    // "Output"), and where that port points.
    static bool PublishesPort(const TMMDSPComponent* Component, const QString& PropName);
    static TMMDSPComponent* PublishedPort(const TMMDSPComponent* Component, const QString& PropName);

protected:
    void Loaded() override;

    TMMDSPComponent* FInput = nullptr;
    TMMDSPComponent* FOutput = nullptr;
    WAVEFORMATEX* FPWaveFormat = nullptr;  // owned
    LONG FOrigBufferSize = 2048;
    DWORD FBufferSize = 2048;
    bool FOpen = false;
    bool FStarted = false;
    bool FPaused = false;
    bool FInputValid = false;
    bool FOutputValid = false;
    QString FInpPropName;
    QString FOutPropName;
    bool FPreloaded = false;
    bool FInputStored = true;
    bool FOutputStored = true;

private:
    bool Quiet() const { return IsLoading() || IsDestroying(); }
};

// Base of sound devices. A device spreads each notification along its
// chain: up to the head (or, for Initialize, Opened and Started, to a
// preloaded member), then down, passing over itself and stopping at the
// next device.
class TMMCustomSoundComponent : public TMMDSPComponent {
    Q_OBJECT

public:
    using TMMDSPComponent::TMMDSPComponent;

    // True while an Opened walk met another device upstream.
    bool FullDuplex() const { return FFullDuplex; }

    virtual void SetNumBuffers(int Value) = 0;
    virtual int GetNumBuffers() const = 0;
    virtual void SetDeviceID(TMMDeviceId Value) = 0;
    virtual TMMDeviceId GetDeviceID() const = 0;
    virtual void SetProductName(const QString& Value) = 0;
    virtual QString GetProductName() const = 0;
    virtual void SetCallBackMode(TMMCBMode Value) = 0;
    virtual TMMCBMode GetCallBackMode() const = 0;

    bool Initialize() override;
    void Opened() override;
    void Closed() override;
    void Started() override;
    void Paused() override;
    void Restarted() override;
    void Stopped() override;
    void Reseting() override;
    void Looped() override;

    static bool IsSoundComponent(const TMMDSPComponent* Component);

protected:
    bool FFullDuplex = false;

private:
    using TNotify = std::function<void(TMMDSPComponent*)>;
    TMMDSPComponent* FindStart(bool StopAtPreloaded, bool* MetDevice) const;
    TMMDSPComponent* NextDevice() const;
    void NotifyDownstream(TMMDSPComponent* Start, bool NotifyNextDevice, const TNotify& Notify);
    void Spread(bool StopAtPreloaded, bool NotifyNextDevice, const TNotify& Notify);
};

// Base of output devices.
class TMMCustomOutputComponent : public TMMCustomSoundComponent {
    Q_OBJECT

public:
    using TMMCustomSoundComponent::TMMCustomSoundComponent;

    virtual std::int64_t GetPosition() = 0;
    virtual int GetBufferCounter() = 0;
    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual void Reset() = 0;
    virtual void Start() = 0;
    virtual void Pause() = 0;
    virtual void Restart() = 0;
    virtual void Stop() = 0;
};

// Every live chain member, in order of creation; nullptr when there is none.
const QList<TMMDSPComponent*>* DSPList();

// DeconnectNotification(Peer, Port, PropName) on every member of DSPList.
void GlobalDeconnectNotification(TMMDSPComponent* Peer, TMMPort Port, const QString& PropName);
