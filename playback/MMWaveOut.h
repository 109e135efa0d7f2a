#pragma once

// The wave output device at the end of a sound chain: it opens the
// platform's wave output, keeps a ring of buffers queued to it, refills each
// buffer from its input when the platform hands it back, and stops by itself
// when the input runs dry.
//
// Threads: every operation is called on the main thread. Finished buffers
// are reported on the platform's callback thread, which only counts them
// down and hands them on: to the hidden window (cmWindow), to the service
// thread (cmThread), or straight to the refill (cmCallback). The stop at the
// end of the data always runs on the main thread.
//
// A lost output (the platform's write fails with MMSYSERR_NODRIVER) closes
// every device playing on it with an error, but only the first reports it;
// until a device opens again, starts that find no output end quietly too.

#include "mmcore/MMAllocator.h"
#include "mmcore/MMDSPComponent.h"
#include "mmcore/MMThread.h"
#include "mmcore/MMTypes.h"
#include "platform/base/Exception.h"
#include "platform/gui/Messages.h"
#include "platform/gui/Timer.h"  // TNotifyEvent
#include "platform/waveout/waveout.h"
#include "wavedata/MMWave.h"  // TMMTimeFormats

#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>

namespace MMWaveOutTypes {
Q_NAMESPACE

enum TMMWaveOutState { wosClose, wosOpen, wosPlay, wosPause };
Q_ENUM_NS(TMMWaveOutState)

enum TMMProcessMode { pmPull, pmPush };
Q_ENUM_NS(TMMProcessMode)

}  // namespace MMWaveOutTypes

using MMWaveOutTypes::TMMProcessMode;
using MMWaveOutTypes::TMMWaveOutState;
using enum MMWaveOutTypes::TMMProcessMode;
using enum MMWaveOutTypes::TMMWaveOutState;

// A set of TMMWaveOutState, one bit each in declaration order.
class TMMWaveOutStates {
public:
    constexpr TMMWaveOutStates() = default;
    constexpr TMMWaveOutStates(std::initializer_list<TMMWaveOutState> states) {
        for (TMMWaveOutState s : states) FBits |= Bit(s);
    }
    static constexpr TMMWaveOutStates FromBits(unsigned bits) {
        TMMWaveOutStates s;
        s.FBits = bits & 0xF;
        return s;
    }
    static constexpr unsigned Bit(TMMWaveOutState s) { return 1u << static_cast<unsigned>(s); }
    constexpr bool Contains(TMMWaveOutState s) const { return FBits & Bit(s); }
    constexpr unsigned Bits() const { return FBits; }
    constexpr bool operator==(const TMMWaveOutStates&) const = default;

private:
    unsigned FBits = 0;
};

class EMMWaveOutError : public Exception {
public:
    using Exception::Exception;
};

inline constexpr int MAXOUTBUFFERS = 500;
inline constexpr int MINBUFFERSIZE = 32;
inline constexpr UINT MM_USER = 0x8000;
inline constexpr UINT MM_WOM_STOP = MM_USER + 1;

// Buffer headers are prepared once per run and only their flags change on
// each write; the ring is walked by index.
inline constexpr bool FIX_BUFFERS = true;
inline constexpr bool FAST_PREPARE = true;
// Refilling on the platform's callback thread is refused by default.
inline constexpr bool ALLOW_CALLBACK = false;

// The platform's wave output entry points. Every platform call of the device
// goes through this table.
struct TWaveOutEngine {
    UINT (*waveOutGetNumDevs)() = nullptr;
    MMRESULT (*waveOutGetDevCaps)(UINT_PTR, WAVEOUTCAPS*, UINT) = nullptr;
    MMRESULT (*waveOutGetVolume)(HWAVEOUT, DWORD*) = nullptr;
    MMRESULT (*waveOutSetVolume)(HWAVEOUT, DWORD) = nullptr;
    MMRESULT (*waveOutGetErrorText)(MMRESULT, WCHAR*, UINT) = nullptr;
    MMRESULT (*waveOutOpen)(LPHWAVEOUT, UINT, const WAVEFORMATEX*, DWORD_PTR, DWORD_PTR, DWORD) = nullptr;
    MMRESULT (*waveOutClose)(HWAVEOUT) = nullptr;
    MMRESULT (*waveOutPrepareHeader)(HWAVEOUT, WAVEHDR*, UINT) = nullptr;
    MMRESULT (*waveOutUnprepareHeader)(HWAVEOUT, WAVEHDR*, UINT) = nullptr;
    MMRESULT (*waveOutWrite)(HWAVEOUT, WAVEHDR*, UINT) = nullptr;
    MMRESULT (*waveOutPause)(HWAVEOUT) = nullptr;
    MMRESULT (*waveOutRestart)(HWAVEOUT) = nullptr;
    MMRESULT (*waveOutReset)(HWAVEOUT) = nullptr;
    MMRESULT (*waveOutGetPosition)(HWAVEOUT, MMTIME*, UINT) = nullptr;
    MMRESULT (*waveOutMessage)(HWAVEOUT, UINT, DWORD_PTR, DWORD_PTR) = nullptr;
};

