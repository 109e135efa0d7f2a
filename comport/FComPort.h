#pragma once

// The serial-port component: line settings mapped onto the device control
// block, a port opened for overlapped I/O, an event thread that turns line
// events into events on the main thread, reading and writing, port lists,
// device notices and the configuration dialog.

#include "comport/ComTypes.h"
#include "platform/base/Exception.h"
#include "platform/comm/comm.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringConverter>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class TFComPort;
class TComThread;
class TDeviceMonitor;

// An error of the serial component: ErrorCode is the system's error code of
// a failed call, or 0 for the component's own conditions.
class EComError : public Exception {
public:
    EComError(int ErrorCode, const QString& Msg) : Exception(Msg), FErrorCode(ErrorCode) {}
    int ErrorCode() const noexcept { return FErrorCode; }

private:
    int FErrorCode;
};

// A log line that could not be written.
class EComLogError : public Exception {
public:
    using Exception::Exception;
};

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TOpenCloseEvent = std::function<void(TFComPort* ComPort)>;
using TReadWriteEvent =
    std::function<void(QObject* Sender, const void* Buffer, int Length, bool WaitOnCompletion)>;
using TLineErrorEvent = std::function<void(QObject* Sender, TLineErrors LineErrors)>;
using TComErrorEvent = std::function<void(TFComPort* ComPort, EComError& E, TComAction& Action)>;
using TDeviceArrivalEvent = std::function<void(QObject* Sender, const QString& DeviceName)>;
using TDeviceRemovedEvent = TDeviceArrivalEvent;
using TRxByteArrivedEvent = std::function<bool(TFComPort* ComPort, BYTE Byte, std::int64_t ArrivalNs)>;

// An event whose assignment the component has to know about (the line
// events decide whether the event thread runs; the device events whether
// notices are watched). Assign and call it like a std::function.
template <typename Fn>
class TComEvent {
public:
    TComEvent(TFComPort* owner, void (TFComPort::*changed)()) : FOwner(owner), FChanged(changed) {}
    TComEvent& operator=(Fn handler) {
        const bool wasAssigned = static_cast<bool>(FHandler);
        FHandler = std::move(handler);
        if (wasAssigned || FHandler) (FOwner->*FChanged)();
        return *this;
    }
    TComEvent& operator=(std::nullptr_t) { return *this = Fn(); }
    explicit operator bool() const { return static_cast<bool>(FHandler); }
    template <typename... Args>
    void operator()(Args&&... args) const {
        FHandler(std::forward<Args>(args)...);
    }
    const Fn& Handler() const { return FHandler; }

private:
    TFComPort* FOwner;
    void (TFComPort::*FChanged)();
    Fn FHandler;
};

// ---- Owned settings objects --------------------------------------------------

class TFlowControl : public QObject {
    Q_OBJECT
    Q_PROPERTY(ComTypes::TDTRControl DTR READ DTR WRITE SetDTR)
    Q_PROPERTY(ComTypes::TRTSControl RTS READ RTS WRITE SetRTS)
    Q_PROPERTY(ComTypes::TXOnXOffControl XOnXOff READ XOnXOff WRITE SetXOnXOff)
    Q_PROPERTY(int XOnLimit READ XOnLimit WRITE SetXOnLimit)
    Q_PROPERTY(int XOffLimit READ XOffLimit WRITE SetXOffLimit)
public:
    explicit TFlowControl(TFComPort* ComPort);
    TDTRControl DTR() const { return FDTRControl; }
    void SetDTR(TDTRControl Value);
    TRTSControl RTS() const { return FRTSControl; }
    void SetRTS(TRTSControl Value);
    TXOnXOffControl XOnXOff() const { return FXOnXOffControl; }
    void SetXOnXOff(TXOnXOffControl Value);
    int XOnLimit() const { return FXOnLimit; }
    void SetXOnLimit(int Value);
    int XOffLimit() const { return FXOffLimit; }
    void SetXOffLimit(int Value);
    void Assign(const TFlowControl& Source);

private:
    friend class TFComPort;
    TFComPort* FComPort;
    TDTRControl FDTRControl = dcDefault;
    TRTSControl FRTSControl = rcDefault;
    TXOnXOffControl FXOnXOffControl = xcDefault;
    WORD FXOnLimit = 0;
    WORD FXOffLimit = 0;
};

