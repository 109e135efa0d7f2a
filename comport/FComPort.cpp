#include "comport/FComPort.h"

#include "comport/ComThread.h"
#include "comport/DeviceMonitor.h"
#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QMetaEnum>
#include <QMetaProperty>
#include <QPointer>
#include <cerrno>
#include <cstring>

namespace {

constexpr int BaudTable[] = {0,     50,    75,    110,   134,    150,    300,    600,   1200,  1800,
                             2000,  2400,  3600,  4800,  7200,   9600,   10400,  14400, 15625, 19200,
                             28800, 38400, 56000, 57600, 115200, 128000, 256000, 0};
static_assert(std::size(BaudTable) == brCustom + 1);

constexpr BYTE DataBitsTable[] = {0, 4, 5, 6, 7, 8, 9, 16, 16};
constexpr BYTE ParityTable[] = {0, 0, 1, 2, 3, 4};
constexpr BYTE StopBitsTable[] = {0, 0, 1, 2};
constexpr DWORD DtrTable[] = {0, 0x00, 0x10, 0x20};
constexpr DWORD RtsTable[] = {0, 0x0000, 0x1000, 0x2000, 0x3000};
constexpr DWORD XOnXOffTable[] = {0, 0x000, 0x200, 0x100, 0x300};
constexpr DWORD DtrMask = 0x30, RtsMask = 0x3000, XOnXOffMask = 0x300, BinaryFlag = 0x1;

struct OptionFlag {
    TOption Option;
    DWORD Flag;
};
constexpr OptionFlag OptionFlags[] = {{opCheckParity, 0x2},        {opOutputCTSFlow, 0x4},
                                      {opOutputDSRFlow, 0x8},      {opDSRSensitivity, 0x40},
                                      {opTXContinueOnXOff, 0x80},  {opUseErrorChar, 0x400},
                                      {opDiscardNullBytes, 0x800}, {opAbortOnError, 0x4000}};

constexpr DWORD PriorityClassTable[] = {0, IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS,
                                        REALTIME_PRIORITY_CLASS};

QString SystemText(DWORD code) {
    return SysErrorMessage(code);
}

// The line events in the order one wake-up dispatches them.
struct LineEvent {
    DWORD Bit;
    const char* Text;
};
constexpr LineEvent LineEvents[] = {
    {EV_BREAK, "Break event"},           {EV_CTS, "CTSChange event"}, {EV_DSR, "DSRChange event"},
    {EV_ERR, "LineError event"},         {EV_EVENT1, "Event1 event"}, {EV_EVENT2, "Event2 event"},
    {EV_PERR, "PrinterError event"},     {EV_RING, "Ring event"},     {EV_RLSD, "RLSDChange event"},
    {EV_RX80FULL, "Rx80PercFull event"}, {EV_RXCHAR, "RxChar event"}, {EV_RXFLAG, "RxFlag event"},
    {EV_TXEMPTY, "TxEmpty event"}};

// Errors of a wait that mean the device itself has gone away.
bool DeviceGone(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ENXIO || error == ENODEV;
}

}  // namespace

// ---- Settings objects -----------------------------------------------------------

TFlowControl::TFlowControl(TFComPort* ComPort) : FComPort(ComPort) {}

void TFlowControl::SetDTR(TDTRControl Value) {
    if (Value == FDTRControl) return;
    FDTRControl = Value;
    FComPort->SetComDCB();
}

void TFlowControl::SetRTS(TRTSControl Value) {
    if (Value == FRTSControl) return;
    FRTSControl = Value;
    FComPort->SetComDCB();
}

void TFlowControl::SetXOnXOff(TXOnXOffControl Value) {
    if (Value == FXOnXOffControl) return;
    FXOnXOffControl = Value;
    FComPort->SetComDCB();
}