// The table bound to the platform's functions of the same names.
TWaveOutEngine PlatformWaveOutEngine();

class TMMWaveOutThread;
struct TWaveOutServiceQueue;

class TMMCustomWaveOut : public TMMCustomOutputComponent {
    Q_OBJECT
    Q_PROPERTY(int BufferSize READ BufferSizeProperty WRITE SetBufferSizeProperty)
    Q_PROPERTY(int NumBuffers READ GetNumBuffers WRITE SetNumBuffers)
    Q_PROPERTY(int DeviceID READ GetDeviceID WRITE SetDeviceID)
    Q_PROPERTY(QString ProductName READ GetProductName WRITE SetProductName STORED false)
    Q_PROPERTY(MMTypes::TMMCBMode CallBackMode READ GetCallBackMode WRITE SetCallBackMode)
    Q_PROPERTY(MMWaveTypes::TMMTimeFormats TimeFormat READ TimeFormat WRITE SetTimeFormat)
    Q_PROPERTY(bool Looping READ Looping WRITE SetLooping)
    Q_PROPERTY(int LoopCount READ LoopCount WRITE SetLoopCount)
    Q_PROPERTY(bool ShowHourGlass READ ShowHourGlass WRITE SetShowHourGlass)
    Q_PROPERTY(bool Mapped READ Mapped WRITE SetMapped)
    Q_PROPERTY(MMTypes::TThreadPriority Priority READ Priority WRITE SetPriority)
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)

public:
    explicit TMMCustomWaveOut(QObject* AOwner = nullptr);
    ~TMMCustomWaveOut() override;

    // ---- Life cycle ----
    void Open() override;
    void Close() override;
    void Start() override;
    void Stop() override;
    void Pause() override;
    void Restart() override;
    // Drops the queued sound and refills from the input's current position.
    void Reset() override;
    // The playing position in TimeFormat units, counted from the start (or
    // the last loop pass, or the last Reset).
    std::int64_t GetPosition() override;
    std::uint32_t GetPositionHigh() { return static_cast<std::uint32_t>(GetPosition() >> 32); }
    // The platform's position in samples; 0 while closed.
    DWORD GetSamplePosition();
    int GetBufferCounter() override { return FBufferCounter.load(); }

    // ---- Device queries ----
    int GetNumDevs();
    QString GetDevice(int Index);
    bool QueryDevice(TMMDeviceId DeviceID, const WAVEFORMATEX* Format);

    // ---- Push mode ----
    TMMWaveHdr* GetNextWaveHeader();
    void WriteWaveHeader(TMMWaveHdr* Header);
    void WriteBuffer(const void* Buffer, DWORD Length);

    // Runs Method on the main thread: through the service thread's
    // synchronisation in cmThread mode, else at once.
    void SynchronizeVCL(const TNotifyEvent& Method, QObject* Sender);

    // ---- Properties ----
    DWORD GetBufferSize() const override { return TMMCustomOutputComponent::GetBufferSize(); }
    void SetBufferSize(LONG Value) override;
    void SetNumBuffers(int Value) override;
    int GetNumBuffers() const override { return FNumBuffers; }
    void SetDeviceID(TMMDeviceId Value) override;
    TMMDeviceId GetDeviceID() const override { return FDeviceID; }
    void SetProductName(const QString&) override {}
    QString GetProductName() const override { return FProductName; }
    void SetCallBackMode(TMMCBMode Value) override;
    TMMCBMode GetCallBackMode() const override { return FCallbackMode; }
    TMMTimeFormats TimeFormat() const { return FTimeFormat; }
    void SetTimeFormat(TMMTimeFormats Value) { FTimeFormat = Value; }
    bool Looping() const { return FLooping; }
    void SetLooping(bool Value);
    int LoopCount() const { return FLoopCount; }
    void SetLoopCount(int Value);
    bool ShowHourGlass() const { return FShowHourGlass; }
    void SetShowHourGlass(bool Value) { FShowHourGlass = Value; }
    bool Mapped() const { return FMapped; }
    void SetMapped(bool Value) { FMapped = Value; }
    TThreadPriority Priority() const { return FPriority; }
    void SetPriority(TThreadPriority Value);
    TMMProcessMode ProcessMode() const { return FProcessMode; }
    void SetProcessMode(TMMProcessMode Value);
    void SetPWaveFormat(const WAVEFORMATEX* Value) override;

    HWAVEOUT Handle() const { return FHWaveOut.load(); }
    const WAVEOUTCAPS& WaveOutCaps() const { return FWaveOutCaps; }
    int NumDevs() { return GetNumDevs(); }
    QString Devices(int Index) { return GetDevice(Index); }
    TMMWaveOutStates State() const { return TMMWaveOutStates::FromBits(FState.load()); }
    DWORD DriverVersion() const { return FDriverVersion; }
    std::int64_t BytesPlayed() const { return FBytesPlayed; }
    std::int64_t Position() { return GetPosition(); }
    std::uint32_t PositionHigh() { return GetPositionHigh(); }
    std::int64_t EndingPosition() const { return FEndingPosition; }
    DWORD BufferIndex() const { return FBufferOutIdx; }
    int BufferCounter() { return GetBufferCounter(); }
    TMMWaveHdr* const* WaveHdrs() const { return FWaveOutHdrs.data(); }
    // The result of the last platform call.
    MMRESULT LastError() const { return FError.load(std::memory_order_relaxed); }

    // ---- Chain notifications: another device drives this one ----
    void Opened() override { Open(); }
    void Closed() override { Close(); }
    void Started() override { Start(); }
    void Paused() override { Pause(); }
    void Restarted() override { Restart(); }
    void Stopped() override { Stop(); }
    // Buffers from upstream are not played this way.
    void BufferReady(TMMWaveHdr*) override {}
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override;

    // ---- Events ----
    TNotifyEvent OnError;
    TNotifyEvent OnOpen;
    TNotifyEvent OnStart;
    TNotifyEvent OnPause;
    TNotifyEvent OnRestart;
    TNotifyEvent OnStop;
    TNotifyEvent OnClose;
    TNotifyEvent OnLooping;
    // Each buffer just before it is queued (the device's own, not the
    // chain's notification of the same name).
    TMMBufferEvent OnBufferFilled;

