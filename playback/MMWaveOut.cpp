#include "playback/MMWaveOut.h"

#include "mmcore/MMDSPMeter.h"
#include "mmcore/MMStrings.h"
#include "mmcore/MMUtils.h"
#include "platform/gui/Application.h"
#include "platform/gui/Dialogs.h"
#include "wavedata/MMWaveFormat.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <thread>

// ---- The service thread's events and message queue ------------------------

// One lock and one condition for the thread's messages and its close and
// drop requests, so the thread can wait for all of them together.
struct TWaveOutServiceQueue {
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<TMessage> Messages;
    bool CloseEvent = false;  // auto-reset: end the thread
    bool ResetEvent = false;  // manual reset: drop waiting buffer reports
    bool OutEvent = false;    // auto-reset: the thread is ready, or ended

    void Post(const TMessage& m) {
        {
            std::lock_guard l(Lock);
            Messages.push_back(m);
        }
        Changed.notify_all();
    }
    void Signal(bool TWaveOutServiceQueue::*Event) {
        {
            std::lock_guard l(Lock);
            this->*Event = true;
        }
        Changed.notify_all();
    }
    bool ResetPending() {
        std::lock_guard l(Lock);
        return ResetEvent;
    }
    // Waits up to Milliseconds for OutEvent and consumes it.
    bool WaitOut(int Milliseconds) {
        std::unique_lock l(Lock);
        const bool set =
            Changed.wait_for(l, std::chrono::milliseconds(Milliseconds), [this] { return OutEvent; });
        OutEvent = false;
        return set;
    }
    void DropDone() {
        std::erase_if(Messages, [](const TMessage& m) { return m.Msg == MM_WOM_DONE; });
    }
};

TMMWaveOutThread::TMMWaveOutThread(TMMCustomWaveOut* AOwner, std::shared_ptr<TWaveOutServiceQueue> Queue)
    : TMMDSPThread(AOwner), FQueue(std::move(Queue)) {}

void TMMWaveOutThread::Execute() {
    auto* device = static_cast<TMMCustomWaveOut*>(Owner);
    TWaveOutServiceQueue& queue = *FQueue;
    try {
        SetPriority(device->FPriority);
        device->FOutThreadId = MMCurrentThreadId();
        queue.Signal(&TWaveOutServiceQueue::OutEvent);
        while (!Terminated()) {
            TMessage message{};
            {
                std::unique_lock l(queue.Lock);
                queue.Changed.wait(
                    l, [&] { return queue.CloseEvent || queue.ResetEvent || !queue.Messages.empty(); });
                if (queue.CloseEvent) {
                    queue.CloseEvent = false;
                    break;
                }
                if (queue.ResetEvent) {
                    queue.DropDone();
                    queue.ResetEvent = false;
                    queue.Changed.notify_all();
                    continue;
                }
                message = queue.Messages.front();
                queue.Messages.pop_front();
            }
            if (message.Msg == MM_WOM_DONE && message.WParam == reinterpret_cast<WPARAM>(device->Handle()) &&
                !device->FStopping)
                device->ProcessWaveHeader(reinterpret_cast<TMMWaveHdr*>(message.LParam));
        }
        device->FOutThreadId = 0;
        queue.Signal(&TWaveOutServiceQueue::OutEvent);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        device->FOutThreadId = 0;
        device->ServiceThreadFailed();
        Application.HandleException(error);
    }
}

// ---- Engine -------------------------------------------------------------------

TWaveOutEngine PlatformWaveOutEngine() {
    TWaveOutEngine e;
    e.waveOutGetNumDevs = ::waveOutGetNumDevs;
    e.waveOutGetDevCaps = ::waveOutGetDevCaps;
    e.waveOutGetVolume = ::waveOutGetVolume;
    e.waveOutSetVolume = ::waveOutSetVolume;
    e.waveOutGetErrorText = ::waveOutGetErrorText;
    e.waveOutOpen = ::waveOutOpen;
    e.waveOutClose = ::waveOutClose;
    e.waveOutPrepareHeader = ::waveOutPrepareHeader;
    e.waveOutUnprepareHeader = ::waveOutUnprepareHeader;
    e.waveOutWrite = ::waveOutWrite;
    e.waveOutPause = ::waveOutPause;
    e.waveOutRestart = ::waveOutRestart;
    e.waveOutReset = ::waveOutReset;
    e.waveOutGetPosition = ::waveOutGetPosition;
    e.waveOutMessage = ::waveOutMessage;
    return e;
}

TMMWaveOut::TMMWaveOut(QObject* AOwner) : TMMCustomWaveOut(AOwner) {
    InitEngine();
}

void TMMWaveOut::SetupWaveEngine() {
    FEngine = PlatformWaveOutEngine();
}

// ---- Construction -------------------------------------------------------------