void TFlowControl::SetXOnLimit(int Value) {
    if (static_cast<WORD>(Value) == FXOnLimit) return;
    FXOnLimit = static_cast<WORD>(Value);
    FComPort->SetComDCB();
}

void TFlowControl::SetXOffLimit(int Value) {
    if (static_cast<WORD>(Value) == FXOffLimit) return;
    FXOffLimit = static_cast<WORD>(Value);
    FComPort->SetComDCB();
}

void TFlowControl::Assign(const TFlowControl& Source) {
    SetDTR(Source.DTR());
    SetRTS(Source.RTS());
    SetXOnXOff(Source.XOnXOff());
    SetXOnLimit(Source.XOnLimit());
    SetXOffLimit(Source.XOffLimit());
}

TCharacters::TCharacters(TFComPort* ComPort) : FComPort(ComPort) {}

void TCharacters::Change(QChar& field, QChar Value) {
    if (Value == field) return;
    field = Value;
    FComPort->SetComDCB();
}
void TCharacters::SetXOn(QChar Value) {
    Change(FXOn, Value);
}
void TCharacters::SetXOff(QChar Value) {
    Change(FXOff, Value);
}
void TCharacters::SetError(QChar Value) {
    Change(FError, Value);
}
void TCharacters::SetEof(QChar Value) {
    Change(FEof, Value);
}
void TCharacters::SetEvent(QChar Value) {
    Change(FEvent, Value);
}

void TCharacters::Assign(const TCharacters& Source) {
    SetXOn(Source.XOn());
    SetXOff(Source.XOff());
    SetError(Source.Error());
    SetEof(Source.Eof());
    SetEvent(Source.Event());
}

TBufferSizes::TBufferSizes(TFComPort* ComPort) : FComPort(ComPort) {}

void TBufferSizes::SetInput(int Value) {
    if (Value == FInput) return;
    FInput = Value;
    FComPort->SetComBufferSizes();
}

void TBufferSizes::SetOutput(int Value) {
    if (Value == FOutput) return;
    FOutput = Value;
    FComPort->SetComBufferSizes();
}

void TBufferSizes::Assign(const TBufferSizes& Source) {
    SetInput(Source.Input());
    SetOutput(Source.Output());
}

TTimeouts::TTimeouts(TFComPort* ComPort) : FComPort(ComPort) {}

void TTimeouts::Change(int& field, int Value) {
    if (Value == field) return;
    field = Value;
    FComPort->SetComTimeouts();
}

void TTimeouts::Assign(const TTimeouts& Source) {
    SetReadInterval(Source.ReadInterval());
    SetReadMultiplier(Source.ReadMultiplier());
    SetReadConstant(Source.ReadConstant());
    SetWriteMultiplier(Source.WriteMultiplier());
    SetWriteConstant(Source.WriteConstant());
}

// ---- Construction --------------------------------------------------------------

TFComPort::TFComPort(QObject* AOwner) : QObject(AOwner) {
    FHandle = INVALID_HANDLE_VALUE;
    FDeviceName = QStringLiteral("COM1");
    FOriginalPriorityClass = DWORD(-1);
    FSynchronizeEvents = true;
    FThreadPriority = ComTypes::tpTimeCritical;
    FFlowControl = std::make_unique<TFlowControl>(this);
    FCharacters = std::make_unique<TCharacters>(this);
    FBufferSizes = std::make_unique<TBufferSizes>(this);
    FTimeouts = std::make_unique<TTimeouts>(this);
}

TFComPort::~TFComPort() {
    StopNotification();
    try {
        Close();
    } catch (...) {
        // A destructor cannot report: the handlers have had their say.
    }
    FTimeouts.reset();
    FBufferSizes.reset();
    FCharacters.reset();
    FFlowControl.reset();
}

void TFComPort::Loaded() {
    FLoading = false;
    SetActive(FActive);
}

int TFComPort::BaudRateOf(TBaudRate Value) {
    return BaudTable[Value];
}