class TCharacters : public QObject {
    Q_OBJECT
    Q_PROPERTY(QChar XOn READ XOn WRITE SetXOn)
    Q_PROPERTY(QChar XOff READ XOff WRITE SetXOff)
    Q_PROPERTY(QChar Error READ Error WRITE SetError)
    Q_PROPERTY(QChar Eof READ Eof WRITE SetEof)
    Q_PROPERTY(QChar Event READ Event WRITE SetEvent)
public:
    explicit TCharacters(TFComPort* ComPort);
    QChar XOn() const { return FXOn; }
    void SetXOn(QChar Value);
    QChar XOff() const { return FXOff; }
    void SetXOff(QChar Value);
    QChar Error() const { return FError; }
    void SetError(QChar Value);
    QChar Eof() const { return FEof; }
    void SetEof(QChar Value);
    QChar Event() const { return FEvent; }
    void SetEvent(QChar Value);
    void Assign(const TCharacters& Source);

private:
    void Change(QChar& field, QChar Value);
    TFComPort* FComPort;
    QChar FXOn{17};
    QChar FXOff{19};
    QChar FError{0};
    QChar FEof{0};
    QChar FEvent{0};
};

class TBufferSizes : public QObject {
    Q_OBJECT
    Q_PROPERTY(int Input READ Input WRITE SetInput)
    Q_PROPERTY(int Output READ Output WRITE SetOutput)
public:
    explicit TBufferSizes(TFComPort* ComPort);
    int Input() const { return FInput; }
    void SetInput(int Value);
    int Output() const { return FOutput; }
    void SetOutput(int Value);
    // What the open port's driver reports (raise on a closed port).
    int MaxInput() const;
    int MaxOutput() const;
    int CurrentInput() const;
    int CurrentOutput() const;
    void Assign(const TBufferSizes& Source);

private:
    TFComPort* FComPort;
    int FInput = 4096;
    int FOutput = 2048;
};

class TTimeouts : public QObject {
    Q_OBJECT
    Q_PROPERTY(int ReadInterval READ ReadInterval WRITE SetReadInterval)
    Q_PROPERTY(int ReadMultiplier READ ReadMultiplier WRITE SetReadMultiplier)
    Q_PROPERTY(int ReadConstant READ ReadConstant WRITE SetReadConstant)
    Q_PROPERTY(int WriteMultiplier READ WriteMultiplier WRITE SetWriteMultiplier)
    Q_PROPERTY(int WriteConstant READ WriteConstant WRITE SetWriteConstant)
public:
    explicit TTimeouts(TFComPort* ComPort);
    int ReadInterval() const { return FReadInterval; }
    void SetReadInterval(int Value) { Change(FReadInterval, Value); }
    int ReadMultiplier() const { return FReadMultiplier; }
    void SetReadMultiplier(int Value) { Change(FReadMultiplier, Value); }
    int ReadConstant() const { return FReadConstant; }
    void SetReadConstant(int Value) { Change(FReadConstant, Value); }
    int WriteMultiplier() const { return FWriteMultiplier; }
    void SetWriteMultiplier(int Value) { Change(FWriteMultiplier, Value); }
    int WriteConstant() const { return FWriteConstant; }
    void SetWriteConstant(int Value) { Change(FWriteConstant, Value); }
    void Assign(const TTimeouts& Source);

private:
    void Change(int& field, int Value);
    TFComPort* FComPort;
    int FReadInterval = 0;
    int FReadMultiplier = 0;
    int FReadConstant = 0;
    int FWriteMultiplier = 0;
    int FWriteConstant = 0;
};