namespace {

constexpr int kOpenWaits = 500;   // x 10 ms for the open and close reports
constexpr int kStopWaits = 501;   // x 10 ms for the buffers after a stop
constexpr int kResetWaits = 100;  // x 10 ms for the buffers after a reset
constexpr int kDoneWaits = 100;   // x 1 ms for WHDR_DONE on a returned header
constexpr int kUnprepareSpins = 65000;
constexpr int kThreadWaitMs = 5000;
constexpr UINT kErrorTextLength = 255;

DWORD HeaderFlags(const TMMWaveHdr* Header) {
    return __atomic_load_n(&Header->dwFlags, __ATOMIC_ACQUIRE);
}

QString Prefix(const char* Call) {
    return QString::fromLatin1(Call) + QStringLiteral("\n\r");
}

// A lost output ends every device playing on it, each at its next refill.
// The first of them reports the loss; the others, and the starts that find
// no output until one opens again, end without a report of their own.
std::atomic<bool> gOutputLossReported{false};

}  // namespace

TMMCustomWaveOut::TMMCustomWaveOut(QObject* AOwner)
    : TMMCustomOutputComponent(AOwner), FAllocator(std::make_unique<TMMAllocator>()) {
    FHandle = AllocateHWnd([this](TMessage& m) { WaveOutHandler(m); });
}

void TMMCustomWaveOut::InitEngine() {
    SetupWaveEngine();
    SetDeviceID(0);
}

TMMCustomWaveOut::~TMMCustomWaveOut() {
    Destroying();
    if (FHWaveOut.load() || Has(wosOpen)) Close();
    DeallocateHWnd(FHandle);
    FHandle = nullptr;
    FAllocator.reset();
}

// ---- Errors -------------------------------------------------------------------

void TMMCustomWaveOut::DoError() {
    if (OnError) OnError(this);
}

void TMMCustomWaveOut::Error(const QString& Message) {
    DoError();
    throw EMMWaveOutError(Message);
}

QString TMMCustomWaveOut::WaveOutErrorString(MMRESULT Error) {
    WCHAR text[kErrorTextLength + 1] = {};
    if (FEngine.waveOutGetErrorText && FEngine.waveOutGetErrorText(Error, text, kErrorTextLength) == 0)
        return QString::fromUtf16(text);
    return LoadResStr(IDS_ERROROUTOFRANGE);
}

void TMMCustomWaveOut::Silent() {
    DoError();
    throw EAbort();
}

MMRESULT TMMCustomWaveOut::Kept(MMRESULT Result) {
    FError.store(Result, std::memory_order_relaxed);
    return Result;
}

void TMMCustomWaveOut::PlatformError(const char* Call, MMRESULT Result) {
    Error(Prefix(Call) + WaveOutErrorString(Result));
}

void TMMCustomWaveOut::PrefixedError(const char* Call, int Ident) {
    Error(Prefix(Call) + LoadResStr(Ident));
}

// ---- Device queries -----------------------------------------------------------

int TMMCustomWaveOut::GetNumDevs() {
    return FEngine.waveOutGetNumDevs ? static_cast<int>(FEngine.waveOutGetNumDevs()) : 0;
}

QString TMMCustomWaveOut::GetDevice(int Index) {
    if (Index >= GetNumDevs() || FDeviceID == InvalidId) return {};
    WAVEOUTCAPS caps{};
    if (FEngine.waveOutGetDevCaps(static_cast<UINT>(Index), &caps, sizeof caps) != 0) return {};
    return QString::fromUtf16(caps.szPname);
}

bool TMMCustomWaveOut::QueryDevice(TMMDeviceId DeviceID, const WAVEFORMATEX* Format) {
    if (DeviceID >= GetNumDevs() || DeviceID < MapperId || !Format) return false;
    return FEngine.waveOutOpen(nullptr, static_cast<UINT>(DeviceID), Format, 0, 0, WAVE_FORMAT_QUERY) == 0;
}

// ---- Properties ---------------------------------------------------------------

void TMMCustomWaveOut::SetBufferSize(LONG Value) {
    if (Value == static_cast<LONG>(GetBufferSize())) return;
    if (Has(wosOpen)) Error(LoadResStr(IDS_PROPERTYOPEN));
    FAllocator->DiscardFreeBuffers();
    TMMCustomOutputComponent::SetBufferSize(std::max<LONG>(Value, MINBUFFERSIZE));
}

void TMMCustomWaveOut::SetNumBuffers(int Value) {
    if (Value == FNumBuffers || Value < 2) return;
    if (Has(wosOpen)) Error(LoadResStr(IDS_PROPERTYOPEN));
    FNumBuffers = std::min(Value, MAXOUTBUFFERS);
}

void TMMCustomWaveOut::SetDeviceID(TMMDeviceId Value) {
    if (Has(wosOpen)) Error(LoadResStr(IDS_PROPERTYOPEN));
    FRequestedDeviceID = Value;
    FProductName = LoadResStr(IDS_WONODEVICE);
    FDriverVersion = 0;
    const int devices = GetNumDevs();
    if (devices > 0 && Value >= MapperId && Value < devices) {
        const auto id = static_cast<UINT>(Value);
        if (Kept(FEngine.waveOutGetDevCaps(id, &FWaveOutCaps, sizeof FWaveOutCaps)) == 0) {
            FProductName = QString::fromUtf16(FWaveOutCaps.szPname);
            FDriverVersion = FWaveOutCaps.vDriverVersion;
        }
    }
    FDeviceID = (Value < MapperId || Value >= devices) ? InvalidId : Value;
}