// ---- Properties -----------------------------------------------------------------

bool TFComPort::GetActive() const {
    if (FDesigning) return FActive;
    return FHandle != INVALID_HANDLE_VALUE;
}

void TFComPort::SetActive(bool Value) {
    if (Value != GetActive() && !FLoading && !FDesigning) {
        if (Value)
            Open();
        else
            Close();
    }
    FActive = Value;
}

void TFComPort::SetBaudRate(TBaudRate Value) {
    if (Value == FBaudRate) return;
    FBaudRate = Value;
    SetComDCB();
}

int TFComPort::GetCustomBaudRate() const {
    return FBaudRate == brCustom ? FCustomBaudRate : BaudTable[FBaudRate];
}

void TFComPort::SetCustomBaudRate(int Value) {
    if (Value == FCustomBaudRate) return;
    FCustomBaudRate = Value;
    FBaudRate = brCustom;
    SetComDCB();
}

void TFComPort::SetDataBits(TDataBits Value) {
    if (Value == FDataBits) return;
    FDataBits = Value;
    SetComDCB();
}

void TFComPort::SetDeviceName(const QString& Value) {
    if (Value == FDeviceName) return;
    CheckInactive();
    FDeviceName = Value;
}

void TFComPort::SetOptions(TOptions Value) {
    if (Value == FOptions) return;
    FOptions = Value;
    SetComDCB();
}

void TFComPort::SetParity(TParity Value) {
    if (Value == FParity) return;
    FParity = Value;
    SetComDCB();
}

void TFComPort::SetPriorityClass(TPriorityClass Value) {
    if (Value == FPriorityClass) return;
    CheckInactive();
    FPriorityClass = Value;
}

void TFComPort::SetStopBits(TStopBits Value) {
    if (Value == FStopBits) return;
    FStopBits = Value;
    SetComDCB();
}

void TFComPort::SetSynchronizeEvents(bool Value) {
    if (Value == FSynchronizeEvents) return;
    CheckInactive();
    FSynchronizeEvents = Value;
}

void TFComPort::SetOnRxByteArrived(TRxByteArrivedEvent Value) {
    CheckInactive();
    FOnRxByteArrived = std::move(Value);
}

void TFComPort::SetThreadPriority(ComTypes::TThreadPriority Value) {
    if (Value == FThreadPriority) return;
    FThreadPriority = Value;
    if (TComThread* thread = FComThread) thread->SetPriority(Value);
}

// ---- Settings to the line ----------------------------------------------------

void TFComPort::SetComDCB() {
    if (FHandle == INVALID_HANDLE_VALUE || FDesigning) return;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    Check(GetCommState(FHandle, &dcb));
    CopyDCB(dcb, true);
    Check(SetCommState(FHandle, &dcb));
}

void TFComPort::SetComBufferSizes() {
    if (FHandle == INVALID_HANDLE_VALUE || FDesigning) return;
    if (FBufferSizes->Input() != -1 && FBufferSizes->Output() != -1)
        Check(SetupComm(FHandle, static_cast<DWORD>(FBufferSizes->Input()),
                        static_cast<DWORD>(FBufferSizes->Output())));
}

void TFComPort::SetComTimeouts() {
    if (FHandle == INVALID_HANDLE_VALUE || FDesigning) return;
    COMMTIMEOUTS timeouts{};
    Check(GetCommTimeouts(FHandle, &timeouts));
    timeouts.ReadIntervalTimeout = static_cast<DWORD>(FTimeouts->ReadInterval());
    timeouts.ReadTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts->ReadMultiplier());
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(FTimeouts->ReadConstant());
    timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts->WriteMultiplier());
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(FTimeouts->WriteConstant());
    Check(SetCommTimeouts(FHandle, &timeouts));
}