protected:
    // Fills FEngine; a concrete class's constructor calls InitEngine, which
    // runs it and selects device 0.
    virtual void SetupWaveEngine() = 0;
    void InitEngine();
    virtual DWORD GetAllocSize() { return GetBufferSize(); }
    // Raises OnError, then EMMWaveOutError with Message.
    [[noreturn]] virtual void Error(const QString& Message);
    // Raises OnError, then ends the operation without a report (EAbort).
    [[noreturn]] void Silent();

    void DoOpened();
    void DoClosed();
    void DoStarted();
    void DoStopped();
    void DoPaused();
    void DoRestarted();
    void DoError();

    TWaveOutEngine FEngine;

private:
    friend class TMMWaveOutThread;

    bool Has(TMMWaveOutState s) const { return State().Contains(s); }
    void SetState(TMMWaveOutStates s) { FState.store(s.Bits()); }
    void AddState(TMMWaveOutState s) { FState.fetch_or(TMMWaveOutStates::Bit(s)); }
    void RemoveState(TMMWaveOutState s) { FState.fetch_and(~TMMWaveOutStates::Bit(s)); }

    QString WaveOutErrorString(MMRESULT Error);
    void PlatformError(const char* Call, MMRESULT Result);
    // Keeps a platform call's result as the last error and returns it.
    MMRESULT Kept(MMRESULT Result);
    void PrefixedError(const char* Call, int Ident);

    static void WaveOutFunc(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                            DWORD_PTR dwParam2);
    void WaveOutHandler(TMessage& Message);
    void ProcessWaveHeader(TMMWaveHdr* Header);
    void EndOfHandler();
    void DoBufferReady(TMMWaveHdr* Header);

    void AllocWaveHeader(int Index);
    void PrepareWaveHeader(TMMWaveHdr* Header);
    DWORD LoadWaveHeader(TMMWaveHdr* Header);
    void QueueWaveHeader(TMMWaveHdr* Header);
    void UnPrepareWaveHeaders();
    void FreeWaveHeaders();
    // Drops the buffer reports still waiting to be processed.
    void DropWaitingBuffers();

    void InitCritical() { FDataSectionOK = true; }
    void DoneCritical() { FDataSectionOK = false; }
    void EnterCritical() {
        if (FDataSectionOK) FDataSection.lock();
    }
    void LeaveCritical() {
        if (FDataSectionOK) FDataSection.unlock();
    }
    // Holds the lock (when it exists) for a scope.
    class TCritical {
    public:
        explicit TCritical(TMMCustomWaveOut* Owner) : FOwner(Owner), FHeld(Owner->FDataSectionOK) {
            if (FHeld) FOwner->FDataSection.lock();
        }
        ~TCritical() {
            if (FHeld) FOwner->FDataSection.unlock();
        }
        TCritical(const TCritical&) = delete;
        TCritical& operator=(const TCritical&) = delete;

    private:
        TMMCustomWaveOut* FOwner;
        bool FHeld;
    };

    void InitThread();
    void DoneThread();
    void CloseEvents();
    bool OnServiceThread() const;
    std::shared_ptr<TWaveOutServiceQueue> ServiceQueue() const;
    // The platform's position, with its wraps counted.
    DWORD TrackSamplePosition();
    void ServiceThreadFailed();

    int BufferSizeProperty() const { return static_cast<int>(GetBufferSize()); }
    void SetBufferSizeProperty(int Value) { SetBufferSize(Value); }

    HWND FHandle = nullptr;
    TMMDeviceId FDeviceID = 0;
    // The number last set, valid or not when it was set.
    TMMDeviceId FRequestedDeviceID = 0;
    std::atomic<HWAVEOUT> FHWaveOut{nullptr};
    std::atomic<unsigned> FState{TMMWaveOutStates::Bit(wosClose)};
    TMMProcessMode FProcessMode = pmPull;
    std::array<TMMWaveHdr*, MAXOUTBUFFERS> FWaveOutHdrs{};
    DWORD FBufferOutIdx = 0;
    std::atomic<DWORD> FBufferInIdx{0};
    TMMCBMode FCallbackMode = cmWindow;
    // Written by the main thread and by the refill thread: each call checks
    // its own result, never this (the other thread may have replaced it).
    std::atomic<MMRESULT> FError{MMSYSERR_NOERROR};
    WAVEOUTCAPS FWaveOutCaps{};
    QString FProductName;
    DWORD FDriverVersion = 0;
    std::atomic<int> FInHandler{0};
    std::atomic<bool> FStopIt{false};
    bool FCloseIt = false;
    std::atomic<bool> FStopping{false};
    std::atomic<bool> FClosing{false};
    std::atomic<bool> FReseting{false};
    std::atomic<bool> FPosted{false};
    bool FLooping = false;
    std::uint16_t FLoopCount = 0;
    LONG FLoopTempCount = 0;
    std::int64_t FLoopPos = 0;
    std::int64_t FOldPosition = 0;
    DWORD FLastPosition = 0;
    DWORD FWrapArrounds = 0;
    std::int64_t FWrapSize = 0;
    std::int64_t FBytesPlayed = 0;
    bool FMoreBuffers = false;
    int FNumBuffers = 10;
    DWORD FBuffersUsed = 0;
    std::atomic<int> FBufferCounter{0};
    TMMTimeFormats FTimeFormat = tfByte;
    bool FShowHourGlass = true;
    std::int64_t FEndingPosition = 0;
    bool FMapped = false;
    std::unique_ptr<TMMAllocator> FAllocator;
    TThreadPriority FPriority = tpHigher;
    std::atomic<bool> FThreadError{false};
    TMMWaveOutThread* FOutThread = nullptr;
    std::atomic<TMMThreadId> FOutThreadId{0};
    std::recursive_mutex FDataSection;
    std::atomic<bool> FDataSectionOK{false};
    // FOutEvent, FCloseEvent, FResetEvent and the thread's message queue;
    // shared with the thread, which may outlive a timed-out DoneThread.
    std::shared_ptr<TWaveOutServiceQueue> FServiceQueue;
    mutable std::mutex FServiceQueueLock;
};

// Processes the device's finished buffers in cmThread mode.
class TMMWaveOutThread : public TMMDSPThread {
public:
    TMMWaveOutThread(TMMCustomWaveOut* AOwner, std::shared_ptr<TWaveOutServiceQueue> Queue);

protected:
    void Execute() override;

private:
    std::shared_ptr<TWaveOutServiceQueue> FQueue;
};

// The device on the platform's wave output.
class TMMWaveOut : public TMMCustomWaveOut {
    Q_OBJECT

public:
    explicit TMMWaveOut(QObject* AOwner = nullptr);

protected:
    void SetupWaveEngine() override;
};