void TMMCustomWaveOut::SetCallBackMode(TMMCBMode Value) {
    if (Has(wosOpen)) Error(LoadResStr(IDS_PROPERTYOPEN));
    if (Value == cmCallback && !ALLOW_CALLBACK && !_Win95_) {
        ShowMessageBox(mtCustom, QStringLiteral("TMMWaveOut"),
                       QStringLiteral("\"CallBacks\" are called at interrupt time !\n\r"
                                      "This is currently only supported under Windows 95"));
        return;
    }
    FCallbackMode = Value;
}

void TMMCustomWaveOut::SetLooping(bool Value) {
    if (Value == FLooping) return;
    FLooping = Value;
    FLoopTempCount = FLoopCount;
}

void TMMCustomWaveOut::SetLoopCount(int Value) {
    const auto count = static_cast<std::uint16_t>(Value);
    if (count == FLoopCount) return;
    FLoopCount = count;
    FLoopTempCount = count;
}

void TMMCustomWaveOut::SetPriority(TThreadPriority Value) {
    FPriority = Value;
    TCritical lock(this);
    if (FOutThread && FOutThreadId.load()) FOutThread->SetPriority(Value);
}

void TMMCustomWaveOut::SetProcessMode(TMMProcessMode Value) {
    if (Has(wosOpen)) Error(LoadResStr(IDS_PROPERTYOPEN));
    FProcessMode = Value;
}

void TMMCustomWaveOut::SetPWaveFormat(const WAVEFORMATEX* Value) {
    Close();
    TMMCustomOutputComponent::SetPWaveFormat(Value);
}

// ---- Open and close -----------------------------------------------------------

void TMMCustomWaveOut::Open() {
    if (GetNumDevs() == 0) {
        if (gOutputLossReported.load()) Silent();
        Error(LoadResStr(IDS_WONODEVICE));
    }
    // The number was set while there was no device (the output could not
    // open then, or another was being chosen): it may name one now.
    if (FDeviceID == InvalidId && FRequestedDeviceID != InvalidId && !Has(wosOpen))
        SetDeviceID(FRequestedDeviceID);
    if (FDeviceID == InvalidId) Error(LoadResStr(IDS_INVALIDDEVICEID));
    if (Has(wosOpen)) Close();
    if (Has(wosOpen) || FClosing) return;

    FStopping = false;
    FClosing = false;
    FReseting = false;
    FPosted = false;
    FCloseIt = false;
    if (!Initialize()) return;
    if (!GetPWaveFormat()) PrefixedError("WaveOutOpen:", IDS_NOFORMAT);

    try {
        if (!QueryDevice(FDeviceID, GetPWaveFormat())) PrefixedError("WaveOutOpen:", IDS_CANTPLAY);
        FHWaveOut = nullptr;
        FCloseIt = false;
        TMMCustomOutputComponent::Opened();
        InitCritical();
        if (FCallbackMode == cmThread) InitThread();

        const DWORD flags = (FMapped && FDeviceID >= 0) ? WAVE_MAPPED : 0;
        HWAVEOUT handle = nullptr;
        const MMRESULT result =
            Kept(FEngine.waveOutOpen(&handle, static_cast<UINT>(FDeviceID), GetPWaveFormat(),
                                     reinterpret_cast<DWORD_PTR>(&TMMCustomWaveOut::WaveOutFunc),
                                     reinterpret_cast<DWORD_PTR>(this), flags | CALLBACK_FUNCTION));
        FHWaveOut = handle;
        if (result != 0) PlatformError("WaveOutOpen:", result);
        // The report normally came inside the call: no sleep.
        for (int i = 0; i < kOpenWaits && !Has(wosOpen); ++i) Delay(10, false);
        if (!Has(wosOpen)) PrefixedError("WaveOutOpen:", IDS_CANTOPENDEVICE);
        gOutputLossReported.store(false);
        DoOpened();
    } catch (...) {
        DoError();
        SetState({wosOpen});
        Close();
        SetState({wosClose});
        throw;
    }
}

void TMMCustomWaveOut::DoOpened() {
    if (OnOpen) OnOpen(this);
}

void TMMCustomWaveOut::Close() {
    if (!Has(wosOpen) || (FClosing && !FCloseIt)) return;
    try {
        FClosing = true;
        if (Has(wosPlay) || Has(wosPause)) Stop();
        if (FStopIt) {
            // The stop waits for a running refill; DoStopped closes then.
            FCloseIt = true;
            return;
        }
        FCloseIt = false;
        bool closedHandle = false;
        bool timedOut = false;
        if (HWAVEOUT handle = FHWaveOut.load()) {
            if (const MMRESULT result = Kept(FEngine.waveOutClose(handle)); result != 0)
                PlatformError("WaveOutClose:", result);
            closedHandle = true;
            for (int i = 0; i < kOpenWaits && !Has(wosClose); ++i) Delay(10, false);
            timedOut = !Has(wosClose);
            FEndingPosition = 0;
            FWrapArrounds = 0;
            FWrapSize = 0;
        } else {
            SetState({wosClose});
        }
        TMMCustomOutputComponent::Closed();
        if (FCallbackMode == cmThread)
            DoneThread();
        else
            DoneCritical();
        FHWaveOut = nullptr;
        FClosing = false;
        if (closedHandle) DoClosed();
        if (timedOut) PrefixedError("WaveOutClose:", IDS_CANTCLOSEDEVICE);
    } catch (...) {
        // Close never raises; the error has been through OnError already.
        FClosing = false;
    }
}