void TFComPort::CopyDCB(DCB& Dcb, bool ToDCB) {
    if (ToDCB) {
        if (FBaudRate != brDefault) Dcb.BaudRate = static_cast<DWORD>(GetCustomBaudRate());
        if (FDataBits != dbDefault) Dcb.ByteSize = DataBitsTable[FDataBits];
        if (FParity != paDefault) Dcb.Parity = ParityTable[FParity];
        if (FStopBits != sbDefault) Dcb.StopBits = StopBitsTable[FStopBits];
        Dcb.XonChar = static_cast<char>(FCharacters->XOn().unicode() & 0xFF);
        Dcb.XoffChar = static_cast<char>(FCharacters->XOff().unicode() & 0xFF);
        Dcb.ErrorChar = static_cast<char>(FCharacters->Error().unicode() & 0xFF);
        Dcb.EofChar = static_cast<char>(FCharacters->Eof().unicode() & 0xFF);
        Dcb.EvtChar = static_cast<char>(FCharacters->Event().unicode() & 0xFF);
        DWORD flags = DcbFlags(Dcb);
        if (FFlowControl->DTR() != dcDefault) flags = (flags & ~DtrMask) | DtrTable[FFlowControl->DTR()];
        if (FFlowControl->RTS() != rcDefault) flags = (flags & ~RtsMask) | RtsTable[FFlowControl->RTS()];
        if (FFlowControl->XOnXOff() != xcDefault)
            flags = (flags & ~XOnXOffMask) | XOnXOffTable[FFlowControl->XOnXOff()];
        Dcb.XonLim = static_cast<WORD>(FFlowControl->XOnLimit());
        Dcb.XoffLim = static_cast<WORD>(FFlowControl->XOffLimit());
        for (const OptionFlag& o : OptionFlags) {
            if (FOptions.testFlag(o.Option))
                flags |= o.Flag;
            else
                flags &= ~o.Flag;
        }
        flags |= BinaryFlag;
        SetDcbFlags(Dcb, flags);
        return;
    }

    SetCustomBaudRate(static_cast<int>(Dcb.BaudRate));
    for (int v = dbDefault; v <= db16x; ++v)
        if (DataBitsTable[v] == Dcb.ByteSize) {
            FDataBits = static_cast<TDataBits>(v);
            break;
        }
    for (int v = paDefault; v <= paSpace; ++v)
        if (ParityTable[v] == Dcb.Parity) {
            FParity = static_cast<TParity>(v);
            break;
        }
    for (int v = sbDefault; v <= sb2; ++v)
        if (StopBitsTable[v] == Dcb.StopBits) {
            FStopBits = static_cast<TStopBits>(v);
            break;
        }
    FCharacters->SetXOn(QChar(static_cast<BYTE>(Dcb.XonChar)));
    FCharacters->SetXOff(QChar(static_cast<BYTE>(Dcb.XoffChar)));
    FCharacters->SetError(QChar(static_cast<BYTE>(Dcb.ErrorChar)));
    FCharacters->SetEof(QChar(static_cast<BYTE>(Dcb.EofChar)));
    FCharacters->SetEvent(QChar(static_cast<BYTE>(Dcb.EvtChar)));
    const DWORD flags = DcbFlags(Dcb);
    for (int v = dcDefault; v <= dcHandshake; ++v)
        if (DtrTable[v] == (flags & DtrMask)) {
            FFlowControl->FDTRControl = static_cast<TDTRControl>(v);
            break;
        }
    for (int v = rcDefault; v <= rcToggle; ++v)
        if (RtsTable[v] == (flags & RtsMask)) {
            FFlowControl->FRTSControl = static_cast<TRTSControl>(v);
            break;
        }
    for (int v = xcDefault; v <= xcInputOutput; ++v)
        if (XOnXOffTable[v] == (flags & XOnXOffMask)) {
            FFlowControl->FXOnXOffControl = static_cast<TXOnXOffControl>(v);
            break;
        }
    FFlowControl->SetXOnLimit(Dcb.XonLim);
    FFlowControl->SetXOffLimit(Dcb.XoffLim);
    for (const OptionFlag& o : OptionFlags) FOptions.setFlag(o.Option, (flags & o.Flag) != 0);
}