// ---- The component ---------------------------------------------------------------

class TFComPort : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool Active READ GetActive WRITE SetActive)
    Q_PROPERTY(ComTypes::TBaudRate BaudRate READ BaudRate WRITE SetBaudRate)
    Q_PROPERTY(int CustomBaudRate READ GetCustomBaudRate WRITE SetCustomBaudRate)
    Q_PROPERTY(ComTypes::TDataBits DataBits READ DataBits WRITE SetDataBits)
    Q_PROPERTY(QString DeviceName READ DeviceName WRITE SetDeviceName)
    Q_PROPERTY(QString LogFile READ LogFile WRITE SetLogFile)
    Q_PROPERTY(ComTypes::TOptions Options READ Options WRITE SetOptions)
    Q_PROPERTY(ComTypes::TParity Parity READ Parity WRITE SetParity)
    Q_PROPERTY(ComTypes::TPriorityClass PriorityClass READ PriorityClass WRITE SetPriorityClass)
    Q_PROPERTY(ComTypes::TStopBits StopBits READ StopBits WRITE SetStopBits)
    Q_PROPERTY(bool SynchronizeEvents READ SynchronizeEvents WRITE SetSynchronizeEvents)
    Q_PROPERTY(ComTypes::TThreadPriority ThreadPriority READ ThreadPriority WRITE SetThreadPriority)
    Q_PROPERTY(QObject* FlowControl READ FlowControlObject CONSTANT)
    Q_PROPERTY(QObject* Characters READ CharactersObject CONSTANT)
    Q_PROPERTY(QObject* BufferSizes READ BufferSizesObject CONSTANT)
    Q_PROPERTY(QObject* Timeouts READ TimeoutsObject CONSTANT)