void TMMCustomWaveOut::DoClosed() {
    if (OnClose && !IsDestroying()) OnClose(this);
}

// ---- Start --------------------------------------------------------------------

void TMMCustomWaveOut::Start() {
    try {
        if (!Has(wosOpen)) Open();
        if (!Has(wosOpen) || Has(wosPlay)) return;

        FBytesPlayed = 0;
        FOldPosition = 0;
        FLastPosition = 0;
        FWrapArrounds = 0;
        FWrapSize = 0;
        FLoopPos = 0;
        FLoopTempCount = FLoopCount;
        FInHandler = 0;
        FStopIt = false;
        FReseting = false;
        FStopping = false;
        FPosted = false;
        FBufferOutIdx = 0;
        FBufferInIdx = 0;
        FBufferCounter = 0;
        FBuffersUsed = 0;

        const bool hourGlass =
            FShowHourGlass && static_cast<std::int64_t>(GetBufferSize()) * FNumBuffers > 100000;
        const TCursor oldCursor = Screen.Cursor();
        if (hourGlass) Screen.SetCursor(crHourGlass);
        struct TRestoreCursor {
            bool Active;
            TCursor Old;
            ~TRestoreCursor() {
                if (Active) Screen.SetCursor(Old);
            }
        } restore{hourGlass, oldCursor};

        // Nothing plays while the ring fills.
        if (const MMRESULT result = Kept(FEngine.waveOutPause(FHWaveOut.load())); result != 0)
            PlatformError("WaveOutPause:", result);

        TMMCustomOutputComponent::Started();

        FMoreBuffers = true;
        int used = 0;
        while (used < FNumBuffers && FMoreBuffers) {
            AllocWaveHeader(used);
            TMMWaveHdr* header = FWaveOutHdrs[used];
            PrepareWaveHeader(header);
            if (FProcessMode == pmPull) {
                if (LoadWaveHeader(header) == 0) break;
                QueueWaveHeader(header);
            }
            ++used;
        }
        FBuffersUsed = static_cast<DWORD>(used);
        AddState(wosPlay);

        restore.Active = false;
        if (hourGlass) Screen.SetCursor(oldCursor);
        DoStarted();
    } catch (...) {
        DoError();
        AddState(wosPlay);
        Close();
        SetState({wosClose});
        throw;
    }
}

void TMMCustomWaveOut::DoStarted() {
    if (FBuffersUsed == 0) {
        TMMCustomOutputComponent::Stopped();
        try {
            PrefixedError("WaveOutStart:", IDS_STARTERROR);
        } catch (...) {
            Close();
            throw;
        }
    }
    if (!Has(wosPause)) {
        if (const MMRESULT result = Kept(FEngine.waveOutRestart(FHWaveOut.load())); result != 0)
            PlatformError("WaveOutRestart:", result);
    }
    InitDSPMeter();
    if (OnStart) OnStart(this);
}

// ---- Buffers ------------------------------------------------------------------

void TMMCustomWaveOut::AllocWaveHeader(int Index) {
    if (FWaveOutHdrs[Index]) return;
    void* block = FAllocator->AllocBuffer(GPTR, GetAllocSize() + sizeof(TMMWaveHdr));
    if (!block) Error(LoadResStr(IDS_HEADERMEMERROR));
    auto* header = static_cast<TMMWaveHdr*>(block);
    header->lpData = reinterpret_cast<char*>(header + 1);
    header->dwBufferLength = GetBufferSize();
    header->dwBytesRecorded = 0;
    header->dwFlags = 0;
    header->dwLoops = 0;
    header->dwUser = 0;
    header->WAVEHDR::lpNext = nullptr;
    FWaveOutHdrs[Index] = header;
}

void TMMCustomWaveOut::PrepareWaveHeader(TMMWaveHdr* Header) {
    Kept(FEngine.waveOutPrepareHeader(FHWaveOut.load(), Header, sizeof(WAVEHDR)));
}

DWORD TMMCustomWaveOut::LoadWaveHeader(TMMWaveHdr* Header) {
    FMoreBuffers = false;
    if (!Header) return 0;
    bool more = false;
    BufferLoad(Header, more);
    FMoreBuffers = more;
    const auto bytes = static_cast<LONG>(Header->dwBytesRecorded);
    if (bytes <= 0) {
        FMoreBuffers = false;
        return 0;
    }
    return static_cast<DWORD>(bytes);
}

void TMMCustomWaveOut::BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) {
    StartDSPMeter();
    struct TStopMeter {
        ~TStopMeter() { StopDSPMeter(); }
    } stopMeter;
    lpwh->dwBufferLength = GetBufferSize();
    lpwh->dwBytesRecorded = 0;
    lpwh->LoopRec.dwLoop = FLooping ? 0xFFFFFFFFu : 0;
    if (FLooping) {
        lpwh->LoopRec.dwLoopCnt = FLoopCount;
        lpwh->LoopRec.dwLoopTmpCnt = static_cast<DWORD>(FLoopTempCount);
        lpwh->LoopRec.dwLooping = 0;
    }
    TMMCustomOutputComponent::BufferLoad(lpwh, MoreBuffers);
    // Play exactly what was filled, never more than the buffer holds.
    lpwh->dwBytesRecorded = std::min(lpwh->dwBytesRecorded, GetBufferSize());
    lpwh->dwBufferLength = lpwh->dwBytesRecorded;
    if (FLooping) FLoopTempCount = static_cast<LONG>(lpwh->LoopRec.dwLoopTmpCnt);
}