// ---- Guards and errors -----------------------------------------------------------

void TFComPort::CheckActive() {
    if (FHandle == INVALID_HANDLE_VALUE)
        RaiseError(0, QStringLiteral("Can't perform this operation on a closed port"));
}

void TFComPort::CheckInactive() {
    if (FHandle != INVALID_HANDLE_VALUE && !FDesigning)
        RaiseError(0, QStringLiteral("Can't perform this operation on an open port"));
}

void TFComPort::RaiseError(int ErrorCode, const QString& Msg) {
    EComError error(ErrorCode, Msg);
    TComAction action = caFail;
    if (OnError) OnError(this, error, action);
    if (action == caAbort) throw EAbort();
    throw error;
}

void TFComPort::Check(bool Success) {
    if (Success) return;
    const DWORD code = GetLastError();
    if (code == 0 || code == ERROR_IO_PENDING) return;
    SetLastError(0);
    RaiseError(static_cast<int>(code), SystemText(code));
}

// ---- Open and close ------------------------------------------------------------

void TFComPort::Open() {
    if (FHandle != INVALID_HANDLE_VALUE) return;
    if (BeforeOpen) BeforeOpen(this);
    CreateHandle();
    if (Log()) WriteLog(QStringLiteral("Open ") + FDeviceName);
    if (FHandle != INVALID_HANDLE_VALUE && AfterOpen) AfterOpen(this);
}