public:
    explicit TFComPort(QObject* AOwner = nullptr);
    ~TFComPort() override;

    // ---- Component state
    // While loading, Active is only stored; Loaded applies it.
    void BeginLoading() { FLoading = true; }
    virtual void Loaded();
    bool Loading() const { return FLoading; }
    // In design mode no device is ever touched.
    bool Designing() const { return FDesigning; }
    void SetDesigning(bool Value) { FDesigning = Value; }

    // ---- Properties
    bool GetActive() const;
    void SetActive(bool Value);
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    int GetCustomBaudRate() const;
    void SetCustomBaudRate(int Value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits Value);
    QString DeviceName() const { return FDeviceName; }
    void SetDeviceName(const QString& Value);
    QString LogFile() const { return FLogFile; }
    void SetLogFile(const QString& Value) { FLogFile = Value; }
    TOptions Options() const { return FOptions; }
    void SetOptions(TOptions Value);
    TParity Parity() const { return FParity; }
    void SetParity(TParity Value);
    TPriorityClass PriorityClass() const { return FPriorityClass; }
    void SetPriorityClass(TPriorityClass Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    bool SynchronizeEvents() const { return FSynchronizeEvents; }
    void SetSynchronizeEvents(bool Value);
    ComTypes::TThreadPriority ThreadPriority() const { return FThreadPriority; }
    void SetThreadPriority(ComTypes::TThreadPriority Value);
    bool StoreCustomBaudRate() const { return FBaudRate == brCustom; }

    TFlowControl& FlowControl() { return *FFlowControl; }
    TCharacters& Characters() { return *FCharacters; }
    TBufferSizes& BufferSizes() { return *FBufferSizes; }
    TTimeouts& Timeouts() { return *FTimeouts; }
    void SetFlowControl(const TFlowControl& Value) { FFlowControl->Assign(Value); }
    void SetCharacters(const TCharacters& Value) { FCharacters->Assign(Value); }
    void SetBufferSizes(const TBufferSizes& Value) { FBufferSizes->Assign(Value); }
    void SetTimeouts(const TTimeouts& Value) { FTimeouts->Assign(Value); }

    HANDLE Handle() const { return FHandle; }
    TModemStatus ModemStatus();

    // ---- Open and close
    void Open();
    // From any thread; from the event thread it is handed to the main thread.
    void Close();

    // ---- Settings to the line (nothing while closed)
    void SetComDCB();
    void SetComBufferSizes();
    void SetComTimeouts();
    void CopyDCB(DCB& Dcb, bool ToDCB);

    // ---- Guards and errors
    void CheckActive();
    void CheckInactive();
    [[noreturn]] void RaiseError(int ErrorCode, const QString& Msg);
    void Check(bool Success);

    // ---- Reading and writing
    void Read(void* Buf, int Count, bool WaitForCompletion);
    void Write(const void* Buf, int Count, bool WaitForCompletion);
    void WaitForReadCompletion();
    void WaitForWriteCompletion();
    bool ReadPending() const;
    // When the last byte read came off the line (CLOCK_MONOTONIC ns; 0 before
    // any read): the moment a stroke happened, however late it is read.
    std::int64_t LastReadArrival() const { return FLastReadArrival; }
    bool WritePending() const;
    DWORD InputCount();
    DWORD OutputCount();
    void CheckLineErrors();
    void ClearLineErrors();

    // Each reader waits as the time-outs say. With the default time-outs
    // (all 0) a read waits for its bytes without limit. With ReadInterval -1
    // (MAXDWORD) and both read totals 0 a read never waits: it takes what is
    // there, and a read that finds fewer bytes than it asked for (ReadByte
    // with nothing waiting) returns at once and raises EComError(0,
    // "Timeout") through RaiseError, as any short read does. A port read on
    // the main thread uses those time-outs.
    BYTE ReadByte();
    WORD ReadWord();
    DWORD ReadDWord();
    char ReadAnsiChar();
    QChar ReadChar();
    QByteArray ReadAnsiString();
    QString ReadString();
    QByteArray ReadBytes();
    QString Read(QStringConverter::Encoding Encoding);
    QString ReadUtf8() { return Read(QStringConverter::Utf8); }
    QByteArray ReadUntilBytes(BYTE Terminator);
    QString ReadUntil(BYTE Terminator, QStringConverter::Encoding Encoding);
    QString ReadUntilUtf8(BYTE Terminator) { return ReadUntil(Terminator, QStringConverter::Utf8); }
    QByteArray ReadLineBytes() { return ReadUntilBytes(13); }
    QString ReadLine(QStringConverter::Encoding Encoding) { return ReadUntil(13, Encoding); }
    QString ReadLineUtf8() { return ReadUntil(13, QStringConverter::Utf8); }
    QByteArray ReadAnsiUntil(char Terminator);
    QByteArray ReadAnsiLine() { return ReadAnsiUntil('\r'); }
    QString ReadUntil(QChar Terminator);
    QString ReadLine() { return ReadUntil(QChar(13)); }

    void WriteByte(BYTE Value) { Write(&Value, 1, false); }
    void WriteWord(WORD Value);
    void WriteDWord(DWORD Value);
    void WriteAnsiChar(char Value) { Write(&Value, 1, false); }
    void WriteChar(QChar Value);
    void WriteAnsiString(const QByteArray& Value) { Write(Value.constData(), Value.size(), false); }
    void WriteString(const QString& Value);
    void WriteBytes(const QByteArray& Value) { Write(Value.constData(), Value.size(), false); }
    void Write(const QString& Value, QStringConverter::Encoding Encoding);
    void WriteUtf8(const QString& Value) { Write(Value, QStringConverter::Utf8); }
    void WriteLine(const QString& Value, QStringConverter::Encoding Encoding);
    void WriteLineUtf8(const QString& Value) { WriteLine(Value, QStringConverter::Utf8); }
    void WriteLineBytes(const QByteArray& Value);
    void WriteAnsiLine(const QByteArray& Value);
    void WriteLine(const QString& Value);

    void PurgeInput() { Purge(PURGE_RXABORT | PURGE_RXCLEAR); }
    void PurgeOutput() { Purge(PURGE_TXABORT | PURGE_TXCLEAR); }
    void ClearInput() { Purge(PURGE_RXCLEAR); }
    void ClearOutput() { Purge(PURGE_TXCLEAR); }
    void AbortInput() { Purge(PURGE_RXABORT); }
    void AbortOutput() { Purge(PURGE_TXABORT); }
    void Flush();

    void TransmitChar(char Value);
    void SetBreak();
    void ClearBreak();
    void SetDTR() { Escape(SETDTR); }
    void ClearDTR() { Escape(CLRDTR); }
    void SetRTS() { Escape(SETRTS); }
    void ClearRTS() { Escape(CLRRTS); }
    void SetXOn() { Escape(SETXON); }
    void SetXOff() { Escape(SETXOFF); }
    void ResetDevice() { Escape(RESETDEV); }

    // ---- Ports of the machine, the configuration dialog, capabilities
    static void EnumDevices(QStringList& List);
    static void EnumComDevices(QStringList& List);
    static void EnumComDevicesFromRegistry(QStringList& List);
    static void EnumComFriendlyNames(QStringList& List);
    QString ShortDeviceName() const;
    bool ConfigDialog();
    bool DefaultConfigDialog();
    bool StartNotification();
    bool StopNotification();
    // True while device notices are watched (a device event has a handler).
    bool Notifying() const;
    // One notice: "add" raises OnDeviceArrival, "remove" OnDeviceRemoved.
    void DeviceNotice(const QString& Action, const QString& DeviceNode);
    void GetCommProp(COMMPROP& CommProp);
    TBaudRate MaxBaudRate();
    TBaudRates SettableBaudRates();
    TSettableDataBits SettableDataBits();
    TSettableParameters SettableParameters();
    TSettableParity SettableParity();
    TSettableStopBits SettableStopBits();
    TCapabilities Capabilities();

    // ---- Logging
    bool Log() const { return !FLogFile.isEmpty(); }
    void WriteLog(const QString& Msg, const void* Data = nullptr, int Count = 0);

    // ---- Events
    TOpenCloseEvent AfterClose, AfterOpen, BeforeClose, BeforeOpen;
    TReadWriteEvent AfterRead, AfterWrite, BeforeRead, BeforeWrite;
    TComErrorEvent OnError;
    TComEvent<TNotifyEvent> OnBreak{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnCTSChange{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnDSRChange{this, &TFComPort::SetComEventMask};
    TComEvent<TLineErrorEvent> OnLineError{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnEvent1{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnEvent2{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnPrinterError{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnRing{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnRLSDChange{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnRx80PercFull{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnRxChar{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnRxFlag{this, &TFComPort::SetComEventMask};
    TComEvent<TNotifyEvent> OnTxEmpty{this, &TFComPort::SetComEventMask};
    TComEvent<TDeviceArrivalEvent> OnDeviceArrival{this, &TFComPort::DeviceEventsChanged};
    TComEvent<TDeviceRemovedEvent> OnDeviceRemoved{this, &TFComPort::DeviceEventsChanged};

    // Called on the port's service thread for each byte as it comes off the
    // line, with its arrival (CLOCK_MONOTONIC ns, taken as the read returned
    // and before this runs), ahead of queueing it for the readers. True
    // consumes the byte: no read and no OnRxChar ever sees it. It must not
    // block, lock or allocate (the line waits for it) and must not touch the
    // component. Set only while the port is closed (raises on an open port):
    // the service thread uses it without a lock.
    const TRxByteArrivedEvent& OnRxByteArrived() const { return FOnRxByteArrived; }
    void SetOnRxByteArrived(TRxByteArrivedEvent Value);

    // The byte rate of each TBaudRate (0 for brDefault and brCustom).
    static int BaudRateOf(TBaudRate Value);
    // True while an event thread is running for this port.
    bool HasEventThread() const;

protected:
    virtual void CreateHandle();
    void FreeHandle();
    void CreateThread();
    void DestroyThread();
    void SetComEventMask();
    void ThreadProc(TComThread* Thread);
    void ThreadDoEvent(TComThread* Thread);
    void RaiseThreadError();
    // The event thread ended on an exception (its own thread): the main thread
    // closes the port, then reports Reason through the error path.
    void ThreadDied(TComThread* Thread, const QString& Reason);
    void DispatchRxChar(TComThread* Thread);

private:
    friend class TComThread;
    friend class TDeviceMonitor;
    QObject* FlowControlObject() const { return FFlowControl.get(); }
    QObject* CharactersObject() const { return FCharacters.get(); }
    QObject* BufferSizesObject() const { return FBufferSizes.get(); }
    QObject* TimeoutsObject() const { return FTimeouts.get(); }
    void Purge(DWORD Flags);
    void Escape(DWORD Function);
    void DeviceEventsChanged();
    void FinishRequest(bool Reading);
    bool ReadQueued(void* Buf, int Count);
    void ReapEndedThread();
    static TLineErrors GetLineErrors(DWORD Errors);
    template <typename T>
    T ReadValue();

    bool FActive = false;
    bool FLoading = false;
    bool FDesigning = false;
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    HANDLE FReadEventHandle = nullptr;
    HANDLE FWriteEventHandle = nullptr;
    OVERLAPPED FEventOverlapped{};
    OVERLAPPED FReadOverlapped{};
    OVERLAPPED FWriteOverlapped{};
    // Also read by the event thread in each dispatch (is it still the port's
    // thread?) while the main thread replaces it.
    std::atomic<TComThread*> FComThread{nullptr};
    DWORD FEventMask = 0;
    DWORD FRequestedReadCount = 0;
    DWORD FRequestedWriteCount = 0;
    BYTE* FRequestedReadBuffer = nullptr;
    const BYTE* FRequestedWriteBuffer = nullptr;
    DWORD FOriginalPriorityClass = DWORD(-1);
    DWORD FThreadError = 0;
    std::int64_t FLastReadArrival = 0;
    DWORD FInputLeft = 0;            // bytes still queued after the last ReadQueued
    std::uint64_t FQueuedReads = 0;  // ReadQueued calls, to know when FInputLeft is news
    ComTypes::TThreadPriority FThreadPriority = ComTypes::tpTimeCritical;
    int FCustomBaudRate = 0;
    TBaudRate FBaudRate = brDefault;
    std::vector<BYTE> FBuffer;
    std::unique_ptr<TBufferSizes> FBufferSizes;
    std::unique_ptr<TCharacters> FCharacters;
    TDataBits FDataBits = dbDefault;
    QString FDeviceName;
    std::unique_ptr<TFlowControl> FFlowControl;
    QString FLogFile;
    std::unique_ptr<TDeviceMonitor> FNotification;
    TOptions FOptions;
    TParity FParity = paDefault;
    TPriorityClass FPriorityClass = pcDefault;
    TStopBits FStopBits = sbDefault;
    bool FSynchronizeEvents = true;
    std::unique_ptr<TTimeouts> FTimeouts;
    TRxByteArrivedEvent FOnRxByteArrived;
};

// Property values as text, as the settings file stores them: enumerations
// by value name (set without regard to case), numbers in decimal, strings
// as they are. An unknown name raises "Invalid property element: <text>".
QString GetPropertyText(const QObject* Object, const char* Name);
void SetPropertyText(QObject* Object, const char* Name, const QString& Text);