void TMMCustomWaveOut::QueueWaveHeader(TMMWaveHdr* Header) {
    if (OnBufferFilled) OnBufferFilled(this, Header);
    if (FStopping) return;
    if (FIX_BUFFERS || FAST_PREPARE)
        Header->dwFlags = (Header->dwFlags & ~WHDR_DONE) | WHDR_PREPARED;
    else
        FEngine.waveOutPrepareHeader(FHWaveOut.load(), Header, sizeof(WAVEHDR));
    Header->dwUser2 = Header->dwBytesRecorded;
    // Counted before the write, so a report can never find the count short.
    FBufferCounter.fetch_add(1);
    if (const MMRESULT result = Kept(FEngine.waveOutWrite(FHWaveOut.load(), Header, sizeof(WAVEHDR)));
        result != 0) {
        FBufferCounter.fetch_sub(1);
        if (result == MMSYSERR_NODRIVER && gOutputLossReported.exchange(true)) Silent();
        PlatformError("WaveOutWrite:", result);
    }
    Header->dwBytesRecorded = Header->dwUser2;
    const DWORD next = FBufferInIdx.fetch_add(1) + 1;
    if (next >= static_cast<DWORD>(FNumBuffers)) FBufferInIdx = 0;
}

void TMMCustomWaveOut::UnPrepareWaveHeaders() {
    const HWAVEOUT handle = FHWaveOut.load();
    for (int i = 0; i < FNumBuffers; ++i) {
        TMMWaveHdr* header = FWaveOutHdrs[i];
        if (!header) continue;
        // Only a header still with the platform can still turn done.
        for (int spin = 0;
             spin < kUnprepareSpins && (HeaderFlags(header) & (WHDR_DONE | WHDR_INQUEUE)) == WHDR_INQUEUE;
             ++spin) {
        }
        if (!(HeaderFlags(header) & WHDR_DONE)) header->dwFlags = WHDR_DONE;
        FEngine.waveOutUnprepareHeader(handle, header, sizeof(WAVEHDR));
    }
}

void TMMCustomWaveOut::FreeWaveHeaders() {
    for (TMMWaveHdr*& header : FWaveOutHdrs)
        if (header) FAllocator->FreeBuffer(header);
    // A block the allocator does not know stays put; forget it anyway.
    FWaveOutHdrs.fill(nullptr);
}

void TMMCustomWaveOut::DropWaitingBuffers() {
    if (FCallbackMode == cmThread) {
        std::shared_ptr<TWaveOutServiceQueue> queue = ServiceQueue();
        if (!queue) return;
        if (OnServiceThread() || !FOutThreadId.load()) {
            std::lock_guard l(queue->Lock);
            queue->DropDone();
            return;
        }
        queue->Signal(&TWaveOutServiceQueue::ResetEvent);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kThreadWaitMs);
        while (queue->ResetPending() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    } else {
        RemoveWaitingMessages(FHandle, MM_WOM_DONE);
    }
}

// ---- Completion path ----------------------------------------------------------

void TMMCustomWaveOut::WaveOutFunc(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                                   DWORD_PTR) {
    auto* self = reinterpret_cast<TMMCustomWaveOut*>(dwInstance);
    if (!self) return;
    try {
        switch (uMsg) {
            case MM_WOM_OPEN:
                self->SetState({wosOpen});
                break;
            case MM_WOM_CLOSE:
                self->SetState({wosClose});
                break;
            case MM_WOM_DONE: {
                const int left = self->FBufferCounter.fetch_sub(1) - 1;
                if (self->FReseting) {
                    if (left <= 0) {
                        self->FBufferInIdx = 0;
                        self->FReseting = false;
                    }
                    return;
                }
                if (self->FStopping) return;
                switch (self->FCallbackMode) {
                    case cmWindow:
                        PostMessage(self->FHandle, MM_WOM_DONE, reinterpret_cast<WPARAM>(hwo),
                                    static_cast<LPARAM>(dwParam1));
                        break;
                    case cmCallback:
                        self->ProcessWaveHeader(reinterpret_cast<TMMWaveHdr*>(dwParam1));
                        break;
                    case cmThread:
                        if (std::shared_ptr<TWaveOutServiceQueue> queue = self->ServiceQueue())
                            queue->Post(TMessage{MM_WOM_DONE, reinterpret_cast<WPARAM>(hwo),
                                                 static_cast<LPARAM>(dwParam1), 0});
                        break;
                }
                break;
            }
            default:
                break;
        }
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        self->Close();
        Application.HandleException(error);
    }
}