void TFComPort::CreateHandle() {
    FreeHandle();
    SetLastError(0);
    try {
        if (FPriorityClass != pcDefault) {
            FOriginalPriorityClass = GetPriorityClass(GetCurrentProcess());
            ::SetPriorityClass(GetCurrentProcess(), PriorityClassTable[FPriorityClass]);
        }
        FEventOverlapped = OVERLAPPED{};
        FEventOverlapped.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        Check(FEventOverlapped.hEvent != nullptr);
        FReadEventHandle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        Check(FReadEventHandle != nullptr);
        FWriteEventHandle = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        Check(FWriteEventHandle != nullptr);
        FHandle = CreateFileW(reinterpret_cast<LPCWSTR>(FDeviceName.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (FHandle == INVALID_HANDLE_VALUE) {
            // A failure must never look like success, even without an error code.
            if (GetLastError() == 0) SetLastError(ERROR_FILE_NOT_FOUND);
            Check(false);
        }
        // Before the purge: nothing received from now on passes it by.
        if (FOnRxByteArrived)
            Check(SetCommByteHook(FHandle, [this](BYTE Byte, std::int64_t ArrivalNs) {
                return FOnRxByteArrived(this, Byte, ArrivalNs);
            }));
        PurgeInput();
        PurgeOutput();
        SetComBufferSizes();
        SetComDCB();
        SetComTimeouts();
        SetComEventMask();
    } catch (...) {
        FreeHandle();
        throw;
    }
}

void TFComPort::Close() {
    if (TComThread* thread = FComThread; thread && thread->OnThisThread()) {
        thread->Synchronize([this] { Close(); });
        return;
    }
    if (!IsMainThread() && QCoreApplication::instance()) {
        // Handles are closed only on the main thread.
        Synchronize([this] { Close(); });
        return;
    }
    if (FHandle == INVALID_HANDLE_VALUE) return;
    if (BeforeClose) BeforeClose(this);
    FreeHandle();
    if (Log()) WriteLog(QStringLiteral("Close ") + FDeviceName);
    if (FHandle == INVALID_HANDLE_VALUE && AfterClose) AfterClose(this);
}

void TFComPort::FreeHandle() {
    DestroyThread();
    ReapEndedThread();
    if (FHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
    }
    for (HANDLE* event : {&FWriteEventHandle, &FReadEventHandle, &FEventOverlapped.hEvent}) {
        if (*event) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
    FRequestedReadCount = 0;
    FRequestedWriteCount = 0;
    if (FOriginalPriorityClass != DWORD(-1)) {
        ::SetPriorityClass(GetCurrentProcess(), FOriginalPriorityClass);
        FOriginalPriorityClass = DWORD(-1);
    }
}

// ---- The event thread ---------------------------------------------------------

bool TFComPort::HasEventThread() const {
    const TComThread* thread = FComThread;
    return thread && !thread->Finished();
}

void TFComPort::ReapEndedThread() {
    TComThread* thread = FComThread;
    if (thread && thread->Finished() && !thread->OnThisThread()) {
        FComThread = nullptr;
        thread->WaitForAndFree();
    }
}

void TFComPort::SetComEventMask() {
    if (FHandle == INVALID_HANDLE_VALUE || FDesigning) return;
    DWORD mask = 0;
    if (OnBreak) mask |= EV_BREAK;
    if (OnCTSChange) mask |= EV_CTS;
    if (OnDSRChange) mask |= EV_DSR;
    if (OnLineError) mask |= EV_ERR;
    if (OnEvent1) mask |= EV_EVENT1;
    if (OnEvent2) mask |= EV_EVENT2;
    if (OnPrinterError) mask |= EV_PERR;
    if (OnRing) mask |= EV_RING;
    if (OnRLSDChange) mask |= EV_RLSD;
    if (OnRx80PercFull) mask |= EV_RX80FULL;
    if (OnRxChar) mask |= EV_RXCHAR;
    if (OnRxFlag) mask |= EV_RXFLAG;
    if (OnTxEmpty) mask |= EV_TXEMPTY;
    if (mask == 0) DestroyThread();
    Check(SetCommMask(FHandle, mask));
    if (mask != 0) CreateThread();
}

void TFComPort::CreateThread() {
    ReapEndedThread();
    if (FComThread) return;
    TComThread* thread = nullptr;
    try {
        thread = new TComThread(this);
    } catch (const std::exception&) {
    }
    if (!thread) RaiseError(0, QStringLiteral("Can't create thread"));
    // Published before it runs: each of its dispatches checks that it is
    // still the port's thread.
    FComThread = thread;
    if (!thread->Start()) {
        FComThread = nullptr;
        thread->WaitForAndFree();
        RaiseError(0, QStringLiteral("Can't create thread"));
    }
}

void TFComPort::DestroyThread() {
    if (!FComThread) return;
    TComThread* thread = FComThread;
    thread->Terminate();
    if (FHandle != INVALID_HANDLE_VALUE) SetCommMask(FHandle, 0);
    FComThread = nullptr;
    // A thread whose handed-over method is running now (a handler that closes
    // the port) cannot be waited for; it ends by itself once that returns and
    // touches nothing of the port after that. Any other thread is waited for,
    // so that it never outlives the handle or the component: a dispatch it
    // has queued meanwhile runs, finds the thread gone and calls nobody.
    if (thread->OnThisThread() || thread->MethodRunning() || !IsMainThread())
        thread->Release();
    else
        thread->WaitForAndFree();
}

void TFComPort::ThreadProc(TComThread* Thread) {
    bool dispatch = false;
    if (WaitCommEvent(FHandle, &FEventMask, &FEventOverlapped)) {
        dispatch = !Thread->Terminated();
    } else {
        if (Thread->Terminated()) return;
        FThreadError = GetLastError();
        if (FThreadError == ERROR_IO_PENDING) {
            dispatch = WaitForSingleObject(FEventOverlapped.hEvent, INFINITE) == WAIT_OBJECT_0 &&
                       !Thread->Terminated();
        } else {
            SetLastError(0);
            const DWORD error = FThreadError;
            try {
                Thread->Synchronize([this] { RaiseThreadError(); });
            } catch (...) {
                Application.HandleException(std::current_exception());
            }
            Thread->Terminate();
            if (DeviceGone(error)) {
                try {
                    Close();
                } catch (...) {
                    Application.HandleException(std::current_exception());
                }
            }
            return;
        }
    }
    if (!dispatch) return;
    if (FSynchronizeEvents)
        Thread->Synchronize([this, Thread] { ThreadDoEvent(Thread); });
    else
        ThreadDoEvent(Thread);
}

void TFComPort::ThreadDied(TComThread* Thread, const QString& Reason) {
    // The component outlives this thread (closing waits for it), so the
    // guard can be made here; the queued call may find it destroyed.
    const QPointer<TFComPort> self(this);
    PostToMainThread([self, Thread, Reason] {
        // A port closed or reopened meanwhile has another thread or none.
        if (!self || self->FComThread != Thread || !Thread->Died()) return;
        const QString device = self->FDeviceName;
        // Closed first: the window shows that nothing listens while the
        // report is on screen.
        try {
            self->Close();
        } catch (...) {
            Application.HandleException(std::current_exception());
        }
        if (!self) return;
        try {
            self->RaiseError(0, QStringLiteral("Listening on %1 stopped: %2").arg(device, Reason));
        } catch (...) {
            Application.HandleException(std::current_exception());
        }
    });
}

void TFComPort::RaiseThreadError() {
    RaiseError(static_cast<int>(FThreadError), SystemText(FThreadError));
}

void TFComPort::ThreadDoEvent(TComThread* Thread) {
    // A dispatch that was queued before the port closed finds it closed (or
    // its thread gone) and calls nobody.
    if (FHandle == INVALID_HANDLE_VALUE || FComThread != Thread || Thread->Terminated()) return;
    const DWORD mask = FEventMask;
    try {
        for (const LineEvent& event : LineEvents) {
            // A handler that closed the port may have let it be freed: the
            // thread's own flag is all that may be read after it.
            if (Thread->Terminated()) return;
            if (!(mask & event.Bit)) continue;
            if (Log()) WriteLog(QString::fromLatin1(event.Text));
            switch (event.Bit) {
                case EV_BREAK:
                    if (OnBreak) OnBreak(this);
                    break;
                case EV_CTS:
                    if (OnCTSChange) OnCTSChange(this);
                    break;
                case EV_DSR:
                    if (OnDSRChange) OnDSRChange(this);
                    break;
                case EV_ERR:
                    if (OnLineError) CheckLineErrors();
                    break;
                case EV_EVENT1:
                    if (OnEvent1) OnEvent1(this);
                    break;
                case EV_EVENT2:
                    if (OnEvent2) OnEvent2(this);
                    break;
                case EV_PERR:
                    if (OnPrinterError) OnPrinterError(this);
                    break;
                case EV_RING:
                    if (OnRing) OnRing(this);
                    break;
                case EV_RLSD:
                    if (OnRLSDChange) OnRLSDChange(this);
                    break;
                case EV_RX80FULL:
                    if (OnRx80PercFull) OnRx80PercFull(this);
                    break;
                case EV_RXCHAR:
                    if (OnRxChar) DispatchRxChar(Thread);
                    break;
                case EV_RXFLAG:
                    if (OnRxFlag) OnRxFlag(this);
                    break;
                case EV_TXEMPTY:
                    if (OnTxEmpty) OnTxEmpty(this);
                    break;
                default:
                    break;
            }
        }
    } catch (const Exception&) {
        Application.HandleException(std::current_exception());
    }
}

void TFComPort::DispatchRxChar(TComThread* Thread) {
    // Every waiting byte gets its own event in this one visit, so a main
    // thread that is slow to come round (a long paint) delays a stroke by
    // one visit, not by one visit per byte queued ahead of it. A handler
    // that reads nothing leaves the rest to the next wait.
    DWORD before = InputCount();
    std::uint64_t reads = FQueuedReads;
    OnRxChar(this);
    while (!Thread->Terminated() && OnRxChar && FHandle != INVALID_HANDLE_VALUE && FComThread == Thread) {
        // A handler that read the queued way has been told what is left.
        const DWORD after = FQueuedReads != reads ? FInputLeft : InputCount();
        reads = FQueuedReads;
        if (after == 0 || after >= before) break;
        before = after;
        if (Log()) WriteLog(QStringLiteral("RxChar event"));
        OnRxChar(this);
    }
}

// ---- Logging -------------------------------------------------------------------

void TFComPort::WriteLog(const QString& Msg, const void* Data, int Count) {
    if (!Log()) return;
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    QString line = locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                   locale.toString(now.time(), QLocale::LongFormat) + QLatin1Char(' ') + Msg;
    if (Data) {
        const auto* bytes = static_cast<const BYTE*>(Data);
        for (int i = 0; i < Count; ++i) {
            if (i > 0) line += QStringLiteral(", ");
            line += QStringLiteral("$%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
        }
    }
    line += QStringLiteral("\r\n");
    QFile file(FLogFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw EComLogError(
            QStringLiteral("Cannot write the log file %1: %2").arg(FLogFile, file.errorString()));
    const QByteArray bytes = line.toLocal8Bit();
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw EComLogError(
            QStringLiteral("Cannot write the log file %1: %2").arg(FLogFile, file.errorString()));
}

// ---- Properties by name ------------------------------------------------------

QString GetPropertyText(const QObject* Object, const char* Name) {
    const QMetaObject* meta = Object->metaObject();
    const int index = meta->indexOfProperty(Name);
    if (index < 0) return {};
    const QMetaProperty property = meta->property(index);
    const QVariant value = property.read(Object);
    if (property.isEnumType()) {
        const QMetaEnum e = property.enumerator();
        if (e.isFlag()) return QString::fromLatin1(e.valueToKeys(value.toInt()));
        return QString::fromLatin1(e.valueToKey(value.toInt()));
    }
    return value.toString();
}

void SetPropertyText(QObject* Object, const char* Name, const QString& Text) {
    const QMetaObject* meta = Object->metaObject();
    const int index = meta->indexOfProperty(Name);
    if (index < 0) throw Exception(QStringLiteral("Unknown property: %1").arg(QString::fromLatin1(Name)));
    const QMetaProperty property = meta->property(index);
    if (property.isEnumType()) {
        const QMetaEnum e = property.enumerator();
        int found = -1;
        const QString wanted = Text.trimmed();
        for (int i = 0; i < e.keyCount(); ++i)
            if (wanted.compare(QLatin1String(e.key(i)), Qt::CaseInsensitive) == 0) found = e.value(i);
        if (found < 0 && !e.isFlag())
            throw Exception(QStringLiteral("Invalid property element: %1").arg(Text));
        if (found < 0) {
            found = 0;
            for (const QString& part : wanted.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
                int one = -1;
                for (int i = 0; i < e.keyCount(); ++i)
                    if (part.trimmed().compare(QLatin1String(e.key(i)), Qt::CaseInsensitive) == 0)
                        one = e.value(i);
                if (one < 0)
                    throw Exception(QStringLiteral("Invalid property element: %1").arg(part.trimmed()));
                found |= one;
            }
        }
        if (!property.write(Object, found))
            throw Exception(QStringLiteral("Invalid property element: %1").arg(Text));
        return;
    }
    if (property.metaType().id() == QMetaType::Int) {
        bool ok = false;
        const int number = Text.trimmed().toInt(&ok);
        if (!ok) throw Exception(QStringLiteral("'%1' is not a valid integer value").arg(Text));
        property.write(Object, number);
        return;
    }
    property.write(Object, Text);
}