void TMMCustomWaveOut::WaveOutHandler(TMessage& Message) {
    try {
        const HWAVEOUT handle = FHWaveOut.load();
        if (handle && Message.WParam == reinterpret_cast<WPARAM>(handle)) {
            switch (Message.Msg) {
                case MM_WOM_OPEN:
                    SetState({wosOpen});
                    return;
                case MM_WOM_CLOSE:
                    SetState({wosClose});
                    return;
                case MM_WOM_DONE:
                    if (!FStopping) ProcessWaveHeader(reinterpret_cast<TMMWaveHdr*>(Message.LParam));
                    return;
                case MM_WOM_STOP:
                    Stop();
                    return;
                default:
                    break;
            }
        }
        Message.Result = DefWindowProc(FHandle, Message.Msg, Message.WParam, Message.LParam);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        DoError();
        Close();
        Application.HandleException(error);
    }
}

void TMMCustomWaveOut::ProcessWaveHeader(TMMWaveHdr* Header) {
    // Entered first, then checked: a Stop on another thread either sees
    // this handler running or this handler sees its flags.
    FInHandler.fetch_add(1);
    if (!Has(wosPlay) || FReseting || FStopping) {
        FInHandler.fetch_sub(1);
        return;
    }
    std::exception_ptr failure;
    try {
        if (FIX_BUFFERS && FProcessMode == pmPull) Header = FWaveOutHdrs[FBufferOutIdx];
        if (!Header) throw EMMWaveOutError(LoadResStr(IDS_FILLERROR));
        {
            TCritical lock(this);
            FBytesPlayed += Header->dwBufferLength;
        }
        for (int i = 0; i < kDoneWaits && !(HeaderFlags(Header) & WHDR_DONE); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        try {
            DoBufferReady(Header);

            const DWORD position = TrackSamplePosition();

            // A pass can end in a buffer that returns after the source has
            // delivered its last data: it still counts as a loop.
            if (!FStopIt && FLooping && Header->LoopRec.dwLooping) {
                {
                    TCritical lock(this);
                    FLoopPos = position;
                    Header->LoopRec.dwLooping = 0;
                }
                TMMCustomOutputComponent::Looped();
                if (OnLooping) OnLooping(this);
            }
            if (FMoreBuffers && !FStopIt) {
                if (FProcessMode == pmPull) {
                    bool more = false;
                    BufferLoad(Header, more);
                    const auto bytes = static_cast<LONG>(Header->dwBytesRecorded);
                    FMoreBuffers = more && bytes > 0;
                    // A source that says it has more but delivers nothing has failed;
                    // one that delivers nothing and says so has simply ended.
                    if (bytes <= 0 && more && !FStopIt) Error(LoadResStr(IDS_FILLERROR));
                    if (bytes > 0 && !FStopIt) QueueWaveHeader(Header);
                }
            }
        } catch (...) {
            DoError();
            throw;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        EndOfHandler();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
}

void TMMCustomWaveOut::EndOfHandler() {
    if (FInHandler.fetch_sub(1) - 1 != 0) return;
    const bool drained = FProcessMode == pmPull && FBufferCounter.load() <= 0;
    if ((FStopIt || drained) && !FPosted.exchange(true)) {
        FStopping = true;
        if (const MMRESULT result = Kept(FEngine.waveOutPause(FHWaveOut.load())); result != 0)
            PlatformError("WaveOutPause:", result);
        PostMessage(FHandle, MM_WOM_STOP, reinterpret_cast<WPARAM>(FHWaveOut.load()), 0);
    }
}

void TMMCustomWaveOut::DoBufferReady(TMMWaveHdr* Header) {
    StartDSPMeter();
    struct TStopMeter {
        ~TStopMeter() { StopDSPMeter(); }
    } stopMeter;
    {
        TCritical lock(this);
        ++FBufferOutIdx;
        if (FBufferOutIdx >= FBuffersUsed) FBufferOutIdx = 0;
        Header->dwBytesRecorded = Header->dwUser2;
        TMMWaveHdr* next = FWaveOutHdrs[FBufferOutIdx];
        Header->lpNext = next;
        if (next) next->dwBytesRecorded = next->dwUser2;
    }
    TMMCustomOutputComponent::BufferReady(Header);
}

// ---- Stop ---------------------------------------------------------------------

void TMMCustomWaveOut::Stop() {
    if (!Has(wosPlay) && !Has(wosPause)) return;
    try {
        {
            TCritical lock(this);
            FStopping = true;
            FReseting = true;
        }
        FEndingPosition = GetPosition();
        FWrapArrounds = 0;
        FWrapSize = 0;
        if (const MMRESULT result = Kept(FEngine.waveOutReset(FHWaveOut.load()));
            static_cast<int>(result) > 0)
            PlatformError("WaveOutReset:", result);
        DoStopped();
    } catch (...) {
        DoError();
        Close();
        throw;
    }
}

void TMMCustomWaveOut::DoStopped() {
    if (!Has(wosPlay) && !Has(wosPause)) return;
    if (FInHandler.load() > 0) {
        // A refill is running; it posts the stop when it ends.
        FStopIt = true;
        return;
    }
    RemoveState(wosPlay);
    RemoveState(wosPause);
    DoneDSPMeter();
    for (int i = 0; i < kStopWaits && FBufferCounter.load() > 0; ++i) Delay(10, false);
    // Reports of this run still waiting would otherwise reach the next run.
    DropWaitingBuffers();
    RemoveWaitingMessages(FHandle, MM_WOM_STOP);
    TMMCustomOutputComponent::Stopped();
    UnPrepareWaveHeaders();
    FreeWaveHeaders();
    FBuffersUsed = 0;
    FBufferCounter = 0;
    FBufferInIdx = 0;
    FBufferOutIdx = 0;
    FStopIt = false;
    if (OnStop && !IsDestroying()) OnStop(this);
    if (FCloseIt) Close();
}

// ---- Pause, restart, reset ----------------------------------------------------

void TMMCustomWaveOut::Pause() {
    try {
        if (!Has(wosOpen)) Open();
        if (!Has(wosOpen) || Has(wosPause)) return;
        if (Has(wosPlay)) {
            TCritical lock(this);
            if (const MMRESULT result = Kept(FEngine.waveOutPause(FHWaveOut.load())); result != 0)
                PlatformError("WaveOutPause:", result);
            AddState(wosPause);
            if (FullDuplex()) {
                FOldPosition += GetSamplePosition();
                FReseting = true;
                if (const MMRESULT result = Kept(FEngine.waveOutReset(FHWaveOut.load()));
                    static_cast<int>(result) > 0)
                    PlatformError("WaveOutReset:", result);
                FBufferInIdx = 0;
                FBufferOutIdx = 0;
                FBufferCounter = 0;
            }
        }
        DoPaused();
    } catch (...) {
        DoError();
        Close();
        throw;
    }
}

void TMMCustomWaveOut::DoPaused() {
    AddState(wosPause);
    TMMCustomOutputComponent::Paused();
    if (OnPause) OnPause(this);
}

void TMMCustomWaveOut::Restart() {
    if (!Has(wosPause)) return;
    try {
        FReseting = false;
        DoRestarted();
        if (Has(wosPlay)) {
            if (const MMRESULT result = Kept(FEngine.waveOutRestart(FHWaveOut.load())); result != 0)
                PlatformError("WaveOutRestart:", result);
        }
    } catch (...) {
        DoError();
        Close();
        throw;
    }
}

void TMMCustomWaveOut::DoRestarted() {
    RemoveState(wosPause);
    TMMCustomOutputComponent::Restarted();
    if (OnRestart) OnRestart(this);
}

void TMMCustomWaveOut::Reset() {
    if ((!Has(wosPlay) && !Has(wosPause)) || FReseting) return;
    try {
        {
            TCritical lock(this);
            FReseting = true;
        }
        const HWAVEOUT handle = FHWaveOut.load();
        if (const MMRESULT result = Kept(FEngine.waveOutPause(handle)); result != 0)
            PlatformError("WaveOutPause:", result);
        DropWaitingBuffers();
        FBufferInIdx = 0;
        const bool queued = FBufferCounter.load() > 0;
        if (const MMRESULT result = Kept(FEngine.waveOutReset(handle)); static_cast<int>(result) > 0)
            PlatformError("WaveOutReset:", result);
        if (queued)
            for (int i = 0; i < kResetWaits && FReseting; ++i) Delay(10, false);
        if (const MMRESULT result = Kept(FEngine.waveOutRestart(handle)); result != 0)
            PlatformError("WaveOutRestart:", result);
        if (const MMRESULT result = Kept(FEngine.waveOutPause(handle)); result != 0)
            PlatformError("WaveOutPause:", result);

        FBufferOutIdx = 0;
        FOldPosition = 0;
        FLastPosition = 0;
        FWrapArrounds = 0;
        FWrapSize = 0;
        FLoopPos = 0;
        FReseting = false;
        FBufferCounter = 0;

        TMMCustomOutputComponent::Reseting();
        FMoreBuffers = true;
        if (FProcessMode == pmPull) {
            int used = 0;
            while (used < FNumBuffers && FMoreBuffers) {
                TMMWaveHdr* header = FWaveOutHdrs[used];
                if (!header || LoadWaveHeader(header) == 0) break;
                QueueWaveHeader(header);
                ++used;
            }
            FBuffersUsed = static_cast<DWORD>(used);
        }
        if (!Has(wosPause)) {
            if (const MMRESULT result = Kept(FEngine.waveOutRestart(handle)); result != 0)
                PlatformError("WaveOutRestart:", result);
        }
        if (FProcessMode == pmPull && FBuffersUsed == 0) Stop();
    } catch (...) {
        DoError();
        Close();
        throw;
    }
}

// ---- Positions ----------------------------------------------------------------

DWORD TMMCustomWaveOut::GetSamplePosition() {
    const HWAVEOUT handle = FHWaveOut.load();
    if (!Has(wosOpen) || !handle) return 0;
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    if (Kept(FEngine.waveOutGetPosition(handle, &time, sizeof time)) == 0 && time.wType == TIME_SAMPLES)
        return time.u.sample;
    time = MMTIME{};
    time.wType = TIME_BYTES;
    if (const MMRESULT result = Kept(FEngine.waveOutGetPosition(handle, &time, sizeof time)); result != 0)
        PlatformError("WaveOutGetPosition:", result);
    const WAVEFORMATEX* format = GetPWaveFormat();
    const DWORD align = format && format->nBlockAlign ? format->nBlockAlign : 1;
    if (time.wType == TIME_MS && format)
        return static_cast<DWORD>(static_cast<std::uint64_t>(time.u.ms) * format->nSamplesPerSec / 1000);
    return time.u.cb / align;
}

DWORD TMMCustomWaveOut::TrackSamplePosition() {
    const DWORD position = GetSamplePosition();
    TCritical lock(this);
    if (static_cast<std::int64_t>(FLastPosition) - position >= 0xFFFF) {
        // The device counter wrapped and counts on from 0; it wraps at a
        // power of two, one past the highest value it showed.
        FWrapSize = static_cast<std::int64_t>(FLastPosition | 0xFFFFFu) + 1;
        ++FWrapArrounds;
    }
    FLastPosition = position;
    return position;
}

std::int64_t TMMCustomWaveOut::GetPosition() {
    const WAVEFORMATEX* format = GetPWaveFormat();
    if (!Has(wosOpen) || !format || FClosing) return 0;
    // Tracked here too: a read between a wrap and the next refill must not fall back.
    const DWORD position = TrackSamplePosition();
    TCritical lock(this);
    const std::int64_t samples = static_cast<std::int64_t>(position) + FOldPosition +
                                 static_cast<std::int64_t>(FWrapArrounds) * FWrapSize - FLoopPos;
    switch (FTimeFormat) {
        case tfMillisecond:
            return wioSamplesToTime64(format, samples);
        case tfByte:
            return wioSamplesToBytes64(format, samples);
        case tfSample:
            break;
    }
    return samples;
}

// ---- Push mode ----------------------------------------------------------------

TMMWaveHdr* TMMCustomWaveOut::GetNextWaveHeader() {
    if (!Has(wosPlay)) return nullptr;
    TCritical lock(this);
    if (FStopping || FReseting) return nullptr;
    if (FBufferCounter.load() >= FNumBuffers) Error(LoadResStr(IDS_NOFREEBUFFERS));
    return FWaveOutHdrs[FBufferInIdx.load()];
}

void TMMCustomWaveOut::WriteWaveHeader(TMMWaveHdr* Header) {
    if (FProcessMode == pmPush && Has(wosPlay)) QueueWaveHeader(Header);
}

void TMMCustomWaveOut::WriteBuffer(const void* Buffer, DWORD Length) {
    if (FProcessMode != pmPush) Error(QStringLiteral("Invalid ProcessMode"));
    if (!Has(wosPlay)) return;
    TMMWaveHdr* header = GetNextWaveHeader();
    if (!header) return;
    if (Length > GetBufferSize()) Error(LoadResStr(IDS_BUFFERTOSMALL));
    if (Length) std::memcpy(header->lpData, Buffer, Length);
    header->dwBytesRecorded = Length;
    // The platform plays dwBufferLength bytes: only what was written.
    header->dwBufferLength = Length;
    WriteWaveHeader(header);
}

// ---- Service thread -----------------------------------------------------------

void TMMCustomWaveOut::SynchronizeVCL(const TNotifyEvent& Method, QObject* Sender) {
    if (!Method) return;
    if (FCallbackMode == cmThread && ServiceQueue() && OnServiceThread())
        GlobalSynchronize([&] { Method(Sender); });
    else
        Method(Sender);
}

std::shared_ptr<TWaveOutServiceQueue> TMMCustomWaveOut::ServiceQueue() const {
    std::lock_guard l(FServiceQueueLock);
    return FServiceQueue;
}

bool TMMCustomWaveOut::OnServiceThread() const {
    const TMMThreadId id = FOutThreadId.load();
    return id != 0 && id == MMCurrentThreadId();
}

void TMMCustomWaveOut::InitThread() {
    TCritical lock(this);
    FThreadError = false;
    auto queue = std::make_shared<TWaveOutServiceQueue>();
    {
        std::lock_guard l(FServiceQueueLock);
        FServiceQueue = queue;
    }
    auto* thread = new TMMWaveOutThread(this, queue);
    thread->FreeOnTerminate = true;
    thread->SetPriority(FPriority);
    try {
        thread->Resume();
    } catch (...) {
        delete thread;
        PrefixedError("WaveOut:", IDS_THREADERROR);
    }
    FOutThread = thread;
    if (!queue->WaitOut(kThreadWaitMs)) PrefixedError("WaveOut:", IDS_THREADERROR);
}

void TMMCustomWaveOut::DoneThread() {
    std::shared_ptr<TWaveOutServiceQueue> queue = ServiceQueue();
    if (FCallbackMode == cmThread && queue && !FThreadError) {
        queue->Signal(&TWaveOutServiceQueue::CloseEvent);
        queue->WaitOut(kThreadWaitMs);
        CloseEvents();
    } else {
        DoneCritical();
    }
}

void TMMCustomWaveOut::CloseEvents() {
    {
        TCritical lock(this);
        std::lock_guard l(FServiceQueueLock);
        FServiceQueue.reset();
        FOutThread = nullptr;
    }
    DoneCritical();
}

// The refill on the service thread failed: the device closes itself here,
// so that it can be opened again, and the thread ends.
void TMMCustomWaveOut::ServiceThreadFailed() {
    FThreadError = true;
    if (HWAVEOUT handle = FHWaveOut.load()) {
        FClosing = true;
        try {
            Stop();
        } catch (...) {
        }
        FEngine.waveOutClose(handle);
        FHWaveOut = nullptr;
        SetState({wosClose});
        try {
            TMMCustomOutputComponent::Closed();
            DoClosed();
        } catch (...) {
        }
        FClosing = false;
    }
    CloseEvents();
}
